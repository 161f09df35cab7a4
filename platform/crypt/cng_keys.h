// The key storage provider's functions that the certificate functions use
// for a CNG key handle. The provider library offers them while it is loaded;
// without it no handle is a CNG key handle.
#pragma once

#include <ncrypt.h>

namespace velmora::crypt {

struct CngKeyFunctions {
  BOOL (*isKeyHandle)(NCRYPT_KEY_HANDLE);
  SECURITY_STATUS (*exportKey)(NCRYPT_KEY_HANDLE, NCRYPT_KEY_HANDLE, LPCWSTR, void*, PBYTE, DWORD, DWORD*, DWORD);
  SECURITY_STATUS (*signHash)(NCRYPT_KEY_HANDLE, void*, PBYTE, DWORD, PBYTE, DWORD, DWORD*, DWORD);
};

// Null withdraws the functions.
VELMORA_EXPORT void registerCngKeyFunctions(const CngKeyFunctions* functions);
// The offered functions when `handle` is one of the provider's key handles.
const CngKeyFunctions* cngKeyFunctionsFor(ULONG_PTR handle);

}  // namespace velmora::crypt
