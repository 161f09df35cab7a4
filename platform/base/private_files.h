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

// Writes `data` to a new file beside `path` (mode 0600, flushed to disk
// unless `sync` is false: for contents nothing would be lost without) and
// names it in `tempPath`; the caller renames it over `path`. On failure
// nothing is left behind. The temporary name carries the writer's process
// id, so one left by a crash is known for the sweep (below).
VELMORA_EXPORT bool writePrivateTemp(const std::string& path, const std::string& data, std::string& tempPath,
                                     bool sync = true);

// Appends the whole file to `data`. On failure errno says why (ENOENT for a
// missing file).
VELMORA_EXPORT bool readWholeFile(const std::string& path, std::string& data);

// The key files of a folder (a 40-digit name and ".key"), sorted by name;
// none when the folder does not exist.
VELMORA_EXPORT std::vector<std::string> listKeyFiles(const std::string& folder);

// ---- Keys made before they are recorded ----
//
// A key that its maker records elsewhere (the key registry) must not outlive
// a crash between its file and its record. Inside a NewKeyScope, every key
// file that a key store creates on this thread is written under a
// provisional name, "<final name>.new-<pid>", that only this process looks
// up; commit() gives each its final name, the commit point of the creation.
// A scope that ends without commit removes its files; a crash leaves them to
// the sweep of the next process.
class VELMORA_EXPORT NewKeyScope {
 public:
  NewKeyScope();
  ~NewKeyScope();
  NewKeyScope(const NewKeyScope&) = delete;
  NewKeyScope& operator=(const NewKeyScope&) = delete;
  // Links each held file to its final name (renames over it when the file
  // was made to replace a key). False when one could not take its name;
  // the ones not committed are then removed.
  bool commit();

 private:
  NewKeyScope* outer_;
};

// For the key stores. True inside a scope on this thread.
VELMORA_EXPORT bool holdingNewKeys();
// Starts holding the new key file of `finalPath` in this thread's scope and
// returns the provisional path to write it to; "" when this process holds
// one for that name already.
VELMORA_EXPORT std::string holdNewKeyFile(const std::string& finalPath, bool replace);
// The provisional file this process holds for `finalPath`, else `finalPath`.
VELMORA_EXPORT std::string keyFileInUse(const std::string& finalPath);
// Forgets a held file (after its key was deleted); false when none was held.
VELMORA_EXPORT bool dropHeldKeyFile(const std::string& finalPath);

// Removes what crashed writers left in a key folder: temporary and
// provisional files whose process is gone (a live writer's are kept).
// Runs once per folder and process; later calls return at once.
VELMORA_EXPORT void sweepKeyFolder(const std::string& folder);

// Overwrites the text's bytes, then empties it.
VELMORA_EXPORT void wipeString(std::string& s);

// Standard Base64 without line breaks, and back (false for text that is not).
VELMORA_EXPORT std::string base64Encode(const std::string& bytes);
VELMORA_EXPORT bool base64Decode(const std::string& text, std::string& bytes);

}  // namespace velmora::platform
