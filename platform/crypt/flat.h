// Lays a decoded structure out in a caller's buffer: the structure first,
// then the data it points to. The same code runs twice, once to measure
// (no buffer: every allocation returns null and writes are skipped) and
// once to fill.
#pragma once

#include <windef.h>

#include <cstring>

namespace velmora::crypt {

class Flat {
 public:
  explicit Flat(BYTE* base) : base_(base) {}
  // `n` bytes at an 8-byte boundary; null while measuring.
  void* alloc(size_t n) {
    used_ = (used_ + 7) & ~size_t(7);
    void* p = base_ ? base_ + used_ : nullptr;
    used_ += n;
    return p;
  }
  // A copy of `n` bytes plus `zeros` terminating zero bytes.
  BYTE* copy(const void* src, size_t n, size_t zeros = 0) {
    BYTE* p = static_cast<BYTE*>(alloc(n + zeros));
    if (p) {
      if (n) memcpy(p, src, n);
      memset(p + n, 0, zeros);
    }
    return p;
  }
  char* str(const std::string& s) { return reinterpret_cast<char*>(copy(s.data(), s.size(), 1)); }
  size_t used() const { return used_; }
  bool measuring() const { return base_ == nullptr; }

 private:
  BYTE* base_;
  size_t used_ = 0;
};

// Runs `build` to measure, then (when the caller's buffer is big enough) to
// fill, with the Windows size-query rules.
template <class Build>
BOOL layOut(void* out, DWORD* outLen, Build build) {
  if (!outLen) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  Flat measure(nullptr);
  build(measure);
  const DWORD need = DWORD(measure.used());
  if (!out) {
    *outLen = need;
    return TRUE;
  }
  if (*outLen < need) {
    *outLen = need;
    SetLastError(ERROR_MORE_DATA);
    return FALSE;
  }
  Flat fill(static_cast<BYTE*>(out));
  build(fill);
  *outLen = need;
  return TRUE;
}

}  // namespace velmora::crypt
