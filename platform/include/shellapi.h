#pragma once

#include <windef.h>

#define SW_SHOWNORMAL 1
#define SW_SHOW 5
#define SE_ERR_NOASSOC 31

// Opens lpFile with its default handler. Only the "open" verb (or none) is
// known; the result is greater than 32 on success, as on Windows.
WINBASEAPI HINSTANCE ShellExecuteA(HWND hwnd, LPCSTR lpOperation, LPCSTR lpFile, LPCSTR lpParameters,
                                   LPCSTR lpDirectory, INT nShowCmd);
