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
  // the platform's suffix, or else through p11-kit's module configuration.
  CK_RV rv = velmora::pkcs11::kNotLoadable;
  const std::string library = velmora::pkcs11::resolveModule(name ? name : "");
  ctx.module = library.empty() ? nullptr : velmora::pkcs11::Module::open(library, rv);
  if (!ctx.module) {
    pushError(F_CTX_LOAD, rv == velmora::pkcs11::kNotLoadable ? R_LOAD_MODULE : rv);
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
  // The module finalises when its last user in the process lets go.
  ctx.initialised = false;
  ctx.module.reset();
}

}  // namespace quennet
