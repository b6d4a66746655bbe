#pragma once
// The far end of the test serial line: a pseudo-terminal whose master side is
// held by tests/win32/pty_peer.py, which logs every byte it receives and
// echoes it back. scripts/wine-test maps the slave to a COM port and passes
// the port name and the log's Windows path in the environment.
#include <cstdint>
#include <string>

namespace wintest {

// "\\.\COM7" (from VOZI_TEST_COM_PORT); empty when not run by the script.
std::u16string TestComPort();

// Bytes the peer has received so far, as logged by it.
class PeerLog {
 public:
  PeerLog();  // the log named by VOZI_TEST_PEER_LOG
  bool Available() const { return !path_.empty(); }
  // Current size of the log: remember it before writing, then wait for what
  // arrives after it.
  size_t Size() const;
  // Waits up to timeoutMs until at least count bytes follow offset, and
  // returns the bytes after offset (all of them, possibly more than count).
  std::string WaitForBytes(size_t offset, size_t count, uint32_t timeoutMs) const;

 private:
  std::wstring path_;
};

// Contents of a file of the source tree, given its Unix path (the test runs
// under Wine, whose drive Z: is the Unix root).
std::string ReadSourceFile(const std::string& unixPath);

// True under Wine (its ntdll exports wine_get_version), for the few driver
// properties that Wine does not reproduce.
bool RunningUnderWine();

// Milliseconds of a monotonic clock, for timing bounds.
uint64_t NowMs();

}  // namespace wintest
