// The engine behind the module's C functions: the current user's certificate
// stores seen as PKCS#11 objects, and the key operations, which run in the
// platform's key code (the key never leaves it). Callers (module.cpp) have
// checked every argument and hold the module's lock.
#pragma once

#include "pkcs11_types.h"

#include <map>
#include <memory>
#include <string>
#include <vector>

namespace velmora::p11 {

using Bytes = std::vector<unsigned char>;

enum class KeyStore { None, Csp, Cng };

struct Object {
  CK_OBJECT_CLASS cls = 0;
  std::map<CK_ATTRIBUTE_TYPE, Bytes> attrs;
  // Certificate the object belongs to: its store and SHA-1 thumbprint.
  std::string store;
  Bytes sha1;
  // Private keys: where the key lives and what it can do.
  KeyStore keyStore = KeyStore::None;
  CK_KEY_TYPE keyType = 0;
  CK_ULONG signatureSize = 0;  // RSA: modulus bytes; EC: 2 * order bytes
  bool canSign = false;
  bool canDecrypt = false;

  bool has(CK_ATTRIBUTE_TYPE t) const { return attrs.count(t) != 0; }
};

// The objects of the stores "MY" (certificates, their public and private
// keys), "CA" and "ROOT" (certificates; roots marked trusted). Handles stay
// the same for the same object across reloads; an object removed from its
// store loses its handle.
class Token {
 public:
  // Reads the stores again (another process may have changed them).
  void reload();
  const Object* find(CK_OBJECT_HANDLE h) const;
  std::vector<CK_OBJECT_HANDLE> handles() const;

 private:
  CK_OBJECT_HANDLE handleFor(const std::string& key);
  std::map<CK_OBJECT_HANDLE, Object> objects_;
  std::map<std::string, CK_OBJECT_HANDLE> known_;  // store/sha1/class -> handle
  CK_OBJECT_HANDLE next_ = 1;
};

struct Mechanism {
  CK_MECHANISM_TYPE type;
  CK_KEY_TYPE keyType;
  CK_FLAGS flags;
  CK_ULONG minBits, maxBits;
};
// The mechanisms the module offers.
const std::vector<Mechanism>& mechanisms();
const Mechanism* findMechanism(CK_MECHANISM_TYPE type);

// Signs `data` with the private key `key` by `mechanism` (one of ours, for
// the key's type). Returns the signature as PKCS#11 gives it.
CK_RV sign(const Object& key, CK_MECHANISM_TYPE mechanism, const Bytes& data, Bytes& signature);
// RSA PKCS#1 v1.5 decryption with the key's own provider.
CK_RV decrypt(const Object& key, const Bytes& cipher, Bytes& plain);
// Checks that `data` can be signed by `mechanism` with a key of `key`'s
// size, before any key is touched.
CK_RV checkSignInput(const Object& key, CK_MECHANISM_TYPE mechanism, const Bytes& data);

}  // namespace velmora::p11
