// Private helpers of the automation coercion (VariantChangeType): text to
// number the way VarParseNumFromStr/VarNumFromParseNum read it with
// NUMPRS_STD under the en-US locale, numbers to text the way VarBstrFromR8 and
// VarBstrFromR4 write them, and banker's rounding.
#pragma once

#include <windef.h>
#include <winerror.h>

#include <cstdint>
#include <string>
#include <string_view>

namespace velmora::com::detail {

// A number read from text. Decimal: value = digits x 10^pwr10, where
// `digits` holds the significant decimal digits ('0'..'9') without leading
// or trailing zeros (empty for zero). Hexadecimal/octal ("&H1F", "&O17"):
// `based` is set and `bits` holds the 64-bit pattern.
struct ParsedNumber {
  bool negative = false;
  bool based = false;
  uint64_t bits = 0;
  std::string digits;
  int64_t pwr10 = 0;
};

// Reads `text` (up to its first NUL) as a number: blanks before and after,
// a sign before or after, parentheses for a negative, a "$" sign, "," between
// digit groups of the whole part, a decimal point, an exponent, or the
// "&H"/"&O" forms. S_OK; DISP_E_TYPEMISMATCH for text that is no number;
// DISP_E_OVERFLOW for a hexadecimal/octal number beyond 64 bits.
HRESULT parseNumber(std::u16string_view text, ParsedNumber& out);

// An integer as a sign and a magnitude (value = negative ? -mag : mag).
struct IntValue {
  bool negative = false;
  uint64_t mag = 0;
};

// The integer a parsed number gives in an integer type of `bytes` bytes
// (1, 2, 4, 8), signed or not: fractions rounded half to even; a
// hexadecimal/octal pattern that fits the width is read as that type's bit
// pattern ("&HFFFF" is -1 as a 16-bit signed number). DISP_E_OVERFLOW when
// out of range.
HRESULT integerFromParsed(const ParsedNumber& number, int bytes, bool isSigned, IntValue& out);

// The double a parsed number gives (correctly rounded). DISP_E_OVERFLOW
// beyond the double range; a value below the smallest double becomes 0.
// Hexadecimal/octal numbers are read as 32-bit signed numbers.
HRESULT doubleFromParsed(const ParsedNumber& number, double& out);

// Round half to even; the argument must be finite.
double roundHalfEven(double value);

// "%.<precision>G" as VarBstrFromR8 (15) and VarBstrFromR4 (7) write it,
// independent of the C locale: "1.5", "0.1", "1E+20", "1.5E-07"; a negative
// zero is "0".
std::u16string formatReal(double value, int precision);

// Decimal text of an integer.
std::u16string formatInteger(IntValue value);

// True for the blanks the number parser skips.
bool isBlank(char16_t c);

}  // namespace velmora::com::detail
