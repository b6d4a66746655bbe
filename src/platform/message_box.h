#pragma once
// Telling the user about the extension's own set-up. Windows shows a
// task-modal message box with no owner window; Linux, where the library has
// no window of its own, writes one line to standard error.
#include <string_view>

namespace platform {

void ShowTaskModalMessage(std::u16string_view text, std::u16string_view caption);

}  // namespace platform
