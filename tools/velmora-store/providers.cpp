// velmora-store's smart-card and token providers: list, add, remove.
#include <wincrypt.h>
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "crypt/token_provider.h"
#include "pkcs11/module.h"

int listProviders() {
  for (DWORD i = 0;; ++i) {
    char name[256];
    DWORD size = sizeof name, type = 0;
    if (!CryptEnumProvidersA(i, nullptr, 0, &type, name, &size)) break;
    std::string module;
    for (const auto& p : velmora::crypt::tokenProviders())
      if (p.name == name) module = p.module;
    if (module.empty()) {
      printf("%s (type %u, software)\n", name, type);
      continue;
    }
    const std::string library = velmora::pkcs11::resolveModule(module);
    printf("%s (type %u, token): %s%s%s\n", name, type, module.c_str(), library == module ? "" : " -> ",
           library == module ? "" : library.empty() ? "(not found)" : library.c_str());
  }
  return 0;
}

int addProvider(const std::string& name, const std::string& module) {
  if (velmora::pkcs11::resolveModule(module).empty()) {
    fprintf(stderr, "velmora-store: no PKCS#11 module %s (a path, or a p11-kit module name)\n", module.c_str());
    return 1;
  }
  if (DWORD rc = velmora::crypt::addTokenProvider(name, module)) {
    fprintf(stderr, "velmora-store: provider %s not added (0x%08X)\n", name.c_str(), rc);
    return 1;
  }
  printf("added provider %s\n", name.c_str());
  return 0;
}

int removeProvider(const std::string& name) {
  if (DWORD rc = velmora::crypt::removeTokenProvider(name)) {
    fprintf(stderr, "velmora-store: no token provider %s (0x%08X)\n", name.c_str(), rc);
    return 1;
  }
  printf("removed provider %s\n", name.c_str());
  return 0;
}
