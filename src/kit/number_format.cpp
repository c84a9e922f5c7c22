// Numbers in messages (see number_format.hpp).
#include "number_format.hpp"

#include <charconv>
#include <cmath>

namespace vexel::py {

std::string format_double(double v) {
  if (std::isnan(v)) return "NaN";
  if (std::isinf(v)) return v > 0 ? "inf" : "-inf";
  if (v == 0.0) return std::signbit(v) ? "-0.0" : "0.0";
  char buf[64];
  const double mag = std::fabs(v);
  if (mag >= 1e-4 && mag < 1e16) {
    auto res = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed);
    std::string s(buf, res.ptr);
    if (s.find('.') == std::string::npos) s += ".0";
    return s;
  }
  // Shortest mantissa, exponent without plus sign or leading zeros.
  auto res = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific);
  std::string s(buf, res.ptr);
  const std::size_t e = s.find('e');
  std::string mantissa = s.substr(0, e);
  std::string exponent = s.substr(e + 1);
  bool negative = false;
  std::size_t k = 0;
  if (k < exponent.size() && (exponent[k] == '+' || exponent[k] == '-')) {
    negative = exponent[k] == '-';
    ++k;
  }
  while (k + 1 < exponent.size() && exponent[k] == '0') ++k;
  return mantissa + "e" + (negative ? "-" : "") + exponent.substr(k);
}

std::string format_value_list(const double* values, Index count) {
  std::string out = "[";
  for (Index i = 0; i < count; ++i) {
    if (i > 0) out += ", ";
    out += format_double(values[i]);
  }
  out += "]";
  return out;
}

std::string shape_text(std::initializer_list<Index> dims) {
  std::string s = "(";
  bool first = true;
  for (Index d : dims) {
    s += (first ? "" : ", ") + std::to_string(d);
    first = false;
  }
  return s + ")";
}

}  // namespace vexel::py
