// The platform's system message texts, which FormatMessageA with
// FORMAT_MESSAGE_FROM_SYSTEM gives for Win32, HRESULT, NTE/CRYPT/CERT/TRUST
// and SCARD codes, in English (1033) and Traditional Chinese (1028).
#pragma once

#include <windef.h>

#include <cstdint>

namespace velmora::platform {

// The system text for a Win32, HRESULT, NTE/CRYPT or SCARD code, UTF-8,
// ending in "\r\n" as Windows' texts do; nullptr when the platform has no text
// for the code. An HRESULT_FROM_WIN32 value (0x8007xxxx) gives the text of
// its Win32 code, as Windows' FormatMessage does.
VELMORA_EXPORT const char* systemMessageText(uint32_t code, bool chinese);

}  // namespace velmora::platform
