// Where the key storage provider keeps its keys: one file per key under
// ${XDG_DATA_HOME:-~/.local/share}/velmora/Crypto/Keys/ (folder 0700, files
// 0600), named by the SHA-1 of the key name folded to lower case (key names
// compare without regard to case). The file is JSON: {"format":1,
// "provider":...,"name":...,"algorithm":"ECDSA_P256","exportPolicy":n,
// "uiPolicy":{"version","flags","creationTitle","friendlyName",
// "description"},"pkcs8":...} with the private key as PKCS #8 DER in Base64;
// when the Secret Service keeps a wrapping key the file is "format":2 and
// holds "sealed" (the PKCS #8 sealed by crypt/protect, bound to the name,
// algorithm and policies) instead. Inside a NewKeyScope a new key file is
// provisional until its maker commits it.
// A file is written beside its final name and linked or renamed into place,
// so another process reads the old key or the new one, never half a file.
#pragma once

#include <windef.h>

#include <string>
#include <vector>

namespace velmora::ncrypt {

struct KeyFile {
  ~KeyFile();
  std::string name;       // UTF-8
  std::string algorithm;  // "ECDSA_P256" or "ECDSA_P384"
  DWORD legacyKeySpec = 0;
  DWORD exportPolicy = 0;
  DWORD uiVersion = 0;
  DWORD uiFlags = 0;
  std::string creationTitle, friendlyName, description;  // UTF-8
  std::string pkcs8;   // DER, for a plain key; wiped when the record goes
  std::string sealed;  // the sealed key instead
};

std::string keyFolder();
std::string keyFilePath(const std::string& name);
// The file a key has for this process: its provisional one while this
// process is making it, else keyFilePath().
std::string keyFileInUse(const std::string& name);
// The key's PKCS #8, unsealed when sealed: 0, NTE_BAD_KEY_STATE (its
// wrapping key is not at hand) or NTE_BAD_DATA (altered).
DWORD keyPkcs8(const KeyFile& key, std::string& pkcs8);
bool keyFileExists(const std::string& name);
// 0, or NTE_BAD_KEYSET (no such key) / NTE_BAD_DATA (unreadable file).
DWORD loadKeyFile(const std::string& path, KeyFile& key);
// `replace` false: NTE_EXISTS when a key of that name is there already.
DWORD saveKeyFile(const KeyFile& key, bool replace);
DWORD deleteKeyFile(const std::string& name);
std::vector<std::string> listKeyFiles();

}  // namespace velmora::ncrypt
