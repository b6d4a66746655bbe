#pragma once
// One use of the enabler, in the host application's order: the class
// record, a discovery pass, start-up and commands per device, the library's
// message after every failure, CloseAll at the end (also from the
// destructor, so that an early return never leaves an instrument streaming).
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "session/enabler_api.h"

namespace vozihost {

class EnablerSession {
 public:
  explicit EnablerSession(const EnablerApi& api) : api_(api) {}
  ~EnablerSession() { CloseAll(); }
  EnablerSession(const EnablerSession&) = delete;
  EnablerSession& operator=(const EnablerSession&) = delete;

  // "Vozi Devices (Vozi)" from GetDeviceClassInfo.
  std::string ClassName() const;
  // FindDevice until it returns 0: the indices of the instruments found.
  std::vector<int32_t> FindDevices();
  bool Initialise(int32_t index) { return api_.Initialise(index) != 0; }
  std::optional<int32_t> UniqueId(int32_t index) const;
  bool IsFailed(int32_t index) const { return api_.IsFailed(index) != 0; }
  int32_t BufferedBytes(int32_t index) const { return api_.ReadBuffSize(index); }

  // GetLastErrorMsg as a host calls it: the length with a null destination,
  // then the text into a buffer of that size.
  std::string LastErrorMessage(int32_t index) const;
  // What to tell the user after a failure on a device: its own message, or
  // when it has none (the library keeps none per device) the library's
  // message about the state of the instruments. That one describes the
  // device found last (lastIndex) only; for any other device it would be
  // about the wrong instrument, so a note says so instead.
  std::string FailureMessage(int32_t index, int32_t lastIndex) const;

  // DeviceCommand with a fresh record. The reply buffer is cleared first, so
  // a command that answers nothing gives an empty text.
  struct Reply {
    bool ok = false;
    std::string text;
    int32_t count = 0;
    std::optional<float> value;  // nullopt when the library left it alone
  };
  Reply Command(int32_t index, VoziCommand code, int32_t argument = 0) const;

  // One line of sample text (without its line end), waiting up to timeoutMs
  // for it. False when no complete line arrived in that time.
  bool ReadLine(int32_t index, std::string& line, uint32_t timeoutMs) const;

  void CloseAll();

 private:
  const EnablerApi& api_;
  bool used_ = false;  // FindDevice was called: CloseAll is owed
};

// Why Initialise failed for one instrument, in a sentence. The library's
// message (index -1) decides for the instrument found last, the one it
// describes. For any other the exports tell nothing, but the start-up's
// course does: a port that cannot be opened fails at once; the version line
// is looked for once a second, so an instrument that answered and was
// refused (its firmware) fails after a second or more; one that never
// answers fails after 16 s. Neither way tells which firmware was reported
// and which required: the trace does.
std::string StartFailureReason(bool describedByMessage, const std::string& libraryMessage, double seconds);

// UTF-16 text (zero-terminated) as UTF-8; unpaired surrogates become U+FFFD.
std::string Utf8FromUtf16(const uint16_t* text);

}  // namespace vozihost
