// C++ conveniences over BSTR and VARIANT, for tests and tools:
//   Bstr          a move-only owner of one BSTR (SysFreeString on destruction)
//   VariantGuard  clears a VARIANT (VariantClear) when it goes out of scope
//   toU16/toUtf8  UTF-8 <-> UTF-16; malformed input becomes U+FFFD
#pragma once

#include <oleauto.h>

#include <new>
#include <string>
#include <string_view>
#include <utility>

namespace velmora::com {

// UTF-8 to UTF-16. Each maximal ill-formed part (a stray or missing
// continuation byte, an overlong form, a surrogate, a value above U+10FFFF)
// becomes one U+FFFD.
VELMORA_EXPORT std::u16string toU16(const std::string& utf8);

// UTF-16 to UTF-8. An unpaired surrogate becomes U+FFFD.
VELMORA_EXPORT std::string toUtf8(std::u16string_view text);

class Bstr {
 public:
  Bstr() noexcept = default;
  // A new BSTR holding `text` (embedded zeros kept). Throws std::bad_alloc.
  explicit Bstr(std::u16string_view text) : p_(SysAllocStringLen(text.data() ? text.data() : u"", UINT(text.size()))) {
    if (!p_) throw std::bad_alloc();
  }
  static Bstr fromUtf8(const std::string& utf8) { return Bstr(toU16(utf8)); }
  // Takes over a BSTR someone else allocated.
  static Bstr attach(BSTR owned) noexcept {
    Bstr b;
    b.p_ = owned;
    return b;
  }

  Bstr(Bstr&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
  Bstr& operator=(Bstr&& other) noexcept {
    if (this != &other) reset(std::exchange(other.p_, nullptr));
    return *this;
  }
  Bstr(const Bstr&) = delete;
  Bstr& operator=(const Bstr&) = delete;
  ~Bstr() { SysFreeString(p_); }

  BSTR get() const noexcept { return p_; }
  // Gives up ownership; the caller frees the result.
  BSTR release() noexcept { return std::exchange(p_, nullptr); }
  void reset(BSTR owned = nullptr) noexcept { SysFreeString(std::exchange(p_, owned)); }
  // For out-parameters: frees the current string and returns where to store the new one.
  BSTR* out() noexcept {
    reset();
    return &p_;
  }

  // A null BSTR reads as the empty string.
  UINT length() const noexcept { return SysStringLen(p_); }
  bool empty() const noexcept { return length() == 0; }
  std::u16string_view view() const noexcept {
    return p_ ? std::u16string_view(p_, SysStringLen(p_)) : std::u16string_view();
  }
  std::u16string str() const { return std::u16string(view()); }
  std::string utf8() const { return toUtf8(view()); }

 private:
  BSTR p_ = nullptr;
};

// Clears a VARIANT on scope exit: either one of its own (starts VT_EMPTY) or
// an existing one it guards. Neither copyable nor movable.
class VariantGuard {
 public:
  VariantGuard() noexcept : p_(&own_) { VariantInit(&own_); }
  explicit VariantGuard(VARIANT& guarded) noexcept : p_(&guarded) {}
  VariantGuard(const VariantGuard&) = delete;
  VariantGuard& operator=(const VariantGuard&) = delete;
  ~VariantGuard() { VariantClear(p_); }

  VARIANT* get() noexcept { return p_; }
  VARIANT* operator->() noexcept { return p_; }
  VARIANT& operator*() noexcept { return *p_; }
  // Hands the value over (the guarded VARIANT is left VT_EMPTY).
  VARIANT release() noexcept {
    VARIANT v = *p_;
    VariantInit(p_);
    return v;
  }

 private:
  VARIANT own_;
  VARIANT* p_;
};

}  // namespace velmora::com
