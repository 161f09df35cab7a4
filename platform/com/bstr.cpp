// UTF-8 <-> UTF-16 for the BSTR conveniences (com/bstr.h), by hand.
#include "com/bstr.h"
#include "base/codepage_internal.h"

namespace velmora::com {

namespace {

constexpr char16_t kReplacement = 0xFFFD;

void appendCodePoint(std::u16string& out, char32_t cp) {
  if (cp < 0x10000) {
    out.push_back(char16_t(cp));
  } else {
    cp -= 0x10000;
    out.push_back(char16_t(0xD800 + (cp >> 10)));
    out.push_back(char16_t(0xDC00 + (cp & 0x3FF)));
  }
}


}  // namespace

std::u16string toU16(const std::string& utf8) {
  std::u16string out;
  out.reserve(utf8.size());
  const size_t n = utf8.size();
  size_t i = 0;
  while (i < n) {
    const unsigned char b0 = static_cast<unsigned char>(utf8[i]);
    if (b0 < 0x80) {
      out.push_back(char16_t(b0));
      ++i;
      continue;
    }
    // Sequence length and the allowed range of the second byte (Unicode
    // table 3-7); anything else is ill-formed.
    size_t len = 0;
    unsigned char lo = 0x80, hi = 0xBF;
    char32_t cp = 0;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
      len = 2;
      cp = b0 & 0x1F;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
      len = 3;
      cp = b0 & 0x0F;
      if (b0 == 0xE0) lo = 0xA0;  // no overlong forms
      if (b0 == 0xED) hi = 0x9F;  // no surrogates
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
      len = 4;
      cp = b0 & 0x07;
      if (b0 == 0xF0) lo = 0x90;  // no overlong forms
      if (b0 == 0xF4) hi = 0x8F;  // nothing above U+10FFFF
    } else {
      out.push_back(kReplacement);  // a stray continuation byte, C0, C1, F5..FF
      ++i;
      continue;
    }
    size_t k = 1;
    for (; k < len && i + k < n; ++k) {
      const unsigned char b = static_cast<unsigned char>(utf8[i + k]);
      if (b < (k == 1 ? lo : 0x80) || b > (k == 1 ? hi : 0xBF)) break;
      cp = (cp << 6) | (b & 0x3F);
    }
    if (k == len) {
      appendCodePoint(out, cp);
    } else {
      out.push_back(kReplacement);  // one U+FFFD for the lead and the valid bytes after it
    }
    i += k;
  }
  return out;
}

std::string toUtf8(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    const char16_t c = text[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
      velmora::platform::appendUtf8(out, 0x10000 + ((char32_t(c) - 0xD800) << 10) + (char32_t(text[i + 1]) - 0xDC00));
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      velmora::platform::appendUtf8(out, kReplacement);
    } else {
      velmora::platform::appendUtf8(out, c);
    }
  }
  return out;
}

}  // namespace velmora::com
