// Shared by the module's tests: the module loaded as other programs load it
// (dlopen, C_GetFunctionList), and a profile whose "MY" store holds an RSA
// and an EC certificate with their keys, issued by a CA made with openssl.
#pragma once

#include <p11-kit/pkcs11.h>

#include <string>
#include <vector>

namespace p11test {

extern const std::string kModulePath;

// The module's function list (the library stays loaded).
CK_FUNCTION_LIST* functions();

struct Material {
  std::string dir;      // where the files are
  std::string caPem;    // the issuing CA's certificate (in "CA" after import)
  std::string caKey;
  std::string rsaPem, ecPem;  // the two user certificates
};

// Makes a CA, an RSA (2048) and an EC (P-256) user certificate and imports
// both PFX files into this profile with velmora-store. Once per process.
const Material& enrolled();

// Imports one more certificate (new key, same CA) in another process;
// returns its PEM path and fills `sha1` with its thumbprint (hex).
std::string importAnother(const std::string& cn, std::string& sha1);

// The environment for a foreign program (pkcs11-tool, gnutls-cli, NSS)
// that loads the module: under the sanitizer build, their runtime first.
std::vector<std::string> foreignEnv();

// Runs openssl with `args`.
int openssl(const std::vector<std::string>& args, std::string* out = nullptr);

// The object handles matching a template of one class (and key type, when not 0).
std::vector<CK_OBJECT_HANDLE> find(CK_SESSION_HANDLE s, CK_OBJECT_CLASS cls, CK_KEY_TYPE keyType = ~0UL);
std::vector<unsigned char> attribute(CK_SESSION_HANDLE s, CK_OBJECT_HANDLE o, CK_ATTRIBUTE_TYPE t);

}  // namespace p11test
