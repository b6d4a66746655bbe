// Hosts that end without CloseAll, each a process of its own: the process
// must end with the host's own exit code (a crash, an abort or a sanitizer
// report changes it), and a started instrument must have been told to stop.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "support/child_process.h"
#include "support/device_root.h"
#include "vozi_sim/instrument.h"

namespace {

using namespace std::chrono_literals;

struct Ending {
  const char* situation;
  const char* ending;
};

TEST(ProcessEnd, HostsEndingWithoutCloseAllExitWithTheirOwnCodeAndStopTheInstrument) {
  const Ending endings[] = {
      {"streaming", "return"}, {"streaming", "exit"}, {"found", "return"},
      {"found", "exit"},       {"no-driver", "return"}, {"streaming", "dlclose"},
  };
  for (const Ending& e : endings) {
    SCOPED_TRACE(std::string(e.situation) + ", " + e.ending);
    testing_support::DeviceRoot root;
    vozisim::Instrument sim;
    ASSERT_TRUE(sim.Start()) << sim.LastError();
    vozisim::UsbSerialPortSpec adapter;
    adapter.serial = "ZOR12345";
    root.AddUsb(adapter, sim.SlavePath());
    if (std::string(e.situation) == "no-driver") root.RemoveDriver("ftdi_sio");

    const auto run = testing_support::RunChild(
        {VOZI_ENDING_HOST_PATH, VOZI_LIBRARY_PATH, e.situation, e.ending, "7"}, 60s);
    EXPECT_EQ(run.ending, "exit 7") << run.err;
    EXPECT_EQ(run.err.find("Sanitizer"), std::string::npos) << run.err;
    EXPECT_EQ(run.err.find("runtime error"), std::string::npos) << run.err;
    if (std::string(e.situation) == "streaming") {
      EXPECT_TRUE(sim.Frames().WaitFor("X", 2s).has_value()) << "the instrument was not told to stop";
    }
  }
}

}  // namespace
