// Loading a PKCS#11 module into a context and unloading it.
#include <cstring>

#include "p11_layer.h"

namespace quennet {

std::shared_ptr<PKCS11_CTX> PKCS11_CTX_new() { return std::make_shared<PKCS11_CTX>(); }

int PKCS11_CTX_load(PKCS11_CTX& ctx, const char* name) {
  if (ctx.module) {
    pushError(F_CTX_LOAD, R_ALREADY_LOADED);
    return -1;
  }
  // A name without extension resolves through the library search path with
  // the platform's suffix, as every library of the system does.
  HMODULE module = LoadLibraryA(name);
  auto getList = module ? reinterpret_cast<CK_C_GetFunctionList>(
                              reinterpret_cast<void*>(GetProcAddress(module, "C_GetFunctionList")))
                        : nullptr;
  CK_FUNCTION_LIST* list = nullptr;
  if (!getList || getList(&list) != CKR_OK || !list) {
    if (module) FreeLibrary(module);
    pushError(F_CTX_LOAD, R_LOAD_MODULE);
    return -1;
  }
  ctx.module = module;
  ctx.functions = list;
  // Initialise through the list directly: p11Call refuses a context that
  // is not initialised yet.
  CK_RV rv = list->C_Initialize ? list->C_Initialize(nullptr) : kMissingEntry;
  if (rv != CKR_OK) {
    ctx.functions = nullptr;
    ctx.module = nullptr;
    FreeLibrary(module);
    pushError(F_CTX_LOAD, rv);
    return -1;
  }
  ctx.initialised = true;
  CK_INFO info;
  memset(&info, 0, sizeof info);
  rv = p11Call(&ctx, &CK_FUNCTION_LIST::C_GetInfo, &info);
  if (rv != CKR_OK) {
    PKCS11_CTX_unload(ctx);
    pushError(F_CTX_LOAD, rv);
    return -1;
  }
  ctx.manufacturer = trimBlanks(info.manufacturerID, sizeof info.manufacturerID);
  ctx.description = trimBlanks(info.libraryDescription, sizeof info.libraryDescription);
  return 0;
}

void PKCS11_CTX_unload(PKCS11_CTX& ctx) {
  if (ctx.initialised) p11Call(&ctx, &CK_FUNCTION_LIST::C_Finalize, nullptr);
  ctx.initialised = false;
  ctx.functions = nullptr;
  if (ctx.module) FreeLibrary(ctx.module);
  ctx.module = nullptr;
}

}  // namespace quennet
