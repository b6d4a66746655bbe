#pragma once
// The maker's error classes. XNRV carries an HRESULT and a message;
// XHResult only the HRESULT.
#include <exception>

#include "platform/hresult.h"
#include "text/nrv_string.h"

class XNRV : public std::exception {
 public:
  // The message is the text the system or the host has for the code.
  explicit XNRV(HResult code);
  XNRV(HResult code, const NRV::String& message) : code_(code), message_(message) {}

  // The message in the calling thread's ANSI code page.
  const char* what() const noexcept override;
  virtual NRV::String message() const { return message_; }
  HResult code() const { return code_; }

 private:
  HResult code_;
  // what() hands out the narrow form, which lives in the string itself.
  mutable NRV::String message_;
};

class XHResult {
 public:
  explicit XHResult(HResult code) : code_(code) {}
  HResult code() const { return code_; }

 private:
  HResult code_;
};
