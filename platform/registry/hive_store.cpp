// The user hive's database: place, connection, schema, statements.
#include "registry/hive_store.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <thread>

#include "base/private_files.h"
#include "registry/hive.h"

namespace velmora::platform::hive {

namespace {

// SQLite waits this long for another process's lock before reporting busy.
constexpr int kBusyTimeoutMs = 5000;

// Unix epoch as FILETIME ticks.
constexpr int64_t kUnixEpochFileTime = 116444736000000000LL;

struct State {
  std::mutex mu;
  std::unique_ptr<Connection> conn;
  Batch batch;
  std::condition_variable_any batchIdle;
};

// Never destroyed: registry calls may come from threads still running while
// the process exits; SQLite recovers the WAL on the next open.
State& state() {
  static State* s = [] {
    auto* st = new State;
    pthread_atfork([] { state().mu.lock(); }, [] { state().mu.unlock(); },
                   [] {
                     // The child has only the forking thread: no batch is its own.
                     state().batch = Batch{};
                     state().mu.unlock();
                   });
    return st;
  }();
  return *s;
}

// Creates the folders above `path` that are missing, with mode 0700.
void makeParentDirs(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  if (slash == std::string::npos || slash == 0) return;
  const std::string dir = path.substr(0, slash);
  for (size_t i = 1; i <= dir.size(); ++i) {
    if (i != dir.size() && dir[i] != '/') continue;
    const std::string part = dir.substr(0, i);
    if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) return;  // SQLite reports the failure
  }
}

constexpr const char* kSchema =
    "CREATE TABLE IF NOT EXISTS keys("
    "  id INTEGER PRIMARY KEY AUTOINCREMENT,"
    "  parent INTEGER NOT NULL,"
    "  name TEXT NOT NULL,"
    "  fold TEXT NOT NULL,"
    "  written INTEGER NOT NULL,"
    "  UNIQUE(parent, fold));"
    "CREATE TABLE IF NOT EXISTS vals("
    "  key INTEGER NOT NULL,"
    "  name TEXT NOT NULL,"
    "  fold TEXT NOT NULL,"
    "  type INTEGER NOT NULL,"
    "  data BLOB NOT NULL,"
    "  PRIMARY KEY(key, fold));"
    // Values enumerate in rowid order; an index on key alone holds them so.
    "CREATE INDEX IF NOT EXISTS vals_in_order ON vals(key);";

}  // namespace

// ---- statements

Stmt& Stmt::bind(int i, int64_t v) {
  if (int rc = sqlite3_bind_int64(s_, i, v); rc != SQLITE_OK) throw SqlError{rc};
  return *this;
}

Stmt& Stmt::bindText(int i, std::string_view v) {
  int rc = sqlite3_bind_text(s_, i, v.empty() ? "" : v.data(), int(v.size()), SQLITE_TRANSIENT);
  if (rc != SQLITE_OK) throw SqlError{rc};
  return *this;
}

Stmt& Stmt::bindBlob(int i, const void* p, size_t n) {
  // A null pointer would bind SQL NULL; an empty value is an empty blob.
  int rc = n == 0 ? sqlite3_bind_zeroblob(s_, i, 0) : sqlite3_bind_blob(s_, i, p, int(n), SQLITE_TRANSIENT);
  if (rc != SQLITE_OK) throw SqlError{rc};
  return *this;
}

bool Stmt::step() {
  int rc = sqlite3_step(s_);
  if (rc == SQLITE_ROW) return true;
  if (rc == SQLITE_DONE) return false;
  throw SqlError{rc};
}

std::string Stmt::text(int col) {
  const auto* p = reinterpret_cast<const char*>(sqlite3_column_text(s_, col));
  int n = sqlite3_column_bytes(s_, col);
  return p ? std::string(p, size_t(n)) : std::string();
}

std::string Stmt::blob(int col) {
  const auto* p = static_cast<const char*>(sqlite3_column_blob(s_, col));
  int n = sqlite3_column_bytes(s_, col);
  return p ? std::string(p, size_t(n)) : std::string();
}

// ---- connection

Connection::Connection(sqlite3* db, std::string path) : db_(db), path_(std::move(path)), pid_(getpid()) {}

Connection::~Connection() {
  for (auto& [sql, stmt] : cache_) sqlite3_finalize(stmt);
  sqlite3_close(db_);
}

sqlite3_stmt* Connection::prepared(const char* sql) {
  auto it = cache_.find(sql);
  if (it != cache_.end()) return it->second;
  sqlite3_stmt* stmt = nullptr;
  int rc = sqlite3_prepare_v3(db_, sql, -1, SQLITE_PREPARE_PERSISTENT, &stmt, nullptr);
  if (rc != SQLITE_OK) {
    sqlite3_finalize(stmt);
    throw SqlError{rc};
  }
  cache_.emplace(sql, stmt);
  return stmt;
}

void Connection::exec(const char* sql) {
  Stmt s(*this, sql);
  while (s.step()) {
  }
}

void Connection::rollbackQuietly() {
  if (!sqlite3_get_autocommit(db_)) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
}

std::unique_ptr<Connection> Connection::open(const std::string& path) {
  makeParentDirs(path);
  // Create the file ourselves so it gets mode 0600 (SQLite would use 0644).
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd >= 0) close(fd);

  sqlite3* db = nullptr;
  int rc = sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                           nullptr);
  if (rc != SQLITE_OK) {
    sqlite3_close(db);
    throw OpenError{LSTATUS(ERROR_CANTOPEN)};
  }
  std::unique_ptr<Connection> c(new Connection(db, path));
  sqlite3_extended_result_codes(db, 1);
  sqlite3_busy_timeout(db, kBusyTimeoutMs);

  const auto start = std::chrono::steady_clock::now();
  for (int attempt = 0;; ++attempt) {
    try {
      // WAL lets readers and one writer work at once. Where WAL is not
      // possible (no shared memory) SQLite keeps its rollback journal, which
      // is slower but still correct.
      c->exec("PRAGMA journal_mode=WAL");
      c->exec("PRAGMA synchronous=FULL");
      int64_t version = 0;
      {
        Stmt s(*c, "PRAGMA user_version");
        if (s.step()) version = s.int64(0);
      }
      if (version >= 1) return c;

      c->exec("BEGIN IMMEDIATE");
      if (int src = sqlite3_exec(db, kSchema, nullptr, nullptr, nullptr); src != SQLITE_OK) throw SqlError{src};
      const int64_t now = nowFileTime();
      Stmt roots(*c,
                 "INSERT OR IGNORE INTO keys(id, parent, name, fold, written) VALUES"
                 "(1, 0, 'HKEY_CURRENT_USER', 'HKEY_CURRENT_USER', ?1),"
                 "(2, 0, 'HKEY_LOCAL_MACHINE', 'HKEY_LOCAL_MACHINE', ?1),"
                 "(3, 0, 'HKEY_USERS', 'HKEY_USERS', ?1)");
      roots.bind(1, now);
      roots.step();
      // HKEY_CLASSES_ROOT is HKEY_CURRENT_USER\Software\Classes.
      Stmt software(*c,
                    "INSERT OR IGNORE INTO keys(parent, name, fold, written) "
                    "VALUES(1, 'Software', 'SOFTWARE', ?1)");
      software.bind(1, now);
      software.step();
      Stmt classes(*c,
                   "INSERT OR IGNORE INTO keys(parent, name, fold, written) "
                   "SELECT id, 'Classes', 'CLASSES', ?1 FROM keys WHERE parent = 1 AND fold = 'SOFTWARE'");
      classes.bind(1, now);
      classes.step();
      c->exec("PRAGMA user_version = 1");
      c->exec("COMMIT");
      return c;
    } catch (const SqlError& e) {
      c->rollbackQuietly();
      if (!isBusy(e.rc) || std::chrono::steady_clock::now() - start > kBusyRetryLimit) {
        const LSTATUS st = statusFor(e.rc, Mode::Write);
        throw OpenError{st == ERROR_BADDB || st == ERROR_NOT_ENOUGH_MEMORY ? st : LSTATUS(ERROR_CANTOPEN)};
      }
      backoff(attempt);
    }
  }
}

// ---- process state

std::mutex& hiveMutex() { return state().mu; }

Batch& batch() { return state().batch; }

std::condition_variable_any& batchIdle() { return state().batchIdle; }

bool enterCall() {
  State& st = state();
  const auto me = std::this_thread::get_id();
  while (st.batch.depth && st.batch.owner != me) st.batchIdle.wait(st.mu);
  return st.batch.depth > 0;
}

Connection& connection() {
  State& st = state();
  if (st.conn && st.conn->owner() == getpid()) return *st.conn;
  // A connection inherited across fork() must not be used here (SQLite's
  // locks belong to the parent); closing it only releases this process's
  // copy. Then open our own, at the place the environment names now.
  st.conn.reset();
  st.conn = Connection::open(computeHivePath());
  return *st.conn;
}

std::string computeHivePath() {
  if (const char* hive = getenv("VELMORA_HIVE"); hive && *hive) return hive;
  return velmora::platform::userDataHome() + "/velmora/hive.sqlite";
}

int64_t nowFileTime() {
  struct timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  return kUnixEpochFileTime + int64_t(ts.tv_sec) * 10000000 + ts.tv_nsec / 100;
}

bool isBusy(int rc) { return (rc & 0xff) == SQLITE_BUSY || (rc & 0xff) == SQLITE_LOCKED; }

LSTATUS statusFor(int rc, Mode mode) {
  switch (rc & 0xff) {
    case SQLITE_NOMEM:
      return ERROR_NOT_ENOUGH_MEMORY;
    case SQLITE_CORRUPT:
    case SQLITE_NOTADB:
      return ERROR_BADDB;
    case SQLITE_CANTOPEN:
    case SQLITE_PERM:
    case SQLITE_AUTH:
      return ERROR_CANTOPEN;
    default:
      return mode == Mode::Write ? ERROR_CANTWRITE : ERROR_CANTREAD;
  }
}

uint64_t& localCommits() {
  static uint64_t count = 0;  // guarded by hiveMutex()
  return count;
}

void backoff(int attempt) {
  // 2..50 ms, spread by process and attempt so competing writers interleave.
  const int base = attempt < 24 ? 2 + attempt * 2 : 50;
  const int spread = int((unsigned(getpid()) * 2654435761u + unsigned(attempt) * 40503u) % 7u);
  std::this_thread::sleep_for(std::chrono::milliseconds(base + spread));
}

}  // namespace velmora::platform::hive

namespace velmora::platform {

std::string hivePath() {
  std::lock_guard<std::mutex> lock(hive::hiveMutex());
  auto& st = hive::state();
  if (st.conn && st.conn->owner() == getpid()) return st.conn->path();
  return hive::computeHivePath();
}

}  // namespace velmora::platform

namespace velmora::platform {

HiveBatch::HiveBatch() {
  std::unique_lock<std::mutex> lock(hive::hiveMutex());
  hive::Batch& b = hive::batch();
  const auto me = std::this_thread::get_id();
  while (b.depth && b.owner != me) hive::batchIdle().wait(lock);
  if (b.depth == 0) b = hive::Batch{me, 0, false, false};
  ++b.depth;
}

LSTATUS HiveBatch::finish(bool keep) {
  if (done_) return ERROR_SUCCESS;
  done_ = true;
  std::unique_lock<std::mutex> lock(hive::hiveMutex());
  hive::Batch& b = hive::batch();
  if (!keep) b.failed = true;
  if (--b.depth > 0) return ERROR_SUCCESS;
  LSTATUS st = ERROR_SUCCESS;
  if (b.begun) {
    try {
      hive::Connection& c = hive::connection();
      if (b.failed) {
        c.rollbackQuietly();
        st = keep ? LSTATUS(ERROR_CANTWRITE) : LSTATUS(ERROR_SUCCESS);
      } else {
        c.exec("COMMIT");
        ++hive::localCommits();
      }
    } catch (const hive::SqlError& e) {
      try {
        hive::connection().rollbackQuietly();
      } catch (...) {
      }
      st = hive::statusFor(e.rc, hive::Mode::Write);
    } catch (const hive::OpenError& e) {
      st = e.status;
    }
  } else if (b.failed && keep) {
    st = ERROR_CANTWRITE;
  }
  b = hive::Batch{};
  hive::batchIdle().notify_all();
  return st;
}

LSTATUS HiveBatch::commit() { return finish(true); }

HiveBatch::~HiveBatch() { finish(false); }

}  // namespace velmora::platform
