// Kernel object handles and the shared-memory objects behind them; closing
// handles and waiting on them.
#include "base/kernel_objects.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/evp.h>

#include <cerrno>
#include <cstdio>
#include <mutex>
#include <unordered_map>

namespace velmora::platform::kobj {

namespace {

std::mutex& tableLock() {
  static auto* m = new std::mutex;
  return *m;
}
std::unordered_map<ULONG_PTR, std::shared_ptr<Object>>& table() {
  static auto* t = new std::unordered_map<ULONG_PTR, std::shared_ptr<Object>>;
  return *t;
}

std::string prefix() { return "/velmora-" + std::to_string(geteuid()) + "-"; }

std::string shmNameOf(Kind kind, const std::string& name) {
  std::string encoded;
  for (unsigned char c : name) {
    if (isalnum(c) || c == '.' || c == '_' || c == '-') {
      encoded += char(c);
    } else {
      char hex[4];
      snprintf(hex, sizeof hex, "%%%02X", c);
      encoded += hex;
    }
  }
  if (encoded.size() > 200) {
    unsigned char md[32];
    unsigned n = 0;
    EVP_Digest(name.data(), name.size(), md, &n, EVP_sha256(), nullptr);
    encoded = "sha256.";
    for (unsigned i = 0; i < n; ++i) {
      char hex[3];
      snprintf(hex, sizeof hex, "%02x", md[i]);
      encoded += hex;
    }
  }
  return prefix() + char(kind) + "-" + encoded;
}

// Ours alone: a regular file of this user that nobody else may open.
bool privateObject(int fd) {
  struct stat st{};
  return fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == geteuid() && (st.st_mode & 077) == 0;
}

class NamespaceLock {
 public:
  NamespaceLock() {
    fd_ = shm_open((prefix() + "ns").c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd_ >= 0 && !privateObject(fd_)) {
      close(fd_);
      fd_ = -1;
    }
    if (fd_ >= 0)
      while (flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
      }
  }
  ~NamespaceLock() {
    if (fd_ >= 0) close(fd_);
  }
  bool ok() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

// True when nobody holds the object any more.
bool unheld(int fd) {
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) return false;
  flock(fd, LOCK_UN);
  return true;
}

// Whether a live object of another kind has this name (one namespace for all).
bool otherKindHolds(Kind kind, const std::string& name) {
  for (Kind k : {Kind::Mapping, Kind::Event, Kind::Mutex}) {
    if (k == kind) continue;
    int fd = shm_open(shmNameOf(k, name).c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW, 0);
    if (fd < 0) continue;
    bool held = !unheld(fd);
    close(fd);
    if (held) return true;
  }
  return false;
}

DWORD errnoToWin32(int e) {
  switch (e) {
    case ENOENT: return ERROR_FILE_NOT_FOUND;
    case EACCES:
    case EPERM: return ERROR_ACCESS_DENIED;
    case ENAMETOOLONG: return ERROR_INVALID_NAME;
    case ENOMEM:
    case ENOSPC: return ERROR_NOT_ENOUGH_MEMORY;
    case EMFILE:
    case ENFILE: return 4;  // ERROR_TOO_MANY_OPEN_FILES
    default: return ERROR_INVALID_FUNCTION;
  }
}

}  // namespace

Shared::~Shared() {
  if (state) munmap(state, size_t(size));
  if (fd < 0) return;
  if (shmName.empty()) {
    close(fd);
    return;
  }
  NamespaceLock ns;
  close(fd);  // drops our hold
  int probe = shm_open(shmName.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW, 0);
  if (probe >= 0) {
    if (ns.ok() && unheld(probe)) shm_unlink(shmName.c_str());
    close(probe);
  }
}

DWORD openObject(Kind kind, const char* name, bool create, uint64_t size, size_t stateSize, InitFn init,
                 const void* arg, std::shared_ptr<Shared>& out, bool& existed) {
  existed = false;
  auto s = std::make_shared<Shared>();
  s->kind = kind;
  auto mapState = [&]() -> DWORD {
    if (!stateSize) return 0;
    void* p = mmap(nullptr, stateSize, PROT_READ | PROT_WRITE, MAP_SHARED, s->fd, 0);
    if (p == MAP_FAILED) return ERROR_NOT_ENOUGH_MEMORY;
    s->state = p;
    return 0;
  };
  if (!name) {
    s->fd = memfd_create("velmora-object", MFD_CLOEXEC);
    if (s->fd < 0) return errnoToWin32(errno);
    if (ftruncate(s->fd, off_t(size)) != 0) return ERROR_NOT_ENOUGH_MEMORY;
    s->size = size;
    if (DWORD rc = mapState()) return rc;
    if (init) init(s->state, arg);
    out = std::move(s);
    return 0;
  }
  std::string n = name;
  if (n.rfind("Local\\", 0) == 0) n.erase(0, 6);
  else if (n.rfind("Global\\", 0) == 0) n.erase(0, 7);  // per user here as well
  if (n.size() >= MAX_PATH) return ERROR_FILENAME_EXCED_RANGE;
  const std::string shm = shmNameOf(kind, n);
  NamespaceLock ns;
  if (!ns.ok()) return ERROR_ACCESS_DENIED;
  int fd = shm_open(shm.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW, 0);
  if (fd >= 0) {
    if (!privateObject(fd)) {
      close(fd);
      return ERROR_ACCESS_DENIED;  // not ours: never used, never removed
    }
    if (unheld(fd)) {
      // Its holders are all gone (a crash leaves it behind): a new object.
      shm_unlink(shm.c_str());
      close(fd);
      fd = -1;
    }
  } else if (errno != ENOENT) {
    return errnoToWin32(errno);
  }
  // Failing while the namespace lock is held: drop the object here, not in
  // its destructor (which takes the lock itself).
  auto drop = [&](DWORD error, bool created) {
    if (s->state) munmap(s->state, size_t(s->size));
    s->state = nullptr;
    if (created) shm_unlink(shm.c_str());
    close(s->fd);
    s->fd = -1;
    return error;
  };
  if (fd >= 0) {
    struct stat st{};
    fstat(fd, &st);
    flock(fd, LOCK_SH);
    s->fd = fd;
    s->size = uint64_t(st.st_size);
    if (s->size < stateSize) return drop(ERROR_INVALID_HANDLE, false);
    if (DWORD rc = mapState()) return drop(rc, false);
    s->shmName = shm;
    existed = true;
    out = std::move(s);
    return 0;
  }
  if (!create) return ERROR_FILE_NOT_FOUND;
  if (otherKindHolds(kind, n)) return ERROR_INVALID_HANDLE;
  fd = shm_open(shm.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return errnoToWin32(errno);
  fchmod(fd, 0600);
  s->fd = fd;
  flock(fd, LOCK_SH);
  if (ftruncate(fd, off_t(size)) != 0) return drop(ERROR_NOT_ENOUGH_MEMORY, true);
  s->size = size;
  if (DWORD rc = mapState()) return drop(rc, true);
  if (init) init(s->state, arg);
  s->shmName = shm;
  out = std::move(s);
  return 0;
}

HANDLE addHandle(std::shared_ptr<Object> object) {
  static ULONG_PTR next = 0x1000;
  std::lock_guard<std::mutex> guard(tableLock());
  next += 4;
  table()[next] = std::move(object);
  return reinterpret_cast<HANDLE>(next);
}

std::shared_ptr<Object> findHandle(HANDLE h) {
  std::lock_guard<std::mutex> guard(tableLock());
  auto it = table().find(reinterpret_cast<ULONG_PTR>(h));
  return it == table().end() ? nullptr : it->second;
}

}  // namespace velmora::platform::kobj

using namespace velmora::platform::kobj;

BOOL CloseHandle(HANDLE hObject) {
  std::shared_ptr<Object> gone;
  {
    std::lock_guard<std::mutex> guard(tableLock());
    auto it = table().find(reinterpret_cast<ULONG_PTR>(hObject));
    if (it == table().end()) {
      SetLastError(ERROR_INVALID_HANDLE);
      return FALSE;
    }
    gone = std::move(it->second);
    table().erase(it);
  }
  gone.reset();  // outside the table's lock: the last close takes the namespace lock
  return TRUE;
}
