#pragma once
// A stand-in for the host's services object, registered in the test process
// the way the host registers its own, so that the library finds it at load
// and never needs the host's framework library.
//
// The library calls two methods by position (51 and 57, counting the
// IUnknown methods); every other slot aborts the test process loudly, since
// its parameters, and so its stack clean-up, are unknown.
#include <atomic>
#include <cstdint>

namespace wintest {

struct HostServicesCalls {
  std::atomic<int> queryInterface{0};
  std::atomic<int> method51{0};
  std::atomic<int> method57{0};
  // What method 51 writes to its first output cell: non-zero tells the
  // library not to report its version.
  int32_t refuseReport = 0;
};

// Registers the class object (COM must be initialised on this thread).
// False when registration failed.
bool RegisterHostServices(HostServicesCalls* calls);
void RevokeHostServices();

}  // namespace wintest
