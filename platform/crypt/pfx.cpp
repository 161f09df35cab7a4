// PKCS #12 (PFX) files: recognising them, checking their password and
// importing their certificates and keys.
#include "crypt/crypt_internal.h"

using namespace velmora::crypt;

BOOL PFXIsPFXBlob(CRYPT_DATA_BLOB*) { return fail(ERROR_CALL_NOT_IMPLEMENTED); }
BOOL PFXVerifyPassword(CRYPT_DATA_BLOB*, LPCWSTR, DWORD) { return fail(ERROR_CALL_NOT_IMPLEMENTED); }
HCERTSTORE PFXImportCertStore(CRYPT_DATA_BLOB*, LPCWSTR, DWORD) {
  SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
  return nullptr;
}
