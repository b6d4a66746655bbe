// The field trace through libvozi.so: with VOZI_TRACE naming a file as the
// library loads, two instruments streaming at once leave every frame, line,
// state and start-up step of each in that file, stamped in order and tagged
// with the port; the reader threads write into it while the host thread does
// (the ThreadSanitizer build checks that). What the host reads is the same
// when the trace cannot start, and that costs the host nothing.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <list>
#include <map>
#include <mutex>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/device_root.h"
#include "support/requirement_file.h"
#include "support/vozi_library.h"
#include "vozi_sim/instrument.h"
#include "vozi_sim/samples.h"

namespace {

namespace fs = std::filesystem;

constexpr int kLines = 40;

struct SessionRun {
  std::vector<std::string> ports;               // tty names, as the device tree made them
  std::vector<std::vector<std::string>> lines;  // what the host read, per device
};

// A host's whole session with two instruments, the library loaded with
// VOZI_TRACE set to `tracePath` and unloaded at the end.
SessionRun Session(const std::string& tracePath) {
  SessionRun run;
  testing_support::RequirementFile none;  // firmware 1 is accepted
  testing_support::DeviceRoot root;
  root.AddDriver("ftdi_sio");
  std::list<vozisim::Instrument> sims;
  for (const char* serial : {"ZOR11111", "ZOR22222"}) {
    auto& sim = sims.emplace_back();
    EXPECT_TRUE(sim.Start()) << sim.LastError();
    vozisim::UsbSerialPortSpec adapter;
    adapter.serial = serial;
    run.ports.push_back(root.AddUsb(adapter, sim.SlavePath()).ttyName);
  }
  setenv("VOZI_TRACE", tracePath.c_str(), 1);
  {
    testing_support::VoziLibrary lib(VOZI_LIBRARY_PATH);
    unsetenv("VOZI_TRACE");
    EXPECT_TRUE(lib.Loaded()) << lib.Error();
    if (!lib.Loaded()) return run;
    int32_t index = -1;
    for (int32_t expected : {0, 1}) {
      EXPECT_EQ(lib.FindDevice(&index), 1);
      EXPECT_EQ(index, expected);
    }
    for (int32_t device : {0, 1}) {
      EXPECT_EQ(lib.Initialise(device), 1);
      CommandRecord record{};
      record.argument = 5;  // the counter channel: sample n reads "@ n"
      EXPECT_EQ(lib.DeviceCommand(device, VOZI_ENABLE_CHANNEL, &record), 1);
    }
    // Both stream at once, so both reader threads trace together.
    for (int32_t device : {0, 1}) {
      CommandRecord record{};
      EXPECT_EQ(lib.DeviceCommand(device, VOZI_START_STREAM, &record), 1);
    }
    run.lines.resize(2);
    for (int n = 0; n < kLines; ++n) {
      for (int32_t device : {0, 1}) {
        char line[64] = "";
        EXPECT_EQ(lib.ReadLine(device, line, sizeof line, 2000), 1);
        run.lines[device].push_back(line);
      }
    }
    for (int32_t device : {0, 1}) {
      CommandRecord record{};
      EXPECT_EQ(lib.DeviceCommand(device, VOZI_STOP_STREAM, &record), 1);
    }
    EXPECT_EQ(lib.CloseAll(), 1);
  }
  return run;
}

struct Event {
  uint64_t micros;
  std::string thread, port, kind, text;
};

std::string Slurp(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

class TempFolder {
 public:
  TempFolder() {
    std::string name = (fs::temp_directory_path() / "vozi-trace-XXXXXX").string();
    if (mkdtemp(name.data()) != nullptr) path_ = name;
  }
  ~TempFolder() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  const fs::path& Path() const { return path_; }

 private:
  fs::path path_;
};

TEST(Trace, HoldsEachDevicesConversationInOrderAndChangesNothingTheHostSees) {
  TempFolder folder;
  ASSERT_FALSE(folder.Path().empty());
  const fs::path tracePath = folder.Path() / "vozi.trace";
  const SessionRun traced = Session(tracePath.string());
  ASSERT_EQ(traced.lines.size(), 2u);
  EXPECT_EQ(traced.lines[0].front(), "@ 0");
  EXPECT_EQ(traced.lines[1].back(), "@ " + std::to_string(kLines - 1));

  // A trace that cannot start: the library works as ever, leaves no file,
  // and the host reads the very same bytes.
  const fs::path unopenable = folder.Path() / "missing" / "vozi.trace";
  const SessionRun untraced = Session(unopenable.string());
  EXPECT_EQ(untraced.lines, traced.lines);
  EXPECT_FALSE(fs::exists(folder.Path() / "missing"));

  const std::string text = Slurp(tracePath);
  std::istringstream in(text);
  std::string heading;
  std::getline(in, heading);
  EXPECT_EQ(heading.rfind("# vozi trace of process " + std::to_string(getpid()) + ":", 0), 0u) << heading;

  const std::regex shape(R"(^(\d+)\.(\d{6}) \[(\d+)\] (\S+) (sent|recv|state|step) (.+)$)");
  std::map<std::string, std::vector<Event>> byPort;
  uint64_t last = 0;
  for (std::string line; std::getline(in, line);) {
    std::smatch m;
    ASSERT_TRUE(std::regex_match(line, m, shape)) << line;
    const uint64_t micros = std::stoull(m[1]) * 1000000 + std::stoull(m[2]);
    EXPECT_GE(micros, last) << "stamps go back at: " << line;
    last = micros;
    byPort[m[4]].push_back({micros, m[3], m[4], m[5], m[6]});
  }
  ASSERT_EQ(byPort.size(), 2u) << text.substr(0, 4000);

  for (const std::string& tty : traced.ports) {
    SCOPED_TRACE(tty);
    const auto found = std::find_if(byPort.begin(), byPort.end(), [&](const auto& entry) {
      return entry.first.size() >= tty.size() && entry.first.compare(entry.first.size() - tty.size(), tty.size(), tty) == 0;
    });
    ASSERT_NE(found, byPort.end()) << "no events tagged with the port " << tty;
    const std::vector<Event>& events = found->second;

    // The events each step of the session must have left: in this order
    // where one causes the next, and at all where two threads race.
    const std::vector<std::vector<std::pair<std::string, std::string>>> chains = {
        {{"step", "port opened"},
         {"step", "reader started"},
         {"state", "Greeting"},
         {"sent", "\":S\\n\""},
         {"recv", "\"S"},
         {"sent", "\":V\\n\""},
         {"state", "Greeting -> AwaitVersion"},
         {"recv", "\"V,"},
         {"sent", "\":F\\n\""},
         {"sent", "\":U"},
         {"sent", "\":I\\n\""},
         {"state", "AwaitMinima -> Idle"}},
        {{"state", "Starting"},
         {"sent", "\":B\\n\""},
         {"state", "Starting -> Streaming"},
         {"recv", "\"" + vozisim::DataLine(vozisim::SimConfig{}, 0) + "\\r\\n\""},
         {"recv", "\"" + vozisim::DataLine(vozisim::SimConfig{}, kLines - 1) + "\\r\\n\""},
         {"state", "Stopping"},
         {"sent", "\":X\\n\""},
         {"step", "reader ended"}},
        {{"step", "answered after"}, {"step", "firmware 1 reported, 1 required: accepted"}},
        {{"state", "Stopping -> Idle"}},
    };
    for (const auto& chain : chains) {
      size_t at = 0;
      for (const auto& [kind, start] : chain) {
        while (at < events.size() && !(events[at].kind == kind && events[at].text.rfind(start, 0) == 0)) ++at;
        ASSERT_LT(at, events.size()) << "no " << kind << " " << start << " (in this order)";
      }
    }
    // Lines are traced where they are received: on the reader thread, not
    // on the host's (which opened the port).
    std::string hostThread, readerThread;
    for (const Event& e : events) {
      if (e.kind == "step" && e.text == "port opened") hostThread = e.thread;
      if (e.kind == "recv") readerThread = e.thread;
    }
    EXPECT_NE(readerThread, hostThread);
  }
}

// A FIFO is no trace file: without a reader, opening it for writing blocks
// (and with it the host's load of the library); with one, a reader that
// stops reading would block every traced call. Either way the trace stays
// off and the load returns at once.
TEST(Trace, AFifoLeavesItOffWithoutHoldingUpTheLoad) {
  TempFolder folder;
  const fs::path fifo = folder.Path() / "vozi.trace";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  for (const bool reader : {false, true}) {
    SCOPED_TRACE(reader ? "a reader waiting" : "no reader");
    int readEnd = reader ? open(fifo.c_str(), O_RDONLY | O_NONBLOCK) : -1;
    // Were the load to block, a reader opened after a generous bound
    // releases it, so that the test fails instead of hanging.
    std::mutex lock;
    std::condition_variable changed;
    bool loaded = false, released = false;
    std::thread watchdog([&] {
      std::unique_lock<std::mutex> guard(lock);
      if (changed.wait_for(guard, std::chrono::seconds(10), [&] { return loaded; })) return;
      released = true;
      readEnd = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    });
    setenv("VOZI_TRACE", fifo.c_str(), 1);
    {
      testing_support::VoziLibrary lib(VOZI_LIBRARY_PATH);
      EXPECT_TRUE(lib.Loaded()) << lib.Error();
    }
    unsetenv("VOZI_TRACE");
    {
      const std::lock_guard<std::mutex> guard(lock);
      loaded = true;
    }
    changed.notify_one();
    watchdog.join();
    EXPECT_FALSE(released) << "loading the library blocked on the FIFO";
    char byte = 0;
    EXPECT_LE(read(readEnd, &byte, 1), 0) << "the trace went into the FIFO";
    if (readEnd >= 0) close(readEnd);
  }
}

}  // namespace
