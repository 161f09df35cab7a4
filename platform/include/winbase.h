// Kernel functions the components call: the thread's last error, module
// loading, message texts and the temporary folder.
#pragma once

#include <windef.h>
#include <winerror.h>

WINBASEAPI DWORD GetLastError(void);
WINBASEAPI void SetLastError(DWORD dwErrCode);

// A library named without a folder is looked up on the library search path;
// a ".dll" ending becomes the platform's ".so", and a name without an
// extension gets ".so" appended.
WINBASEAPI HMODULE LoadLibraryA(LPCSTR lpLibFileName);
WINBASEAPI FARPROC GetProcAddress(HMODULE hModule, LPCSTR lpProcName);
WINBASEAPI BOOL FreeLibrary(HMODULE hLibModule);
WINBASEAPI DWORD GetModuleFileNameA(HMODULE hModule, LPSTR lpFilename, DWORD nSize);
// The system folder, where libraries of the platform such as ncrypt live: the
// folder of the platform library itself, or $VELMORA_SYSTEM_DIR when set.
// The length without the terminating zero; when the buffer is too small, the
// size it needs (with the zero); 0 on failure.
WINBASEAPI UINT GetSystemDirectoryA(LPSTR lpBuffer, UINT uSize);

#define GET_MODULE_HANDLE_EX_FLAG_PIN 0x00000001
#define GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT 0x00000002
#define GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS 0x00000004
WINBASEAPI BOOL GetModuleHandleExA(DWORD dwFlags, LPCSTR lpModuleName, HMODULE* phModule);

#define FORMAT_MESSAGE_ALLOCATE_BUFFER 0x00000100
#define FORMAT_MESSAGE_IGNORE_INSERTS 0x00000200
#define FORMAT_MESSAGE_FROM_STRING 0x00000400
#define FORMAT_MESSAGE_FROM_HMODULE 0x00000800
#define FORMAT_MESSAGE_FROM_SYSTEM 0x00001000
#define FORMAT_MESSAGE_ARGUMENT_ARRAY 0x00002000
#define FORMAT_MESSAGE_MAX_WIDTH_MASK 0x000000FF

// System message texts in English (1033) and Traditional Chinese (1028),
// produced in the ANSI code page. Language 0 picks the user's language.
WINBASEAPI DWORD FormatMessageA(DWORD dwFlags, LPCVOID lpSource, DWORD dwMessageId, DWORD dwLanguageId,
                                LPSTR lpBuffer, DWORD nSize, void* Arguments);
WINBASEAPI HLOCAL LocalAlloc(UINT uFlags, SIZE_T uBytes);
WINBASEAPI HLOCAL LocalFree(HLOCAL hMem);
#define LMEM_FIXED 0x0000
#define LMEM_ZEROINIT 0x0040
#define LPTR (LMEM_FIXED | LMEM_ZEROINIT)

// $TMPDIR or /tmp, always ending in "/".
WINBASEAPI DWORD GetTempPathA(DWORD nBufferLength, LPSTR lpBuffer);

// String resources. A module carries its strings as an exported table named
// "VelmoraStringTable"; LoadStringA gives them in the ANSI code page.
struct VelmoraStringEntry {
  UINT id;
  const char* text;  // UTF-8
};
WINBASEAPI int LoadStringA(HINSTANCE hInstance, UINT uID, LPSTR lpBuffer, int cchBufferMax);

typedef struct _OSVERSIONINFOA {
  DWORD dwOSVersionInfoSize;
  DWORD dwMajorVersion;
  DWORD dwMinorVersion;
  DWORD dwBuildNumber;
  DWORD dwPlatformId;
  CHAR szCSDVersion[128];
} OSVERSIONINFOA, *LPOSVERSIONINFOA;
static_assert(sizeof(OSVERSIONINFOA) == 148, "OSVERSIONINFOA layout");
#define VER_PLATFORM_WIN32_NT 2
// The running kernel's version (major.minor.patch of its release).
WINBASEAPI BOOL GetVersionExA(LPOSVERSIONINFOA lpVersionInformation);
