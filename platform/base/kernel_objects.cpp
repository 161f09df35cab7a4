// Kernel object handles, named file mappings, events and mutexes.
#include <windows.h>

#define STUB_HANDLE(name, ...) \
  HANDLE name(__VA_ARGS__) {   \
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED); \
    return nullptr;            \
  }

BOOL CloseHandle(HANDLE) { SetLastError(ERROR_CALL_NOT_IMPLEMENTED); return FALSE; }
STUB_HANDLE(CreateFileMappingA, HANDLE, LPSECURITY_ATTRIBUTES, DWORD, DWORD, DWORD, LPCSTR)
STUB_HANDLE(OpenFileMappingA, DWORD, BOOL, LPCSTR)
LPVOID MapViewOfFile(HANDLE, DWORD, DWORD, DWORD, SIZE_T) { SetLastError(ERROR_CALL_NOT_IMPLEMENTED); return nullptr; }
BOOL UnmapViewOfFile(LPCVOID) { SetLastError(ERROR_CALL_NOT_IMPLEMENTED); return FALSE; }
BOOL FlushViewOfFile(LPCVOID, SIZE_T) { SetLastError(ERROR_CALL_NOT_IMPLEMENTED); return FALSE; }
DWORD WaitForSingleObject(HANDLE, DWORD) { SetLastError(ERROR_CALL_NOT_IMPLEMENTED); return WAIT_FAILED; }
STUB_HANDLE(CreateEventA, LPSECURITY_ATTRIBUTES, BOOL, BOOL, LPCSTR)
STUB_HANDLE(OpenEventA, DWORD, BOOL, LPCSTR)
BOOL SetEvent(HANDLE) { SetLastError(ERROR_CALL_NOT_IMPLEMENTED); return FALSE; }
BOOL ResetEvent(HANDLE) { SetLastError(ERROR_CALL_NOT_IMPLEMENTED); return FALSE; }
STUB_HANDLE(CreateMutexA, LPSECURITY_ATTRIBUTES, BOOL, LPCSTR)
STUB_HANDLE(OpenMutexA, DWORD, BOOL, LPCSTR)
BOOL ReleaseMutex(HANDLE) { SetLastError(ERROR_CALL_NOT_IMPLEMENTED); return FALSE; }
