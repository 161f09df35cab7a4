#include "channel/object_table.h"

#include <objbase.h>
#include <windows.h>

#include <cstdlib>
#include <cstring>

#include "base/codepage_internal.h"
#include "channel/bridge_server.h"
#include "com/server.h"

namespace velmora::channel {

namespace {

// The codes and texts a script engine gives for these failures.
constexpr int32_t kCannotCreate = int32_t(0x800A01AD);
constexpr const char* kCannotCreateText = "Automation server can't create object";
constexpr int32_t kNoSuchObject = int32_t(0x800A01A8);
constexpr const char* kNoSuchObjectText = "Object required";

// {7DD95801-9882-11CF-9FA9-00AA006C42C4}: CATID_SafeForScripting.
constexpr const char* kSafeForScripting = "{7DD95801-9882-11CF-9FA9-00AA006C42C4}";

bool registeredSafe(REFCLSID clsid) {
  const std::string path =
      "CLSID\\" + velmora::com::guidText(clsid) + "\\Implemented Categories\\" + kSafeForScripting;
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
  RegCloseKey(key);
  return true;
}

std::vector<PageClass>& pageClasses() {
  static auto* classes = new std::vector<PageClass>;
  return *classes;
}

std::string realPath(const std::string& path) {
  char* resolved = realpath(path.c_str(), nullptr);
  if (!resolved) return {};
  std::string out = resolved;
  free(resolved);
  return out;
}

// The module the class's registration names, read without loading anything.
std::string registeredModule(REFCLSID clsid) {
  const std::string path = "CLSID\\" + velmora::com::guidText(clsid) + "\\InprocServer32";
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return {};
  std::vector<char> buffer(4097, 0);
  DWORD size = DWORD(buffer.size() - 1), type = 0;
  const LSTATUS rc = RegQueryValueExA(key, nullptr, nullptr, &type, reinterpret_cast<BYTE*>(buffer.data()), &size);
  RegCloseKey(key);
  if (rc != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ)) return {};
  return std::string(buffer.data(), strnlen(buffer.data(), size));
}

// A page may create the class only when it is one of ours and its
// registration still names our module: a registration that points
// anywhere else would have the host load a library of someone's choosing.
bool creatableByPages(REFCLSID clsid) {
  for (const PageClass& c : pageClasses()) {
    if (!(c.clsid == clsid)) continue;
    const std::string registered = registeredModule(clsid);
    if (registered.empty() || registered.front() != '/') return false;
    const std::string ours = realPath(c.module);
    return !ours.empty() && realPath(registered) == ours;
  }
  return false;
}

bool safeForScripting(IDispatch* object, REFCLSID clsid) {
  IObjectSafety* safety = nullptr;
  if (SUCCEEDED(object->QueryInterface(IID_IObjectSafety, reinterpret_cast<void**>(&safety))) && safety) {
    const HRESULT hr = safety->SetInterfaceSafetyOptions(IID_IDispatch, INTERFACESAFE_FOR_UNTRUSTED_CALLER,
                                                         INTERFACESAFE_FOR_UNTRUSTED_CALLER);
    safety->Release();
    return SUCCEEDED(hr);
  }
  return registeredSafe(clsid);
}

}  // namespace

void setPageClasses(std::vector<PageClass> classes) { pageClasses() = std::move(classes); }

std::string ObjectTable::answer(const Message& m) {
  switch (m.kind) {
    case Kind::Create: return create(m.name);
    case Kind::Member: return member(m.handle, m.name);
    case Kind::Invoke: return invoke(m.handle, m.dispid, m.flags, m.args);
    case Kind::Release: {
      auto it = objects_.find(m.handle);
      if (it != objects_.end()) {
        it->second->Release();
        objects_.erase(it);
      }
      return {};
    }
    default: return encodeFault(int32_t(E_UNEXPECTED), 0, "unexpected request");
  }
}

void ObjectTable::clear() {
  auto objects = std::move(objects_);
  objects_.clear();
  for (auto& [handle, object] : objects) object->Release();
}

IDispatch* ObjectTable::find(int32_t handle) const {
  auto it = objects_.find(handle);
  return it == objects_.end() ? nullptr : it->second;
}

std::string ObjectTable::create(const std::string& progId) {
  if (objects_.size() >= kMaxObjects)
    return encodeFault(int32_t(E_OUTOFMEMORY), 0, "Too many automation objects on this page.");
  const std::u16string wide = velmora::platform::toWide(progId, CP_UTF8);
  CLSID clsid{};
  if (FAILED(CLSIDFromProgID(wide.c_str(), &clsid)) || !creatableByPages(clsid))
    return encodeFault(kCannotCreate, 0, kCannotCreateText);
  IDispatch* object = nullptr;
  if (FAILED(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch, reinterpret_cast<void**>(&object))) ||
      !object)
    return encodeFault(kCannotCreate, 0, kCannotCreateText);
  if (!safeForScripting(object, clsid)) {
    object->Release();
    return encodeFault(kCannotCreate, 0, kCannotCreateText);
  }
  // Handles are not reused while the connection lives.
  if (next_ == INT32_MAX) {
    object->Release();
    return encodeFault(kCannotCreate, 0, kCannotCreateText);
  }
  const int32_t handle = next_++;
  objects_[handle] = object;
  return encodeResult(Value::ofInt(handle));
}

std::string ObjectTable::member(int32_t handle, const std::string& name) {
  IDispatch* object = find(handle);
  if (!object) return encodeFault(kNoSuchObject, 0, kNoSuchObjectText);
  int32_t id = 0;
  if (!findMember(object, name, id)) return encodeFound(0, 0);
  // A member that only reads a property is read at once; everything else
  // (and an object without a type description) is called.
  uint32_t flags = kMemberMethod;
  ITypeInfo* info = nullptr;
  if (SUCCEEDED(object->GetTypeInfo(0, 0, &info)) && info) {
    TYPEATTR* attr = nullptr;
    if (SUCCEEDED(info->GetTypeAttr(&attr)) && attr) {
      bool property = false, method = false;
      for (WORD i = 0; i < attr->cFuncs; ++i) {
        FUNCDESC* f = nullptr;
        if (FAILED(info->GetFuncDesc(i, &f)) || !f) continue;
        if (f->memid == id) {
          if (f->invkind == INVOKE_PROPERTYGET && f->cParams == 0) property = true;
          else method = true;
        }
        info->ReleaseFuncDesc(f);
      }
      if (property && !method) flags = kMemberProperty;
      info->ReleaseTypeAttr(attr);
    }
    info->Release();
  }
  return encodeFound(id, flags);
}

std::string ObjectTable::invoke(int32_t handle, int32_t dispid, uint32_t flags, const std::vector<Value>& args) {
  IDispatch* object = find(handle);
  if (!object) return encodeFault(kNoSuchObject, 0, kNoSuchObjectText);
  constexpr uint32_t allowed = DISPATCH_METHOD | DISPATCH_PROPERTYGET;
  if (!(flags & allowed) || (flags & ~allowed)) return encodeFault(int32_t(DISP_E_MEMBERNOTFOUND), 0,
                                                                   "Object doesn't support this property or method");
  // The object stays alive through the call even if the page releases it
  // from a nested main loop (a dialog) meanwhile.
  object->AddRef();
  std::string reply = invokeOverChannel(object, dispid, args, WORD(flags));
  object->Release();
  return reply;
}

}  // namespace velmora::channel
