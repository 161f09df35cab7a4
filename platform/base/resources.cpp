// String resources of a loaded module: a module carries its strings as an
// exported table named VelmoraStringTable ({id, UTF-8 text}, ending in {0, nullptr}).
#include <windows.h>

#include <cstring>
#include <string>

#include "base/codepage_internal.h"

int LoadStringA(HINSTANCE hInstance, UINT uID, LPSTR lpBuffer, int cchBufferMax) {
  if (!hInstance || !lpBuffer || cchBufferMax <= 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  auto* table = reinterpret_cast<const VelmoraStringEntry*>(
      GetProcAddress(reinterpret_cast<HMODULE>(hInstance), "VelmoraStringTable"));
  if (table) {
    for (; table->text; ++table) {
      if (table->id != uID) continue;
      std::string text = velmora::platform::ansiFromUtf8(table->text);
      size_t n = std::min(text.size(), size_t(cchBufferMax - 1));
      memcpy(lpBuffer, text.data(), n);
      lpBuffer[n] = 0;
      return int(n);
    }
  }
  lpBuffer[0] = 0;
  SetLastError(ERROR_RESOURCE_DATA_NOT_FOUND);
  return 0;
}
