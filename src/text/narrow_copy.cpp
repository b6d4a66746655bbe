#include "text/narrow_copy.h"

#include "text/host_code_page.h"
#include "text/text_conversion.h"

bool NarrowCopy(std::u16string_view text, char* destination, int32_t size, uint32_t codePage) {
  if (destination == nullptr || size < 1) return false;
  return NRV::WideToNarrowBuffer(text, destination, static_cast<size_t>(size), codePage) ==
         NRV::NarrowCopy::Complete;
}

bool NarrowCopyToHost(std::u16string_view text, char* destination, int32_t size) {
  return NarrowCopy(text, destination, size, HostCodePage());
}
