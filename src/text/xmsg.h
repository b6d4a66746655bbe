#pragma once
// The maker's plain message exception: a narrow text and nothing else.
#include <exception>
#include <string>
#include <utility>

class xmsg : public std::exception {
 public:
  explicit xmsg(std::string message) : message_(std::move(message)) {}
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  std::string message_;
};
