// Smart-card and token providers: CSPs whose key containers are the key
// pairs of a PKCS#11 token. Each is registered in the user's hive, as
// Windows registers CSPs, with the module it uses (a path, or the name of a
// p11-kit module configuration).
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace velmora::crypt {

struct TokenProviderEntry {
  std::string name;
  std::string module;  // a library path or a p11-kit module name
};

// The registered token providers, sorted by name. First registers one
// provider for every configured p11-kit module that has none yet (and was
// not removed by the user), named after the module.
VELMORA_EXPORT std::vector<TokenProviderEntry> tokenProviders();
// Registers (or re-points) a provider: 0, or a Windows error code.
VELMORA_EXPORT DWORD addTokenProvider(const std::string& name, const std::string& module);
// Removes a provider and keeps it from coming back by itself: 0, or
// NTE_KEYSET_NOT_DEF when there is none of that name.
VELMORA_EXPORT DWORD removeTokenProvider(const std::string& name);

}  // namespace velmora::crypt
