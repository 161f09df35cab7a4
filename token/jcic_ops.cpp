// The state record, the mode and module list, finding the token, and the
// session operations: GetCardStatus, Login and Logout (PKCS#11 and PKCS#12
// mode).
#include <windows.h>

#include <openssl/crypto.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "jcic_state.h"
#include "p11_layer.h"

namespace quennet {

JCICState& state() {
  static JCICState s;
  return s;
}

int finish(int code, const char* message) {
  auto& s = state();
  s.errorCode = code;
  setField(s.errorMessage, message ? message : "");
  return code;
}

int finish(int code, const std::string& message) { return finish(code, message.c_str()); }

void setLibrary(int code, const std::string& message) {
  auto& s = state();
  s.libraryCode = code;
  setField(s.libraryMessage, message);
}

void clearLibrary() { setLibrary(0, ""); }

int finishWithLibrary() {
  auto& s = state();
  return finish(s.libraryCode, s.libraryMessage);
}

void emptySelection() {
  auto& s = state();
  if (s.selection) s.selection->clear();
}

void initCrypto() {
  auto& s = state();
  if (s.cryptoInitialised) return;
  OPENSSL_init_crypto(OPENSSL_INIT_LOAD_CRYPTO_STRINGS | OPENSSL_INIT_ADD_ALL_CIPHERS | OPENSSL_INIT_ADD_ALL_DIGESTS,
                      nullptr);
  s.cryptoInitialised = true;
}

namespace {

int cardTypeOf(const std::string& name) {
  if (name.find("KAVOPKCS11v5") != std::string::npos) return 2;
  if (name.find("HiCOSPKCS11") != std::string::npos) return 1;
  if (name.find("dkck232") != std::string::npos) return 4;
  if (name.find("KAVOPKCS114JCIC") != std::string::npos) return 5;
  return 3;
}

std::vector<std::string> splitList(const char* list) {
  std::vector<std::string> names;
  std::string current;
  for (const char* p = list; *p; ++p) {
    if (*p == ',') {
      if (!current.empty()) names.push_back(current);
      current.clear();
    } else {
      current += *p;
    }
  }
  if (!current.empty()) names.push_back(current);
  return names;
}

void newSelection() { state().selection = std::make_unique<Selection>(); }

// The earliest queued token-layer error as the library status; `code` is
// the status to report (0 keeps the packed error code itself).
unsigned long libraryFromQueue(int code, const char* fallback) {
  unsigned long packed = 0;
  if (popError(packed)) {
    setLibrary(code ? code : int(packed), errorText(packed));
    return packed;
  }
  setLibrary(code, fallback);
  return 0;
}

void unloadModule() {
  auto& s = state();
  s.currentSlot.reset();
  s.slots.clear();
  if (s.context) PKCS11_CTX_unload(*s.context);
  s.context.reset();
}

}  // namespace

int setTokenType(int type, const char* moduleList) {
  auto& s = state();
  s.tokenType = type;
  setField(s.moduleList, moduleList);
  for (const auto& name : splitList(s.moduleList)) {
    if (velmora::pkcs11::resolveModule(name).empty()) {
      char message[1024];
      snprintf(message, sizeof message, "No %s Pkcs11 driver!", name.c_str());
      return finish(kNoDriver, message);
    }
  }
  s.errorCode = kOk;  // the message stays as it was
  return kOk;
}

int getCardStatus() {
  auto& s = state();
  if (s.tokenType == 1) return 2;
  clearErrors();
  for (const auto& name : splitList(s.moduleList)) {
    clearLibrary();
    initCrypto();
    unloadModule();
    s.context = PKCS11_CTX_new();
    if (!s.context) {
      setLibrary(kLoadModule, "create PKCS11_CTX_new Error!!");
      continue;
    }
    if (PKCS11_CTX_load(*s.context, name.c_str()) != 0) {
      s.context.reset();
      clearErrors();
      setLibrary(kLoadModule, "create PKCS11_CTX_load Error!!");
      continue;
    }
    if (PKCS11_enum_slots(s.context, s.slots) != 0) {
      libraryFromQueue(kEnumSlots, "no token!!");
      continue;
    }
    const PKCS11_SLOT* first = nullptr;
    for (const auto& slot : s.slots)
      if (slot->token) {
        first = slot.get();
        break;
      }
    if (!first) {
      setLibrary(kEnumSlots, "no token!!");
      continue;
    }
    s.cardType = cardTypeOf(name);
    s.currentSlot = PKCS11_find_token(s.slots, first->token->label);
    if (!s.currentSlot) {
      libraryFromQueue(kFindToken, "no token!!");
      break;
    }
    newSelection();
    s.loginCardType = s.cardType;
    return kOk;
  }
  setField(s.errorMessage, "No Token!");
  newSelection();
  s.loginCardType = s.cardType;
  return kNoToken;
}

int getCardType() { return state().cardType; }

int login(const char* pin1, const char* pin2) {
  auto& s = state();
  finish(kOk, "");
  if (s.tokenType == 1) {
    initCrypto();
    // No operation sets the PKCS#12 path, so the file can never be opened.
    FILE* f = s.p12Path[0] ? fopen(s.p12Path, "rb") : nullptr;
    if (!f) return finish(kP12File, "PKCS12 File Path Error!");
    fclose(f);
    return finish(kP12Parse, "PKCS12 Parse Error!");
  }
  clearLibrary();
  clearErrors();
  if (!s.currentSlot) return finish(kNothingToWorkOn, "no slot!!");

  // The two PINs go to the token as given: joining them into one text and
  // splitting it again would break a PIN that holds the separator and
  // spend a try of the card on the wrong PIN.
  std::string user = pin1 ? pin1 : "", second = pin2 ? pin2 : "";
  int result = PKCS11_login(*s.currentSlot, user, second, s.loginCardType == 5);
  OPENSSL_cleanse(user.data(), user.size());
  OPENSSL_cleanse(second.data(), second.size());
  if (result != 0) {
    unsigned long packed = libraryFromQueue(0, "no para login pwd!!");
    unsigned long reason = errorReason(packed);
    bool atLogin = result == -2 || result == -3;
    if (reason == CKR_PIN_INCORRECT && atLogin) {
      setLibrary(kPinWrong, result == -2 ? "C7 PINCode Error!!" : "C9 PINCode Error!!");
    } else if (reason == CKR_PIN_LOCKED && atLogin) {
      setLibrary(kPinLocked, result == -2 ? "C7 PINCode Lock!!" : "C9 PINCode Lock!!");
    } else if (reason != CKR_PIN_INCORRECT && reason != CKR_PIN_LOCKED) {
      s.libraryCode = kLoginFailed;
    }
  }
  return finishWithLibrary();
}

int logout() {
  auto& s = state();
  s.errorCode = kOk;
  if (s.tokenType == 1) {
    X509_free(s.p12Cert);
    EVP_PKEY_free(s.p12Key);
    s.p12Key = nullptr;
    s.p12Cert = nullptr;
    s.libraryMessage[0] = 0;
    return finish(kOk, s.libraryMessage);
  }
  clearLibrary();
  clearErrors();
  if (!s.currentSlot) return finish(kNothingToWorkOn, "no slot!!");
  if (PKCS11_logout(*s.currentSlot) != 0) libraryFromQueue(kLogoutFailed, "");
  unloadModule();
  return finishWithLibrary();
}

}  // namespace quennet
