// The user hive: where the registry (winreg.h) keeps its keys and values.
//
// One SQLite database per user holds HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE
// and HKEY_USERS as three separate roots; HKEY_CLASSES_ROOT is the key
// HKEY_CURRENT_USER\Software\Classes (created when first needed).
//
// Where: VELMORA_HIVE names the database file if set; otherwise it is
// ${XDG_DATA_HOME:-$HOME/.local/share}/velmora/hive.sqlite (XDG_DATA_HOME is
// used only when it is an absolute path, as the XDG spec asks). A folder the
// registry creates gets mode 0700, the database file 0600 (SQLite gives its
// -wal and -shm files the database file's mode). The place is worked out when
// the process first opens the hive, so a process that changes HOME before
// its first registry call gets the new place.
//
// Schema (PRAGMA user_version = 1; WAL journal; every change is one
// BEGIN IMMEDIATE ... COMMIT transaction):
//
//   keys(id      INTEGER PRIMARY KEY AUTOINCREMENT,  -- ids are never reused
//        parent  INTEGER NOT NULL,    -- keys.id of the parent; 0 for a root
//        name    TEXT NOT NULL,       -- the name as first created (UTF-8)
//        fold    TEXT NOT NULL,       -- name upper-cased (Unicode simple case
//                                     -- mapping); lookups compare this
//        written INTEGER NOT NULL,    -- last write time, FILETIME (100 ns
//                                     -- intervals since 1601-01-01 UTC)
//        UNIQUE(parent, fold))
//
//   vals(key     INTEGER NOT NULL,    -- keys.id of the owning key
//        name    TEXT NOT NULL,       -- value name as first set (UTF-8);
//                                     -- '' is the key's default value
//        fold    TEXT NOT NULL,       -- name upper-cased, as keys.fold
//        type    INTEGER NOT NULL,    -- REG_SZ, REG_DWORD, ... (any DWORD)
//        data    BLOB NOT NULL,       -- the bytes exactly as set; strings in
//                                     -- the writer's ANSI code page with
//                                     -- their terminator as passed
//        PRIMARY KEY(key, fold))
//   CREATE INDEX vals_in_order ON vals(key)   -- (key, rowid): set order
//
// A HiveBatch groups the registry calls of one operation into one
// transaction instead (see below).
//
// The roots are fixed rows with parent 0: id 1 HKEY_CURRENT_USER, id 2
// HKEY_LOCAL_MACHINE, id 3 HKEY_USERS. Subkeys enumerate in fold order (as
// Windows sorts them); values enumerate in the order they were first set
// (vals.rowid, as Windows keeps them). Key and value names are stored in
// UTF-8 whatever the writer's ANSI code page (the A functions convert).
#pragma once

#include <windef.h>

#include <string>
#include <utility>
#include <vector>

namespace velmora::platform {

// The user hive's database file: the one in use if this process has opened
// the hive, otherwise the one it would open now.
VELMORA_EXPORT std::string hivePath();

// Every sub-key of HKEY_CURRENT_USER\`path` in enumeration order, each
// with the data of its value `value` (empty when it has none), in one read
// of the hive: for readers of many small keys (the certificate stores).
// ERROR_FILE_NOT_FOUND when the key does not exist.
VELMORA_EXPORT LSTATUS readSubkeyValues(const char* path, const char* value,
                                       std::vector<std::pair<std::string, std::string>>& out);

// One operation's registry writes as one transaction: the calls this thread
// makes while the outermost batch is open see each other's changes, and
// nothing of them reaches the file until commit(), which syncs once. A
// process that dies first, or a batch destroyed without commit(), leaves
// the hive as it was. Each call inside still succeeds or fails on its own
// (a failed call undoes only itself). Scopes nest: only the outermost
// commits, and an inner scope left without commit() makes it roll back.
// Other threads' registry calls wait while a batch is open, so keep one
// short: never across a dialog or a long computation.
class VELMORA_EXPORT HiveBatch {
 public:
  HiveBatch();
  ~HiveBatch();
  HiveBatch(const HiveBatch&) = delete;
  HiveBatch& operator=(const HiveBatch&) = delete;
  // ERROR_SUCCESS when the writes are durable (or, in an inner scope, left
  // to the outer one).
  LSTATUS commit();

 private:
  LSTATUS finish(bool keep);
  bool done_ = false;
};

}  // namespace velmora::platform
