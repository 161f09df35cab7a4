// FormatMessageA over the platform's own message texts.
#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "base/codepage_internal.h"
#include "base/system_messages.h"

#define ERROR_MR_MID_NOT_FOUND 317L
#define ERROR_RESOURCE_LANG_NOT_FOUND 15100L

namespace {

bool userPrefersChinese() {
  for (const char* v : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    const char* value = getenv(v);
    if (!value || !*value) continue;
    std::string s = value;
    return s.rfind("zh_TW", 0) == 0 || s.rfind("zh_HK", 0) == 0 || s.find("Hant") != std::string::npos;
  }
  return false;
}

}  // namespace

DWORD FormatMessageA(DWORD dwFlags, LPCVOID lpSource, DWORD dwMessageId, DWORD dwLanguageId, LPSTR lpBuffer,
                     DWORD nSize, void* Arguments) {
  if (!(dwFlags & FORMAT_MESSAGE_FROM_SYSTEM) || !lpBuffer) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  bool chinese;
  switch (dwLanguageId) {
    case 0:
    case MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT):
      chinese = userPrefersChinese();
      break;
    case 1033:  // English (United States)
      chinese = false;
      break;
    case 1028:  // Chinese (Taiwan)
      chinese = true;
      break;
    default:
      SetLastError(ERROR_RESOURCE_LANG_NOT_FOUND);
      return 0;
  }
  const char* text = velmora::platform::systemMessageText(dwMessageId, chinese);
  if (!text) {
    SetLastError(ERROR_MR_MID_NOT_FOUND);
    return 0;
  }
  std::string out = velmora::platform::ansiFromUtf8(text);
  if (dwFlags & FORMAT_MESSAGE_ALLOCATE_BUFFER) {
    char* buf = static_cast<char*>(LocalAlloc(LMEM_FIXED, std::max<size_t>(out.size() + 1, nSize)));
    if (!buf) return 0;
    memcpy(buf, out.c_str(), out.size() + 1);
    *reinterpret_cast<LPSTR*>(lpBuffer) = buf;
    return DWORD(out.size());
  }
  if (out.size() + 1 > nSize) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  memcpy(lpBuffer, out.c_str(), out.size() + 1);
  return DWORD(out.size());
}
