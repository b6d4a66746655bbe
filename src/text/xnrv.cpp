#include "text/xnrv.h"

#include <new>

#include "text/hresult_text.h"

XNRV::XNRV(HResult code) : code_(code), message_(HResultText(code)) {}

const char* XNRV::what() const noexcept {
  try {
    return message_.Narrow();
  } catch (const std::bad_alloc&) {
    return "";
  }
}
