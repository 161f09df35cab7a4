// The registry over the user hive: Windows semantics of the Reg* functions,
// the hive's place and modes, and several processes writing at once.
#include <windows.h>

#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "registry/hive.h"
#include "test_support.h"

namespace {

using velmora::platform::hivePath;

// Runs `body` in a forked child; returns its exit status (0 = passed, any
// other number says which check failed), or -1 if it did not exit.
int inChild(const std::function<int()>& body) {
  pid_t pid = fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    int rc = 100;
    try {
      rc = body();
    } catch (...) {
    }
    _exit(rc);
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

mode_t modeOf(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : mode_t(-1);
}

std::vector<std::string> subkeyNames(HKEY key) {
  std::vector<std::string> names;
  for (DWORD i = 0;; ++i) {
    char name[300];
    DWORD cch = sizeof name;
    LSTATUS st = RegEnumKeyExA(key, i, name, &cch, nullptr, nullptr, nullptr, nullptr);
    if (st != ERROR_SUCCESS) {
      EXPECT_EQ(st, ERROR_NO_MORE_ITEMS);
      break;
    }
    names.emplace_back(name, cch);
  }
  return names;
}

std::vector<std::string> valueNames(HKEY key) {
  std::vector<std::string> names;
  for (DWORD i = 0;; ++i) {
    char name[300];
    DWORD cch = sizeof name;
    LSTATUS st = RegEnumValueA(key, i, name, &cch, nullptr, nullptr, nullptr, nullptr);
    if (st != ERROR_SUCCESS) {
      EXPECT_EQ(st, ERROR_NO_MORE_ITEMS);
      break;
    }
    names.emplace_back(name, cch);
  }
  return names;
}

LSTATUS setString(HKEY key, const char* name, const std::string& text, DWORD type = REG_SZ) {
  return RegSetValueExA(key, name, 0, type, reinterpret_cast<const BYTE*>(text.c_str()), DWORD(text.size() + 1));
}

LSTATUS setDword(HKEY key, const char* name, DWORD v) {
  return RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&v), sizeof v);
}

// The value's bytes (type in *type), or "<status>" when the query fails.
std::string queryBytes(HKEY key, const char* name, DWORD* type = nullptr) {
  DWORD size = 0;
  DWORD t = 0;
  LSTATUS st = RegQueryValueExA(key, name, nullptr, &t, nullptr, &size);
  if (st != ERROR_SUCCESS) return "<" + std::to_string(st) + ">";
  std::string data(size, '\0');
  st = RegQueryValueExA(key, name, nullptr, &t, reinterpret_cast<BYTE*>(data.data()), &size);
  if (st != ERROR_SUCCESS) return "<" + std::to_string(st) + ">";
  data.resize(size);
  if (type) *type = t;
  return data;
}

int64_t fileTimeNow() { return 116444736000000000LL + int64_t(time(nullptr)) * 10000000; }

int64_t ticks(const FILETIME& ft) { return int64_t((uint64_t(ft.dwHighDateTime) << 32) | ft.dwLowDateTime); }

// Deletes `parent\name` with everything below it.
void deleteTree(HKEY parent, const std::string& name) {
  HKEY key;
  if (RegOpenKeyExA(parent, name.c_str(), 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS) return;
  for (const std::string& sub : subkeyNames(key)) deleteTree(key, sub);
  RegCloseKey(key);
  EXPECT_EQ(RegDeleteKeyA(parent, name.c_str()), ERROR_SUCCESS) << name;
}

// Each test works in its own key, HKCU\Software\VelmoraTest\<test name>,
// made afresh (so the tests can be repeated in one process).
class Registry : public testing::Test {
 protected:
  void SetUp() override {
    path_ = std::string("Software\\VelmoraTest\\") + testing::UnitTest::GetInstance()->current_test_info()->name();
    deleteTree(HKEY_CURRENT_USER, path_);
    ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, path_.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key_,
                              nullptr),
              ERROR_SUCCESS);
  }
  void TearDown() override {
    if (key_) RegCloseKey(key_);
  }

  HKEY create(HKEY parent, const char* sub, DWORD* disposition = nullptr) {
    HKEY h = nullptr;
    EXPECT_EQ(RegCreateKeyExA(parent, sub, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &h, disposition),
              ERROR_SUCCESS)
        << sub;
    return h;
  }

  std::string path_;
  HKEY key_ = nullptr;
};

// ---- where the hive lives

TEST(RegistryHive, LivesUnderXdgDataHomeWithPrivateModes) {
  const std::string data = vtest::makeTempDir("xdg");
  int rc = inChild([&] {
    unsetenv("VELMORA_HIVE");
    setenv("XDG_DATA_HOME", data.c_str(), 1);
    const std::string expected = data + "/velmora/hive.sqlite";
    if (hivePath() != expected) return 1;
    HKEY k;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\Probe", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k,
                        nullptr))
      return 2;
    if (setDword(k, "v", 7)) return 3;
    if (hivePath() != expected) return 4;
    if (modeOf(data + "/velmora") != 0700) return 5;
    if (modeOf(expected) != 0600) return 6;
    // SQLite gives the WAL the database file's mode.
    if (modeOf(expected + "-wal") != 0600) return 7;
    return 0;
  });
  EXPECT_EQ(rc, 0);
}

TEST(RegistryHive, PlaceIsFixedAtFirstUseSoEarlierHomeChangesCount) {
  const std::string home = vtest::makeTempDir("home");
  const std::string later = vtest::makeTempDir("later");
  int rc = inChild([&] {
    unsetenv("VELMORA_HIVE");
    unsetenv("XDG_DATA_HOME");
    setenv("HOME", home.c_str(), 1);
    const std::string expected = home + "/.local/share/velmora/hive.sqlite";
    if (hivePath() != expected) return 1;
    HKEY k;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\Probe", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k,
                        nullptr))
      return 2;
    if (modeOf(home + "/.local/share/velmora") != 0700) return 3;
    if (modeOf(expected) != 0600) return 4;
    // Once open, the hive stays where it is.
    setenv("HOME", later.c_str(), 1);
    if (hivePath() != expected) return 5;
    if (setDword(k, "after", 1)) return 6;
    if (modeOf(later + "/.local/share/velmora/hive.sqlite") != mode_t(-1)) return 7;
    return 0;
  });
  EXPECT_EQ(rc, 0);

  // XDG_DATA_HOME counts only as an absolute path.
  rc = inChild([&] {
    unsetenv("VELMORA_HIVE");
    setenv("XDG_DATA_HOME", "relative/dir", 1);
    setenv("HOME", home.c_str(), 1);
    return hivePath() == home + "/.local/share/velmora/hive.sqlite" ? 0 : 1;
  });
  EXPECT_EQ(rc, 0);
}

TEST(RegistryHive, VelmoraHiveNamesTheFile) {
  const std::string file = vtest::makeTempDir("named") + "/sub/my-hive.db";
  int rc = inChild([&] {
    setenv("VELMORA_HIVE", file.c_str(), 1);
    if (hivePath() != file) return 1;
    HKEY k;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\Probe", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k,
                        nullptr))
      return 2;
    if (setString(k, "where", "named")) return 3;
    if (modeOf(file) != 0600) return 4;
    return 0;
  });
  ASSERT_EQ(rc, 0);

  // The file is an ordinary SQLite database with the documented schema.
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
  sqlite3_stmt* s = nullptr;
  ASSERT_EQ(sqlite3_prepare_v2(db,
                               "SELECT k.name, v.name, v.type, v.data FROM vals v JOIN keys k ON k.id = v.key "
                               "JOIN keys p ON p.id = k.parent WHERE p.fold = 'SOFTWARE' AND p.parent = 1",
                               -1, &s, nullptr),
            SQLITE_OK);
  ASSERT_EQ(sqlite3_step(s), SQLITE_ROW);
  EXPECT_STREQ(reinterpret_cast<const char*>(sqlite3_column_text(s, 0)), "Probe");
  EXPECT_STREQ(reinterpret_cast<const char*>(sqlite3_column_text(s, 1)), "where");
  EXPECT_EQ(sqlite3_column_int(s, 2), REG_SZ);
  EXPECT_EQ(std::string(static_cast<const char*>(sqlite3_column_blob(s, 3)), size_t(sqlite3_column_bytes(s, 3))),
            std::string("named", 6));
  sqlite3_finalize(s);
  sqlite3_close(db);
}

TEST_F(Registry, StoreKeepsTheDocumentedSchema) {
  HKEY k = create(key_, "Äpfel");
  ASSERT_EQ(setString(k, "Größe", "x"), ERROR_SUCCESS);
  RegCloseKey(k);

  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open_v2(hivePath().c_str(), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
  auto one = [&](const char* sql) {
    sqlite3_stmt* s = nullptr;
    std::string out = "<none>";
    if (sqlite3_prepare_v2(db, sql, -1, &s, nullptr) == SQLITE_OK && sqlite3_step(s) == SQLITE_ROW)
      out = reinterpret_cast<const char*>(sqlite3_column_text(s, 0));
    sqlite3_finalize(s);
    return out;
  };
  EXPECT_EQ(one("PRAGMA user_version"), "1");
  EXPECT_EQ(one("PRAGMA journal_mode"), "wal");
  EXPECT_EQ(one("SELECT name FROM keys WHERE id = 1 AND parent = 0"), "HKEY_CURRENT_USER");
  EXPECT_EQ(one("SELECT name FROM keys WHERE id = 2 AND parent = 0"), "HKEY_LOCAL_MACHINE");
  EXPECT_EQ(one("SELECT name FROM keys WHERE id = 3 AND parent = 0"), "HKEY_USERS");
  EXPECT_EQ(one("SELECT name || '|' || fold FROM keys WHERE fold = 'ÄPFEL'"), "Äpfel|ÄPFEL");
  EXPECT_EQ(one("SELECT v.name || '|' || v.fold FROM vals v JOIN keys k ON k.id = v.key WHERE k.fold = 'ÄPFEL'"),
            "Größe|GRÖßE");  // simple case mapping: ß has no one-letter upper case
  sqlite3_close(db);
}

// ---- keys

TEST_F(Registry, CreateOpenAndNestedPaths) {
  DWORD disposition = 0;
  HKEY c = create(key_, "A\\B\\C", &disposition);
  EXPECT_EQ(disposition, DWORD(REG_CREATED_NEW_KEY));
  HKEY h = nullptr;
  ASSERT_EQ(RegOpenKeyExA(key_, "A", 0, KEY_READ, &h), ERROR_SUCCESS);
  RegCloseKey(h);
  ASSERT_EQ(RegOpenKeyExA(key_, "A\\B", 0, KEY_READ, &h), ERROR_SUCCESS);
  EXPECT_EQ(subkeyNames(h), std::vector<std::string>{"C"});
  RegCloseKey(h);

  HKEY again = create(key_, "A\\B\\C", &disposition);
  EXPECT_EQ(disposition, DWORD(REG_OPENED_EXISTING_KEY));
  EXPECT_NE(again, c);
  ASSERT_EQ(setDword(c, "n", 42), ERROR_SUCCESS);
  EXPECT_EQ(queryBytes(again, "n"), std::string("\x2a\0\0\0", 4));
  RegCloseKey(again);
  HKEY d = create(c, "..\\D", &disposition);  // ".." is an ordinary name
  EXPECT_EQ(disposition, DWORD(REG_CREATED_NEW_KEY));
  RegCloseKey(d);

  // A missing key is not created by opening it; the result is cleared.
  h = c;
  EXPECT_EQ(RegOpenKeyExA(key_, "A\\Nope\\C", 0, KEY_READ, &h), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(h, nullptr);
  EXPECT_EQ(RegOpenKeyExA(key_, "A\\Nope", 0, KEY_READ, &h), ERROR_FILE_NOT_FOUND);

  // Leading backslash: refused. Trailing and doubled ones: ignored.
  EXPECT_EQ(RegCreateKeyExA(key_, "\\X", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &h, nullptr), ERROR_BAD_PATHNAME);
  EXPECT_EQ(RegOpenKeyExA(key_, "\\A", 0, KEY_READ, &h), ERROR_BAD_PATHNAME);
  EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "\\Software", 0, KEY_READ, &h), ERROR_BAD_PATHNAME);
  h = create(key_, "T\\\\", &disposition);
  EXPECT_EQ(disposition, DWORD(REG_CREATED_NEW_KEY));
  RegCloseKey(h);
  ASSERT_EQ(RegOpenKeyExA(key_, "T", 0, KEY_READ, &h), ERROR_SUCCESS);
  RegCloseKey(h);
  ASSERT_EQ(RegOpenKeyExA(key_, "A\\\\B\\C\\", 0, KEY_READ, &h), ERROR_SUCCESS);
  EXPECT_EQ(queryBytes(h, "n"), std::string("\x2a\0\0\0", 4));
  RegCloseKey(h);

  // Null or empty subkey: a new handle to the same key ...
  for (const char* empty : {static_cast<const char*>(nullptr), ""}) {
    h = nullptr;
    ASSERT_EQ(RegOpenKeyExA(c, empty, 0, KEY_READ, &h), ERROR_SUCCESS);
    EXPECT_NE(h, c);
    EXPECT_EQ(queryBytes(h, "n"), std::string("\x2a\0\0\0", 4));
    EXPECT_EQ(RegCloseKey(h), ERROR_SUCCESS);
    h = nullptr;
    ASSERT_EQ(RegCreateKeyExA(c, empty, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &h, &disposition), ERROR_SUCCESS);
    EXPECT_NE(h, c);
    EXPECT_EQ(disposition, DWORD(REG_OPENED_EXISTING_KEY));
    EXPECT_EQ(RegCloseKey(h), ERROR_SUCCESS);
  }
  // ... except that opening a predefined root gives back the root itself.
  ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, nullptr, 0, KEY_READ, &h), ERROR_SUCCESS);
  EXPECT_EQ(h, HKEY_CURRENT_USER);
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "", 0, KEY_READ, &h), ERROR_SUCCESS);
  EXPECT_EQ(h, HKEY_LOCAL_MACHINE);
  ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, "", 0, nullptr, 0, KEY_READ, nullptr, &h, nullptr), ERROR_SUCCESS);
  EXPECT_NE(h, HKEY_CURRENT_USER);
  EXPECT_EQ(RegCloseKey(h), ERROR_SUCCESS);
  RegCloseKey(c);
}

TEST_F(Registry, HandlesAndParameters) {
  HKEY h = create(key_, "Sub");
  EXPECT_EQ(RegCloseKey(h), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(h), ERROR_INVALID_HANDLE);
  EXPECT_EQ(RegCloseKey(nullptr), ERROR_INVALID_HANDLE);
  for (HKEY root : {HKEY_CLASSES_ROOT, HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE, HKEY_USERS})
    EXPECT_EQ(RegCloseKey(root), ERROR_SUCCESS);

  // A closed or made-up handle is invalid everywhere.
  DWORD size = 4;
  char name[16];
  DWORD cch = sizeof name;
  HKEY out = nullptr;
  for (HKEY bad : {h, reinterpret_cast<HKEY>(uintptr_t(0x7654320)), HKEY(nullptr)}) {
    EXPECT_EQ(setDword(bad, "v", 1), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegQueryValueExA(bad, "v", nullptr, nullptr, nullptr, &size), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegEnumKeyExA(bad, 0, name, &cch, nullptr, nullptr, nullptr, nullptr), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegEnumValueA(bad, 0, name, &cch, nullptr, nullptr, nullptr, nullptr), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegDeleteValueA(bad, "v"), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegDeleteKeyA(bad, "x"), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegCreateKeyExA(bad, "x", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &out, nullptr), ERROR_INVALID_HANDLE);
    out = key_;
    EXPECT_EQ(RegOpenKeyExA(bad, "", 0, KEY_READ, &out), ERROR_INVALID_HANDLE);
    EXPECT_EQ(out, key_);  // left as it was
  }

  EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software", 0, KEY_READ, nullptr), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegCreateKeyExA(key_, "x", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, nullptr, nullptr), ERROR_BADKEY);
  EXPECT_EQ(RegCreateKeyExA(key_, "x", 1, nullptr, 0, KEY_ALL_ACCESS, nullptr, &out, nullptr),
            ERROR_INVALID_PARAMETER);
  DWORD reserved = 0;
  BYTE buf[8];
  EXPECT_EQ(RegQueryValueExA(key_, "v", &reserved, nullptr, nullptr, &size), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegQueryValueExA(key_, "v", nullptr, nullptr, buf, nullptr), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegSetValueExA(key_, "v", 0, REG_BINARY, nullptr, 4), 998L);  // ERROR_NOACCESS
  EXPECT_EQ(RegSetValueExA(key_, "v", 0, REG_BINARY, nullptr, 0), ERROR_SUCCESS);
  EXPECT_EQ(queryBytes(key_, "v"), "");
  EXPECT_EQ(RegEnumKeyExA(key_, 0, name, nullptr, nullptr, nullptr, nullptr, nullptr), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegEnumKeyExA(key_, 0, name, &cch, &reserved, nullptr, nullptr, nullptr), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegEnumValueA(key_, 0, nullptr, &cch, nullptr, nullptr, nullptr, nullptr), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegEnumValueA(key_, 0, name, nullptr, nullptr, nullptr, nullptr, nullptr), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegEnumValueA(key_, 0, name, &cch, nullptr, nullptr, buf, nullptr), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegDeleteKeyA(key_, nullptr), ERROR_INVALID_PARAMETER);

  // Name lengths: a key name component up to 256 characters, a value name
  // up to 16383.
  const std::string k256(256, 'k'), k257(257, 'k');
  h = create(key_, k256.c_str());
  RegCloseKey(h);
  EXPECT_EQ(RegCreateKeyExA(key_, k257.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &out, nullptr),
            ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegOpenKeyExA(key_, k257.c_str(), 0, KEY_READ, &out), ERROR_FILE_NOT_FOUND);
  const std::string v16383(16383, 'v'), v16384(16384, 'v');
  EXPECT_EQ(setDword(key_, v16383.c_str(), 1), ERROR_SUCCESS);
  EXPECT_EQ(setDword(key_, v16384.c_str(), 1), ERROR_INVALID_PARAMETER);
}

TEST_F(Registry, NamesIgnoreCaseAndKeepIt) {
  DWORD disposition = 0;
  HKEY a = create(key_, "MixedCase", &disposition);
  EXPECT_EQ(disposition, DWORD(REG_CREATED_NEW_KEY));
  HKEY b = create(key_, "MIXEDcase", &disposition);
  EXPECT_EQ(disposition, DWORD(REG_OPENED_EXISTING_KEY));
  RegCloseKey(b);
  HKEY h;
  ASSERT_EQ(RegOpenKeyExA(key_, "mixedcase", 0, KEY_READ, &h), ERROR_SUCCESS);
  RegCloseKey(h);

  // Non-ASCII letters fold too.
  HKEY u = create(key_, "Äpfel", &disposition);
  EXPECT_EQ(disposition, DWORD(REG_CREATED_NEW_KEY));
  HKEY u2 = create(key_, "äPFEL", &disposition);
  EXPECT_EQ(disposition, DWORD(REG_OPENED_EXISTING_KEY));
  RegCloseKey(u2);
  ASSERT_EQ(RegOpenKeyExA(key_, "ÄPFEL", 0, KEY_READ, &h), ERROR_SUCCESS);
  RegCloseKey(h);
  HKEY g = create(key_, "ΣΟΦΊΑ");
  ASSERT_EQ(RegOpenKeyExA(key_, "σοφία", 0, KEY_READ, &h), ERROR_SUCCESS);
  RegCloseKey(h);
  RegCloseKey(g);
  EXPECT_EQ(subkeyNames(key_), (std::vector<std::string>{"MixedCase", "Äpfel", "ΣΟΦΊΑ"}));
  RegCloseKey(u);

  // Values: the name first set is kept; setting through another case
  // replaces the data.
  ASSERT_EQ(setDword(a, "ValueName", 1), ERROR_SUCCESS);
  ASSERT_EQ(setDword(a, "VALUENAME", 2), ERROR_SUCCESS);
  ASSERT_EQ(setString(a, "Ärger", "first"), ERROR_SUCCESS);
  ASSERT_EQ(setString(a, "äRGER", "second"), ERROR_SUCCESS);
  EXPECT_EQ(valueNames(a), (std::vector<std::string>{"ValueName", "Ärger"}));
  EXPECT_EQ(queryBytes(a, "valuename"), std::string("\2\0\0\0", 4));
  EXPECT_EQ(queryBytes(a, "ÄRGER"), std::string("second", 7));
  EXPECT_EQ(RegDeleteValueA(a, "ärger"), ERROR_SUCCESS);
  EXPECT_EQ(valueNames(a), std::vector<std::string>{"ValueName"});
  RegCloseKey(a);
}

TEST_F(Registry, EnumKeysSortedWithSizesAndTimes) {
  const int64_t before = fileTimeNow() - 2 * 10000000LL;
  for (const char* n : {"beta", "ÄRGER", "Alpha", "gamma"}) RegCloseKey(create(key_, n));
  EXPECT_EQ(subkeyNames(key_), (std::vector<std::string>{"Alpha", "beta", "gamma", "ÄRGER"}));

  char name[16];
  DWORD cch = 5;  // "Alpha" needs 6 with its terminator
  memset(name, 'x', sizeof name);
  FILETIME ft{};
  EXPECT_EQ(RegEnumKeyExA(key_, 0, name, &cch, nullptr, nullptr, nullptr, &ft), ERROR_MORE_DATA);
  EXPECT_EQ(cch, 5u);
  EXPECT_EQ(name[0], 'x');
  cch = 6;
  char cls[8] = "zzzz";
  DWORD cchClass = sizeof cls;
  ASSERT_EQ(RegEnumKeyExA(key_, 0, name, &cch, nullptr, cls, &cchClass, &ft), ERROR_SUCCESS);
  EXPECT_STREQ(name, "Alpha");
  EXPECT_EQ(cch, 5u);
  EXPECT_STREQ(cls, "");
  EXPECT_EQ(cchClass, 0u);
  cch = sizeof name;
  EXPECT_EQ(RegEnumKeyExA(key_, 4, name, &cch, nullptr, nullptr, nullptr, nullptr), ERROR_NO_MORE_ITEMS);
  EXPECT_EQ(RegEnumKeyExA(key_, 0xFFFFFFFFu, name, &cch, nullptr, nullptr, nullptr, nullptr), ERROR_NO_MORE_ITEMS);

  // The last write time: when the key was created, later when written.
  const int64_t created = ticks(ft);
  EXPECT_GE(created, before);
  EXPECT_LE(created, fileTimeNow() + 2 * 10000000LL);
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  HKEY alpha;
  ASSERT_EQ(RegOpenKeyExA(key_, "ALPHA", 0, KEY_ALL_ACCESS, &alpha), ERROR_SUCCESS);
  ASSERT_EQ(setDword(alpha, "x", 1), ERROR_SUCCESS);
  RegCloseKey(alpha);
  cch = sizeof name;
  ASSERT_EQ(RegEnumKeyExA(key_, 0, name, &cch, nullptr, nullptr, nullptr, &ft), ERROR_SUCCESS);
  EXPECT_GT(ticks(ft), created);
}

// A walk by index answers by index even when the key changes under it,
// here or in another process (the walk keeps a cursor between steps).
TEST_F(Registry, EnumerationByIndexSeesChangesMadeDuringTheWalk) {
  for (const char* n : {"a", "b", "c", "d", "e"}) RegCloseKey(create(key_, n));
  auto at = [&](DWORD i) {
    char name[16];
    DWORD cch = sizeof name;
    return RegEnumKeyExA(key_, i, name, &cch, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS
               ? std::string(name, cch)
               : std::string("<none>");
  };
  EXPECT_EQ(at(0), "a");
  EXPECT_EQ(at(1), "b");
  ASSERT_EQ(RegDeleteKeyA(key_, "a"), ERROR_SUCCESS);
  EXPECT_EQ(at(2), "d");  // b, c, d: the third is d now
  EXPECT_EQ(at(3), "e");
  HKEY self = key_;
  EXPECT_EQ(inChild([self] { return RegDeleteKeyA(self, "b") == ERROR_SUCCESS ? 0 : 1; }), 0);
  EXPECT_EQ(at(2), "e");  // c, d, e
  EXPECT_EQ(at(3), "<none>");

  for (const char* v : {"v1", "v2", "v3", "v4"}) ASSERT_EQ(setDword(key_, v, 1), ERROR_SUCCESS);
  auto valueAt = [&](DWORD i) {
    char name[16];
    DWORD cch = sizeof name;
    return RegEnumValueA(key_, i, name, &cch, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS
               ? std::string(name, cch)
               : std::string("<none>");
  };
  EXPECT_EQ(valueAt(0), "v1");
  EXPECT_EQ(valueAt(1), "v2");
  ASSERT_EQ(RegDeleteValueA(key_, "v1"), ERROR_SUCCESS);
  EXPECT_EQ(valueAt(2), "v4");
  // Walked without changes, a large key gives every name once, in order.
  HKEY big = create(key_, "big");
  std::vector<std::string> expected;
  for (int i = 0; i < 500; ++i) {
    char n[8];
    snprintf(n, sizeof n, "k%03d", i);
    RegCloseKey(create(big, n));
    expected.push_back(n);
  }
  EXPECT_EQ(subkeyNames(big), expected);
  RegCloseKey(big);
}

// ---- values

TEST_F(Registry, DefaultValueIsTheEmptyName) {
  ASSERT_EQ(setString(key_, nullptr, "default"), ERROR_SUCCESS);
  EXPECT_EQ(queryBytes(key_, ""), std::string("default", 8));
  EXPECT_EQ(queryBytes(key_, nullptr), std::string("default", 8));
  ASSERT_EQ(setString(key_, "", "again"), ERROR_SUCCESS);
  EXPECT_EQ(queryBytes(key_, nullptr), std::string("again", 6));
  EXPECT_EQ(valueNames(key_), std::vector<std::string>{""});
  EXPECT_EQ(RegDeleteValueA(key_, nullptr), ERROR_SUCCESS);
  EXPECT_EQ(queryBytes(key_, ""), "<2>");
  EXPECT_EQ(RegDeleteValueA(key_, ""), ERROR_FILE_NOT_FOUND);
}

TEST_F(Registry, FourValueTypesRoundTrip) {
  ASSERT_EQ(setString(key_, "sz", "hello"), ERROR_SUCCESS);
  ASSERT_EQ(setString(key_, "expand", "%HOME%\\bin", REG_EXPAND_SZ), ERROR_SUCCESS);
  ASSERT_EQ(setDword(key_, "dword", 0xDEADBEEF), ERROR_SUCCESS);
  const std::string bin("\0\x01\xFF\0\x80\0", 6);
  ASSERT_EQ(RegSetValueExA(key_, "binary", 0, REG_BINARY, reinterpret_cast<const BYTE*>(bin.data()), 6),
            ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueExA(key_, "empty", 0, REG_BINARY, reinterpret_cast<const BYTE*>("x"), 0), ERROR_SUCCESS);
  const uint64_t q = 0x0123456789ABCDEFull;
  ASSERT_EQ(RegSetValueExA(key_, "qword", 0, REG_QWORD, reinterpret_cast<const BYTE*>(&q), 8), ERROR_SUCCESS);

  DWORD type = 0;
  EXPECT_EQ(queryBytes(key_, "sz", &type), std::string("hello", 6));
  EXPECT_EQ(type, DWORD(REG_SZ));
  EXPECT_EQ(queryBytes(key_, "expand", &type), std::string("%HOME%\\bin", 11));
  EXPECT_EQ(type, DWORD(REG_EXPAND_SZ));
  EXPECT_EQ(queryBytes(key_, "dword", &type), std::string("\xEF\xBE\xAD\xDE", 4));
  EXPECT_EQ(type, DWORD(REG_DWORD));
  EXPECT_EQ(queryBytes(key_, "binary", &type), bin);
  EXPECT_EQ(type, DWORD(REG_BINARY));
  EXPECT_EQ(queryBytes(key_, "empty", &type), "");
  EXPECT_EQ(type, DWORD(REG_BINARY));
  EXPECT_EQ(queryBytes(key_, "qword", &type), std::string(reinterpret_cast<const char*>(&q), 8));
  EXPECT_EQ(type, DWORD(REG_QWORD));

  // Setting again may change the type.
  ASSERT_EQ(setString(key_, "dword", "now text"), ERROR_SUCCESS);
  EXPECT_EQ(queryBytes(key_, "dword", &type), std::string("now text", 9));
  EXPECT_EQ(type, DWORD(REG_SZ));

  // The types come back from enumeration as well.
  std::set<std::string> seen;
  for (DWORD i = 0;; ++i) {
    char name[32];
    DWORD cch = sizeof name, t = 0, size = 0;
    if (RegEnumValueA(key_, i, name, &cch, nullptr, &t, nullptr, &size) != ERROR_SUCCESS) break;
    seen.insert(std::string(name) + ":" + std::to_string(t) + ":" + std::to_string(size));
  }
  EXPECT_EQ(seen, (std::set<std::string>{"sz:1:6", "expand:2:11", "dword:1:9", "binary:3:6", "empty:3:0",
                                         "qword:11:8"}));
}

TEST_F(Registry, QueryValueSizesAndShortBuffers) {
  ASSERT_EQ(setString(key_, "Text", "0123456789"), ERROR_SUCCESS);  // 11 bytes
  DWORD type = 0, size = 0xDEAD;
  ASSERT_EQ(RegQueryValueExA(key_, "Text", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(size, 11u);
  EXPECT_EQ(type, DWORD(REG_SZ));
  EXPECT_EQ(RegQueryValueExA(key_, "Text", nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);

  // One byte short: ERROR_MORE_DATA, the size needed, the buffer untouched.
  char buf[32];
  memset(buf, 'x', sizeof buf);
  size = 10;
  type = 0;
  EXPECT_EQ(RegQueryValueExA(key_, "Text", nullptr, &type, reinterpret_cast<BYTE*>(buf), &size), ERROR_MORE_DATA);
  EXPECT_EQ(size, 11u);
  EXPECT_EQ(type, DWORD(REG_SZ));
  EXPECT_EQ(std::string(buf, sizeof buf), std::string(sizeof buf, 'x'));
  size = 11;
  ASSERT_EQ(RegQueryValueExA(key_, "Text", nullptr, &type, reinterpret_cast<BYTE*>(buf), &size), ERROR_SUCCESS);
  EXPECT_EQ(size, 11u);
  EXPECT_STREQ(buf, "0123456789");
  EXPECT_EQ(buf[11], 'x');

  ASSERT_EQ(setDword(key_, "Number", 5), ERROR_SUCCESS);
  DWORD n = 0;
  size = 3;
  EXPECT_EQ(RegQueryValueExA(key_, "Number", nullptr, nullptr, reinterpret_cast<BYTE*>(&n), &size),
            ERROR_MORE_DATA);
  EXPECT_EQ(size, 4u);
  EXPECT_EQ(n, 0u);
  size = 0;
  EXPECT_EQ(RegQueryValueExA(key_, "Number", nullptr, nullptr, reinterpret_cast<BYTE*>(&n), &size),
            ERROR_MORE_DATA);
  EXPECT_EQ(size, 4u);

  // A missing value: the size is cleared for a size query, kept otherwise.
  size = 123;
  EXPECT_EQ(RegQueryValueExA(key_, "Missing", nullptr, &type, nullptr, &size), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(size, 0u);
  size = sizeof buf;
  EXPECT_EQ(RegQueryValueExA(key_, "Missing", nullptr, &type, reinterpret_cast<BYTE*>(buf), &size),
            ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(size, DWORD(sizeof buf));
}

TEST_F(Registry, StringBytesAndTermination) {
  static const char full[] = "FullString";  // 10 characters and the zero
  BYTE buf[16];
  DWORD size;

  // The bytes are stored exactly as given: with the terminator when the
  // count includes it, without it when not (even if a zero follows).
  ASSERT_EQ(RegSetValueExA(key_, "t", 0, REG_SZ, reinterpret_cast<const BYTE*>(full), 11), ERROR_SUCCESS);
  EXPECT_EQ(queryBytes(key_, "t"), std::string(full, 11));
  ASSERT_EQ(RegSetValueExA(key_, "t", 0, REG_SZ, reinterpret_cast<const BYTE*>(full), 10), ERROR_SUCCESS);
  EXPECT_EQ(queryBytes(key_, "t"), std::string(full, 10));
  ASSERT_EQ(RegSetValueExA(key_, "t", 0, REG_SZ, reinterpret_cast<const BYTE*>(full), 9), ERROR_SUCCESS);
  size = 0;
  ASSERT_EQ(RegQueryValueExA(key_, "t", nullptr, nullptr, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(size, 9u);
  // An exact buffer gets the bytes and nothing after them ...
  memset(buf, 0xBD, sizeof buf);
  size = 9;
  ASSERT_EQ(RegQueryValueExA(key_, "t", nullptr, nullptr, buf, &size), ERROR_SUCCESS);
  EXPECT_EQ(size, 9u);
  EXPECT_EQ(memcmp(buf, full, 9), 0);
  EXPECT_EQ(buf[9], 0xBD);
  // ... a larger one a zero after them (not counted), as Windows does.
  memset(buf, 0xBD, sizeof buf);
  size = 10;
  ASSERT_EQ(RegQueryValueExA(key_, "t", nullptr, nullptr, buf, &size), ERROR_SUCCESS);
  EXPECT_EQ(size, 9u);
  EXPECT_EQ(memcmp(buf, full, 9), 0);
  EXPECT_EQ(buf[9], 0);
  EXPECT_EQ(buf[10], 0xBD);

  // RegEnumValueA does the same.
  char name[8];
  DWORD cch = sizeof name;
  memset(buf, 0xBD, sizeof buf);
  size = 9;
  ASSERT_EQ(RegEnumValueA(key_, 0, name, &cch, nullptr, nullptr, buf, &size), ERROR_SUCCESS);
  EXPECT_EQ(size, 9u);
  EXPECT_EQ(buf[9], 0xBD);
  cch = sizeof name;
  size = sizeof buf;
  ASSERT_EQ(RegEnumValueA(key_, 0, name, &cch, nullptr, nullptr, buf, &size), ERROR_SUCCESS);
  EXPECT_EQ(size, 9u);
  EXPECT_EQ(buf[9], 0);

  // Other types never get a zero added, on set or on query.
  ASSERT_EQ(RegSetValueExA(key_, "b", 0, REG_BINARY, reinterpret_cast<const BYTE*>(full), 3), ERROR_SUCCESS);
  memset(buf, 0xBD, sizeof buf);
  size = sizeof buf;
  ASSERT_EQ(RegQueryValueExA(key_, "b", nullptr, nullptr, buf, &size), ERROR_SUCCESS);
  EXPECT_EQ(size, 3u);
  EXPECT_EQ(buf[3], 0xBD);
  // A zero-length string stays empty.
  ASSERT_EQ(RegSetValueExA(key_, "e", 0, REG_SZ, reinterpret_cast<const BYTE*>(""), 0), ERROR_SUCCESS);
  memset(buf, 0xBD, sizeof buf);
  size = sizeof buf;
  ASSERT_EQ(RegQueryValueExA(key_, "e", nullptr, nullptr, buf, &size), ERROR_SUCCESS);
  EXPECT_EQ(size, 0u);
  EXPECT_EQ(buf[0], 0xBD);
}

TEST_F(Registry, EnumValuesInSetOrderWithOverflowRules) {
  ASSERT_EQ(setDword(key_, "B", 1), ERROR_SUCCESS);
  ASSERT_EQ(setString(key_, "Test", "foobar"), ERROR_SUCCESS);  // 7 bytes
  ASSERT_EQ(setDword(key_, "A", 2), ERROR_SUCCESS);
  EXPECT_EQ(valueNames(key_), (std::vector<std::string>{"B", "Test", "A"}));
  ASSERT_EQ(setDword(key_, "b", 3), ERROR_SUCCESS);  // set again: keeps its place
  EXPECT_EQ(valueNames(key_), (std::vector<std::string>{"B", "Test", "A"}));

  char name[20], data[20];
  DWORD cch, size, type;
  auto reset = [&](DWORD c, DWORD s) {
    strcpy(name, "xxxxxxxxxx");
    strcpy(data, "xxxxxxxxxx");
    cch = c;
    size = s;
    type = 1234;
  };
  auto enumTest = [&] {
    return RegEnumValueA(key_, 1, name, &cch, nullptr, &type, reinterpret_cast<BYTE*>(data), &size);
  };
  // Name and data too small.
  reset(2, 2);
  EXPECT_EQ(enumTest(), ERROR_MORE_DATA);
  EXPECT_EQ(cch, 2u);
  EXPECT_EQ(size, 7u);
  EXPECT_EQ(type, DWORD(REG_SZ));
  EXPECT_STREQ(name, "xxxxxxxxxx");
  EXPECT_STREQ(data, "xxxxxxxxxx");
  // Name too small by one (room for "Test" but not its zero).
  reset(4, 20);
  EXPECT_EQ(enumTest(), ERROR_MORE_DATA);
  EXPECT_EQ(cch, 4u);
  EXPECT_EQ(size, 7u);
  EXPECT_EQ(type, DWORD(REG_SZ));
  // Data too small by one.
  reset(20, 6);
  EXPECT_EQ(enumTest(), ERROR_MORE_DATA);
  EXPECT_EQ(cch, 20u);
  EXPECT_EQ(size, 7u);
  EXPECT_STREQ(name, "xxxxxxxxxx");
  EXPECT_STREQ(data, "xxxxxxxxxx");
  // Both fit exactly.
  reset(5, 7);
  ASSERT_EQ(enumTest(), ERROR_SUCCESS);
  EXPECT_EQ(cch, 4u);
  EXPECT_EQ(size, 7u);
  EXPECT_EQ(type, DWORD(REG_SZ));
  EXPECT_STREQ(name, "Test");
  EXPECT_STREQ(data, "foobar");
  // Without a data buffer: the size only.
  reset(20, 0);
  ASSERT_EQ(RegEnumValueA(key_, 1, name, &cch, nullptr, &type, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(size, 7u);
  reset(20, 20);
  EXPECT_EQ(enumTest(), ERROR_SUCCESS);
  cch = sizeof name;
  EXPECT_EQ(RegEnumValueA(key_, 3, name, &cch, nullptr, nullptr, nullptr, nullptr), ERROR_NO_MORE_ITEMS);

  // A value deleted and set again goes to the end.
  ASSERT_EQ(RegDeleteValueA(key_, "B"), ERROR_SUCCESS);
  ASSERT_EQ(setDword(key_, "B", 4), ERROR_SUCCESS);
  EXPECT_EQ(valueNames(key_), (std::vector<std::string>{"Test", "A", "B"}));
}

// ---- deleting

TEST_F(Registry, DeleteRules) {
  HKEY parent = create(key_, "Parent");
  ASSERT_EQ(setDword(parent, "v", 1), ERROR_SUCCESS);
  RegCloseKey(create(key_, "Parent\\Child"));

  EXPECT_EQ(RegDeleteKeyA(key_, "Parent"), ERROR_ACCESS_DENIED);  // it has a subkey
  EXPECT_EQ(queryBytes(parent, "v"), std::string("\1\0\0\0", 4));
  EXPECT_EQ(RegDeleteKeyA(key_, "Parent\\Child"), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteKeyA(key_, "Parent\\Child"), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegDeleteKeyA(key_, "pARENT"), ERROR_SUCCESS);
  RegCloseKey(parent);
  // Its values went with it.
  DWORD disposition = 0;
  parent = create(key_, "Parent", &disposition);
  EXPECT_EQ(disposition, DWORD(REG_CREATED_NEW_KEY));
  EXPECT_EQ(valueNames(parent), std::vector<std::string>{});
  EXPECT_EQ(queryBytes(parent, "v"), "<2>");
  RegCloseKey(parent);

  EXPECT_EQ(RegDeleteKeyA(key_, "Missing"), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegDeleteKeyA(key_, "Missing\\Deeper"), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegDeleteKeyA(key_, "\\Parent"), ERROR_BAD_PATHNAME);

  // An empty name deletes the key the handle names.
  HKEY self = create(key_, "Self");
  EXPECT_EQ(RegDeleteKeyA(self, ""), ERROR_SUCCESS);
  RegCloseKey(self);
  HKEY h;
  EXPECT_EQ(RegOpenKeyExA(key_, "Self", 0, KEY_READ, &h), ERROR_FILE_NOT_FOUND);

  // The roots stay.
  for (HKEY root : {HKEY_CLASSES_ROOT, HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE, HKEY_USERS})
    EXPECT_EQ(RegDeleteKeyA(root, ""), ERROR_ACCESS_DENIED);
  ASSERT_EQ(RegCreateKeyExA(HKEY_USERS, "", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &h, nullptr), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteKeyA(h, ""), ERROR_ACCESS_DENIED);
  RegCloseKey(h);

  // Values.
  ASSERT_EQ(setDword(key_, "Value", 1), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteValueA(key_, "Missing"), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegDeleteValueA(key_, "VALUE"), ERROR_SUCCESS);
  EXPECT_EQ(queryBytes(key_, "Value"), "<2>");
  EXPECT_EQ(RegDeleteValueA(key_, "Value"), ERROR_FILE_NOT_FOUND);
}

TEST_F(Registry, HandleOfADeletedKey) {
  HKEY h1 = create(key_, "Doomed");
  HKEY h2;
  ASSERT_EQ(RegOpenKeyExA(key_, "Doomed", 0, KEY_ALL_ACCESS, &h2), ERROR_SUCCESS);
  ASSERT_EQ(setDword(h1, "v", 1), ERROR_SUCCESS);
  ASSERT_EQ(RegDeleteKeyA(key_, "Doomed"), ERROR_SUCCESS);

  auto expectDeleted = [](HKEY h) {
    char name[16];
    DWORD cch = sizeof name, size = 0;
    HKEY out;
    EXPECT_EQ(RegQueryValueExA(h, "v", nullptr, nullptr, nullptr, &size), ERROR_KEY_DELETED);
    EXPECT_EQ(setDword(h, "v", 2), ERROR_KEY_DELETED);
    EXPECT_EQ(RegDeleteValueA(h, "v"), ERROR_KEY_DELETED);
    EXPECT_EQ(RegEnumKeyExA(h, 0, name, &cch, nullptr, nullptr, nullptr, nullptr), ERROR_KEY_DELETED);
    EXPECT_EQ(RegEnumValueA(h, 0, name, &cch, nullptr, nullptr, nullptr, nullptr), ERROR_KEY_DELETED);
    EXPECT_EQ(RegCreateKeyExA(h, "sub", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &out, nullptr), ERROR_KEY_DELETED);
    EXPECT_EQ(RegOpenKeyExA(h, "", 0, KEY_READ, &out), ERROR_KEY_DELETED);
    EXPECT_EQ(RegDeleteKeyA(h, ""), ERROR_KEY_DELETED);
  };
  expectDeleted(h1);
  expectDeleted(h2);

  // A new key of the same name is another key.
  DWORD disposition = 0;
  HKEY reborn = create(key_, "Doomed", &disposition);
  EXPECT_EQ(disposition, DWORD(REG_CREATED_NEW_KEY));
  expectDeleted(h2);
  EXPECT_EQ(queryBytes(reborn, "v"), "<2>");
  EXPECT_EQ(RegCloseKey(h1), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(h2), ERROR_SUCCESS);

  // Deleted by another process.
  const std::string full = path_ + "\\Doomed";
  EXPECT_EQ(inChild([&] { return int(RegDeleteKeyA(HKEY_CURRENT_USER, full.c_str())); }), 0);
  expectDeleted(reborn);
  RegCloseKey(reborn);
}

// ---- the roots

TEST(RegistryRoots, ClassesRootIsSoftwareClassesOfTheUser) {
  HKEY ext;
  ASSERT_EQ(RegCreateKeyExA(HKEY_CLASSES_ROOT, ".velmoratest", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &ext,
                            nullptr),
            ERROR_SUCCESS);
  ASSERT_EQ(setString(ext, nullptr, "Velmora.File"), ERROR_SUCCESS);
  RegCloseKey(ext);

  HKEY h;
  ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Classes\\.VelmoraTest", 0, KEY_READ, &h), ERROR_SUCCESS);
  EXPECT_EQ(queryBytes(h, nullptr), std::string("Velmora.File", 13));
  RegCloseKey(h);
  // One leading backslash is allowed under HKEY_CLASSES_ROOT.
  ASSERT_EQ(RegOpenKeyExA(HKEY_CLASSES_ROOT, "\\.velmoratest", 0, KEY_READ, &h), ERROR_SUCCESS);
  RegCloseKey(h);
  EXPECT_EQ(RegOpenKeyExA(HKEY_CLASSES_ROOT, "\\\\.velmoratest", 0, KEY_READ, &h), ERROR_BAD_PATHNAME);
  ASSERT_EQ(RegOpenKeyExA(HKEY_CLASSES_ROOT, "", 0, KEY_READ, &h), ERROR_SUCCESS);
  EXPECT_EQ(h, HKEY_CLASSES_ROOT);
  ASSERT_EQ(RegOpenKeyExA(HKEY_CLASSES_ROOT, "\\", 0, KEY_READ, &h), ERROR_SUCCESS);
  EXPECT_NE(h, HKEY_CLASSES_ROOT);
  std::vector<std::string> names = subkeyNames(h);
  EXPECT_NE(std::find(names.begin(), names.end(), ".velmoratest"), names.end());
  EXPECT_EQ(RegCloseKey(h), ERROR_SUCCESS);
  names = subkeyNames(HKEY_CLASSES_ROOT);
  EXPECT_NE(std::find(names.begin(), names.end(), ".velmoratest"), names.end());
  EXPECT_EQ(queryBytes(HKEY_CLASSES_ROOT, "NoSuchValue"), "<2>");

  EXPECT_EQ(RegDeleteKeyA(HKEY_CLASSES_ROOT, ".VELMORATEST"), ERROR_SUCCESS);
  EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Classes\\.velmoratest", 0, KEY_READ, &h),
            ERROR_FILE_NOT_FOUND);
}

TEST(RegistryRoots, LocalMachineAndUsersAreSeparateRoots) {
  const char* sub = "Software\\VelmoraRootTest";
  const std::pair<HKEY, const char*> roots[] = {
      {HKEY_CURRENT_USER, "user"}, {HKEY_LOCAL_MACHINE, "machine"}, {HKEY_USERS, "users"}};
  for (const auto& [root, text] : roots) {
    HKEY h;
    ASSERT_EQ(RegCreateKeyExA(root, sub, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &h, nullptr), ERROR_SUCCESS);
    ASSERT_EQ(setString(h, "where", text), ERROR_SUCCESS);
    RegCloseKey(h);
  }
  for (const auto& [root, text] : roots) {
    HKEY h;
    ASSERT_EQ(RegOpenKeyExA(root, sub, 0, KEY_READ, &h), ERROR_SUCCESS);
    EXPECT_EQ(queryBytes(h, "where"), std::string(text) + '\0');
    RegCloseKey(h);
    EXPECT_EQ(RegDeleteKeyA(root, sub), ERROR_SUCCESS);
  }
  HKEY h;
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, sub, 0, KEY_READ, &h), ERROR_FILE_NOT_FOUND);
}

// ---- conventions

TEST_F(Registry, LastErrorIsLeftAlone) {
  auto check = [](LSTATUS st, LSTATUS expected) {
    EXPECT_EQ(st, expected);
    EXPECT_EQ(GetLastError(), 0xDEADBEEFu);
  };
  SetLastError(0xDEADBEEF);
  HKEY h;
  check(RegCreateKeyExA(key_, "K", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &h, nullptr), ERROR_SUCCESS);
  check(setDword(h, "v", 1), ERROR_SUCCESS);
  check(RegQueryValueExA(h, "missing", nullptr, nullptr, nullptr, nullptr), ERROR_FILE_NOT_FOUND);
  DWORD size = 1;
  BYTE b;
  check(RegQueryValueExA(h, "v", nullptr, nullptr, &b, &size), ERROR_MORE_DATA);
  char name[4];
  DWORD cch = sizeof name;
  check(RegEnumKeyExA(h, 0, name, &cch, nullptr, nullptr, nullptr, nullptr), ERROR_NO_MORE_ITEMS);
  check(RegEnumValueA(h, 0, name, &cch, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
  check(RegDeleteValueA(h, "v"), ERROR_SUCCESS);
  check(RegOpenKeyExA(key_, "Nope", 0, KEY_READ, &h), ERROR_FILE_NOT_FOUND);
  check(RegDeleteKeyA(key_, "K"), ERROR_SUCCESS);
  check(RegCloseKey(reinterpret_cast<HKEY>(uintptr_t(0x7654320))), ERROR_INVALID_HANDLE);
}

TEST(RegistryAnsi, NamesOfThisProcess) {
  const UINT acp = GetACP();
  if (const char* expected = getenv("VELMORA_EXPECT_ACP")) {
    ASSERT_EQ(acp, UINT(atoi(expected)));
  }
  // 許功蓋 in Big5 is B3 5C A5 5C BB 5C: every trail byte is a backslash.
  const std::string utf8 = "許功蓋";
  const std::string ansi = acp == 950 ? "\xB3\x5C\xA5\x5C\xBB\x5C" : utf8;
  const std::string parent = "Software\\VelmoraAnsi" + std::to_string(acp);
  HKEY p, k;
  ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, parent.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &p, nullptr),
            ERROR_SUCCESS);
  ASSERT_EQ(RegCreateKeyExA(p, ansi.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, nullptr), ERROR_SUCCESS);
  ASSERT_EQ(setDword(k, ansi.c_str(), 1), ERROR_SUCCESS);
  EXPECT_EQ(subkeyNames(p), std::vector<std::string>{ansi});
  EXPECT_EQ(valueNames(k), std::vector<std::string>{ansi});
  RegCloseKey(k);

  // The hive keeps names in UTF-8 whatever the process's code page.
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open_v2(hivePath().c_str(), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
  sqlite3_stmt* s = nullptr;
  ASSERT_EQ(sqlite3_prepare_v2(db,
                               "SELECT count(*) FROM keys k JOIN vals v ON v.key = k.id "
                               "WHERE k.name = ?1 AND v.name = ?1",
                               -1, &s, nullptr),
            SQLITE_OK);
  sqlite3_bind_text(s, 1, utf8.c_str(), -1, SQLITE_TRANSIENT);
  ASSERT_EQ(sqlite3_step(s), SQLITE_ROW);
  EXPECT_GE(sqlite3_column_int(s, 0), 1);
  sqlite3_finalize(s);
  sqlite3_close(db);

  EXPECT_EQ(RegDeleteKeyA(p, ansi.c_str()), ERROR_SUCCESS);
  RegCloseKey(p);
  EXPECT_EQ(RegDeleteKeyA(HKEY_CURRENT_USER, parent.c_str()), ERROR_SUCCESS);
}

TEST(RegistryAnsi, Big5ProcessConvertsNames) {
  auto r = vtest::runCommand({"/proc/self/exe", "--gtest_filter=RegistryAnsi.NamesOfThisProcess"},
                             {"LANG=zh_TW.Big5", "LC_ALL=", "LC_CTYPE=", "VELMORA_EXPECT_ACP=950"});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
}

// ---- concurrency

TEST_F(Registry, ThreadsShareTheHive) {
  constexpr int kThreads = 4, kEach = 50;
  std::vector<std::thread> threads;
  std::vector<int> failures(kThreads, 0);
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      HKEY h;
      if (RegOpenKeyExA(HKEY_CURRENT_USER, path_.c_str(), 0, KEY_ALL_ACCESS, &h) != ERROR_SUCCESS) {
        failures[t] = kEach;
        return;
      }
      for (int i = 0; i < kEach; ++i) {
        const std::string name = "t" + std::to_string(t) + "-" + std::to_string(i);
        if (setDword(h, name.c_str(), DWORD(i)) != ERROR_SUCCESS) ++failures[t];
      }
      RegCloseKey(h);
    });
  }
  for (auto& th : threads) th.join();
  for (int f : failures) EXPECT_EQ(f, 0);
  EXPECT_EQ(valueNames(key_).size(), size_t(kThreads * kEach));
}

TEST_F(Registry, TwoProcessesWritingAtOnceLoseNothing) {
  constexpr int kEach = 200;
  const std::string shared = path_ + "\\Shared";
  int gate[2];
  ASSERT_EQ(pipe(gate), 0);
  std::vector<pid_t> children;
  for (int p = 0; p < 2; ++p) {
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      close(gate[1]);
      char c;
      while (read(gate[0], &c, 1) < 0) {
      }  // released together when the parent closes the pipe
      int failures = 0;
      HKEY h;
      if (RegCreateKeyExA(HKEY_CURRENT_USER, shared.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &h, nullptr))
        _exit(101);
      for (int i = 0; i < kEach; ++i) {
        const std::string name = "p" + std::to_string(p) + "-" + std::to_string(i);
        if (setDword(h, name.c_str(), DWORD(p * 1000 + i)) != ERROR_SUCCESS) ++failures;
        if (i % 20 == 0) {  // keys are created at the same time too
          HKEY sub;
          if (RegCreateKeyExA(h, name.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &sub, nullptr)) {
            ++failures;
          } else {
            RegCloseKey(sub);
          }
        }
      }
      _exit(failures > 100 ? 100 : failures);
    }
    children.push_back(pid);
  }
  close(gate[0]);
  close(gate[1]);
  for (pid_t pid : children) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
    }
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
  }

  HKEY h;
  ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, shared.c_str(), 0, KEY_READ, &h), ERROR_SUCCESS);
  std::vector<std::string> names = valueNames(h);
  EXPECT_EQ(names.size(), size_t(2 * kEach));
  for (int p = 0; p < 2; ++p)
    for (int i = 0; i < kEach; ++i) {
      const std::string name = "p" + std::to_string(p) + "-" + std::to_string(i);
      DWORD v = 0, size = sizeof v;
      ASSERT_EQ(RegQueryValueExA(h, name.c_str(), nullptr, nullptr, reinterpret_cast<BYTE*>(&v), &size),
                ERROR_SUCCESS)
          << name;
      EXPECT_EQ(v, DWORD(p * 1000 + i));
    }
  EXPECT_EQ(subkeyNames(h).size(), size_t(2 * kEach / 20));
  RegCloseKey(h);
}

}  // namespace
