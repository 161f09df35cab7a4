// The message functions of messages.cpp hand an encoding message's handle
// to these.
#pragma once

#include <wincrypt.h>

namespace velmora::crypt {

bool isEncodeMessage(HCRYPTMSG h);
BOOL encodeMessageUpdate(HCRYPTMSG h, const BYTE* pbData, DWORD cbData, BOOL fFinal);
BOOL encodeMessageGetParam(HCRYPTMSG h, DWORD dwParamType, DWORD dwIndex, void* pvData, DWORD* pcbData);
// False when `h` is not an encoding message.
bool encodeMessageClose(HCRYPTMSG h);

}  // namespace velmora::crypt
