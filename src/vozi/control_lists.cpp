#include "vozi/control_lists.h"

#include "platform/codepage.h"
#include "platform/module_resources.h"
#include "text/host_code_page.h"

std::u16string fetchInputAmpControls() {
  auto bytes = platform::LoadOwnRcData(kInputAmpControlListId);
  if (!bytes || bytes->empty()) return {};
  return platform::NarrowToWide(*bytes, HostCodePage()).value_or(std::u16string());
}
