// Code pages: UTF-8 (65001) is converted by hand, everything else through
// iconv. CP_ACP and CP_THREAD_ACP follow the locale's character set.
#include <windows.h>

#include <iconv.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <string_view>
#include <type_traits>

#include "base/codepage_internal.h"

namespace {

// Length of the run of ASCII units at the start of `in`: most text is ASCII,
// and a run converts as a plain widening or narrowing copy.
template <class C>
size_t asciiRun(const C* in, size_t n) {
  size_t i = 0;
  while (i < n && static_cast<std::make_unsigned_t<C>>(in[i]) < 0x80) ++i;
  return i;
}

template <class To, class From>
void appendWidened(std::basic_string<To>& out, const From* in, size_t n) {
  const size_t at = out.size();
  out.resize(at + n);
  for (size_t k = 0; k < n; ++k) out[at + k] = To(static_cast<std::make_unsigned_t<From>>(in[k]));
}

UINT localeCodePage() {
  const char* vars[] = {"LC_ALL", "LC_CTYPE", "LANG"};
  for (const char* v : vars) {
    const char* value = getenv(v);
    if (!value || !*value) continue;
    std::string s = value;
    for (auto& c : s) c = char(tolower(static_cast<unsigned char>(c)));
    if (s.find("big5") != std::string::npos || s.find("950") != std::string::npos) return 950;
    return CP_UTF8;
  }
  return CP_UTF8;
}

UINT resolve(UINT cp) {
  if (cp == CP_ACP || cp == CP_THREAD_ACP || cp == CP_OEMCP || cp == CP_MACCP) return GetACP();
  return cp;
}

const char* iconvName(UINT cp) {
  switch (cp) {
    case 950: return "CP950";
    case 936: return "GBK";
    case 932: return "CP932";
    case 949: return "CP949";
    case 437: return "CP437";
    case 1252: return "CP1252";
    case 28591: return "ISO-8859-1";
    case 20127: return "ASCII";
    default: return nullptr;
  }
}

bool validCodePage(UINT cp) { return cp == CP_UTF8 || iconvName(cp) != nullptr; }

// UTF-8 -> UTF-16. Invalid sequences become U+FFFD, or fail with `strict`.
bool utf8ToUtf16(std::string_view in, std::u16string& out, bool strict) {
  out.clear();
  out.reserve(in.size());
  size_t i = 0;
  while (i < in.size()) {
    if (size_t run = asciiRun(in.data() + i, in.size() - i)) {
      appendWidened(out, in.data() + i, run);
      i += run;
      continue;
    }
    unsigned char c = static_cast<unsigned char>(in[i]);
    int len = c >= 0xF0 && c <= 0xF4 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 && c < 0xE0 ? 2 : 0;
    if (c >= 0xF5) len = 0;
    char32_t cp = len == 2 ? c & 0x1F : len == 3 ? c & 0x0F : c & 0x07;
    bool ok = len != 0 && i + size_t(len) <= in.size();
    for (int k = 1; ok && k < len; ++k) {
      unsigned char cc = static_cast<unsigned char>(in[i + size_t(k)]);
      if ((cc & 0xC0) != 0x80) ok = false;
      cp = (cp << 6) | (cc & 0x3F);
    }
    if (ok && ((len == 3 && (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF))) || (len == 4 && (cp < 0x10000 || cp > 0x10FFFF))))
      ok = false;
    if (!ok) {
      if (strict) return false;
      out.push_back(0xFFFD);
      ++i;
      // Skip the continuation bytes of a broken sequence as one unit.
      while (i < in.size() && (static_cast<unsigned char>(in[i]) & 0xC0) == 0x80) ++i;
      continue;
    }
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out.push_back(char16_t(0xD800 + (cp >> 10)));
      out.push_back(char16_t(0xDC00 + (cp & 0x3FF)));
    } else {
      out.push_back(char16_t(cp));
    }
    i += size_t(len);
  }
  return true;
}

}  // namespace

namespace velmora::platform {

void appendUtf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out.push_back(char(cp));
  } else if (cp < 0x800) {
    out.push_back(char(0xC0 | (cp >> 6)));
    out.push_back(char(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(char(0xE0 | (cp >> 12)));
    out.push_back(char(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(char(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(char(0xF0 | (cp >> 18)));
    out.push_back(char(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(char(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(char(0x80 | (cp & 0x3F)));
  }
}

}  // namespace velmora::platform

namespace {

bool utf16ToUtf8(std::u16string_view in, std::string& out, bool strict, BOOL* usedDefault) {
  out.clear();
  out.reserve(in.size() + in.size() / 2);
  for (size_t i = 0; i < in.size(); ++i) {
    if (size_t run = asciiRun(in.data() + i, in.size() - i)) {
      appendWidened(out, in.data() + i, run);
      i += run - 1;
      continue;
    }
    char32_t cp = in[i];
    if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < in.size() && in[i + 1] >= 0xDC00 && in[i + 1] <= 0xDFFF) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (in[i + 1] - 0xDC00);
      ++i;
    } else if (cp >= 0xD800 && cp <= 0xDFFF) {
      if (strict) return false;
      cp = 0xFFFD;
      if (usedDefault) *usedDefault = TRUE;
    }
    velmora::platform::appendUtf8(out, cp);
  }
  return true;
}

// Multibyte (iconv code page) -> UTF-16, one character at a time so a
// byte that does not convert becomes U+003F instead of ending the text.
bool legacyToUtf16(UINT cp, std::string_view in, std::u16string& out, bool strict) {
  iconv_t cd = iconv_open("UTF-16LE", iconvName(cp));
  if (cd == (iconv_t)-1) return false;
  out.clear();
  out.reserve(in.size());
  size_t i = 0;
  while (i < in.size()) {
    // At a character boundary a byte below 0x80 is that ASCII character in
    // every code page here (trail bytes are only read with their lead).
    if (size_t run = asciiRun(in.data() + i, in.size() - i)) {
      appendWidened(out, in.data() + i, run);
      i += run;
      continue;
    }
    char16_t buf[4];
    char* src = const_cast<char*>(in.data() + i);
    size_t srcLeft = in.size() - i;
    char* dst = reinterpret_cast<char*>(buf);
    size_t dstLeft = sizeof buf;
    // Convert at most one character: feed one byte, then two.
    size_t step = 1;
    bool done = false;
    for (; step <= 2 && step <= srcLeft; ++step) {
      src = const_cast<char*>(in.data() + i);
      size_t left = step;
      dst = reinterpret_cast<char*>(buf);
      dstLeft = sizeof buf;
      iconv(cd, nullptr, nullptr, nullptr, nullptr);
      if (iconv(cd, &src, &left, &dst, &dstLeft) != (size_t)-1 && left == 0) {
        done = true;
        break;
      }
    }
    if (!done) {
      if (strict) {
        iconv_close(cd);
        return false;
      }
      out.push_back(u'?');
      ++i;
      continue;
    }
    size_t produced = (sizeof buf - dstLeft) / 2;
    for (size_t k = 0; k < produced; ++k) {
      const unsigned char* b = reinterpret_cast<const unsigned char*>(buf) + 2 * k;
      out.push_back(char16_t(b[0] | (b[1] << 8)));
    }
    i += step;
  }
  iconv_close(cd);
  return true;
}

bool utf16ToLegacy(UINT cp, std::u16string_view in, std::string& out, const char* defaultChar, BOOL* usedDefault) {
  iconv_t cd = iconv_open(iconvName(cp), "UTF-16LE");
  if (cd == (iconv_t)-1) return false;
  out.clear();
  const std::string def = defaultChar ? std::string(defaultChar) : std::string("?");
  out.reserve(in.size());
  for (size_t i = 0; i < in.size(); ++i) {
    if (size_t run = asciiRun(in.data() + i, in.size() - i)) {
      appendWidened(out, in.data() + i, run);
      i += run - 1;
      continue;
    }
    size_t units = (in[i] >= 0xD800 && in[i] <= 0xDBFF && i + 1 < in.size()) ? 2 : 1;
    unsigned char src[4];
    for (size_t k = 0; k < units; ++k) {
      src[2 * k] = static_cast<unsigned char>(in[i + k] & 0xFF);
      src[2 * k + 1] = static_cast<unsigned char>(in[i + k] >> 8);
    }
    char* s = reinterpret_cast<char*>(src);
    size_t sLeft = units * 2;
    char buf[8];
    char* d = buf;
    size_t dLeft = sizeof buf;
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    if (iconv(cd, &s, &sLeft, &d, &dLeft) == (size_t)-1 || sLeft != 0) {
      out += def;
      if (usedDefault) *usedDefault = TRUE;
    } else {
      out.append(buf, sizeof buf - dLeft);
    }
    i += units - 1;
  }
  iconv_close(cd);
  return true;
}

}  // namespace

namespace velmora::platform {

std::u16string toWide(std::string_view text, UINT codePage) {
  std::u16string out;
  UINT cp = resolve(codePage);
  if (cp == CP_UTF8) utf8ToUtf16(text, out, false);
  else if (!validCodePage(cp) || !legacyToUtf16(cp, text, out, false)) utf8ToUtf16(text, out, false);
  return out;
}

std::string toNarrow(std::u16string_view text, UINT codePage) {
  std::string out;
  UINT cp = resolve(codePage);
  if (cp == CP_UTF8) utf16ToUtf8(text, out, false, nullptr);
  else if (!validCodePage(cp) || !utf16ToLegacy(cp, text, out, nullptr, nullptr)) utf16ToUtf8(text, out, false, nullptr);
  return out;
}

std::string convertCodePage(std::string_view text, UINT from, UINT to) {
  if (resolve(from) == resolve(to)) return std::string(text);
  return toNarrow(toWide(text, from), to);
}

}  // namespace velmora::platform

UINT GetACP(void) {
  static const UINT cp = localeCodePage();
  return cp;
}

int MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCSTR lpMultiByteStr, int cbMultiByte, LPWSTR lpWideCharStr,
                        int cchWideChar) {
  if (!lpMultiByteStr || cbMultiByte == 0 || cchWideChar < 0 || (cchWideChar > 0 && !lpWideCharStr) ||
      (lpWideCharStr && static_cast<const void*>(lpWideCharStr) == static_cast<const void*>(lpMultiByteStr))) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  UINT cp = resolve(CodePage);
  if (!validCodePage(cp)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  size_t len = cbMultiByte < 0 ? strlen(lpMultiByteStr) + 1 : size_t(cbMultiByte);
  std::string_view in(lpMultiByteStr, len);
  const bool strict = (dwFlags & MB_ERR_INVALID_CHARS) != 0;
  std::u16string out;
  bool ok = cp == CP_UTF8 ? utf8ToUtf16(in, out, strict) : legacyToUtf16(cp, in, out, strict);
  if (!ok) {
    SetLastError(ERROR_NO_UNICODE_TRANSLATION);
    return 0;
  }
  if (cchWideChar == 0) return int(out.size());
  if (out.size() > size_t(cchWideChar)) {
    memcpy(lpWideCharStr, out.data(), size_t(cchWideChar) * sizeof(WCHAR));
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  memcpy(lpWideCharStr, out.data(), out.size() * sizeof(WCHAR));
  return int(out.size());
}

int WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWSTR lpWideCharStr, int cchWideChar, LPSTR lpMultiByteStr,
                        int cbMultiByte, LPCSTR lpDefaultChar, LPBOOL lpUsedDefaultChar) {
  if (!lpWideCharStr || cchWideChar == 0 || cbMultiByte < 0 || (cbMultiByte > 0 && !lpMultiByteStr)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  UINT cp = resolve(CodePage);
  if (!validCodePage(cp) || (cp == CP_UTF8 && (lpDefaultChar || lpUsedDefaultChar))) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  size_t len = 0;
  if (cchWideChar < 0) {
    while (lpWideCharStr[len]) ++len;
    ++len;
  } else {
    len = size_t(cchWideChar);
  }
  std::u16string_view in(lpWideCharStr, len);
  std::string out;
  BOOL used = FALSE;
  bool ok = cp == CP_UTF8 ? utf16ToUtf8(in, out, (dwFlags & WC_ERR_INVALID_CHARS) != 0, nullptr)
                          : utf16ToLegacy(cp, in, out, lpDefaultChar, &used);
  if (!ok) {
    SetLastError(ERROR_NO_UNICODE_TRANSLATION);
    return 0;
  }
  if (lpUsedDefaultChar) *lpUsedDefaultChar = used;
  if (cbMultiByte == 0) return int(out.size());
  if (out.size() > size_t(cbMultiByte)) {
    memcpy(lpMultiByteStr, out.data(), size_t(cbMultiByte));
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  memcpy(lpMultiByteStr, out.data(), out.size());
  return int(out.size());
}
