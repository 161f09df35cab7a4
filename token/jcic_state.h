// The token component's process-wide state record and its operations. Text
// fields are fixed-size arrays: their sizes are limits of the data model.
#pragma once

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <memory>
#include <string>
#include <vector>

namespace quennet {

// Error codes of the token operations.
enum : int {
  kOk = 0,
  kNoDriver = 8001,
  kP12File = 0x8064,
  kP12NoPassword = 0x8065,
  kP12Parse = 0x8066,
  kP12Pin = 0x8067,
  kP12NoCert = 0x806D,
  kP12NoKey = 0x806F,
  kSignFailed = 0x9001,
  kLoadModule = 0x9002,
  kEnumSlots = 0x9004,
  kFindToken = 0x9005,
  kLoginFailed = 0x9006,
  kLogoutFailed = 0x9007,
  kBadCertData = 0x9010,
  kPinLocked = 0x9020,
  kPinWrong = 0x9021,
  kNothingToWorkOn = 0x9022,
  kNoUsableCert = 0x9023,
  kBadArgument = 0x9024,
  kRequestFailed = 0x9030,
  kImportFailed = 0x9031,
  kNoToken = 0x9000,  // GetCardStatus only; never stored as the error code
};

// MAC card result codes.
enum : int {
  kMacConnectFailed = 0x1002,
  kMacNotConnected = 0x1003,
};

struct PKCS11_CTX;
struct PKCS11_SLOT;

// The chosen certificate and the key handle of its private key. Both are
// counted references, so releasing the token's lists never leaves them
// dangling.
struct Selection {
  EVP_PKEY* privateKey = nullptr;
  X509* certificate = nullptr;

  Selection() = default;
  Selection(const Selection&) = delete;
  Selection& operator=(const Selection&) = delete;
  ~Selection() { clear(); }
  void clear() {
    EVP_PKEY_free(privateKey);
    X509_free(certificate);
    privateKey = nullptr;
    certificate = nullptr;
  }
};

struct JCICState {
  int tokenType = 2;
  char moduleList[1024] = {};
  int cardType = 0;
  int loginCardType = 0;
  int errorCode = 0;
  char errorMessage[1024] = {};
  int libraryCode = 0;
  char libraryMessage[4096] = {};
  bool cryptoInitialised = false;
  std::shared_ptr<PKCS11_CTX> context;
  std::vector<std::shared_ptr<PKCS11_SLOT>> slots;
  std::shared_ptr<PKCS11_SLOT> currentSlot;
  std::unique_ptr<Selection> selection;
  char request[6148] = {};
  char requestMac[200] = {};
  char subject[1024] = {};
  char issuer[1024] = {};
  char serial[1024] = {};
  char notBefore[1024] = {};
  char notAfter[1024] = {};
  char certificate[8192] = {};
  char fingerprint[1024] = {};
  char* pkcs7 = nullptr;  // heap text of the last successful SignPKCS7
  char p12Path[1024] = {};
  EVP_PKEY* p12Key = nullptr;
  X509* p12Cert = nullptr;
};

JCICState& state();

// Ends an operation: sets the error code and message, returns the code.
int finish(int code, const char* message);
int finish(int code, const std::string& message);
// The token layer's step status (library code and message).
void setLibrary(int code, const std::string& message);
void clearLibrary();
// Ends an operation with the library code and message.
int finishWithLibrary();
void emptySelection();

// Copies `text` into a fixed field, cut to the field's size.
template <size_t N>
void setField(char (&field)[N], const std::string& text) {
  size_t n = text.size() < N - 1 ? text.size() : N - 1;
  text.copy(field, n);
  field[n] = 0;
}

// The module lists of the surfaces.
inline constexpr const char* kClassModuleList = "KAVOPKCS114JCICv2,KAVOPKCS11v5";
inline constexpr const char* kAutomationModuleList = "KAVOPKCS114JCICv2";

// Operations shared by every surface. Text arguments are in the process
// ANSI code page; `data`/`size` let the wide surface sign UTF-16 bytes.
int setTokenType(int type, const char* moduleList);
int getCardStatus();
int getCardType();
int login(const char* pin1, const char* pin2);
int logout();
int selectCert(int certType);
int makePkcs10(int keyType, int keySize, const char* cn);
int makePkcs10Ecc(int keyType, int keySize, const char* cn);
int importCert(const char* base64X509, const char* mac);
int signPkcs7(const void* data, long size);

// Whether the cryptographic side has been set up (first GetCardStatus).
void initCrypto();

}  // namespace quennet
