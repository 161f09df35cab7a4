// Base64 with PEM armour: any bytes encode and decode back unchanged; any
// text that decodes gives bytes that survive the same round trip.
#include <cstring>
#include <string>

#include "certs/encoding.h"
#include "fuzz_check.h"

using strabel::ByteBuffer;

static bool same(const ByteBuffer& b, const uint8_t* p, size_t n) {
  return size_t(b.length()) == n && (n == 0 || memcmp(b.data(), p, n) == 0);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > (1u << 20)) return 0;
  // Bytes -> text -> bytes.
  ByteBuffer text;
  if (strabel::Base64Encode(data, int32_t(size), text)) {
    FUZZ_CHECK(text.length() == int32_t((size + 2) / 3 * 4));
    ByteBuffer back;
    FUZZ_CHECK(strabel::Base64Decode(text.str(), back));
    FUZZ_CHECK(same(back, data, size));
    // The same text in PEM armour, folded at 64 columns, decodes alike.
    std::string pem = "-----BEGIN CERTIFICATE-----\r\n";
    for (int32_t i = 0; i < text.length(); i += 64) pem += text.str().substr(size_t(i), 64) + "\r\n";
    pem += "-----END CERTIFICATE-----\n";
    ByteBuffer armoured;
    FUZZ_CHECK(strabel::Base64Decode(pem, armoured));
    FUZZ_CHECK(same(armoured, data, size));
  } else {
    FUZZ_CHECK(size == 0);
  }
  // Text -> bytes -> text -> bytes.
  ByteBuffer decoded;
  if (strabel::Base64Decode(std::string(reinterpret_cast<const char*>(data), size), decoded)) {
    ByteBuffer again;
    if (strabel::Base64Encode(decoded.data(), decoded.length(), again)) {
      ByteBuffer twice;
      FUZZ_CHECK(strabel::Base64Decode(again.str(), twice));
      FUZZ_CHECK(same(twice, decoded.data(), size_t(decoded.length())));
    }
  }
  return 0;
}
