// Page-file backed file mappings, named per user, and their views.
#include <sys/mman.h>

#include <map>
#include <mutex>

#include "base/kernel_objects.h"

namespace velmora::platform::kobj {

namespace {

constexpr uint64_t kGranularity = 65536;

struct View {
  size_t length;
  std::shared_ptr<Shared> shared;  // a view keeps its object alive
};

std::mutex& viewLock() {
  static auto* m = new std::mutex;
  return *m;
}
std::map<const void*, View>& views() {
  static auto* v = new std::map<const void*, View>;
  return *v;
}

HANDLE failHandle(DWORD error) {
  SetLastError(error);
  return nullptr;
}

}  // namespace

}  // namespace velmora::platform::kobj

using namespace velmora::platform::kobj;

HANDLE CreateFileMappingA(HANDLE hFile, LPSECURITY_ATTRIBUTES, DWORD flProtect, DWORD dwMaximumSizeHigh,
                          DWORD dwMaximumSizeLow, LPCSTR lpName) {
  // No file handles exist here: only the page file backs a mapping.
  if (hFile != INVALID_HANDLE_VALUE) return failHandle(ERROR_INVALID_HANDLE);
  const DWORD protect = flProtect & 0xFF;
  if ((protect != PAGE_READONLY && protect != PAGE_READWRITE) || (flProtect & ~DWORD(0xFF | SEC_COMMIT)))
    return failHandle(ERROR_INVALID_PARAMETER);
  const uint64_t size = (uint64_t(dwMaximumSizeHigh) << 32) | dwMaximumSizeLow;
  if (size == 0) return failHandle(ERROR_INVALID_PARAMETER);
  std::shared_ptr<Shared> shared;
  bool existed = false;
  if (DWORD rc = openObject(Kind::Mapping, lpName, true, size, 0, nullptr, nullptr, shared, existed))
    return failHandle(rc);
  auto object = std::make_shared<Object>(Object{Kind::Mapping, std::move(shared), protect == PAGE_READWRITE});
  HANDLE h = addHandle(std::move(object));
  SetLastError(existed ? ERROR_ALREADY_EXISTS : 0);
  return h;
}

HANDLE OpenFileMappingA(DWORD dwDesiredAccess, BOOL, LPCSTR lpName) {
  if (!lpName) return failHandle(ERROR_INVALID_PARAMETER);
  std::shared_ptr<Shared> shared;
  bool existed = false;
  if (DWORD rc = openObject(Kind::Mapping, lpName, false, 0, 0, nullptr, nullptr, shared, existed))
    return failHandle(rc);
  const bool write = (dwDesiredAccess & FILE_MAP_WRITE) != 0;
  return addHandle(std::make_shared<Object>(Object{Kind::Mapping, std::move(shared), write}));
}

LPVOID MapViewOfFile(HANDLE hFileMappingObject, DWORD dwDesiredAccess, DWORD dwFileOffsetHigh, DWORD dwFileOffsetLow,
                     SIZE_T dwNumberOfBytesToMap) {
  auto object = findHandle(hFileMappingObject);
  if (!object || object->kind != Kind::Mapping) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  // FILE_MAP_COPY alone is copy-on-write; inside FILE_MAP_ALL_ACCESS its bit
  // is the section's query right.
  const bool copy = dwDesiredAccess == FILE_MAP_COPY, write = (dwDesiredAccess & FILE_MAP_WRITE) != 0;
  if (!(dwDesiredAccess & (FILE_MAP_READ | FILE_MAP_WRITE | FILE_MAP_COPY))) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  if (write && !copy && !object->writable) {
    SetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
  }
  const uint64_t offset = (uint64_t(dwFileOffsetHigh) << 32) | dwFileOffsetLow;
  if (offset % kGranularity) {
    SetLastError(ERROR_MAPPED_ALIGNMENT);
    return nullptr;
  }
  const uint64_t size = object->shared->size;
  if (offset >= size || dwNumberOfBytesToMap > size - offset) {
    SetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
  }
  const size_t length = dwNumberOfBytesToMap ? dwNumberOfBytesToMap : size_t(size - offset);
  void* p = mmap(nullptr, length, PROT_READ | ((write || copy) ? PROT_WRITE : 0), copy ? MAP_PRIVATE : MAP_SHARED,
                 object->shared->fd, off_t(offset));
  if (p == MAP_FAILED) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  std::lock_guard<std::mutex> guard(viewLock());
  views()[p] = View{length, object->shared};
  return p;
}

BOOL UnmapViewOfFile(LPCVOID lpBaseAddress) {
  std::shared_ptr<Shared> last;
  {
    std::lock_guard<std::mutex> guard(viewLock());
    auto it = views().find(lpBaseAddress);
    if (it == views().end()) {
      SetLastError(ERROR_INVALID_ADDRESS);
      return FALSE;
    }
    munmap(const_cast<void*>(lpBaseAddress), it->second.length);
    last = std::move(it->second.shared);
    views().erase(it);
  }
  return TRUE;
}

BOOL FlushViewOfFile(LPCVOID lpBaseAddress, SIZE_T) {
  std::lock_guard<std::mutex> guard(viewLock());
  auto it = views().upper_bound(lpBaseAddress);
  if (it == views().begin()) {
    SetLastError(ERROR_INVALID_ADDRESS);
    return FALSE;
  }
  --it;
  const BYTE* base = static_cast<const BYTE*>(it->first);
  if (static_cast<const BYTE*>(lpBaseAddress) >= base + it->second.length) {
    SetLastError(ERROR_INVALID_ADDRESS);
    return FALSE;
  }
  return TRUE;  // shared memory: every process sees writes at once
}
