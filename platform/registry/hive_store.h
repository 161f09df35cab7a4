// Private to the registry: the process-wide connection to the user hive
// (see hive.h for the place and the schema), small RAII statement wrappers
// and the transaction runner that retries when other processes hold the
// database.
#pragma once

#include <windef.h>
#include <winerror.h>

#include <sqlite3.h>
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <condition_variable>

namespace velmora::platform::hive {

// A failed SQLite call (the extended result code).
struct SqlError {
  int rc;
};

// Failure to open or set up the hive, with the status to report.
struct OpenError {
  LSTATUS status;
};

class Connection {
 public:
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // Opens (creating folders, file and schema as needed). Throws SqlError
  // (busy is retried by the caller) or OpenError.
  static std::unique_ptr<Connection> open(const std::string& path);

  void exec(const char* sql);
  // Rolls back a transaction left open, ignoring errors.
  void rollbackQuietly();
  // A prepared statement for `sql`, kept for the connection's lifetime.
  // `sql` must be a string literal (the cache is keyed by its address).
  sqlite3_stmt* prepared(const char* sql);

  const std::string& path() const { return path_; }
  pid_t owner() const { return pid_; }

 private:
  Connection(sqlite3* db, std::string path);
  sqlite3* db_;
  std::string path_;
  pid_t pid_;
  std::unordered_map<const char*, sqlite3_stmt*> cache_;
};

// One use of a cached statement; resets it when done.
class Stmt {
 public:
  Stmt(Connection& c, const char* sql) : s_(c.prepared(sql)) {}
  ~Stmt() {
    sqlite3_reset(s_);
    sqlite3_clear_bindings(s_);
  }
  Stmt(const Stmt&) = delete;
  Stmt& operator=(const Stmt&) = delete;

  Stmt& bind(int i, int64_t v);
  Stmt& bindText(int i, std::string_view v);
  Stmt& bindBlob(int i, const void* p, size_t n);
  // True for a row, false when done; throws SqlError otherwise.
  bool step();
  int64_t int64(int col) { return sqlite3_column_int64(s_, col); }
  std::string text(int col);
  std::string blob(int col);

 private:
  sqlite3_stmt* s_;
};

// The lock every registry call holds for its whole run (connection and
// handle table). Fork-safe: taken around fork() so a child starts with it
// free and no transaction half done.
std::mutex& hiveMutex();

// The connection for this process, opened on first use; a connection
// inherited across fork() is closed and replaced. Caller holds hiveMutex().
// Throws SqlError or OpenError.
Connection& connection();

// Where the hive would be opened now (environment as it is).
std::string computeHivePath();

// Current time as FILETIME ticks.
int64_t nowFileTime();

enum class Mode { Read, Write };

// Maps a SQLite failure to a registry status.
LSTATUS statusFor(int rc, Mode mode);

bool isBusy(int rc);

// How long a transaction is retried while the database stays busy.
inline constexpr std::chrono::seconds kBusyRetryLimit{120};

// Sleeps a little before retrying a busy transaction (attempt = 0, 1, ...).
void backoff(int attempt);

// Write transactions this process has committed (and writes inside its
// open batch). With SQLite's
// data_version (which counts the other connections' commits) it tells
// whether the hive may have changed since a reader last looked.
uint64_t& localCommits();

// A batch (HiveBatch in hive.h): the registry calls one thread makes while
// it is open share one write transaction. Guarded by hiveMutex().
struct Batch {
  std::thread::id owner;
  int depth = 0;       // nested HiveBatch scopes of the owner
  bool begun = false;  // BEGIN IMMEDIATE done
  bool failed = false; // an inner scope ended without commit()
};
Batch& batch();
// Other threads wait on this while a batch is open.
std::condition_variable_any& batchIdle();

// Runs `body` inside the owner's open batch, as a savepoint: a call that
// fails undoes only its own statements. Caller holds hiveMutex().
template <class Body>
LSTATUS inBatch(Mode mode, Body&& body) {
  Batch& b = batch();
  Connection* c = nullptr;
  bool savepoint = false;
  try {
    c = &connection();
    const auto start = std::chrono::steady_clock::now();
    for (int attempt = 0; !b.begun; ++attempt) {
      try {
        c->exec("BEGIN IMMEDIATE");
        b.begun = true;
      } catch (const SqlError& e) {
        if (!isBusy(e.rc) || std::chrono::steady_clock::now() - start > kBusyRetryLimit)
          return statusFor(e.rc, Mode::Write);
        backoff(attempt);
      }
    }
    c->exec("SAVEPOINT call");
    savepoint = true;
    LSTATUS st = body(*c);
    if (mode == Mode::Write && st != ERROR_SUCCESS) c->exec("ROLLBACK TO call");
    c->exec("RELEASE call");
    // Readers' cursors must see the batch's own changes as changes.
    if (mode == Mode::Write && st == ERROR_SUCCESS) ++localCommits();
    return st;
  } catch (const SqlError& e) {
    if (c && savepoint) {
      try {
        c->exec("ROLLBACK TO call");
        c->exec("RELEASE call");
      } catch (const SqlError&) {
        b.failed = true;
      }
    }
    return statusFor(e.rc, mode);
  } catch (const OpenError& e) {
    return e.status;
  } catch (const std::bad_alloc&) {
    b.failed = true;
    return ERROR_NOT_ENOUGH_MEMORY;
  }
}

// Waits while another thread's batch is open; true when this thread's own
// batch is open (the call joins it). Caller holds hiveMutex().
bool enterCall();

// Runs `body(Connection&) -> LSTATUS` in one transaction: BEGIN IMMEDIATE
// for Write, BEGIN for Read. A Write whose body does not return
// ERROR_SUCCESS is rolled back. When the database stays busy beyond SQLite's
// busy timeout the whole transaction is retried (for about two minutes)
// rather than failing. Caller holds hiveMutex().
template <class Body>
LSTATUS transact(Mode mode, Body&& body) {
  if (enterCall()) return inBatch(mode, body);
  const auto start = std::chrono::steady_clock::now();
  for (int attempt = 0;; ++attempt) {
    Connection* c = nullptr;
    try {
      c = &connection();
      c->exec(mode == Mode::Write ? "BEGIN IMMEDIATE" : "BEGIN");
      LSTATUS st = body(*c);
      if (mode == Mode::Write && st != ERROR_SUCCESS) {
        c->rollbackQuietly();
        return st;
      }
      c->exec("COMMIT");
      if (mode == Mode::Write) ++localCommits();
      return st;
    } catch (const SqlError& e) {
      if (c) c->rollbackQuietly();
      if (!isBusy(e.rc) || std::chrono::steady_clock::now() - start > kBusyRetryLimit)
        return statusFor(e.rc, mode);
      backoff(attempt);
    } catch (const OpenError& e) {
      return e.status;
    } catch (const std::bad_alloc&) {
      if (c) c->rollbackQuietly();
      return ERROR_NOT_ENOUGH_MEMORY;
    }
  }
}

}  // namespace velmora::platform::hive
