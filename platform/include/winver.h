// File version records. A library carries one record (a VS_VERSIONINFO block
// with its VS_FIXEDFILEINFO) in an ELF section of its own; GetFileVersionInfoA
// reads it back from the file.
#pragma once

#include <windef.h>

typedef struct tagVS_FIXEDFILEINFO {
  DWORD dwSignature;
  DWORD dwStrucVersion;
  DWORD dwFileVersionMS;
  DWORD dwFileVersionLS;
  DWORD dwProductVersionMS;
  DWORD dwProductVersionLS;
  DWORD dwFileFlagsMask;
  DWORD dwFileFlags;
  DWORD dwFileOS;
  DWORD dwFileType;
  DWORD dwFileSubtype;
  DWORD dwFileDateMS;
  DWORD dwFileDateLS;
} VS_FIXEDFILEINFO;

#define VS_FFI_SIGNATURE 0xFEEF04BDL
#define VS_FFI_STRUCVERSION 0x00010000L
#define VS_FFI_FILEFLAGSMASK 0x0000003FL
#define VFT_APP 0x00000001L
#define VFT_DLL 0x00000002L

WINBASEAPI DWORD GetFileVersionInfoSizeA(LPCSTR lptstrFilename, LPDWORD lpdwHandle);
WINBASEAPI BOOL GetFileVersionInfoA(LPCSTR lptstrFilename, DWORD dwHandle, DWORD dwLen, LPVOID lpData);
WINBASEAPI BOOL VerQueryValueA(LPCVOID pBlock, LPCSTR lpSubBlock, LPVOID* lplpBuffer, UINT* puLen);

#define VELMORA_VERSION_SECTION "velmora_verinfo"

// The on-disk block: VS_VERSIONINFO header, key, padding, fixed info.
struct VelmoraVersionBlock {
  WORD wLength;
  WORD wValueLength;
  WORD wType;
  WCHAR szKey[16];
  WORD Padding1;
  VS_FIXEDFILEINFO Value;
};
static_assert(sizeof(VelmoraVersionBlock) == 92, "VS_VERSIONINFO layout");

#define VELMORA_FILE_VERSION(a, b, c, d, filetype)                                                     \
  extern "C" __attribute__((section(VELMORA_VERSION_SECTION), used, visibility("hidden")))            \
  const VelmoraVersionBlock velmora_version_block = {                                                  \
      sizeof(VelmoraVersionBlock),                                                                      \
      sizeof(VS_FIXEDFILEINFO),                                                                         \
      0,                                                                                                \
      u"VS_VERSION_INFO",                                                                               \
      0,                                                                                                \
      {VS_FFI_SIGNATURE, VS_FFI_STRUCVERSION, ((DWORD)(a) << 16) | (DWORD)(b),                          \
       ((DWORD)(c) << 16) | (DWORD)(d), ((DWORD)(a) << 16) | (DWORD)(b), ((DWORD)(c) << 16) | (DWORD)(d), \
       VS_FFI_FILEFLAGSMASK, 0, 0, (DWORD)(filetype), 0, 0, 0}};
