// Kernel objects: the handle table, and the per-user shared-memory objects
// behind named (and unnamed) file mappings, events and mutexes.
//
// A named object is the POSIX shared-memory object
// "/velmora-<uid>-<kind>-<name>" (mode 0600; characters outside [A-Za-z0-9._-]
// as %XX, a long name by its SHA-256). Each holder keeps a shared flock on
// it; when the last holder closes (or dies: the kernel drops its locks) the
// object is unlinked, or found stale and replaced by the next creator, so an
// object lives exactly while someone holds it, as on Windows. Creating,
// opening and unlinking happen under a per-user lock ("/velmora-<uid>-ns").
#pragma once

#include <windows.h>

#include <memory>
#include <string>

namespace velmora::platform::kobj {

enum class Kind : char { Mapping = 'm', Event = 'e', Mutex = 'x' };

struct Shared {
  ~Shared();
  Shared() = default;
  Shared(const Shared&) = delete;
  Shared& operator=(const Shared&) = delete;
  Kind kind = Kind::Mapping;
  std::string shmName;  // empty for an unnamed object
  int fd = -1;          // holds the shared flock while open
  uint64_t size = 0;
  void* state = nullptr;  // events and mutexes: their state, mapped
};

struct Object {
  Kind kind;
  std::shared_ptr<Shared> shared;
  bool writable = true;  // mappings: PAGE_READWRITE
};

// Opens the object `name` of `kind`, creating it (with `size` bytes, then
// `init` on its mapped state when `stateSize` is not 0) when `create` is set.
// 0 and the object, with `existed`; otherwise the Win32 error.
using InitFn = void (*)(void* state, const void* arg);
DWORD openObject(Kind kind, const char* name, bool create, uint64_t size, size_t stateSize, InitFn init,
                 const void* arg, std::shared_ptr<Shared>& out, bool& existed);

HANDLE addHandle(std::shared_ptr<Object> object);
std::shared_ptr<Object> findHandle(HANDLE h);

}  // namespace velmora::platform::kobj
