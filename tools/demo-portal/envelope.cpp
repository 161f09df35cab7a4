#include "envelope.h"

#include <openssl/cms.h>
#include <openssl/provider.h>

#include <memory>

namespace velmora::demo {

namespace {

// Single DES and RC4 live in OpenSSL's legacy provider: a context of our
// own loads it, so the rest of the process keeps OpenSSL's defaults.
OSSL_LIB_CTX* cipherContext() {
  static OSSL_LIB_CTX* ctx = [] {
    OSSL_LIB_CTX* c = OSSL_LIB_CTX_new();
    if (c) {
      OSSL_PROVIDER_load(c, "default");
      OSSL_PROVIDER_load(c, "legacy");
    }
    return c;
  }();
  return ctx;
}

const char* opensslCipher(const std::string& name) {
  if (name == "des3") return "DES-EDE3-CBC";
  if (name == "des") return "DES-CBC";
  if (name == "rc4") return "RC4";
  return nullptr;
}

}  // namespace

std::variant<Envelope, Refusal> encryptFor(const DemoCa& ca, const std::string& certificate, const std::string& text,
                                           const std::string& cipherName, TextBytes bytes) {
  const char* name = opensslCipher(cipherName);
  if (!name) return Refusal{"\"cipher\" must be \"des3\", \"des\" or \"rc4\""};
  auto der = base64Decode(certificate);
  if (!der || der->empty()) return Refusal{"the certificate is not Base64"};
  const unsigned char* p = reinterpret_cast<const unsigned char*>(der->data());
  X509Ptr cert(d2i_X509(nullptr, &p, long(der->size())));
  if (!cert) return Refusal{"the certificate does not parse"};
  // Only for certificates of this portal's CA.
  if (X509_verify(cert.get(), X509_get0_pubkey(ca.intermediate())) != 1)
    return Refusal{"the certificate was not issued by the demo CA"};
  if (EVP_PKEY_get_base_id(X509_get0_pubkey(cert.get())) != EVP_PKEY_RSA)
    return Refusal{"the certificate's key is not RSA: envelopes here use RSA key transport"};
  std::unique_ptr<EVP_CIPHER, void (*)(EVP_CIPHER*)> cipher(EVP_CIPHER_fetch(cipherContext(), name, nullptr),
                                                            EVP_CIPHER_free);
  if (!cipher) return Refusal{std::string("OpenSSL offers no ") + name + " here"};
  std::unique_ptr<STACK_OF(X509), void (*)(STACK_OF(X509)*)> recipients(sk_X509_new_null(),
                                                                        [](STACK_OF(X509)* s) { sk_X509_free(s); });
  sk_X509_push(recipients.get(), cert.get());
  const std::string content = textBytes(text, bytes);
  std::unique_ptr<BIO, void (*)(BIO*)> in(BIO_new_mem_buf(content.data(), int(content.size())),
                                          [](BIO* b) { BIO_free(b); });
  std::unique_ptr<CMS_ContentInfo, void (*)(CMS_ContentInfo*)> cms(
      CMS_encrypt_ex(recipients.get(), in.get(), cipher.get(), CMS_BINARY, cipherContext(), nullptr),
      CMS_ContentInfo_free);
  if (!cms) return Refusal{"OpenSSL could not encrypt for the certificate"};
  unsigned char* out = nullptr;
  const int n = i2d_CMS_ContentInfo(cms.get(), &out);
  if (n <= 0) return Refusal{"OpenSSL could not encode the message"};
  Envelope e;
  e.message = base64Encode(std::string(reinterpret_cast<char*>(out), size_t(n)));
  OPENSSL_free(out);
  e.recipient = nameText(X509_get_subject_name(cert.get()));
  e.cipher = name;
  return e;
}

}  // namespace velmora::demo
