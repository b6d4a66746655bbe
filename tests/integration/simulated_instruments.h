#pragma once
// A host's view for the integration tests: libvozi.so loaded as a host loads
// it, a device tree with the FTDI driver present, and simulated instruments
// presented in it by serial number. No requirement file: only firmware 1 is
// accepted.
#include <gtest/gtest.h>

#include <list>
#include <string>
#include <utility>

#include "support/device_root.h"
#include "support/requirement_file.h"
#include "support/vozi_library.h"
#include "vozi_sim/instrument.h"

class SimulatedInstrumentsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(lib.Loaded()) << lib.Error();
    lib.CloseAll();
    root.AddDriver("ftdi_sio");
  }
  void TearDown() override { lib.CloseAll(); }

  // An instrument presented in the device tree with this serial number.
  vozisim::Instrument& AddInstrument(const std::string& serial, vozisim::SimConfig cfg = {}) {
    auto& sim = sims.emplace_back(std::move(cfg));
    EXPECT_TRUE(sim.Start()) << sim.LastError();
    vozisim::UsbSerialPortSpec adapter;
    adapter.serial = serial;
    root.AddUsb(adapter, sim.SlavePath());
    return sim;
  }

  // The next device's index, or -1 when the search found none.
  int32_t Find() {
    int32_t index = -1;
    return lib.FindDevice(&index) == 1 ? index : -1;
  }

  testing_support::RequirementFile none;
  testing_support::DeviceRoot root;
  std::list<vozisim::Instrument> sims;
  testing_support::VoziLibrary lib{VOZI_LIBRARY_PATH};
};
