// Events (a futex word in shared memory, so a waiter that dies holds
// nothing) and mutexes (a robust process-shared recursive pthread mutex:
// an owner that dies leaves it abandoned, and the next waiter gets it with
// WAIT_ABANDONED). Waiting on either.
#include <linux/futex.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <ctime>

#include "base/kernel_objects.h"

namespace velmora::platform::kobj {

namespace {

constexpr uint32_t kEventMagic = 0x45564E54, kMutexMagic = 0x4D555458;

struct EventState {
  uint32_t magic;
  uint32_t manualReset;
  std::atomic<uint32_t> signaled;
};

struct MutexState {
  uint32_t magic;
  pthread_mutex_t mutex;
};

struct EventInit {
  bool manual, initial;
};

void initEvent(void* state, const void* arg) {
  auto* e = static_cast<EventState*>(state);
  auto* a = static_cast<const EventInit*>(arg);
  e->magic = kEventMagic;
  e->manualReset = a->manual;
  e->signaled.store(a->initial ? 1 : 0);
}

void initMutex(void* state, const void*) {
  auto* m = static_cast<MutexState*>(state);
  pthread_mutexattr_t attr;
  pthread_mutexattr_init(&attr);
  pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
  pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
  pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
  pthread_mutex_init(&m->mutex, &attr);
  pthread_mutexattr_destroy(&attr);
  m->magic = kMutexMagic;
}

HANDLE failHandle(DWORD error) {
  SetLastError(error);
  return nullptr;
}

std::shared_ptr<Object> objectOf(HANDLE h, Kind kind) {
  auto o = findHandle(h);
  return o && o->kind == kind ? o : nullptr;
}

EventState* eventOf(const Object& o) { return static_cast<EventState*>(o.shared->state); }
MutexState* mutexOf(const Object& o) { return static_cast<MutexState*>(o.shared->state); }

timespec monotonicNow() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return t;
}

timespec addMs(timespec t, DWORD ms) {
  t.tv_sec += ms / 1000;
  t.tv_nsec += long(ms % 1000) * 1000000L;
  if (t.tv_nsec >= 1000000000L) {
    t.tv_sec += 1;
    t.tv_nsec -= 1000000000L;
  }
  return t;
}

DWORD waitEvent(EventState* e, DWORD ms) {
  const timespec deadline = addMs(monotonicNow(), ms == INFINITE ? 0 : ms);
  for (;;) {
    uint32_t one = 1;
    if (e->manualReset ? e->signaled.load() == 1 : e->signaled.compare_exchange_strong(one, 0)) return WAIT_OBJECT_0;
    timespec rel{}, *timeout = nullptr;
    if (ms != INFINITE) {
      timespec now = monotonicNow();
      rel.tv_sec = deadline.tv_sec - now.tv_sec;
      rel.tv_nsec = deadline.tv_nsec - now.tv_nsec;
      if (rel.tv_nsec < 0) {
        rel.tv_sec -= 1;
        rel.tv_nsec += 1000000000L;
      }
      if (rel.tv_sec < 0) return WAIT_TIMEOUT;
      timeout = &rel;
    }
    long rc = syscall(SYS_futex, reinterpret_cast<uint32_t*>(&e->signaled), FUTEX_WAIT, 0, timeout, nullptr, 0);
    if (rc != 0 && errno == ETIMEDOUT) return WAIT_TIMEOUT;
  }
}

DWORD waitMutex(MutexState* m, DWORD ms) {
  int rc;
  if (ms == INFINITE) {
    rc = pthread_mutex_lock(&m->mutex);
  } else {
    const timespec deadline = addMs(monotonicNow(), ms);
    rc = pthread_mutex_clocklock(&m->mutex, CLOCK_MONOTONIC, &deadline);
  }
  if (rc == 0) return WAIT_OBJECT_0;
  if (rc == ETIMEDOUT) return WAIT_TIMEOUT;
  if (rc == EOWNERDEAD) {
    // Ours now; what it guards may be half written, the caller is told.
    pthread_mutex_consistent(&m->mutex);
    return WAIT_ABANDONED;
  }
  SetLastError(rc == EAGAIN ? ERROR_TOO_MANY_POSTS : ERROR_INVALID_HANDLE);
  return WAIT_FAILED;
}

}  // namespace

}  // namespace velmora::platform::kobj

using namespace velmora::platform::kobj;

HANDLE CreateEventA(LPSECURITY_ATTRIBUTES, BOOL bManualReset, BOOL bInitialState, LPCSTR lpName) {
  EventInit init{bManualReset != FALSE, bInitialState != FALSE};
  std::shared_ptr<Shared> shared;
  bool existed = false;
  if (DWORD rc = openObject(Kind::Event, lpName, true, sizeof(EventState), sizeof(EventState), initEvent, &init,
                            shared, existed))
    return failHandle(rc);
  if (static_cast<EventState*>(shared->state)->magic != kEventMagic) return failHandle(ERROR_INVALID_HANDLE);
  HANDLE h = addHandle(std::make_shared<Object>(Object{Kind::Event, std::move(shared), true}));
  SetLastError(existed ? ERROR_ALREADY_EXISTS : 0);
  return h;
}

HANDLE OpenEventA(DWORD, BOOL, LPCSTR lpName) {
  if (!lpName) return failHandle(ERROR_INVALID_PARAMETER);
  std::shared_ptr<Shared> shared;
  bool existed = false;
  if (DWORD rc = openObject(Kind::Event, lpName, false, 0, sizeof(EventState), nullptr, nullptr, shared, existed))
    return failHandle(rc);
  if (static_cast<EventState*>(shared->state)->magic != kEventMagic) return failHandle(ERROR_INVALID_HANDLE);
  return addHandle(std::make_shared<Object>(Object{Kind::Event, std::move(shared), true}));
}

BOOL SetEvent(HANDLE hEvent) {
  auto o = objectOf(hEvent, Kind::Event);
  if (!o) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  EventState* e = eventOf(*o);
  e->signaled.store(1);
  syscall(SYS_futex, reinterpret_cast<uint32_t*>(&e->signaled), FUTEX_WAKE, INT_MAX, nullptr, nullptr, 0);
  return TRUE;
}

BOOL ResetEvent(HANDLE hEvent) {
  auto o = objectOf(hEvent, Kind::Event);
  if (!o) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  eventOf(*o)->signaled.store(0);
  return TRUE;
}

HANDLE CreateMutexA(LPSECURITY_ATTRIBUTES, BOOL bInitialOwner, LPCSTR lpName) {
  std::shared_ptr<Shared> shared;
  bool existed = false;
  if (DWORD rc = openObject(Kind::Mutex, lpName, true, sizeof(MutexState), sizeof(MutexState), initMutex, nullptr,
                            shared, existed))
    return failHandle(rc);
  auto* m = static_cast<MutexState*>(shared->state);
  if (m->magic != kMutexMagic) return failHandle(ERROR_INVALID_HANDLE);
  // Only the creator takes it at once; an opener's bInitialOwner is ignored.
  if (bInitialOwner && !existed) pthread_mutex_lock(&m->mutex);
  HANDLE h = addHandle(std::make_shared<Object>(Object{Kind::Mutex, std::move(shared), true}));
  SetLastError(existed ? ERROR_ALREADY_EXISTS : 0);
  return h;
}

HANDLE OpenMutexA(DWORD, BOOL, LPCSTR lpName) {
  if (!lpName) return failHandle(ERROR_INVALID_PARAMETER);
  std::shared_ptr<Shared> shared;
  bool existed = false;
  if (DWORD rc = openObject(Kind::Mutex, lpName, false, 0, sizeof(MutexState), nullptr, nullptr, shared, existed))
    return failHandle(rc);
  if (static_cast<MutexState*>(shared->state)->magic != kMutexMagic) return failHandle(ERROR_INVALID_HANDLE);
  return addHandle(std::make_shared<Object>(Object{Kind::Mutex, std::move(shared), true}));
}

BOOL ReleaseMutex(HANDLE hMutex) {
  auto o = objectOf(hMutex, Kind::Mutex);
  if (!o) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (pthread_mutex_unlock(&mutexOf(*o)->mutex) != 0) {
    SetLastError(ERROR_NOT_OWNER);
    return FALSE;
  }
  return TRUE;
}

DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
  auto o = findHandle(hHandle);
  if (!o || o->kind == Kind::Mapping) {
    SetLastError(ERROR_INVALID_HANDLE);
    return WAIT_FAILED;
  }
  return o->kind == Kind::Event ? waitEvent(eventOf(*o), dwMilliseconds) : waitMutex(mutexOf(*o), dwMilliseconds);
}
