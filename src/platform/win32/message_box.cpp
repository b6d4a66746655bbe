// Messages about the extension's set-up: a task-modal box without an owner,
// so that it blocks the host's windows without needing one of them.
#include "platform/message_box.h"

#include <windows.h>

#include <string>

namespace platform {

void ShowTaskModalMessage(std::u16string_view text, std::u16string_view caption) {
  const std::u16string terminatedText(text);
  const std::u16string terminatedCaption(caption);
  ::MessageBoxW(nullptr, reinterpret_cast<const wchar_t*>(terminatedText.c_str()),
                reinterpret_cast<const wchar_t*>(terminatedCaption.c_str()), MB_TASKMODAL);
}

}  // namespace platform
