// IUnknown for an object with one interface `I` (besides IUnknown itself),
// its reference count, and its deletion with the last Release.
#pragma once

#include <oleauto.h>

#include <atomic>

namespace velmora::com {

template <class I, const IID& Iid, class Derived>
class SingleInterface : public I {
 public:
  HRESULT QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    if (riid == IID_IUnknown || riid == Iid) {
      *ppv = static_cast<I*>(this);
      AddRef();
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG AddRef() override { return ++refs_; }
  ULONG Release() override {
    const ULONG n = --refs_;
    if (n == 0) delete static_cast<Derived*>(this);
    return n;
  }

 private:
  std::atomic<ULONG> refs_{1};
};

}  // namespace velmora::com
