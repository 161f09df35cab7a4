// The registry functions (winreg.h) over the user hive (hive.h).
//
// Windows behaviour kept here, beyond what winreg.h says:
// - Names: case-insensitive, case-preserving; the A functions take names in
//   the ANSI code page and the hive keeps them in UTF-8 (converted as a
//   whole path before splitting at "\", as Windows converts to UTF-16 first;
//   a Big5 trail byte can be 0x5C). A path must not start with "\"
//   (ERROR_BAD_PATHNAME), except that RegOpenKeyExA skips one leading "\"
//   under HKEY_CLASSES_ROOT; runs of "\" and trailing "\" are ignored. A key
//   name component may have up to 256 UTF-16 units, a value name 16383.
// - RegOpenKeyExA of a predefined root with a null or empty subkey returns
//   that root's handle itself; any other open or create returns a new handle.
// - RegSetValueExA keeps the bytes exactly as given, for every type: a string
//   is stored with its terminator only if the count includes it. (Windows NT
//   also counts in a terminator that directly follows data whose count left
//   it off; the project stores exact bytes and its components rely on it.)
// - RegQueryValueExA / RegEnumValueA return the stored bytes and size
//   exactly; for a string type whose data does not end in a zero they add
//   one zero after the data when the buffer has room (not counted in the
//   size), as Windows does. A buffer too small gives ERROR_MORE_DATA, the
//   needed size and an untouched buffer.
// - Subkeys enumerate sorted by folded name, values in the order they were
//   first set. Deleting a key with subkeys is ERROR_ACCESS_DENIED; any use
//   of a handle whose key was deleted (here or in another process) is
//   ERROR_KEY_DELETED. The roots cannot be deleted.
// - No call changes the thread's last error.
// Not emulated: security (access masks are accepted and ignored), key
// classes (RegEnumKeyExA reports an empty class), volatile keys (kept like
// any other key), WOW64 views, HKEY_LOCAL_MACHINE content beyond what is
// written to it here.
#include <windows.h>

#include <locale.h>
#include <wctype.h>

#include <cstring>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "base/codepage_internal.h"
#include "registry/hive.h"
#include "registry/hive_store.h"

namespace {

using namespace velmora::platform::hive;

constexpr LSTATUS kErrorNoAccess = 998;  // ERROR_NOACCESS: invalid user buffer
constexpr LSTATUS kNeedWrite = -1;       // internal: retry the call as a write
constexpr int64_t kRootUser = 1;         // fixed ids, see hive.h
constexpr int64_t kRootMachine = 2;
constexpr int64_t kRootUsers = 3;
constexpr int64_t kNoKey = -1;           // a key id no row has, as id or parent
constexpr size_t kMaxKeyNameUnits = 256;
constexpr size_t kMaxValueNameUnits = 16383;

class LastErrorKept {
 public:
  LastErrorKept() : saved_(GetLastError()) {}
  ~LastErrorKept() { SetLastError(saved_); }

 private:
  DWORD saved_;
};

// ---- names

// Decodes one UTF-8 sequence at s[i]; returns its length, 0 if invalid.
size_t decodeUtf8(std::string_view s, size_t i, char32_t& cp) {
  const auto b0 = static_cast<unsigned char>(s[i]);
  if (b0 < 0x80) {
    cp = b0;
    return 1;
  }
  size_t n;
  char32_t min;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    n = 2;
    cp = b0 & 0x1F;
    min = 0x80;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    n = 3;
    cp = b0 & 0x0F;
    min = 0x800;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    n = 4;
    cp = b0 & 0x07;
    min = 0x10000;
  } else {
    return 0;
  }
  if (i + n > s.size()) return 0;
  for (size_t k = 1; k < n; ++k) {
    const auto b = static_cast<unsigned char>(s[i + k]);
    if ((b & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (b & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  return n;
}


locale_t foldLocale() {
  static const locale_t loc = [] {
    for (const char* name : {"C.UTF-8", "C.utf8", "en_US.UTF-8"})
      if (locale_t l = newlocale(LC_CTYPE_MASK, name, locale_t(nullptr))) return l;
    return locale_t(nullptr);
  }();
  return loc;
}

// The lookup form of a name: Unicode simple upper-casing of each character
// (ASCII only when no UTF-8 locale exists). Bytes that are not UTF-8 stay.
std::string foldName(std::string_view name) {
  const locale_t loc = foldLocale();
  std::string out;
  out.reserve(name.size());
  for (size_t i = 0; i < name.size();) {
    char32_t cp;
    size_t n = decodeUtf8(name, i, cp);
    if (n == 0) {
      out.push_back(name[i++]);
      continue;
    }
    if (cp < 0x80) {
      if (cp >= 'a' && cp <= 'z') cp -= 'a' - 'A';
    } else if (loc) {
      cp = char32_t(towupper_l(wint_t(cp), loc));
    }
    velmora::platform::appendUtf8(out, cp);
    i += n;
  }
  return out;
}

// Length in UTF-16 units (what Windows limits).
size_t utf16Units(std::string_view name) {
  size_t units = 0;
  for (size_t i = 0; i < name.size();) {
    char32_t cp;
    size_t n = decodeUtf8(name, i, cp);
    if (n == 0) n = 1, cp = 0;
    units += cp >= 0x10000 ? 2 : 1;
    i += n;
  }
  return units;
}

bool acpIsUtf8() { return GetACP() == CP_UTF8; }

std::string fromAnsi(std::string_view ansi) {
  return acpIsUtf8() ? std::string(ansi) : velmora::platform::convertCodePage(ansi, CP_ACP, CP_UTF8);
}

std::string toAnsi(std::string_view utf8) {
  return acpIsUtf8() ? std::string(utf8) : velmora::platform::convertCodePage(utf8, CP_UTF8, CP_ACP);
}

struct Name {
  std::string name;  // UTF-8, as given
  std::string fold;
};

Name makeName(std::string utf8) {
  Name n;
  n.fold = foldName(utf8);
  n.name = std::move(utf8);
  return n;
}

Name valueName(LPCSTR name) { return makeName(fromAnsi(name ? name : "")); }

// Splits a subkey path (ANSI) into folded components.
LSTATUS parsePath(LPCSTR subKey, bool forCreate, std::vector<Name>& out) {
  if (!subKey || !*subKey) return ERROR_SUCCESS;
  if (*subKey == '\\') return ERROR_BAD_PATHNAME;
  const std::string path = fromAnsi(subKey);
  size_t i = 0;
  while (i < path.size()) {
    size_t j = path.find('\\', i);
    if (j == std::string::npos) j = path.size();
    if (j > i) {
      Name n = makeName(path.substr(i, j - i));
      if (forCreate && utf16Units(n.name) > kMaxKeyNameUnits) return ERROR_INVALID_PARAMETER;
      out.push_back(std::move(n));
    }
    i = j + 1;
  }
  return ERROR_SUCCESS;
}

bool isStringType(DWORD type) { return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ; }

// ---- handles

enum class Kind { Key, Root, ClassesRoot };

struct Ref {
  Kind kind = Kind::Key;
  int64_t id = 0;
};

constexpr uintptr_t kFirstHandle = 0x1000;
constexpr uintptr_t kHandleLimit = 0x80000000u;  // the predefined keys start here

struct HandleTable {
  std::unordered_map<uintptr_t, int64_t> keys;
  uintptr_t next = kFirstHandle;
};

HandleTable& handles() {
  static auto* table = new HandleTable;
  return *table;
}

// HKEY_CLASSES_ROOT .. HKEY_USERS: index 0..3. Only the low 32 bits count,
// as on 64-bit Windows.
bool predefinedIndex(HKEY h, uint32_t& index) {
  const auto low = uint32_t(reinterpret_cast<uintptr_t>(h));
  if (low < 0x80000000u || low > 0x80000003u) return false;
  index = low - 0x80000000u;
  return true;
}

bool isClassesRoot(HKEY h) {
  uint32_t index;
  return predefinedIndex(h, index) && index == 0;
}

LSTATUS refFor(HKEY h, Ref& out) {
  if (!h) return ERROR_INVALID_HANDLE;
  uint32_t index;
  if (predefinedIndex(h, index)) {
    static const int64_t roots[] = {0, kRootUser, kRootMachine, kRootUsers};
    out = index == 0 ? Ref{Kind::ClassesRoot, 0} : Ref{Kind::Root, roots[index]};
    return ERROR_SUCCESS;
  }
  auto& table = handles().keys;
  auto it = table.find(reinterpret_cast<uintptr_t>(h));
  if (it == table.end()) return ERROR_INVALID_HANDLE;
  out = Ref{Kind::Key, it->second};
  return ERROR_SUCCESS;
}

HKEY newHandle(int64_t id) {
  auto& t = handles();
  uintptr_t h;
  do {
    h = t.next;
    t.next = t.next + 4 >= kHandleLimit ? kFirstHandle : t.next + 4;
  } while (t.keys.count(h));
  t.keys.emplace(h, id);
  return reinterpret_cast<HKEY>(h);
}

// ---- hive access (inside a transaction)

// The subkey of `parent` with folded name `fold`, or 0.
int64_t childId(Connection& c, int64_t parent, const std::string& fold) {
  Stmt s(c, "SELECT id FROM keys WHERE parent = ?1 AND fold = ?2");
  s.bind(1, parent).bindText(2, fold);
  return s.step() ? s.int64(0) : 0;
}

bool keyExists(Connection& c, int64_t id) {
  Stmt s(c, "SELECT 1 FROM keys WHERE id = ?1");
  s.bind(1, id);
  return s.step();
}

void touch(Connection& c, int64_t id, int64_t now) {
  Stmt s(c, "UPDATE keys SET written = ?2 WHERE id = ?1");
  s.bind(1, id).bind(2, now);
  s.step();
}

int64_t insertKey(Connection& c, int64_t parent, const Name& n, int64_t now) {
  Stmt s(c, "INSERT INTO keys(parent, name, fold, written) VALUES(?1, ?2, ?3, ?4) RETURNING id");
  s.bind(1, parent).bindText(2, n.name).bindText(3, n.fold).bind(4, now);
  if (!s.step()) throw SqlError{SQLITE_INTERNAL};
  return s.int64(0);
}

// Follows `path` down from `id`: the key's id, or 0 if a component is missing.
int64_t walk(Connection& c, int64_t id, const std::vector<Name>& path) {
  for (const Name& n : path) {
    id = childId(c, id, n.fold);
    if (!id) return 0;
  }
  return id;
}

// Follows `path` down from `id`, creating what is missing.
int64_t walkCreating(Connection& c, int64_t id, const std::vector<Name>& path, bool& created) {
  const int64_t now = nowFileTime();
  created = false;
  for (const Name& n : path) {
    int64_t child = childId(c, id, n.fold);
    created = child == 0;
    if (created) {
      child = insertKey(c, id, n, now);
      touch(c, id, now);
    }
    id = child;
  }
  return id;
}

// The key a reference names now. HKEY_CLASSES_ROOT is
// HKEY_CURRENT_USER\Software\Classes: made when missing in a write; in a read
// a missing one is an empty key (kNoKey).
LSTATUS resolve(Connection& c, const Ref& ref, Mode mode, int64_t& id) {
  switch (ref.kind) {
    case Kind::Root:
      id = ref.id;
      return ERROR_SUCCESS;
    case Kind::ClassesRoot: {
      static const std::vector<Name> path = {makeName("Software"), makeName("Classes")};
      if (mode == Mode::Read) {
        id = walk(c, kRootUser, path);
        if (!id) id = kNoKey;
      } else {
        bool created;
        id = walkCreating(c, kRootUser, path, created);
      }
      return ERROR_SUCCESS;
    }
    case Kind::Key:
      id = ref.id;
      return keyExists(c, id) ? ERROR_SUCCESS : ERROR_KEY_DELETED;
  }
  return ERROR_INVALID_HANDLE;
}

// Runs one registry call: keeps the last error, holds the hive lock, and
// turns C++ failures into status codes (nothing may leave an extern "C"
// function by exception).
template <class F>
LSTATUS call(F&& f) {
  LastErrorKept keep;
  try {
    std::lock_guard<std::mutex> lock(hiveMutex());
    return f();
  } catch (const std::bad_alloc&) {
    return ERROR_NOT_ENOUGH_MEMORY;
  } catch (...) {
    return ERROR_CANTREAD;
  }
}

}  // namespace

LSTATUS RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD Reserved, LPSTR lpClass, DWORD dwOptions,
                        REGSAM samDesired, LPSECURITY_ATTRIBUTES lpSecurityAttributes, PHKEY phkResult,
                        LPDWORD lpdwDisposition) {
  return call([&]() -> LSTATUS {
    if (!phkResult) return ERROR_BADKEY;
    if (Reserved) return ERROR_INVALID_PARAMETER;
    Ref ref;
    if (LSTATUS st = refFor(hKey, ref)) return st;
    *phkResult = nullptr;
    std::vector<Name> path;
    if (LSTATUS st = parsePath(lpSubKey, true, path)) return st;

    int64_t id = 0;
    bool created = false;
    // Most calls open an existing key: try that without the write lock.
    LSTATUS st = transact(Mode::Read, [&](Connection& c) -> LSTATUS {
      int64_t base;
      if (LSTATUS r = resolve(c, ref, Mode::Read, base)) return r;
      id = base == kNoKey ? 0 : walk(c, base, path);
      return id ? ERROR_SUCCESS : kNeedWrite;
    });
    if (st == kNeedWrite) {
      st = transact(Mode::Write, [&](Connection& c) -> LSTATUS {
        int64_t base;
        if (LSTATUS r = resolve(c, ref, Mode::Write, base)) return r;
        id = walkCreating(c, base, path, created);
        return ERROR_SUCCESS;
      });
    }
    if (st != ERROR_SUCCESS) return st;
    *phkResult = newHandle(id);
    if (lpdwDisposition) *lpdwDisposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    return ERROR_SUCCESS;
  });
}

LSTATUS RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions, REGSAM samDesired, PHKEY phkResult) {
  return call([&]() -> LSTATUS {
    uint32_t index;
    if (phkResult && (!lpSubKey || !*lpSubKey) && predefinedIndex(hKey, index)) {
      *phkResult = hKey;
      return ERROR_SUCCESS;
    }
    // Windows NT allows one leading backslash under HKEY_CLASSES_ROOT.
    if (isClassesRoot(hKey) && lpSubKey && *lpSubKey == '\\') ++lpSubKey;
    if (!phkResult) return ERROR_INVALID_PARAMETER;
    Ref ref;
    if (LSTATUS st = refFor(hKey, ref)) return st;
    *phkResult = nullptr;
    std::vector<Name> path;
    if (LSTATUS st = parsePath(lpSubKey, false, path)) return st;

    int64_t id = 0;
    LSTATUS st = transact(Mode::Read, [&](Connection& c) -> LSTATUS {
      int64_t base;
      if (LSTATUS r = resolve(c, ref, Mode::Read, base)) return r;
      id = base == kNoKey ? 0 : walk(c, base, path);
      return id ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
    });
    if (st != ERROR_SUCCESS) return st;
    *phkResult = newHandle(id);
    return ERROR_SUCCESS;
  });
}

LSTATUS RegCloseKey(HKEY hKey) {
  return call([&]() -> LSTATUS {
    if (!hKey) return ERROR_INVALID_HANDLE;
    if (reinterpret_cast<uintptr_t>(hKey) >= kHandleLimit) return ERROR_SUCCESS;  // predefined
    return handles().keys.erase(reinterpret_cast<uintptr_t>(hKey)) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
  });
}

LSTATUS RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD Reserved, DWORD dwType, const BYTE* lpData,
                       DWORD cbData) {
  return call([&]() -> LSTATUS {
    if (!lpData && cbData) return kErrorNoAccess;
    Ref ref;
    if (LSTATUS st = refFor(hKey, ref)) return st;
    const Name vn = valueName(lpValueName);
    if (utf16Units(vn.name) > kMaxValueNameUnits) return ERROR_INVALID_PARAMETER;

    return transact(Mode::Write, [&](Connection& c) -> LSTATUS {
      int64_t id;
      if (LSTATUS r = resolve(c, ref, Mode::Write, id)) return r;
      // A value set again keeps its name's case and its place in the order.
      Stmt s(c,
             "INSERT INTO vals(key, name, fold, type, data) VALUES(?1, ?2, ?3, ?4, ?5) "
             "ON CONFLICT(key, fold) DO UPDATE SET type = excluded.type, data = excluded.data");
      s.bind(1, id).bindText(2, vn.name).bindText(3, vn.fold).bind(4, int64_t(dwType)).bindBlob(5, lpData, cbData);
      s.step();
      touch(c, id, nowFileTime());
      return ERROR_SUCCESS;
    });
  });
}

LSTATUS RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData,
                         LPDWORD lpcbData) {
  return call([&]() -> LSTATUS {
    if ((lpData && !lpcbData) || lpReserved) return ERROR_INVALID_PARAMETER;
    Ref ref;
    if (LSTATUS st = refFor(hKey, ref)) return st;
    const DWORD room = lpcbData ? *lpcbData : 0;
    if (!lpData && lpcbData) *lpcbData = 0;
    const Name vn = valueName(lpValueName);

    DWORD type = REG_NONE;
    std::string data;
    LSTATUS st = transact(Mode::Read, [&](Connection& c) -> LSTATUS {
      int64_t id;
      if (LSTATUS r = resolve(c, ref, Mode::Read, id)) return r;
      Stmt s(c, "SELECT type, data FROM vals WHERE key = ?1 AND fold = ?2");
      s.bind(1, id).bindText(2, vn.fold);
      if (!s.step()) return ERROR_FILE_NOT_FOUND;
      type = DWORD(s.int64(0));
      data = s.blob(1);
      return ERROR_SUCCESS;
    });
    if (st != ERROR_SUCCESS) return st;

    const DWORD size = DWORD(data.size());
    if (lpData) {
      if (size > room) {
        st = ERROR_MORE_DATA;
      } else {
        if (size) memcpy(lpData, data.data(), size);
        if (isStringType(type) && size && size < room && lpData[size - 1]) lpData[size] = 0;
      }
    }
    if (lpType) *lpType = type;
    if (lpcbData) *lpcbData = size;
    return st;
  });
}

// Where the last enumeration of a key stopped, so that walking a key with
// indexes 0, 1, 2, ... costs one index look-up a step instead of skipping
// over every earlier entry. Valid only while the hive has not changed:
// nothing committed here since (localCommits) nor by another process
// (SQLite's data_version). Guarded by hiveMutex().
struct Cursor {
  int64_t key = -1;
  DWORD index = 0;
  std::string fold;    // subkeys: the last one's folded name
  int64_t rowid = 0;   // values: the last one's row
  int64_t version = -1;
  uint64_t commits = 0;
};

int64_t dataVersion(Connection& c) {
  Stmt s(c, "PRAGMA data_version");
  return s.step() ? s.int64(0) : -1;
}

bool continues(const Cursor& k, int64_t key, DWORD index, int64_t version) {
  return k.key == key && index > 0 && index == k.index + 1 && k.version == version && version >= 0 &&
         k.commits == localCommits();
}

LSTATUS RegEnumKeyExA(HKEY hKey, DWORD dwIndex, LPSTR lpName, LPDWORD lpcchName, LPDWORD lpReserved, LPSTR lpClass,
                      LPDWORD lpcchClass, PFILETIME lpftLastWriteTime) {
  return call([&]() -> LSTATUS {
    if (lpReserved || !lpName || !lpcchName) return ERROR_INVALID_PARAMETER;
    Ref ref;
    if (LSTATUS st = refFor(hKey, ref)) return st;

    std::string name;
    int64_t written = 0;
    LSTATUS st = transact(Mode::Read, [&](Connection& c) -> LSTATUS {
      int64_t id;
      if (LSTATUS r = resolve(c, ref, Mode::Read, id)) return r;
      static Cursor cursor;
      const int64_t version = dataVersion(c);
      auto take = [&](Stmt& s) {
        if (!s.step()) return false;
        name = s.text(0);
        written = s.int64(1);
        cursor = Cursor{id, dwIndex, s.text(2), 0, version, localCommits()};
        return true;
      };
      if (continues(cursor, id, dwIndex, version)) {
        Stmt s(c, "SELECT name, written, fold FROM keys WHERE parent = ?1 AND fold > ?2 ORDER BY fold LIMIT 1");
        s.bind(1, id).bindText(2, cursor.fold);
        if (!take(s)) return ERROR_NO_MORE_ITEMS;
      } else {
        Stmt s(c, "SELECT name, written, fold FROM keys WHERE parent = ?1 ORDER BY fold LIMIT 1 OFFSET ?2");
        s.bind(1, id).bind(2, int64_t(dwIndex));
        if (!take(s)) return ERROR_NO_MORE_ITEMS;
      }
      return ERROR_SUCCESS;
    });
    if (st != ERROR_SUCCESS) return st;

    if (lpftLastWriteTime) {
      lpftLastWriteTime->dwLowDateTime = DWORD(uint64_t(written) & 0xFFFFFFFFu);
      lpftLastWriteTime->dwHighDateTime = DWORD(uint64_t(written) >> 32);
    }
    const std::string out = toAnsi(name);
    // Keys have no class here: an empty one, which needs room for its zero.
    if (out.size() >= *lpcchName || (lpClass && lpcchClass && *lpcchClass == 0)) return ERROR_MORE_DATA;
    memcpy(lpName, out.data(), out.size());
    lpName[out.size()] = 0;
    *lpcchName = DWORD(out.size());
    if (lpcchClass) {
      *lpcchClass = 0;
      if (lpClass) lpClass[0] = 0;
    }
    return ERROR_SUCCESS;
  });
}

LSTATUS RegEnumValueA(HKEY hKey, DWORD dwIndex, LPSTR lpValueName, LPDWORD lpcchValueName, LPDWORD lpReserved,
                      LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
  return call([&]() -> LSTATUS {
    if ((lpData && !lpcbData) || lpReserved || !lpValueName || !lpcchValueName) return ERROR_INVALID_PARAMETER;
    Ref ref;
    if (LSTATUS st = refFor(hKey, ref)) return st;

    std::string name, data;
    DWORD type = REG_NONE;
    LSTATUS st = transact(Mode::Read, [&](Connection& c) -> LSTATUS {
      int64_t id;
      if (LSTATUS r = resolve(c, ref, Mode::Read, id)) return r;
      static Cursor cursor;
      const int64_t version = dataVersion(c);
      auto take = [&](Stmt& s) {
        if (!s.step()) return false;
        name = s.text(0);
        type = DWORD(s.int64(1));
        data = s.blob(2);
        cursor = Cursor{id, dwIndex, {}, s.int64(3), version, localCommits()};
        return true;
      };
      if (continues(cursor, id, dwIndex, version)) {
        Stmt s(c, "SELECT name, type, data, rowid FROM vals WHERE key = ?1 AND rowid > ?2 ORDER BY rowid LIMIT 1");
        s.bind(1, id).bind(2, cursor.rowid);
        if (!take(s)) return ERROR_NO_MORE_ITEMS;
      } else {
        Stmt s(c, "SELECT name, type, data, rowid FROM vals WHERE key = ?1 ORDER BY rowid LIMIT 1 OFFSET ?2");
        s.bind(1, id).bind(2, int64_t(dwIndex));
        if (!take(s)) return ERROR_NO_MORE_ITEMS;
      }
      return ERROR_SUCCESS;
    });
    if (st != ERROR_SUCCESS) return st;

    const std::string out = toAnsi(name);
    const DWORD size = DWORD(data.size());
    // On overflow neither buffer is written and the name count is left as
    // passed; the type and the needed data size are still reported.
    const bool overflow = (lpData && size > *lpcbData) || out.size() >= *lpcchValueName;
    if (!overflow) {
      memcpy(lpValueName, out.data(), out.size());
      lpValueName[out.size()] = 0;
      *lpcchValueName = DWORD(out.size());
      if (lpData) {
        if (size) memcpy(lpData, data.data(), size);
        if (isStringType(type) && size && size < *lpcbData && lpData[size - 1]) lpData[size] = 0;
      }
    }
    if (lpType) *lpType = type;
    if (lpcbData) *lpcbData = size;
    return overflow ? ERROR_MORE_DATA : ERROR_SUCCESS;
  });
}

LSTATUS RegDeleteValueA(HKEY hKey, LPCSTR lpValueName) {
  return call([&]() -> LSTATUS {
    Ref ref;
    if (LSTATUS st = refFor(hKey, ref)) return st;
    const Name vn = valueName(lpValueName);
    return transact(Mode::Write, [&](Connection& c) -> LSTATUS {
      int64_t id;
      if (LSTATUS r = resolve(c, ref, Mode::Write, id)) return r;
      Stmt s(c, "DELETE FROM vals WHERE key = ?1 AND fold = ?2 RETURNING key");
      s.bind(1, id).bindText(2, vn.fold);
      if (!s.step()) return ERROR_FILE_NOT_FOUND;
      while (s.step()) {
      }
      touch(c, id, nowFileTime());
      return ERROR_SUCCESS;
    });
  });
}

LSTATUS RegDeleteKeyA(HKEY hKey, LPCSTR lpSubKey) {
  return call([&]() -> LSTATUS {
    if (!lpSubKey) return ERROR_INVALID_PARAMETER;
    Ref ref;
    if (LSTATUS st = refFor(hKey, ref)) return st;
    // The key is found as RegOpenKeyExA finds it; the roots stay.
    if (ref.kind == Kind::ClassesRoot && *lpSubKey == '\\') ++lpSubKey;
    if (!*lpSubKey && ref.kind != Kind::Key) return ERROR_ACCESS_DENIED;
    std::vector<Name> path;
    if (LSTATUS st = parsePath(lpSubKey, false, path)) return st;

    return transact(Mode::Write, [&](Connection& c) -> LSTATUS {
      int64_t base;
      if (LSTATUS r = resolve(c, ref, Mode::Write, base)) return r;
      const int64_t id = walk(c, base, path);
      if (!id) return ERROR_FILE_NOT_FOUND;
      if (id == kRootUser || id == kRootMachine || id == kRootUsers) return ERROR_ACCESS_DENIED;
      int64_t parent;
      {
        Stmt s(c, "SELECT parent FROM keys WHERE id = ?1");
        s.bind(1, id);
        if (!s.step()) return ERROR_FILE_NOT_FOUND;
        parent = s.int64(0);
      }
      {
        Stmt s(c, "SELECT 1 FROM keys WHERE parent = ?1 LIMIT 1");
        s.bind(1, id);
        if (s.step()) return ERROR_ACCESS_DENIED;  // Windows: STATUS_CANNOT_DELETE
      }
      {
        Stmt s(c, "DELETE FROM vals WHERE key = ?1");
        s.bind(1, id);
        s.step();
      }
      {
        Stmt s(c, "DELETE FROM keys WHERE id = ?1");
        s.bind(1, id);
        s.step();
      }
      touch(c, parent, nowFileTime());
      return ERROR_SUCCESS;
    });
  });
}

LSTATUS RegDeleteTreeA(HKEY hKey, LPCSTR lpSubKey) {
  return call([&]() -> LSTATUS {
    Ref ref;
    if (LSTATUS st = refFor(hKey, ref)) return st;
    const bool keepKey = !lpSubKey || !*lpSubKey;
    if (lpSubKey && ref.kind == Kind::ClassesRoot && *lpSubKey == '\\') ++lpSubKey;
    std::vector<Name> path;
    if (!keepKey)
      if (LSTATUS st = parsePath(lpSubKey, false, path)) return st;

    return transact(Mode::Write, [&](Connection& c) -> LSTATUS {
      int64_t base;
      if (LSTATUS r = resolve(c, ref, Mode::Write, base)) return r;
      const int64_t id = keepKey ? base : walk(c, base, path);
      if (!id) return ERROR_FILE_NOT_FOUND;
      if (!keepKey && (id == kRootUser || id == kRootMachine || id == kRootUsers)) return ERROR_ACCESS_DENIED;
      int64_t parent = 0;
      {
        Stmt s(c, "SELECT parent FROM keys WHERE id = ?1");
        s.bind(1, id);
        if (s.step()) parent = s.int64(0);
      }
      // The key's descendants with their values (statements are cached by
      // address, so the texts are literals), then the key itself unless it
      // stays; its values go either way.
      {
        Stmt s(c,
               "WITH RECURSIVE t(id) AS (SELECT id FROM keys WHERE parent = ?1 "
               "UNION ALL SELECT k.id FROM keys k JOIN t ON k.parent = t.id) "
               "DELETE FROM vals WHERE key IN (SELECT id FROM t) OR key = ?1");
        s.bind(1, id);
        s.step();
      }
      {
        Stmt s(c,
               "WITH RECURSIVE t(id) AS (SELECT id FROM keys WHERE parent = ?1 "
               "UNION ALL SELECT k.id FROM keys k JOIN t ON k.parent = t.id) "
               "DELETE FROM keys WHERE id IN (SELECT id FROM t) OR (?2 = 0 AND id = ?1)");
        s.bind(1, id);
        s.bind(2, int64_t(keepKey ? 1 : 0));
        s.step();
      }
      touch(c, keepKey ? id : parent, nowFileTime());
      return ERROR_SUCCESS;
    });
  });
}

namespace velmora::platform {

LSTATUS readSubkeyValues(const char* path, const char* value,
                         std::vector<std::pair<std::string, std::string>>& out) {
  out.clear();
  return call([&]() -> LSTATUS {
    std::vector<Name> parts;
    if (LSTATUS st = parsePath(path, false, parts)) return st;
    const Name vn = valueName(value);
    return transact(Mode::Read, [&](Connection& c) -> LSTATUS {
      out.clear();  // a busy transaction runs again
      const int64_t id = walk(c, kRootUser, parts);
      if (!id) return ERROR_FILE_NOT_FOUND;
      Stmt s(c,
             "SELECT k.name, v.data FROM keys k LEFT JOIN vals v ON v.key = k.id AND v.fold = ?2 "
             "WHERE k.parent = ?1 ORDER BY k.fold");
      s.bind(1, id).bindText(2, vn.fold);
      while (s.step()) out.emplace_back(toAnsi(s.text(0)), s.blob(1));
      return ERROR_SUCCESS;
    });
  });
}

}  // namespace velmora::platform
