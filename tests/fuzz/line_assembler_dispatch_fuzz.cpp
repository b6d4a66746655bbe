// Received bytes, in read chunks the fuzzer chooses, through the line
// assembler into the handshake state machine of a device whose port is not
// open, with the host's actions interleaved.
//
// Input: byte 0 picks the starting state (0..13); byte 1 holds flags (bit 0:
// an "F" or "I" header was already seen, bit 1: start with a complete
// four-channel description, fields 1..3 enabled); byte 2 the channel count
// (0..31). The rest is the byte stream of the instrument, in which byte 0x00
// escapes a host action:
//   00 00      a received zero byte         00 01      one read step
//   00 02      pollTransmit                 00 03      host: start streaming (11)
//   00 04      host: stop streaming (12)    00 05      host: start-up again (1, new ring)
//   00 06 i    host: enable field i         00 07 i    host: disable field i
//   00 08 k    host: fill the ring to leave about 4*k bytes free
//   00 09 n    host: ReadBuffer of n bytes  00 0a m    host: ReadLine, maximum m % 64 + 1
//   00 0b      host: FlushReadBuffer        anything else: one read step
// At the end the remaining bytes are read and the ring is drained.
//
// Checked after every line: the state moves only as the transition table
// allows (by the line's first letter), the result is S_OK except for the
// failed channel-count check, exactly the frames of that transition are sent,
// and the state stays within 0..13. Every text the host drains is whole,
// well-formed sample lines.
#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "fuzz_check.h"
#include "reader_step.h"
#include "ring_text.h"
#include "serial/frame_writer.h"
#include "serial/vozi_serial.h"
#include "vozi/device_description.h"
#include "vozi/fields.h"
#include "vozi/handshake.h"

namespace {

using OpenKymo::VoziSerial;
using S = HandshakeState;
using Frames = std::vector<std::string>;

class FrameRecorder : public FrameWriter {
 public:
  bool WriteFrame(const uint8_t* bytes, int32_t length) override {
    frames.emplace_back(reinterpret_cast<const char*>(bytes), static_cast<size_t>(length));
    return true;
  }
  Frames Take() { return std::exchange(frames, {}); }
  Frames frames;
};

// One device for the whole run: making and destroying one per input would
// cost its 20 ms closing pause each time. Everything the input can change is
// reset before each input.
struct Fixture {
  FrameRecorder recorder;  // outlives the device, which sends "X" when closed
  VoziSerial device{u"/nonexistent/vozi-fuzz", 1, u"fuzz", &recorder};
};

std::shared_ptr<DeviceDescription> CannedDescription() {
  auto d = std::make_shared<DeviceDescription>();
  d->parsePeriodLine("EndOfCycle,0.001,0.01");
  d->parseNamesLine("Time,A,B,C");
  d->parseUnitsLine("na,V,mV,bpm");
  d->parseMaximaLine("na,100,5,1e6");
  d->parseMinimaLine("na,0,-5,-1e6");
  for (int32_t i = 1; i <= 3; ++i) d->EnableChannel(i);
  return d;
}

S State(const VoziSerial& device) { return CurrentState(device); }
int32_t Value(S state) { return static_cast<int32_t>(state); }
S Next(S state) { return static_cast<S>(Value(state) + 1); }

struct Run {
  explicit Run(Fixture& fixture) : f(fixture) {}

  Fixture& f;
  Handshake protocol;
  fuzz::Reader reader{f.device.lineAssembler};
  fuzz::RingText ringText;
  bool readerEnded = false;

  VoziSerial& device() { return f.device; }

  void CheckVersion(std::string_view text) {
    const std::vector<std::string_view> fields = splitFields(text);
    for (char c : text) {
      if (static_cast<unsigned char>(c) >= 0x80) return;  // the code page's business
    }
    auto wide = [](std::string_view s) { return std::u16string(s.begin(), s.end()); };
    if (fields.size() < 5) {
      FUZZ_CHECK(device().firmwareVersion.empty() && device().firmwareNumber.empty(), "version texts left over");
      return;
    }
    const std::u16string version = wide(fields[1]) + u"." + wide(fields[2]) + u"." + wide(fields[3]) + u"." +
                                   wide(fields[4]);
    FUZZ_CHECK(device().firmwareVersion == version, "firmwareVersion of \"" + fuzz::Printable(text) + "\"");
    FUZZ_CHECK(device().firmwareNumber == wide(fields[4]), "firmwareNumber");
    FUZZ_CHECK(device().modelName == (fields.size() >= 6 ? wide(fields[5]) : std::u16string(kDefaultModelName)),
               "modelName");
  }

  // The expected outcome of one line in state `from`, from the transition table.
  void CheckLine(std::string_view text, S from, S to, HResult result, const Frames& frames, bool headerBefore,
                 const DeviceDescription* descriptionBefore) {
    const char first = text.empty() ? '\0' : text[0];
    const std::string where = "state " + std::to_string(Value(from)) + " line \"" + fuzz::Printable(text) +
                              "\" -> state " + std::to_string(Value(to));
    FUZZ_CHECK(Value(to) >= 0 && Value(to) <= 13, where);
    const bool moved = to != from;
    if (moved) FUZZ_CHECK(to == (from == S::Starting ? S::Streaming : from == S::Stopping ? S::Idle : Next(from)),
                          where + ": no such transition");
    Frames expected;
    HResult expectedResult = kS_OK;
    switch (from) {
      case S::Greeting:
        FUZZ_CHECK(moved == (first == 'S'), where);
        if (moved) expected = {":V\n"};
        break;
      case S::AwaitVersion:
        FUZZ_CHECK(moved == (first == 'V'), where);
        if (moved) expected = {":F\n"};
        if (moved) CheckVersion(text);
        break;
      case S::AwaitFormat:
        FUZZ_CHECK(moved == (first != 'F' && headerBefore), where);
        if (first == 'F') FUZZ_CHECK(device().headerSeen, where + ": header not noted");
        if (moved) {
          int32_t commas = 0;
          for (char c : text) commas += c == ',';
          FUZZ_CHECK(device().channelCount == commas + 1, where + ": channelCount");
        }
        break;
      case S::AwaitPeriods: {
        FUZZ_CHECK(moved, where);
        expected = {":U" + std::string(static_cast<size_t>(std::max(0, device().channelCount.load())), '1') + "\n"};
        const DeviceDescription* d = device().ReaderDescription();
        FUZZ_CHECK(d != nullptr && d != descriptionBefore && d->EnabledChannels().empty() &&
                       d->pending.load() == (DeviceDescription::kPendingAll & ~DeviceDescription::kPendingPeriods),
                   where + ": no fresh description with its periods");
        break;
      }
      case S::AwaitEnableAck:
        FUZZ_CHECK(moved == (first == 'U'), where);
        if (moved) expected = {":I\n"};
        break;
      case S::AwaitNames: {
        const DeviceDescription* d = device().ReaderDescription();
        if (first == 'I' || !headerBefore || d == nullptr) {
          FUZZ_CHECK(!moved && result == kS_OK, where);
          break;
        }
        const int64_t names = static_cast<int64_t>(d->names.size());
        const int64_t channels = device().channelCount;
        const bool pass = names == channels || (d->hasCrc && names == channels - 1);
        FUZZ_CHECK(moved == pass, where + ": channel-count check");
        if (!pass) FUZZ_CHECK(result == kE_ABORT && device().notResponding, where + ": failed check not reported");
        expectedResult = pass ? kS_OK : kE_ABORT;
        break;
      }
      case S::AwaitUnits:
      case S::AwaitMaxima:
      case S::AwaitMinima:
        // Without a record to fill (only when started here) the line waits.
        FUZZ_CHECK(moved == (descriptionBefore != nullptr), where);
        if (to == S::Idle) FUZZ_CHECK(descriptionBefore->IsComplete(), where + ": Idle with an incomplete description");
        break;
      case S::Starting:
        FUZZ_CHECK(moved == (first == 'B'), where);
        break;
      case S::Stopping:
        FUZZ_CHECK(moved == (first == 'S'), where);
        break;
      default:  // NotStarted, Idle, Streaming keep their state
        FUZZ_CHECK(!moved, where);
        break;
    }
    // A header counts only for the step it begins.
    if (moved && (to == S::AwaitFormat || to == S::AwaitNames)) {
      FUZZ_CHECK(!device().headerSeen, where + ": a header of an earlier step carried over");
    }
    FUZZ_CHECK(result == expectedResult, where + ": result " + std::to_string(result));
    FUZZ_CHECK(frames == expected, where + ": " + std::to_string(frames.size()) + " frames, first \"" +
                                       fuzz::Printable(frames.empty() ? "" : frames[0]) + "\"");
  }

  HResult Dispatch(const char* line, int32_t length) {
    FUZZ_CHECK(length == 0 || !fuzz::IsClassicSpace(static_cast<uint8_t>(line[0])), "line handed on unstripped");
    const std::string_view text(line, static_cast<size_t>(length));
    FUZZ_CHECK(text.find('\n') == std::string_view::npos, "line handed on with an LF inside");
    // The protocol reads the line as text, which ends at a zero byte.
    FUZZ_CHECK(text.find('\0') == std::string_view::npos, "line handed on past a zero byte");
    const S from = State(device());
    const bool header = device().headerSeen;
    const DeviceDescription* description = device().ReaderDescription();
    f.recorder.Take();
    const HResult result = protocol.dispatchLine(device(), line, length);
    CheckLine(text, from, State(device()), result, f.recorder.Take(), header, description);
    return result;
  }

  void ReadOnce() {
    if (readerEnded) return;  // the reader thread has ended; bytes wait
    const HResult result = reader.ReadStep([this](const char* l, int32_t n) { return Dispatch(l, n); });
    readerEnded = result == kE_ABORT;
  }

  void Poll() {
    const S state = State(device());
    f.recorder.Take();
    protocol.pollTransmit(device());
    const Frames expected = state == S::Greeting || state == S::Stopping ? Frames{":S\n"}
                            : state == S::Starting                      ? Frames{":B\n"}
                                                                        : Frames{};
    FUZZ_CHECK(f.recorder.Take() == expected, "pollTransmit in state " + std::to_string(Value(state)));
  }

  void Restart() {
    // As start-up does: a new ring, the state back to Greeting, a new reader.
    device().NewReceiveRing();
    ringText.Clear();
    device().handshakeState.SetState(S::Greeting);
    readerEnded = false;
  }

  void SetEnabled(int32_t index, bool enable) {
    const std::shared_ptr<DeviceDescription> d = device().Description();
    if (!d) return;
    if (enable) {
      d->EnableChannel(index);
    } else {
      d->DisableChannel(index);
    }
  }

  void FillRing(uint8_t k) {
    ReceiveRing* ring = device().Ring();
    const int32_t leave = 4 * k;
    const std::string& filler = fuzz::RingText::Filler();
    const auto free = [ring] { return ReceiveRing::kCapacity - 1 - ring->Size(); };
    while (free() >= leave + static_cast<int32_t>(filler.size())) {
      ring->PutLine(reinterpret_cast<const uint8_t*>(filler.data()), static_cast<int32_t>(filler.size()));
    }
    static const uint8_t kShort[] = {'@', ' ', '7', '\n'};
    while (free() >= leave + 4) ring->PutLine(kShort, 4);
  }

  void ReadBuffer(int32_t wanted) {
    std::vector<uint8_t> buffer(static_cast<size_t>(std::max(wanted, 1)));
    int32_t count = wanted;
    const int32_t held = device().ReadBuffSize();
    const bool got = device().ReadBuffer(buffer.data(), count, 0);
    FUZZ_CHECK(got == (held > 0 && wanted > 0), "ReadBuffer result");
    if (!got) return;
    FUZZ_CHECK(count == std::min(wanted, held), "ReadBuffer count");
    ringText.Add(std::string_view(reinterpret_cast<const char*>(buffer.data()), static_cast<size_t>(count)));
  }

  void ReadLine(int32_t maximum) {
    std::vector<uint8_t> buffer(static_cast<size_t>(maximum), 0xAA);
    if (!device().ReadLine(buffer.data(), maximum, 0)) return;
    const std::string_view piece(reinterpret_cast<const char*>(buffer.data()));
    FUZZ_CHECK(piece.size() <= static_cast<size_t>(maximum - 1), "ReadLine overfilled");
    // A piece shorter than the room means the line's end was consumed.
    ringText.Add(piece);
    if (piece.size() < static_cast<size_t>(maximum - 1)) ringText.Add("\n");
  }

  void Drain() {
    while (device().ReadBuffSize() > 0) ReadBuffer(4096);
    ringText.CheckDrained();
  }
};

void Reset(Fixture& f, fuzz::Input& in) {
  VoziSerial& d = f.device;
  const uint8_t start = in.Byte() % 14;
  const uint8_t flags = in.Byte();
  const int32_t channels = in.Byte() % 32;
  d.lineAssembler = LineAssembler();
  d.NewReceiveRing();
  d.notResponding = false;
  d.firmwareVersion.clear();
  d.firmwareNumber.clear();
  d.modelName.clear();
  d.headerSeen = (flags & 1) != 0;
  const bool canned = (flags & 2) != 0;
  d.InstallDescription(canned ? CannedDescription() : nullptr);
  d.channelCount = canned ? 4 : channels;
  d.handshakeState.SetState(static_cast<S>(start));
  f.recorder.Take();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Fixture* fixture = new Fixture;  // lives for the whole run
  fuzz::Input in(data, size);
  Reset(*fixture, in);
  Run run{*fixture};
  while (!in.Empty()) {
    const uint8_t byte = in.Byte();
    if (byte != 0) {
      run.reader.Receive(static_cast<char>(byte));
      continue;
    }
    switch (in.Byte()) {
      case 0x00: run.reader.Receive('\0'); break;
      case 0x02: run.Poll(); break;
      case 0x03: run.device().handshakeState.SetState(S::Starting); break;
      case 0x04: run.device().handshakeState.SetState(S::Stopping); break;
      case 0x05: run.Restart(); break;
      case 0x06: run.SetEnabled(static_cast<int8_t>(in.Byte()), true); break;
      case 0x07: run.SetEnabled(static_cast<int8_t>(in.Byte()), false); break;
      case 0x08: run.FillRing(in.Byte()); break;
      case 0x09: run.ReadBuffer(in.Byte()); break;
      case 0x0a: run.ReadLine(in.Byte() % 64 + 1); break;
      case 0x0b:
        run.device().FlushReadBuffer();
        run.ringText.Clear();
        break;
      default: run.ReadOnce(); break;
    }
  }
  // Whatever is still in the driver is read, step by step, as the reader would.
  for (int pass = 0; pass < 16 && !run.reader.DriverEmpty() && !run.readerEnded; ++pass) run.ReadOnce();
  run.ReadOnce();
  run.Drain();
  return 0;
}
