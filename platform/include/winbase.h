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

// ---- Kernel objects: handles, named file mappings, events, mutexes ----
//
// Named objects are the current user's alone: each lives in POSIX shared
// memory under a name that carries the user id, mode 0600, and an object
// found there that belongs to another user or is open to others is refused
// (ERROR_ACCESS_DENIED). An object lives while a handle (or a mapped view)
// to it is open in any process; one whose last holder has gone, also by a
// crash, is not found again. The security descriptor of a
// SECURITY_ATTRIBUTES is not applied: access is always the user's only.
typedef struct _SECURITY_ATTRIBUTES {
  DWORD nLength;
  LPVOID lpSecurityDescriptor;
  BOOL bInheritHandle;
} SECURITY_ATTRIBUTES, *PSECURITY_ATTRIBUTES, *LPSECURITY_ATTRIBUTES;

#define INVALID_HANDLE_VALUE ((HANDLE)(LONG_PTR)-1)

#define SYNCHRONIZE 0x00100000L
#define STANDARD_RIGHTS_REQUIRED 0x000F0000L
#define GENERIC_READ 0x80000000L
#define GENERIC_WRITE 0x40000000L
#define GENERIC_EXECUTE 0x20000000L
#define GENERIC_ALL 0x10000000L

WINBASEAPI BOOL CloseHandle(HANDLE hObject);

// File mappings backed by the page file (hFile INVALID_HANDLE_VALUE).
#define PAGE_READONLY 0x02
#define PAGE_READWRITE 0x04
#define SEC_COMMIT 0x08000000
#define FILE_MAP_COPY 0x0001
#define FILE_MAP_WRITE 0x0002
#define FILE_MAP_READ 0x0004
#define FILE_MAP_ALL_ACCESS 0x000F001F

// An existing object of that name is opened instead, with its own size, and
// the last error is ERROR_ALREADY_EXISTS (it is 0 after a creation).
WINBASEAPI HANDLE CreateFileMappingA(HANDLE hFile, LPSECURITY_ATTRIBUTES lpFileMappingAttributes, DWORD flProtect,
                                     DWORD dwMaximumSizeHigh, DWORD dwMaximumSizeLow, LPCSTR lpName);
WINBASEAPI HANDLE OpenFileMappingA(DWORD dwDesiredAccess, BOOL bInheritHandle, LPCSTR lpName);
// dwNumberOfBytesToMap 0 maps the whole object. The view keeps the object
// alive after its handle is closed.
WINBASEAPI LPVOID MapViewOfFile(HANDLE hFileMappingObject, DWORD dwDesiredAccess, DWORD dwFileOffsetHigh,
                                DWORD dwFileOffsetLow, SIZE_T dwNumberOfBytesToMap);
WINBASEAPI BOOL UnmapViewOfFile(LPCVOID lpBaseAddress);
WINBASEAPI BOOL FlushViewOfFile(LPCVOID lpBaseAddress, SIZE_T dwNumberOfBytesToFlush);

// Waiting
#define INFINITE 0xFFFFFFFF
#define WAIT_OBJECT_0 0x00000000L
#define WAIT_ABANDONED 0x00000080L
#define WAIT_ABANDONED_0 0x00000080L
#define WAIT_FAILED ((DWORD)0xFFFFFFFF)
// WAIT_TIMEOUT (258) is in winerror.h.

// Events and mutexes. A mutex is owned by a thread, may be taken again by
// its owner, and must be released as often as it was taken. When the owning
// thread or process ends without releasing it, the next wait gets it with
// WAIT_ABANDONED: the data it guards may be half written.
WINBASEAPI DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds);

#define EVENT_MODIFY_STATE 0x0002
#define EVENT_ALL_ACCESS 0x001F0003
#define MUTEX_MODIFY_STATE 0x0001
#define MUTEX_ALL_ACCESS 0x001F0001

WINBASEAPI HANDLE CreateEventA(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset, BOOL bInitialState,
                               LPCSTR lpName);
WINBASEAPI HANDLE OpenEventA(DWORD dwDesiredAccess, BOOL bInheritHandle, LPCSTR lpName);
WINBASEAPI BOOL SetEvent(HANDLE hEvent);
WINBASEAPI BOOL ResetEvent(HANDLE hEvent);

WINBASEAPI HANDLE CreateMutexA(LPSECURITY_ATTRIBUTES lpMutexAttributes, BOOL bInitialOwner, LPCSTR lpName);
WINBASEAPI HANDLE OpenMutexA(DWORD dwDesiredAccess, BOOL bInheritHandle, LPCSTR lpName);
WINBASEAPI BOOL ReleaseMutex(HANDLE hMutex);
