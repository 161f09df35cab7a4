// MessageBoxA and MessageBoxW, shown through the dialog service.
#include <windows.h>
#include <winuser.h>

#include "base/codepage_internal.h"
#include "ui/dialogs.h"

namespace {

constexpr DWORD kErrorInvalidMsgboxStyle = 1158;  // ERROR_INVALID_MSGBOX_STYLE

int show(const std::string& text, const std::string& caption, UINT uType) {
  if ((uType & MB_TYPEMASK) > MB_CANCELTRYCONTINUE) {
    SetLastError(kErrorInvalidMsgboxStyle);
    return 0;
  }
  return velmora::ui::messageBox(text, caption, uType);
}

}  // namespace

int MessageBoxA(HWND, LPCSTR lpText, LPCSTR lpCaption, UINT uType) {
  using velmora::platform::utf8FromAnsi;
  return show(lpText ? utf8FromAnsi(lpText) : std::string(), lpCaption ? utf8FromAnsi(lpCaption) : "Error",
              uType);
}

int MessageBoxW(HWND, LPCWSTR lpText, LPCWSTR lpCaption, UINT uType) {
  using velmora::platform::toNarrow;
  return show(lpText ? toNarrow(lpText, CP_UTF8) : std::string(), lpCaption ? toNarrow(lpCaption, CP_UTF8) : "Error",
              uType);
}
