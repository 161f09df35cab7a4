// MakePKCS10 and MakePKCS10ECC: a new key pair on the logged-in token and a
// PKCS#10 request signed by it, with the request MAC taken from the token's
// public-key object.
#include <openssl/err.h>
#include <openssl/rand.h>

#include <cstdio>
#include <cstring>

#include "cert_text.h"
#include "jcic_state.h"
#include "p11_layer.h"

namespace quennet {

namespace {

std::string newLabel() {
  unsigned char bytes[18];
  if (RAND_bytes(bytes, sizeof bytes) != 1) return {};
  std::string label;
  char hex[3];
  for (unsigned char b : bytes) {
    snprintf(hex, sizeof hex, "%02X", b);
    label += hex;
  }
  return label;
}

struct Request {
  std::string base64;
  std::string mac;
};

// Steps shared by both generators once the key pair exists. `ec` selects
// the public key source and the signature; returns an error text or null.
const char* buildRequest(PKCS11_TOKEN& token, const std::string& label, const char* cn, bool ec, Request& out) {
  releaseKeys(token);
  releaseCerts(token);
  PKCS11_KEY* priv = PKCS11_find_key(token, label, true);
  if (!priv) return "MakePkcs10 Find PrivateKey Error";
  PKCS11_KEY* pub = PKCS11_find_key(token, label, false);
  if (!pub) return "MakePkcs10 Find PublicKey Error";
  EVP_PKEY* signing = PKCS11_get_private_key(*priv);
  if (!signing) return "MakePkcs10 Get Pkcs11PrivateKey Error";
  EVP_PKEY* publicKey = ec ? PKCS11_get_public_key(*pub) : priv->publicKey;

  // The token's tag is the last 8 bytes of the public key object's value;
  // a value too short to hold one gives no MAC.
  std::vector<unsigned char> value;
  if (!keyValue(*pub, value) || value.size() < 8) return "MakePkcs10 Get PublicKey Value Error";
  out.mac = base64Encode(value.data() + value.size() - 8, 8);

  X509_REQ* req = X509_REQ_new();
  if (!req) return "MakePkcs10 X509_REQ_new Error";
  const char* error = nullptr;
  if (!publicKey || !X509_REQ_set_pubkey(req, publicKey) || !X509_REQ_set_version(req, 0)) {
    error = "MakePkcs10 X509_REQ_new Error";
  } else {
    // A CN the library refuses (too long) leaves the subject empty.
    X509_NAME* subject = X509_NAME_new();
    if (subject &&
        X509_NAME_add_entry_by_txt(subject, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(cn), -1, -1,
                                   0))
      X509_REQ_set_subject_name(req, subject);
    X509_NAME_free(subject);
    ERR_clear_error();

    EVP_MD_CTX* mctx = EVP_MD_CTX_new();
    if (!mctx ||
        EVP_DigestSignInit_ex(mctx, nullptr, ec ? "SHA256" : "SHA1", tokenLibCtx(), kTokenPropQuery, signing,
                              nullptr) <= 0 ||
        X509_REQ_sign_ctx(req, mctx) <= 0) {
      error = "MakePkcs10 X509_REQ_sign Error";
    }
    EVP_MD_CTX_free(mctx);
  }
  if (!error) {
    unsigned char* der = nullptr;
    int n = i2d_X509_REQ(req, &der);
    if (n > 0) out.base64 = base64Encode(der, size_t(n));
    else error = "MakePkcs10 X509_REQ_sign Error";
    OPENSSL_free(der);
  }
  X509_REQ_free(req);
  ERR_clear_error();
  return error;
}

int generated(long r, const std::string& label, const char* cn, bool ec) {
  auto& s = state();
  if (r != 0) {
    char message[128];
    snprintf(message, sizeof message, "MakePkcs10 PKCS11_generateRSAKey Error=%d", int(r));
    return finish(kRequestFailed, message);
  }
  Request request;
  if (const char* error = buildRequest(*s.currentSlot->token, label, cn, ec, request))
    return finish(kRequestFailed, error);
  setField(s.request, request.base64);
  setField(s.requestMac, request.mac);
  return finish(kOk, "");
}

}  // namespace

int makePkcs10(int keyType, int keySize, const char* cn) {
  auto& s = state();
  s.errorCode = kOk;
  clearLibrary();
  clearErrors();
  int code;
  if (keySize != 1024 && keySize != 2048) {
    code = finish(kRequestFailed, "MakePkcs10 KeySize Error!!");
  } else if (!cn) {
    code = finish(kRequestFailed, "MakePkcs10 CN Error!!");
  } else if (!s.currentSlot || !s.currentSlot->token) {
    code = finish(kRequestFailed, "No Slot Error!!");
  } else {
    initCrypto();
    std::string label = newLabel();
    code = generated(PKCS11_generateRSAKey(*s.currentSlot->token, keySize, label, keyType), label, cn, false);
  }
  emptySelection();
  return code;
}

int makePkcs10Ecc(int keyType, int keySize, const char* cn) {
  auto& s = state();
  s.errorCode = kOk;
  clearLibrary();
  clearErrors();
  int code;
  if (keySize != 256) {
    code = finish(kBadArgument, "MakePkcs10 KeySize Error!!");
  } else if (!cn || strlen(cn) > 50) {
    code = finish(kBadArgument, "MakePkcs10 CN Error!!");
  } else if (!s.currentSlot || !s.currentSlot->token) {
    code = finish(kNothingToWorkOn, "No Slot Error!!");
  } else {
    initCrypto();
    std::string label = newLabel();
    code = generated(PKCS11_generateECCKey(*s.currentSlot->token, label, keyType), label, cn, true);
  }
  emptySelection();
  return code;
}

}  // namespace quennet
