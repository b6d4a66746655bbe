// Start-up against the simulated instrument: open, handshake, firmware check.
#include "startup/start_device.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "startup/firmware_requirement.h"
#include "support/fifo_release.h"
#include "support/requirement_file.h"
#include "vozi_sim/instrument.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using testing_support::RequirementFile;

struct Started {
  vozisim::Instrument sim;
  std::unique_ptr<OpenKymo::VoziSerial> device;
  HResult result = kE_FAIL;
  Clock::duration took{};

  explicit Started(vozisim::SimConfig cfg) : sim(std::move(cfg)) {
    EXPECT_TRUE(sim.Start()) << sim.LastError();
    std::u16string path(sim.SlavePath().begin(), sim.SlavePath().end());
    device = std::make_unique<OpenKymo::VoziSerial>(path.c_str(), 1, u"12345A");
    const auto start = Clock::now();
    result = StartDevice(*device, device->portName.c_str());
    took = Clock::now() - start;
  }
};

vozisim::SimConfig Firmware(const std::string& number) {
  vozisim::SimConfig cfg;
  cfg.firmware = number;
  return cfg;
}

TEST(StartDevice, AcceptsTheRequiredFirmwareAfterAboutOneSecond) {
  RequirementFile file("[required]\r\nkyrev=7\r\n");
  Started s(Firmware("7"));
  EXPECT_EQ(s.result, kS_OK);
  EXPECT_GE(s.took, 900ms);
  EXPECT_LT(s.took, 3s);
  EXPECT_FALSE(s.device->failed.load());
  EXPECT_TRUE(s.device->IsOpen());
  EXPECT_EQ(s.device->firmwareNumber, u"7");
  // The conversation goes on after start-up: S (repeated), V, F, U, I.
  EXPECT_TRUE(s.sim.Frames().WaitFor("I", 2s));
}

TEST(StartDevice, RefusesOtherFirmwareAndLeavesThePortOpen) {
  RequirementFile file("[required]\nkyrev=8\n");
  Started s(Firmware("7"));
  EXPECT_EQ(s.result, kE_FAIL);
  EXPECT_TRUE(s.device->firmwareWrong.load());
  EXPECT_TRUE(s.device->failed.load());
  EXPECT_FALSE(s.device->notResponding.load());
  EXPECT_TRUE(s.device->IsOpen());
  EXPECT_TRUE(s.device->ReaderRunning());
}

TEST(StartDevice, TruncatesAFractionalFirmwareNumber) {
  RequirementFile file("[required]\nkyrev=7\n");
  EXPECT_EQ(Started(Firmware("7.9")).result, kS_OK);
}

TEST(StartDevice, WithoutARequirementFileOnlyFirmwareOneIsAccepted) {
  RequirementFile none;
  EXPECT_EQ(Started(Firmware("1")).result, kS_OK);
  Started other(Firmware("2"));
  EXPECT_EQ(other.result, kE_FAIL);
  EXPECT_TRUE(other.device->firmwareWrong.load());
}

TEST(StartDevice, ARequirementThatIsNotANumberOrZeroRefusesEveryInstrument) {
  {
    RequirementFile file("[required]\nkyrev=seven\n");
    EXPECT_TRUE(Started(Firmware("0")).device->firmwareWrong.load()) << "0 never matches";
  }
  RequirementFile file("[required]\nkyrev=0\n");
  EXPECT_TRUE(Started(Firmware("0")).device->firmwareWrong.load());
}

TEST(StartDevice, APortThatCannotBeOpenedFailsAtOnceWithOnlyFailedSet) {
  OpenKymo::VoziSerial device(u"/dev/nonexistent-vozi-port", 1, u"x");
  const auto start = Clock::now();
  EXPECT_EQ(StartDevice(device, device.portName.c_str()), kE_FAIL);
  EXPECT_LT(Clock::now() - start, 500ms);
  EXPECT_TRUE(device.failed.load());
  EXPECT_FALSE(device.notResponding.load());
  EXPECT_FALSE(device.firmwareWrong.load());
  EXPECT_FALSE(device.ReaderRunning());
}

TEST(StartDevice, AnInstrumentUnpluggedDuringTheWaitFailsTheStartAtOnce) {
  // Once the reader has seen the port hang up, nothing can answer any more:
  // waiting out the rest of the sixteen seconds only keeps the host waiting.
  RequirementFile none;
  vozisim::SimConfig cfg;
  cfg.silent = true;
  vozisim::Instrument sim(cfg);
  ASSERT_TRUE(sim.Start()) << sim.LastError();
  const std::u16string path(sim.SlavePath().begin(), sim.SlavePath().end());
  OpenKymo::VoziSerial device(path.c_str(), 1, u"12345A");
  std::thread unplug([&] {
    std::this_thread::sleep_for(300ms);
    sim.HangUp();
  });
  const auto start = Clock::now();
  EXPECT_EQ(StartDevice(device, device.portName.c_str()), kE_FAIL);
  EXPECT_LT(Clock::now() - start, 3s);
  unplug.join();
  EXPECT_TRUE(device.failed.load());
  EXPECT_TRUE(device.notResponding.load());
}

TEST(StartDeviceSlow, ASilentInstrumentFailsAfterSixteenSecondsAsNotResponding) {
  RequirementFile none;
  vozisim::SimConfig cfg;
  cfg.silent = true;
  Started s(cfg);
  EXPECT_EQ(s.result, kE_FAIL);
  EXPECT_GE(s.took, 15900ms);
  EXPECT_LT(s.took, 19s);
  EXPECT_TRUE(s.device->notResponding.load());
  EXPECT_TRUE(s.device->failed.load());
  EXPECT_TRUE(s.device->IsOpen());
}

// The requirement file itself, read through SimpleIni.
class RequirementValue : public ::testing::Test {
 protected:
  static int32_t Read(const std::string& content, bool* loaded = nullptr) {
    RequirementFile file(content);
    FirmwareRequirement requirement;
    const bool ok = requirement.LoadRequirementFile();
    if (loaded) *loaded = ok;
    return ok ? requirement.ReadRequiredFirmware() : 1;
  }
};

TEST_F(RequirementValue, SectionAndKeyMatchWithoutRegardToCase) {
  EXPECT_EQ(Read("[REQUIRED]\nKYREV=12\n"), 12);
  EXPECT_EQ(Read("[Required]\nKyRev = 5\n"), 5);
}

TEST_F(RequirementValue, KeyInAnotherSectionIsNotSeen) { EXPECT_EQ(Read("[other]\nkyrev=9\n"), 1); }

TEST_F(RequirementValue, EmptyFileLoadsAndRequiresOne) {
  bool loaded = false;
  EXPECT_EQ(Read("", &loaded), 1);
  EXPECT_TRUE(loaded);
}

TEST_F(RequirementValue, NumbersAreTruncatedAndMayBeNegative) {
  EXPECT_EQ(Read("[required]\nkyrev=12.9\n"), 12);
  EXPECT_EQ(Read("[required]\nkyrev=-2\n"), -2);
  EXPECT_EQ(Read("[required]\nkyrev=x\n"), 0);
  EXPECT_EQ(Read("[required]\nkyrev=1e30\n"), 0) << "beyond 64 bits the low word is 0";
}

TEST(FirmwareNumber, TruncatesTowardZeroAndKeepsTheLowWord) {
  EXPECT_EQ(FirmwareNumberFromText("7.9"), 7);
  EXPECT_EQ(FirmwareNumberFromText("-7.9"), -7);
  EXPECT_EQ(FirmwareNumberFromText("4294967808"), 512) << "2^32 + 512 keeps its low 32 bits";
  EXPECT_EQ(FirmwareNumberFromText("abc"), 0);
  EXPECT_EQ(FirmwareNumberFromText(""), 0);
}

TEST(FirmwareRequirementFile, LoadingTwiceReadsTheFileOnce) {
  RequirementFile file("[required]\nkyrev=3\n");
  FirmwareRequirement requirement;
  ASSERT_TRUE(requirement.LoadRequirementFile());
  std::remove(RequirementFile::Path().c_str());
  EXPECT_TRUE(requirement.LoadRequirementFile());
  EXPECT_EQ(requirement.ReadRequiredFirmware(), 3);
}

// Only a small regular file is read: a FIFO in its place would keep the
// start-up waiting for a writer, and a huge file costs time and memory for
// nothing. Either counts as no file. (Read at its path: a machine with the
// package installed has a copy in /etc/vozi to fall back on.)
TEST(FirmwareRequirementFile, AFifoOrAnOversizedFileCountsAsNoFile) {
  const auto at = [] {
    const std::string path = RequirementFile::Path();
    return FirmwareRequirement().LoadRequirementFileAt(std::u16string(path.begin(), path.end()));
  };
  {
    RequirementFile file("");
    testing_support::MakeFifo(RequirementFile::Path());
    bool loaded = true;
    const bool inTime = testing_support::EndsWithin(
        std::chrono::seconds(5), [&] { loaded = at(); },
        {RequirementFile::Path()});
    EXPECT_TRUE(inTime) << "loading waited on a FIFO";
    EXPECT_FALSE(loaded);
  }
  std::string padding;
  while (padding.size() < 60 * 1024) padding += "; a comment line of padding, as long as it takes\n";
  const std::string content = "[required]\nkyrev=5\n" + padding;
  {
    RequirementFile file(content);  // still within the bound: read as usual
    FirmwareRequirement requirement;
    ASSERT_TRUE(requirement.LoadRequirementFile());
    EXPECT_EQ(requirement.ReadRequiredFirmware(), 5);
  }
  {
    RequirementFile file(content + padding + padding);
    EXPECT_FALSE(at());
  }
}

}  // namespace
