// Text to number and number to text for the automation coercion rules.
#include <locale.h>
#include <stdlib.h>

#include <charconv>
#include <cmath>
#include <limits>

#include "com/convert_internal.h"

namespace velmora::com::detail {

namespace {

bool isDigit(char16_t c) { return c >= u'0' && c <= u'9'; }

int hexValue(char16_t c) {
  if (c >= u'0' && c <= u'9') return c - u'0';
  if (c >= u'a' && c <= u'f') return c - u'a' + 10;
  if (c >= u'A' && c <= u'F') return c - u'A' + 10;
  return -1;
}

// Exponents beyond this make every value overflow or vanish anyway.
constexpr int64_t kExponentLimit = 100000000;

}  // namespace

bool isBlank(char16_t c) {
  switch (c) {
    case 0x0009:
    case 0x000A:
    case 0x000B:
    case 0x000C:
    case 0x000D:
    case 0x0020:
    case 0x0085:
    case 0x00A0:
    case 0x1680:
    case 0x2028:
    case 0x2029:
    case 0x202F:
    case 0x205F:
    case 0x3000:
      return true;
    default:
      return c >= 0x2000 && c <= 0x200A;
  }
}

HRESULT parseNumber(std::u16string_view text, ParsedNumber& out) {
  // Windows reads the string up to its terminator.
  if (size_t nul = text.find(u'\0'); nul != std::u16string_view::npos) text = text.substr(0, nul);
  out = ParsedNumber{};
  size_t i = 0;
  const size_t n = text.size();
  auto at = [&](size_t k) -> char16_t { return k < n ? text[k] : u'\0'; };

  bool sign = false, currency = false, paren = false;
  // Leading blanks and symbols, in any order, each symbol at most once.
  for (;;) {
    const char16_t c = at(i);
    if (isBlank(c)) {
      ++i;
    } else if ((c == u'+' || c == u'-') && !sign) {
      sign = true;
      out.negative = c == u'-';
      ++i;
    } else if (c == u'$' && !currency) {
      currency = true;
      ++i;
    } else if (c == u'(' && !paren) {
      paren = true;
      ++i;
    } else if (c == u',') {
      return DISP_E_TYPEMISMATCH;  // a group separator before the first digit
    } else {
      break;
    }
  }

  if (!currency && at(i) == u'&' &&
      (at(i + 1) == u'H' || at(i + 1) == u'h' || at(i + 1) == u'O' || at(i + 1) == u'o')) {
    const bool hex = at(i + 1) == u'H' || at(i + 1) == u'h';
    const int shift = hex ? 4 : 3;
    i += 2;
    size_t count = 0;
    uint64_t bits = 0;
    for (;; ++i, ++count) {
      const int d = hex ? hexValue(at(i)) : (at(i) >= u'0' && at(i) <= u'7' ? at(i) - u'0' : -1);
      if (d < 0) break;
      if (bits > (std::numeric_limits<uint64_t>::max() >> shift)) return DISP_E_OVERFLOW;
      bits = (bits << shift) | uint64_t(d);
    }
    if (count == 0) return DISP_E_TYPEMISMATCH;
    out.based = true;
    out.bits = bits;
  } else {
    bool anyDigit = false;
    // Whole part: digits, with "," allowed once a digit was read.
    for (;; ++i) {
      const char16_t c = at(i);
      if (isDigit(c)) {
        anyDigit = true;
        if (c != u'0' || !out.digits.empty()) out.digits.push_back(char(c));
      } else if (c == u',' && anyDigit) {
        continue;
      } else {
        break;
      }
    }
    // Fraction.
    if (at(i) == u'.') {
      ++i;
      for (; isDigit(at(i)); ++i) {
        anyDigit = true;
        if (at(i) != u'0' || !out.digits.empty()) out.digits.push_back(char(at(i)));
        --out.pwr10;
      }
    }
    if (!anyDigit) return DISP_E_TYPEMISMATCH;
    // Exponent: "e" or "E", an optional sign, at least one digit.
    if (at(i) == u'e' || at(i) == u'E') {
      ++i;
      bool negativeExponent = false;
      if (at(i) == u'+' || at(i) == u'-') {
        negativeExponent = at(i) == u'-';
        ++i;
      }
      if (!isDigit(at(i))) return DISP_E_TYPEMISMATCH;
      int64_t exponent = 0;
      for (; isDigit(at(i)); ++i) {
        if (exponent < kExponentLimit) exponent = exponent * 10 + (at(i) - u'0');
      }
      out.pwr10 += negativeExponent ? -exponent : exponent;
    }
    // Trailing zeros of the significant digits move into the exponent.
    while (!out.digits.empty() && out.digits.back() == '0') {
      out.digits.pop_back();
      ++out.pwr10;
    }
    if (out.digits.empty()) out.pwr10 = 0;
  }

  // Trailing blanks and symbols.
  bool closed = false;
  for (;;) {
    const char16_t c = at(i);
    if (isBlank(c)) {
      ++i;
    } else if (c == u',' && !out.based) {
      ++i;  // trailing group separators are consumed, as Windows does
    } else if ((c == u'+' || c == u'-') && !sign) {
      sign = true;
      out.negative = c == u'-';
      ++i;
    } else if (c == u')' && paren && !closed) {
      closed = true;
      ++i;
    } else if (c == u'$' && !currency && !out.based) {
      currency = true;
      ++i;
    } else {
      break;
    }
  }
  if (paren) {
    if (!closed) return DISP_E_TYPEMISMATCH;
    out.negative = true;
  }
  if (i != n) return DISP_E_TYPEMISMATCH;  // all of the text must be used
  return S_OK;
}

HRESULT integerFromParsed(const ParsedNumber& number, int bytes, bool isSigned, IntValue& out) {
  const int bitCount = bytes * 8;
  const uint64_t unsignedMax = bitCount == 64 ? std::numeric_limits<uint64_t>::max() : (uint64_t(1) << bitCount) - 1;
  const uint64_t signedMax = unsignedMax >> 1;

  IntValue v;
  if (number.based) {
    // The pattern must fit the width; it is then that type's bit pattern.
    if (bitCount < 64 && (number.bits >> bitCount) != 0) return DISP_E_OVERFLOW;
    if (isSigned && (number.bits & (uint64_t(1) << (bitCount - 1)))) {
      v.negative = true;
      v.mag = (~number.bits & unsignedMax) + 1;  // two's complement magnitude
    } else {
      v.mag = number.bits;
    }
    if (number.negative && v.mag != 0) v.negative = !v.negative;
  } else {
    const auto& d = number.digits;
    const int64_t len = int64_t(d.size());
    const int64_t whole = len + number.pwr10;  // digits before the decimal point
    uint64_t mag = 0;
    if (!d.empty() && whole > 0) {
      if (whole > 20) return DISP_E_OVERFLOW;  // more than 20 digits exceed 64 bits
      for (int64_t k = 0; k < whole; ++k) {
        const unsigned digit = k < len ? unsigned(d[size_t(k)] - '0') : 0u;
        if (mag > (std::numeric_limits<uint64_t>::max() - digit) / 10) return DISP_E_OVERFLOW;
        mag = mag * 10 + digit;
      }
    }
    // Round the fraction half to even. A fraction starting after the first
    // decimal place (whole < 0) is below 0.1 and rounds down.
    if (!d.empty() && whole >= 0 && whole < len) {
      const int first = d[size_t(whole)] - '0';
      bool up = first > 5;
      if (first == 5) up = whole + 1 < len || (mag & 1);  // digits carry no trailing zeros
      if (up) {
        if (mag == std::numeric_limits<uint64_t>::max()) return DISP_E_OVERFLOW;
        ++mag;
      }
    }
    v.mag = mag;
    v.negative = number.negative && mag != 0;
  }

  if (v.negative) {
    if (!isSigned || v.mag > signedMax + 1) return DISP_E_OVERFLOW;
  } else if (v.mag > (isSigned ? signedMax : unsignedMax)) {
    return DISP_E_OVERFLOW;
  }
  out = v;
  return S_OK;
}

HRESULT doubleFromParsed(const ParsedNumber& number, double& out) {
  if (number.based) {
    if (number.bits > 0xFFFFFFFFu) return DISP_E_OVERFLOW;
    double value = double(int32_t(uint32_t(number.bits)));
    out = number.negative ? -value : value;
    return S_OK;
  }
  if (number.digits.empty()) {
    out = 0.0;
    return S_OK;
  }
  const int64_t magnitude = int64_t(number.digits.size()) + number.pwr10;  // decimal exponent + 1
  if (magnitude > 400) return DISP_E_OVERFLOW;
  if (magnitude < -400) {
    out = 0.0;
    return S_OK;
  }
  std::string text;
  text.reserve(number.digits.size() + 24);
  if (number.negative) text.push_back('-');
  text += number.digits;
  text.push_back('e');
  text += std::to_string(number.pwr10);

  // strtod in the "C" locale: the text always uses "." whatever LC_NUMERIC says.
  static const locale_t cLocale = newlocale(LC_ALL_MASK, "C", locale_t(nullptr));
  double value = 0;
  if (cLocale) {
    value = strtod_l(text.c_str(), nullptr, cLocale);
  } else {
    auto res = std::from_chars(text.data(), text.data() + text.size(), value);
    if (res.ec == std::errc::result_out_of_range) value = magnitude > 0 ? HUGE_VAL : 0.0;
  }
  if (std::isinf(value)) return DISP_E_OVERFLOW;
  out = value;  // underflow gives 0 or a subnormal value
  return S_OK;
}

double roundHalfEven(double value) {
  const double floor = std::floor(value);
  const double diff = value - floor;
  if (diff > 0.5) return floor + 1.0;
  if (diff < 0.5) return floor;
  return std::fmod(floor, 2.0) == 0.0 ? floor : floor + 1.0;
}

std::u16string formatReal(double value, int precision) {
  if (std::isnan(value)) return std::signbit(value) ? u"-1.#QNAN" : u"1.#QNAN";
  if (std::isinf(value)) return value < 0 ? u"-1.#INF" : u"1.#INF";
  if (value == 0.0) return u"0";

  // d.ddd...e±x with `precision` significant digits, correctly rounded.
  char buf[64];
  const auto res = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific, precision - 1);
  const std::string_view sci(buf, size_t(res.ptr - buf));
  const size_t e = sci.find('e');
  const bool negative = sci[0] == '-';
  std::string digits;
  for (char c : sci.substr(negative ? 1 : 0, e - (negative ? 1 : 0)))
    if (c != '.') digits.push_back(c);
  int exponent = 0;
  std::from_chars(sci.data() + e + (sci[e + 1] == '+' ? 2 : 1), sci.data() + sci.size(), exponent);

  std::string text = negative ? "-" : "";
  if (exponent < -4 || exponent >= precision) {
    while (digits.size() > 1 && digits.back() == '0') digits.pop_back();
    text.push_back(digits[0]);
    if (digits.size() > 1) {
      text.push_back('.');
      text.append(digits, 1, std::string::npos);
    }
    text.push_back('E');
    text.push_back(exponent < 0 ? '-' : '+');
    const std::string ex = std::to_string(exponent < 0 ? -exponent : exponent);
    if (ex.size() < 2) text.push_back('0');
    text += ex;
  } else {
    std::string whole, fraction;
    if (exponent >= 0) {
      whole = digits.substr(0, size_t(exponent) + 1);
      fraction = digits.substr(size_t(exponent) + 1);
    } else {
      whole = "0";
      fraction = std::string(size_t(-exponent - 1), '0') + digits;
    }
    while (!fraction.empty() && fraction.back() == '0') fraction.pop_back();
    text += whole;
    if (!fraction.empty()) text += "." + fraction;
  }
  return std::u16string(text.begin(), text.end());
}

std::u16string formatInteger(IntValue value) {
  char buf[24];
  const auto res = std::to_chars(buf, buf + sizeof buf, value.mag);
  std::u16string text;
  if (value.negative && value.mag != 0) text.push_back(u'-');
  text.append(buf, res.ptr);
  return text;
}

}  // namespace velmora::com::detail
