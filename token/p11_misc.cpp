// The token layer's error queue and its library, function and reason names.
// The queue is per thread, like the cryptographic library's, but holds only
// the token layer's own entries, so a foreign error can never be mistaken for
// a token failure.
#include <cstdio>
#include <deque>

#include "p11_layer.h"

namespace quennet {

namespace {

thread_local std::deque<unsigned long> t_errors;

struct Name {
  unsigned long code;
  const char* text;
};

const Name kFunctions[] = {
    {1, "PKCS11_CTX_load"},
    {2, "PKCS11_enum_slots"},
    {3, "PKCS11_check_token"},
    {4, "PKCS11_open_session"},
    {5, "PKCS11_login"},
    {6, "PKCS11_enum_keys"},
    {7, "PKCS11_get_key"},
    {8, "PKCS11_rsa_decrypt"},
    {9, "PKCS11_rsa_encrypt"},
    {10, "PKCS11_rsa_sign"},
    {11, "PKCS11_rsa_verify"},
    {12, "PKCS11_enum_certs"},
    {13, "PKCS11_init_token"},
    {14, "PKCS11_init_pin"},
    {15, "PKCS11_logout"},
    {16, "PKCS11_store_private_key"},
    {17, "PKCS11_generate_key"},
    {18, "PKCS11_store_public_key"},
    {19, "PKCS11_store_certificate"},
    {22, "PKCS11_change_pin"},
    {40, "PKCS11_get_attribute"},
};

// Reasons compare in their low 12 bits, as the packed code keeps them.
const Name kReasons[] = {
    {1025, "Unable to load PKCS#11 module"},
    {1026, "Already loaded module for PKCS11 context"},
    {1027, "Symbol not found in PKCS#11 module"},
    {1028, "Not supported"},
    {1029, "No session open"},
    {1031, "no token available"},
    {1032, "X509_REQ_NEW Error"},
    {1033, "no cert available"},
    {1034, "no token available"},
    {1035, "no enum slots"},
    {1036, "No init library"},
    {1037, "x509 cert invalid."},
    {0x01, "Cancel"},
    {0x02, "Host memory error"},
    {0x03, "Invalid slot ID"},
    {0x05, "General Error"},
    {0x06, "Function failed"},
    {0x07, "Invalid arguments"},
    {0x08, "No event"},
    {0x09, "Need to create threads"},
    {0x0A, "Cannott lock"},
    {0x10, "Attribute read only"},
    {0x11, "Attribute sensitive"},
    {0x12, "Attribute type invalid"},
    {0x13, "Attribute value invalid"},
    {0x20, "Data invalid"},
    {0x21, "Data len range"},
    {0x30, "Device error"},
    {0x31, "Device memory"},
    {0x32, "Device removed"},
    {0x40, "Encrypted data invalid"},
    {0x41, "Encrypted data len range"},
    {0x50, "Function canceled"},
    {0x51, "Function not parallel"},
    {0x54, "Function not supported"},
    {0x60, "Key handle invalid"},
    {0x62, "Key size range"},
    {0x63, "Key type inconsistent"},
    {0x64, "Key not needed"},
    {0x65, "Key changed"},
    {0x66, "Key needed"},
    {0x67, "Key indigestible"},
    {0x68, "Key function not permitted"},
    {0x69, "Key not wrappable"},
    {0x6A, "Key unextractable"},
    {0x70, "Mechanism invalid"},
    {0x71, "Mechanism param invalid"},
    {0x82, "Object handle invalid"},
    {0x90, "Operation active"},
    {0x91, "Operation not initialized"},
    {0xA0, "PIN incorrect"},
    {0xA1, "PIN invalid"},
    {0xA2, "Invalid PIN length"},
    {0xA3, "PIN expired"},
    {0xA4, "PIN locked"},
    {0xB0, "Session closed"},
    {0xB1, "Session count"},
    {0xB3, "Session handle invalid"},
    {0xB4, "Session parallel not supported"},
    {0xB5, "Session read only"},
    {0xB6, "Session exists"},
    {0xB7, "Read-only session exists"},
    {0xB8, "Read/write SO session exists"},
    {0xC0, "Signature invalid"},
    {0xC1, "Signature len range"},
    {0xD0, "Incomplete template"},
    {0xD1, "Inconsistent template"},
    {0xE0, "No PKCS#11 token present"},
    {0xE1, "PKCS#11 token not recognized"},
    {0xE2, "Token write protected"},
    {0xF0, "Unwrapping key handle invalid"},
    {0xF1, "Unwrapping key size range"},
    {0xF2, "Unwrapping key type inconsistent"},
    {0x100, "User already logged in"},
    {0x101, "User not logged in"},
    {0x102, "User pin not initialized"},
    {0x103, "User type invalid"},
    {0x104, "User another is already logged in"},
    {0x105, "User too many types"},
    {0x110, "Wrapped key invalid"},
    {0x112, "Wrapped key len range"},
    {0x113, "Wrapping key handle invalid"},
    {0x114, "Wrapping key size range"},
    {0x115, "Wrapping key type inconsistent"},
    {0x120, "Random seed not supported"},
    {0x121, "Random no rng"},
    {0x130, "Domain params invalid"},
    {0x150, "Buffer too small"},
    {0x160, "Saved state invalid"},
    {0x170, "Information sensitive"},
    {0x180, "State unsaveable"},
    {0x190, "Cryptoki not initialized"},
    {0x191, "Cryptoki already initialized"},
    {0x1A0, "Mutex bad"},
    {0x1A1, "Mutex not locked"},
};

template <size_t N>
const char* lookup(const Name (&table)[N], unsigned long code, unsigned long mask) {
  for (const auto& n : table)
    if ((n.code & mask) == code) return n.text;
  return nullptr;
}

}  // namespace

void pushError(int function, unsigned long reason) {
  t_errors.push_back(packError(kP11Library, unsigned(function), reason));
}

bool popError(unsigned long& packed) {
  if (t_errors.empty()) return false;
  packed = t_errors.front();
  t_errors.pop_front();
  return true;
}

void clearErrors() { t_errors.clear(); }

std::string errorText(unsigned long packed) {
  unsigned long lib = (packed >> 24) & 0xFF, func = (packed >> 12) & 0xFFF, reason = packed & 0xFFF;
  char libBuf[32], funcBuf[32], reasonBuf[32];
  const char* libName = lib == kP11Library ? "PKCS11 library" : nullptr;
  if (!libName) snprintf(libBuf, sizeof libBuf, "lib(%lu)", lib), libName = libBuf;
  const char* funcName = lookup(kFunctions, func, 0xFFF);
  if (!funcName) snprintf(funcBuf, sizeof funcBuf, "func(%lu)", func), funcName = funcBuf;
  const char* reasonName = lookup(kReasons, reason, 0xFFF);
  if (!reasonName) snprintf(reasonBuf, sizeof reasonBuf, "reason(%lu)", reason), reasonName = reasonBuf;
  char out[256];
  snprintf(out, sizeof out, "error:%08lX:%s:%s:%s", packed, libName, funcName, reasonName);
  return out;
}

}  // namespace quennet
