// Test certificates made with OpenSSL directly: any subject, serial,
// validity and key usage, issued by a throw-away root, for keys made here
// or for the public key of a request the component made.
#pragma once

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <string>
#include <utility>
#include <vector>

namespace vtest {

using NameParts = std::vector<std::pair<std::string, std::string>>;  // {"CN", "Alice"}, in encoding order

struct CertSpec {
  NameParts subject;
  std::string serialHex = "01";
  std::string notBefore = "20240101000000Z";
  std::string notAfter = "20340101000000Z";
  std::string keyUsage = "critical,digitalSignature,nonRepudiation";  // empty: no extension
  bool ca = false;
  bool selfSigned = false;
};

class SignerPki {
 public:
  SignerPki() {
    rootKey_ = EVP_RSA_gen(2048);
    CertSpec root;
    root.subject = {{"CN", "Test Root CA"}, {"O", "Velmora"}};
    root.serialHex = "1000";
    root.keyUsage = "critical,keyCertSign,cRLSign";
    root.ca = true;
    root.selfSigned = true;
    root.notBefore = "20200101000000Z";
    root.notAfter = "20450101000000Z";
    rootDer_ = make(root, rootKey_);
  }
  ~SignerPki() { EVP_PKEY_free(rootKey_); }
  SignerPki(const SignerPki&) = delete;
  SignerPki& operator=(const SignerPki&) = delete;

  const std::string& rootDer() const { return rootDer_; }

  // DER of a certificate for `key` (its public half) as `spec` says.
  std::string make(const CertSpec& spec, EVP_PKEY* key) {
    X509* x = X509_new();
    X509_set_version(x, 2);
    BIGNUM* bn = nullptr;
    BN_hex2bn(&bn, spec.serialHex.c_str());
    BN_to_ASN1_INTEGER(bn, X509_get_serialNumber(x));
    BN_free(bn);
    X509_NAME* name = X509_NAME_new();
    for (const auto& [k, v] : spec.subject)
      X509_NAME_add_entry_by_txt(name, k.c_str(), MBSTRING_UTF8, reinterpret_cast<const unsigned char*>(v.c_str()),
                                 -1, -1, 0);
    X509_set_subject_name(x, name);
    X509* issuer = nullptr;
    if (spec.selfSigned) {
      X509_set_issuer_name(x, name);
    } else {
      const unsigned char* p = reinterpret_cast<const unsigned char*>(rootDer_.data());
      issuer = d2i_X509(nullptr, &p, long(rootDer_.size()));
      X509_set_issuer_name(x, X509_get_subject_name(issuer));
    }
    X509_NAME_free(name);
    ASN1_TIME_set_string_X509(X509_getm_notBefore(x), spec.notBefore.c_str());
    ASN1_TIME_set_string_X509(X509_getm_notAfter(x), spec.notAfter.c_str());
    X509_set_pubkey(x, key);
    X509V3_CTX ctx;
    X509V3_set_ctx(&ctx, issuer ? issuer : x, x, nullptr, nullptr, 0);
    auto add = [&](int nid, const std::string& value) {
      if (X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value.c_str())) {
        X509_add_ext(x, ext, -1);
        X509_EXTENSION_free(ext);
      }
    };
    add(NID_basic_constraints, spec.ca ? "critical,CA:true" : "CA:false");
    if (!spec.keyUsage.empty()) add(NID_key_usage, spec.keyUsage);
    X509_sign(x, spec.selfSigned ? key : rootKey_, EVP_sha256());
    unsigned char* der = nullptr;
    const int n = i2d_X509(x, &der);
    std::string out(reinterpret_cast<char*>(der), size_t(n > 0 ? n : 0));
    OPENSSL_free(der);
    X509_free(x);
    if (issuer) X509_free(issuer);
    return out;
  }

  // The public key of a DER request.
  static EVP_PKEY* requestKey(const std::string& der) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(der.data());
    X509_REQ* req = d2i_X509_REQ(nullptr, &p, long(der.size()));
    if (!req) return nullptr;
    EVP_PKEY* key = X509_REQ_get_pubkey(req);
    X509_REQ_free(req);
    return key;
  }

  static std::string pem(const std::string& der) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(der.data());
    X509* x = d2i_X509(nullptr, &p, long(der.size()));
    BIO* bio = BIO_new(BIO_s_mem());
    PEM_write_bio_X509(bio, x);
    char* data = nullptr;
    const long n = BIO_get_mem_data(bio, &data);
    std::string out(data, size_t(n));
    BIO_free(bio);
    X509_free(x);
    return out;
  }

  static std::string publicPem(EVP_PKEY* key) {
    BIO* bio = BIO_new(BIO_s_mem());
    PEM_write_bio_PUBKEY(bio, key);
    char* data = nullptr;
    const long n = BIO_get_mem_data(bio, &data);
    std::string out(data, size_t(n));
    BIO_free(bio);
    return out;
  }

  static std::string privatePem(EVP_PKEY* key) {
    BIO* bio = BIO_new(BIO_s_mem());
    PEM_write_bio_PrivateKey(bio, key, nullptr, nullptr, 0, nullptr, nullptr);
    char* data = nullptr;
    const long n = BIO_get_mem_data(bio, &data);
    std::string out(data, size_t(n));
    BIO_free(bio);
    return out;
  }

 private:
  EVP_PKEY* rootKey_ = nullptr;
  std::string rootDer_;
};

}  // namespace vtest
