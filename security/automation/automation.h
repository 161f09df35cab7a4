// Inside the automation server: the identifiers as constants (so the type
// description is built at compile time), the module's lock count and the
// creators of the three classes.
#pragma once

#include <strabel/automation.h>

#include "com/server.h"

extern "C" VELMORA_EXPORT const VELMORA_TYPELIBENTRY VelmoraTypeLibTable[];

namespace strabel::automation {

inline constexpr GUID kLibId = {0x5E20C4A9, 0xB3AF, 0x4D17, {0xA6, 0xB8, 0x3F, 0x9A, 0x61, 0xC0, 0x02, 0x07}};
inline constexpr CLSID kClsidCapi = {0x7C3A52D0, 0xAD11, 0x4E61, {0x8B, 0x25, 0x3F, 0x9A, 0x61, 0xC0, 0x02, 0x07}};
inline constexpr CLSID kClsidCertReg = {0x7C3A52D0, 0xAD12, 0x4E61, {0x8B, 0x25, 0x3F, 0x9A, 0x61, 0xC0, 0x02, 0x07}};
inline constexpr CLSID kClsidTaiMac = {0x7C3A52D0, 0xAD13, 0x4E61, {0x8B, 0x25, 0x3F, 0x9A, 0x61, 0xC0, 0x02, 0x07}};
inline constexpr IID kIidCapi = {0x4B91E7F2, 0xCAB1, 0x4A08, {0x9D, 0x63, 0x3F, 0x9A, 0x61, 0xC0, 0x02, 0x07}};
inline constexpr IID kIidCertReg = {0x4B91E7F2, 0xCAB2, 0x4A08, {0x9D, 0x63, 0x3F, 0x9A, 0x61, 0xC0, 0x02, 0x07}};
inline constexpr IID kIidTaiMac = {0x4B91E7F2, 0xCAB3, 0x4A08, {0x9D, 0x63, 0x3F, 0x9A, 0x61, 0xC0, 0x02, 0x07}};

inline constexpr WORD kLibMajor = 1;
inline constexpr WORD kLibMinor = 0;
inline constexpr LCID kLibLcid = 0x409;

// Live objects and class factories; DllCanUnloadNow asks it.
velmora::com::ModuleLock& moduleLock();

HRESULT createCapi(IUnknown* outer, REFIID riid, void** ppv);
HRESULT createCertReg(IUnknown* outer, REFIID riid, void** ppv);
HRESULT createTaiMac(IUnknown* outer, REFIID riid, void** ppv);

}  // namespace strabel::automation
