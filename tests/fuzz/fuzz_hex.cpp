// Hex: any bytes encode and decode back unchanged; text made only of hex
// digits decodes to bytes whose encoding is that text in upper case.
#include <cctype>
#include <cstring>
#include <string>

#include "certs/encoding.h"
#include "fuzz_check.h"

using strabel::ByteBuffer;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > (1u << 20)) return 0;
  ByteBuffer text;
  if (size > 0) {
    FUZZ_CHECK(strabel::HexEncode(data, int32_t(size), text));
    FUZZ_CHECK(size_t(text.length()) == 2 * size);
    for (int32_t i = 0; i < text.length(); ++i)
      FUZZ_CHECK(isdigit(text.data()[i]) || (text.data()[i] >= 'A' && text.data()[i] <= 'F'));
    ByteBuffer back;
    FUZZ_CHECK(strabel::HexDecode(text.str(), back));
    FUZZ_CHECK(size_t(back.length()) == size && memcmp(back.data(), data, size) == 0);
  }
  const std::string input(reinterpret_cast<const char*>(data), size);
  ByteBuffer decoded;
  const bool ok = strabel::HexDecode(input, decoded);
  if (ok) FUZZ_CHECK(size_t(decoded.length()) * 2 == size);
  bool allDigits = size > 0 && size % 2 == 0;
  for (char c : input) allDigits = allDigits && isxdigit(static_cast<unsigned char>(c));
  if (allDigits) {
    FUZZ_CHECK(ok);
    ByteBuffer upper;
    FUZZ_CHECK(strabel::HexEncode(decoded.data(), decoded.length(), upper));
    std::string expected = input;
    for (auto& c : expected) c = char(toupper(static_cast<unsigned char>(c)));
    FUZZ_CHECK(upper.str() == expected);
  }
  return 0;
}
