// PKCS #7 signed messages opened for encoding.
#include "crypt/crypt_internal.h"

using namespace velmora::crypt;

HCRYPTMSG CryptMsgOpenToEncode(DWORD, DWORD, DWORD, const void*, LPSTR, PCMSG_STREAM_INFO) {
  SetLastError(DWORD(E_NOTIMPL));
  return nullptr;
}
