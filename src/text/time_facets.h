#pragma once
// The maker's time-parsing facets. They parse as the standard wide time_get of
// the named locale does, but are registered under an identifier of their own,
// so installing them adds to the locale rather than replacing std::time_get.
#include <locale>

namespace NRV {

class time_get : public std::time_get_byname<wchar_t> {
 public:
  static std::locale::id id;

  // Throws std::runtime_error when the standard library does not know `name`.
  explicit time_get(const char* name, size_t references = 0)
      : std::time_get_byname<wchar_t>(name, references) {}
};

class time_getEx : public time_get {
 public:
  using time_get::time_get;
};

}  // namespace NRV
