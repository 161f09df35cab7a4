// What the PFX file operations and the mobile export share beyond the
// loader: the write that replaces a file only once the new bytes are on disk.
#pragma once

#include <windows.h>

#include <functional>
#include <string>

struct _CERT_CONTEXT;

namespace strabel {

// Writes `n` bytes to a temporary file beside `path` (mode 0600), syncs it
// and renames it over `path`, so `path` holds the old bytes or the new ones,
// never part of them. False (errno set) with nothing left behind.
VELMORA_EXPORT bool WriteFileAtomically(const std::string& path, const void* data, size_t n);

// Tests: called with the temporary file's name when half the bytes are
// written; false makes the write fail there as a full disk would.
using PfxWriteHook = std::function<bool(const std::string& tempPath)>;
VELMORA_EXPORT void SetPfxWriteHookForTest(PfxWriteHook hook);

// The mobile form of a certificate and its PRIVATEKEYBLOB under a password:
// Base64 of the triple-DES encrypted container, or empty with the status
// set (5063, 5035).
class CCapiCore;
VELMORA_EXPORT std::string BuildMobileForm(CCapiCore& core, const _CERT_CONTEXT* cert, const BYTE* blob,
                                           DWORD blobLength, const std::string& password);

}  // namespace strabel
