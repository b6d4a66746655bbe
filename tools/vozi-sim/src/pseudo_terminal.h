#pragma once
// The pseudo-terminal that stands in for the instrument's serial line. The
// simulator owns the master side; hosts open the slave path.
#include <string>

namespace vozisim {

class PseudoTerminal {
 public:
  PseudoTerminal() = default;
  ~PseudoTerminal();
  PseudoTerminal(const PseudoTerminal&) = delete;
  PseudoTerminal& operator=(const PseudoTerminal&) = delete;

  // Opens a non-blocking master, puts the slave side in raw mode and keeps
  // one slave descriptor open. Returns an error text on failure.
  std::string Open();
  // Closes both sides: hosts then see a hang-up.
  void Close();
  bool IsOpen() const { return master_ >= 0; }

  int Master() const { return master_; }
  const std::string& SlavePath() const { return slavePath_; }

  // Reads what the master holds (non-blocking). Returns bytes read, 0 when
  // nothing is there, -1 when the terminal is gone.
  long Read(char* buffer, size_t size);
  // Writes without blocking: bytes written, 0 when full, -1 when gone.
  long Write(const char* bytes, size_t size);

  // Makes the kernel hand what was written so far to the host's side now (see
  // the source for why a pty needs this).
  void HandOver() const;
  // Discards what was written to the host but not yet read by it.
  void DiscardUnread();
  // How many written bytes the host has not read yet.
  int Unread() const;
  // Clears the exclusive-use flag a host set with TIOCEXCL. The flag lives as
  // long as the terminal, not as long as the host's descriptor, so without
  // this the next host could not open the slave after the first one closed.
  void ClearExclusive();

 private:
  int master_ = -1;
  // Held so that the master never sees a hang-up between two host opens.
  // Never read: everything the host writes is read on the master.
  int keptSlave_ = -1;
  std::string slavePath_;
};

}  // namespace vozisim
