// Loading PKCS#11 modules, shared within the process, and mapping their
// answers to the errors a smart-card provider gives.
#include "pkcs11/module.h"

#include <windows.h>

#include <atomic>
#include <cstdlib>
#include <map>

namespace velmora::pkcs11 {

namespace {

std::mutex& registryLock() {
  static auto* m = new std::mutex;
  return *m;
}

// Live modules by library handle: a module that two users open is
// initialised once, and finalised when the last of them lets go.
struct Live {
  std::weak_ptr<Module> weak;
  Module* module = nullptr;
};
std::map<void*, Live>& registry() {
  static auto* r = new std::map<void*, Live>;
  return *r;
}

// Set when the process exits: modules still held by static objects are
// left as they are then, since the module's own statics may be gone.
std::atomic<bool> g_exiting{false};

void markExiting() { g_exiting = true; }

}  // namespace

std::shared_ptr<Module> Module::open(const std::string& nameOrPath, CK_RV& rv) {
  rv = kNotLoadable;
  if (nameOrPath.empty()) return nullptr;
  HMODULE library = LoadLibraryA(nameOrPath.c_str());
  if (!library) return nullptr;
  std::lock_guard<std::mutex> lock(registryLock());
  // Registered after the statics of whoever opens a module, so it runs
  // before their destructors.
  static const bool atExit = (atexit(markExiting), true);
  (void)atExit;
  auto& live = registry();
  auto found = live.find(library);
  if (found != live.end()) {
    if (auto existing = found->second.weak.lock()) {
      FreeLibrary(library);  // the live module keeps its own reference
      rv = CKR_OK;
      return existing;
    }
    live.erase(found);
  }
  auto getList = reinterpret_cast<CK_C_GetFunctionList>(
      reinterpret_cast<void*>(GetProcAddress(library, "C_GetFunctionList")));
  CK_FUNCTION_LIST* list = nullptr;
  if (!getList || getList(&list) != CKR_OK || !list || !list->C_Initialize) {
    FreeLibrary(library);
    return nullptr;
  }
  // Several threads of the process may use the module at once.
  CK_C_INITIALIZE_ARGS args{};
  args.flags = CKF_OS_LOCKING_OK;
  CK_RV init = list->C_Initialize(&args);
  if (init != CKR_OK && init != CKR_CRYPTOKI_ALREADY_INITIALIZED) {
    FreeLibrary(library);
    rv = init;
    return nullptr;
  }
  std::shared_ptr<Module> module(new Module);
  module->library_ = library;
  module->list_ = list;
  // Initialised by someone outside this registry: theirs to finalise.
  module->finalise_ = init == CKR_OK;
  module->name_ = nameOrPath;
  live[library] = Live{module, module.get()};
  rv = CKR_OK;
  return module;
}

Module::~Module() {
  if (g_exiting) return;
  std::lock_guard<std::mutex> lock(registryLock());
  auto found = registry().find(library_);
  if (found != registry().end() && found->second.module == this) {
    registry().erase(found);
  } else if (found != registry().end() && !found->second.weak.expired()) {
    // Opened again while this one was going: the new one finalises.
    found->second.module->finalise_ = found->second.module->finalise_ || finalise_;
    finalise_ = false;
  }
  if (finalise_) call(&CK_FUNCTION_LIST::C_Finalize, nullptr);
  if (library_) FreeLibrary(static_cast<HMODULE>(library_));
}

DWORD win32FromCkr(CK_RV rv) {
  switch (rv) {
    case CKR_OK:
      return ERROR_SUCCESS;
    case CKR_PIN_INCORRECT:
    case CKR_PIN_LEN_RANGE:
      return SCARD_W_WRONG_CHV;
    case CKR_PIN_LOCKED:
      return SCARD_W_CHV_BLOCKED;
    case CKR_TOKEN_NOT_PRESENT:
    case CKR_TOKEN_NOT_RECOGNIZED:
    case CKR_DEVICE_REMOVED:
    case CKR_SESSION_CLOSED:
    case CKR_SESSION_HANDLE_INVALID:
      return SCARD_E_NO_SMARTCARD;
    case CKR_HOST_MEMORY:
      return DWORD(NTE_NO_MEMORY);
    case CKR_KEY_HANDLE_INVALID:
    case CKR_OBJECT_HANDLE_INVALID:
    case CKR_KEY_TYPE_INCONSISTENT:
      return DWORD(NTE_BAD_KEY);
    case CKR_KEY_SIZE_RANGE:
    case CKR_ARGUMENTS_BAD:
      return DWORD(NTE_BAD_FLAGS);
    case CKR_MECHANISM_INVALID:
      return DWORD(NTE_BAD_ALGID);
    case CKR_ENCRYPTED_DATA_INVALID:
    case CKR_ENCRYPTED_DATA_LEN_RANGE:
      return DWORD(NTE_BAD_DATA);
    case CKR_TOKEN_WRITE_PROTECTED:
      return DWORD(SCARD_W_SECURITY_VIOLATION);
    case CKR_USER_NOT_LOGGED_IN:
      return DWORD(SCARD_W_SECURITY_VIOLATION);
    case CKR_DEVICE_ERROR:
      return DWORD(SCARD_E_COMM_DATA_LOST);
    default:
      return DWORD(NTE_FAIL);
  }
}

}  // namespace velmora::pkcs11
