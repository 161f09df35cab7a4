// What the store inspector shows of the key containers: which exist, which
// provider made each, and their keys' flags. No key material.
#pragma once

#include <windef.h>

#include <string>
#include <vector>

namespace velmora::crypt {

struct ContainerKeyInfo {
  DWORD keySpec = 0;   // AT_KEYEXCHANGE or AT_SIGNATURE
  unsigned alg = 0;    // CALG_RSA_KEYX or CALG_RSA_SIGN
  DWORD bits = 0;
  bool exportable = false;
  bool userProtected = false;
};

struct ContainerInfo {
  std::string provider;
  std::string name;
  std::string file;
  std::vector<ContainerKeyInfo> keys;
};

VELMORA_EXPORT std::vector<ContainerInfo> listKeyContainers();

}  // namespace velmora::crypt
