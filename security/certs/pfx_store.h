// The PFX loader that every PFX-reading operation goes through, the rule
// that joins a folder and a file name, and the component's file dialogs
// with their texts from the current resource library.
#pragma once

#include <windows.h>

#include <string>

namespace strabel {

class CCapiCore;

// Loader flags callers pass on.
inline constexpr DWORD kPfxExportable = 0x1;
inline constexpr DWORD kPfxUserProtected = 0x2;

// A PFX file opened into a memory store for one operation. Closing it
// deletes the key containers the import made (unless deleteKeysOnClose was
// cleared), so a file that was only read leaves no key behind.
class VELMORA_EXPORT PfxStore {
 public:
  PfxStore() = default;
  ~PfxStore();
  PfxStore(const PfxStore&) = delete;
  PfxStore& operator=(const PfxStore&) = delete;

  // 0, or 5005 (empty path), 5401 (unreadable), 5207 (not a PFX), 5208
  // (password, or the import failed); lastError holds the platform error.
  int Open(const std::string& path, const std::string& password, DWORD flags);
  void Close();

  HANDLE store = nullptr;  // HCERTSTORE
  DWORD lastError = 0;
  bool deleteKeysOnClose = true;
};

// The PFX file operations' join: the folder, "/" unless the folder is the
// root "/" (or empty), then the name; a folder ending in "/" still gets one.
VELMORA_EXPORT std::string PfxFilePath(const std::string& folder, const std::string& name);
// Selection's and signing's join: "/" only when the folder does not end with one.
VELMORA_EXPORT std::string JoinFolder(const std::string& folder, const std::string& name);
// A regular file that exists.
VELMORA_EXPORT bool FileExists(const std::string& path);

// A dialog text of the current resource library (UTF-8), or `fallback`.
VELMORA_EXPORT std::string DialogText(unsigned id, const char* fallback);

// The PFX file dialog (folder, name, password in the ANSI code page), with
// the engine's password length range. 0 for "OK", 5070 for "Cancel".
VELMORA_EXPORT int AskPfxFile(const CCapiCore& core, std::string& folder, std::string& name, std::string& password);

// The export file dialog: where to write a PFX (save mode) or which one to
// read (open mode), and its password. 0 or 5070.
VELMORA_EXPORT int AskExportFile(const CCapiCore& core, bool saveMode, std::string& folder, std::string& name,
                                 std::string& password);

// The change-password dialog: 0, 5070, or 5209 when the new password and
// its confirmation differ.
VELMORA_EXPORT int AskChangePassword(const CCapiCore& core, std::string& folder, std::string& name,
                                     std::string& oldPassword, std::string& newPassword);

// The password dialog: 0 and the password, or 5070.
VELMORA_EXPORT int AskPfxPassword(const CCapiCore& core, std::string& password);

// Overwrites a secret before its memory is released.
VELMORA_EXPORT void WipeText(std::string& text);

}  // namespace strabel
