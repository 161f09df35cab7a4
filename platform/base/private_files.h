// Files that hold a user's secrets (key containers, CNG keys): where they
// live, private folders, whole reads, and writes that land atomically.
#pragma once

#include <windef.h>

#include <string>
#include <vector>

namespace velmora::platform {

// $HOME, else the password database's home folder, else "/".
VELMORA_EXPORT std::string userHomeDir();
// $XDG_DATA_HOME when it is an absolute path, else <home>/.local/share.
VELMORA_EXPORT std::string userDataHome();

// Creates each missing folder of `path` with mode 0700 and makes the last
// one 0700 whatever it was.
VELMORA_EXPORT bool makePrivateFolders(const std::string& path);

// Writes `data` to a new file beside `path` (mode 0600, flushed to disk) and
// names it in `tempPath`; the caller renames it over `path`. On failure
// nothing is left behind.
VELMORA_EXPORT bool writePrivateTemp(const std::string& path, const std::string& data, std::string& tempPath);

// Appends the whole file to `data`. On failure errno says why (ENOENT for a
// missing file).
VELMORA_EXPORT bool readWholeFile(const std::string& path, std::string& data);

// The key files of a folder (a 40-digit name and ".key"), sorted by name;
// none when the folder does not exist.
VELMORA_EXPORT std::vector<std::string> listKeyFiles(const std::string& folder);

// Overwrites the text's bytes, then empties it.
VELMORA_EXPORT void wipeString(std::string& s);

// Standard Base64 without line breaks, and back (false for text that is not).
VELMORA_EXPORT std::string base64Encode(const std::string& bytes);
VELMORA_EXPORT bool base64Decode(const std::string& text, std::string& bytes);

}  // namespace velmora::platform
