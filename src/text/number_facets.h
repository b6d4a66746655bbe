#pragma once
// Number punctuation for the process-wide locale: the user's decimal point,
// and never any digit grouping, so that numbers written into texts stay
// readable back as numbers.
#include <locale>
#include <string>

template <typename Char>
class NoThousandsSep : public std::numpunct_byname<Char> {
 public:
  // Throws std::runtime_error when the standard library does not know `name`.
  explicit NoThousandsSep(const char* name, size_t references = 0)
      : std::numpunct_byname<Char>(name, references) {}

 protected:
  std::string do_grouping() const override { return std::string(); }
};

// For a locale the runtime only knows by another name than the user's: the
// user's own decimal and thousands characters over that locale's other
// punctuation.
template <typename Char>
class CRTBug_UserRadix_NoThousandsSep : public NoThousandsSep<Char> {
 public:
  CRTBug_UserRadix_NoThousandsSep(const char* name, Char decimalPoint, Char thousandsSep,
                                  size_t references = 0)
      : NoThousandsSep<Char>(name, references),
        decimalPoint_(decimalPoint),
        thousandsSep_(thousandsSep) {}

 protected:
  Char do_decimal_point() const override { return decimalPoint_; }
  Char do_thousands_sep() const override { return thousandsSep_; }

 private:
  Char decimalPoint_;
  Char thousandsSep_;
};
