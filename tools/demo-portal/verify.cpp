#include "verify.h"

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/cms.h>
#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>

#include <algorithm>
#include <memory>

namespace velmora::demo {

namespace {

template <class T, void (*F)(T*)>
struct Deleter {
  void operator()(T* p) const { F(p); }
};
using BioPtr = std::unique_ptr<BIO, Deleter<BIO, BIO_free_all>>;
using CmsPtr = std::unique_ptr<CMS_ContentInfo, Deleter<CMS_ContentInfo, CMS_ContentInfo_free>>;
using StorePtr = std::unique_ptr<X509_STORE, Deleter<X509_STORE, X509_STORE_free>>;
using StoreCtxPtr = std::unique_ptr<X509_STORE_CTX, Deleter<X509_STORE_CTX, X509_STORE_CTX_free>>;
using MdCtxPtr = std::unique_ptr<EVP_MD_CTX, Deleter<EVP_MD_CTX, EVP_MD_CTX_free>>;
using SigPtr = std::unique_ptr<ECDSA_SIG, Deleter<ECDSA_SIG, ECDSA_SIG_free>>;

struct StackFree {
  void operator()(STACK_OF(X509)* s) const { sk_X509_pop_free(s, X509_free); }
};
using CertStack = std::unique_ptr<STACK_OF(X509), StackFree>;

std::string opensslError() {
  unsigned long e = ERR_peek_last_error();
  ERR_clear_error();
  if (e == 0) return "no detail";
  char buf[256];
  ERR_error_string_n(e, buf, sizeof buf);
  return buf;
}

// Trust: the portal's root only; the issuing CA may come from the message
// or from the portal.
StorePtr trustStore(const DemoCa& ca) {
  StorePtr store(X509_STORE_new());
  if (store) X509_STORE_add_cert(store.get(), ca.root());
  return store;
}

CertStack untrusted(const DemoCa& ca) {
  CertStack s(sk_X509_new_null());
  if (s && X509_up_ref(ca.intermediate()) == 1 && !sk_X509_push(s.get(), ca.intermediate())) X509_free(ca.intermediate());
  return s;
}

std::string serialHex(X509* cert) {
  BIGNUM* bn = ASN1_INTEGER_to_BN(X509_get0_serialNumber(cert), nullptr);
  char* hex = bn ? BN_bn2hex(bn) : nullptr;
  std::string out = hex ? hex : "";
  OPENSSL_free(hex);
  BN_free(bn);
  return out;
}

// Who signed, and the chain the portal's CA gives the certificate.
std::optional<std::string> describeSigner(const DemoCa& ca, X509* cert, STACK_OF(X509)* extra, SignedText& out) {
  StorePtr store = trustStore(ca);
  CertStack chainIn = untrusted(ca);
  if (extra)
    for (int i = 0; i < sk_X509_num(extra); ++i) {
      X509* c = sk_X509_value(extra, i);
      if (X509_up_ref(c) == 1 && !sk_X509_push(chainIn.get(), c)) X509_free(c);
    }
  StoreCtxPtr ctx(X509_STORE_CTX_new());
  if (!store || !chainIn || !ctx || X509_STORE_CTX_init(ctx.get(), store.get(), cert, chainIn.get()) != 1)
    return "out of memory";
  if (X509_verify_cert(ctx.get()) != 1)
    return std::string("the signer's certificate is not one of this portal's: ") +
           X509_verify_cert_error_string(X509_STORE_CTX_get_error(ctx.get()));
  STACK_OF(X509)* chain = X509_STORE_CTX_get0_chain(ctx.get());
  for (int i = 0; i < sk_X509_num(chain); ++i) out.chain.push_back(nameText(X509_get_subject_name(sk_X509_value(chain, i))));
  out.signer = nameText(X509_get_subject_name(cert));
  out.issuer = nameText(X509_get_issuer_name(cert));
  out.serial = serialHex(cert);
  return std::nullopt;
}

// UTF-8 <-> UTF-16LE for the texts pages sign (the Basic Multilingual
// Plane and surrogate pairs).
std::string utf16le(const std::string& utf8) {
  std::string out;
  auto put = [&](unsigned u) {
    out += char(u & 0xFF);
    out += char(u >> 8);
  };
  for (size_t i = 0; i < utf8.size();) {
    unsigned char c = utf8[i];
    unsigned cp;
    size_t n;
    if (c < 0x80) cp = c, n = 1;
    else if ((c >> 5) == 6) cp = c & 0x1F, n = 2;
    else if ((c >> 4) == 14) cp = c & 0x0F, n = 3;
    else cp = c & 0x07, n = 4;
    for (size_t k = 1; k < n && i + k < utf8.size(); ++k) cp = (cp << 6) | (utf8[i + k] & 0x3F);
    i += n;
    if (cp >= 0x10000) {
      cp -= 0x10000;
      put(0xD800 | (cp >> 10));
      put(0xDC00 | (cp & 0x3FF));
    } else {
      put(cp);
    }
  }
  return out;
}

std::optional<std::string> utf8FromUtf16le(const std::string& bytes) {
  if (bytes.size() % 2) return std::nullopt;
  std::string out;
  for (size_t i = 0; i < bytes.size(); i += 2) {
    unsigned u = (unsigned char)bytes[i] | ((unsigned char)bytes[i + 1] << 8);
    if (u >= 0xD800 && u < 0xDC00 && i + 3 < bytes.size()) {
      unsigned lo = (unsigned char)bytes[i + 2] | ((unsigned char)bytes[i + 3] << 8);
      if (lo >= 0xDC00 && lo < 0xE000) {
        u = 0x10000 + ((u - 0xD800) << 10) + (lo - 0xDC00);
        i += 2;
      }
    }
    if (u < 0x80) out += char(u);
    else if (u < 0x800) out += char(0xC0 | (u >> 6)), out += char(0x80 | (u & 0x3F));
    else if (u < 0x10000)
      out += char(0xE0 | (u >> 12)), out += char(0x80 | ((u >> 6) & 0x3F)), out += char(0x80 | (u & 0x3F));
    else
      out += char(0xF0 | (u >> 18)), out += char(0x80 | ((u >> 12) & 0x3F)), out += char(0x80 | ((u >> 6) & 0x3F)),
          out += char(0x80 | (u & 0x3F));
  }
  return out;
}

std::optional<std::string> hexDecode(const std::string& hex) {
  if (hex.size() % 2) return std::nullopt;
  auto digit = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
  };
  std::string out;
  for (size_t i = 0; i < hex.size(); i += 2) {
    int h = digit(hex[i]), l = digit(hex[i + 1]);
    if (h < 0 || l < 0) return std::nullopt;
    out += char(h * 16 + l);
  }
  return out;
}

}  // namespace

std::string textBytes(const std::string& utf8, TextBytes bytes) {
  return bytes == TextBytes::Utf16le ? utf16le(utf8) : utf8;
}

std::variant<SignedText, Refusal> verifyPkcs7(const DemoCa& ca, const std::string& base64,
                                              const std::optional<std::string>& content, TextBytes bytes) {
  auto der = base64Decode(base64);
  if (!der || der->empty()) return Refusal{"the signature is not Base64"};
  BioPtr in(BIO_new_mem_buf(der->data(), int(der->size())));
  CmsPtr cms(in ? d2i_CMS_bio(in.get(), nullptr) : nullptr);
  if (!cms || OBJ_obj2nid(CMS_get0_type(cms.get())) != NID_pkcs7_signed)
    return Refusal{"the signature is not a PKCS#7 signed-data message"};
  STACK_OF(CMS_SignerInfo)* signers = CMS_get0_SignerInfos(cms.get());
  if (sk_CMS_SignerInfo_num(signers) != 1) return Refusal{"the message must have exactly one signer"};

  SignedText out;
  ASN1_OCTET_STRING** inner = CMS_get0_content(cms.get());
  out.detached = !inner || !*inner;
  if (out.detached && !content) return Refusal{"a detached signature needs the signed text (\"content\")"};
  std::string expected = content ? textBytes(*content, bytes) : std::string();
  BioPtr detachedBio(out.detached ? BIO_new_mem_buf(expected.data(), int(expected.size())) : nullptr);
  BioPtr recovered(BIO_new(BIO_s_mem()));
  StorePtr store = trustStore(ca);
  CertStack extra = untrusted(ca);
  if (!store || !extra || !recovered) return Refusal{"out of memory"};
  // The signer's chain is checked below, with a message that says why;
  // here the signature over the content.
  if (CMS_verify(cms.get(), extra.get(), store.get(), detachedBio.get(), recovered.get(),
                 CMS_BINARY | CMS_NO_SIGNER_CERT_VERIFY) != 1)
    return Refusal{"the signature does not verify: " + opensslError()};

  char* data = nullptr;
  const long n = BIO_get_mem_data(recovered.get(), &data);
  const std::string signedBytes = n > 0 ? std::string(data, size_t(n)) : std::string();
  if (content && signedBytes != expected) return Refusal{"the message signs another text than the one given"};
  auto text = bytes == TextBytes::Utf16le ? utf8FromUtf16le(signedBytes) : std::optional<std::string>(signedBytes);
  if (!text) return Refusal{"the signed bytes are not UTF-16LE text"};
  out.content = *text;

  CMS_SignerInfo* si = sk_CMS_SignerInfo_value(signers, 0);
  X509* signer = nullptr;
  X509_ALGOR* digest = nullptr;
  CMS_SignerInfo_get0_algs(si, nullptr, &signer, &digest, nullptr);
  if (!signer) return Refusal{"the signer's certificate is not known"};
  if (digest) {
    const ASN1_OBJECT* oid = nullptr;
    X509_ALGOR_get0(&oid, nullptr, nullptr, digest);
    out.digest = OBJ_nid2sn(OBJ_obj2nid(oid));
  }
  STACK_OF(X509)* carried = CMS_get1_certs(cms.get());
  out.certificates = carried ? sk_X509_num(carried) : 0;
  if (auto why = describeSigner(ca, signer, carried, out)) {
    sk_X509_pop_free(carried, X509_free);
    return Refusal{*why};
  }
  sk_X509_pop_free(carried, X509_free);
  for (int i = -1; (i = CMS_signed_get_attr_by_NID(si, NID_pkcs9_signingTime, i)) >= 0;) {
    if (out.signingTimes++ == 0) {
      X509_ATTRIBUTE* attr = CMS_signed_get_attr(si, i);
      ASN1_TYPE* value = X509_ATTRIBUTE_get0_type(attr, 0);
      BioPtr b(BIO_new(BIO_s_mem()));
      if (value && b && (value->type == V_ASN1_UTCTIME || value->type == V_ASN1_GENERALIZEDTIME) &&
          ASN1_TIME_print(b.get(), value->value.asn1_string) == 1) {
        char* t = nullptr;
        long len = BIO_get_mem_data(b.get(), &t);
        out.signingTime.assign(t, size_t(len));
      }
    }
  }
  return out;
}

std::variant<SignedText, Refusal> verifyPkcs1(const DemoCa& ca, const Pkcs1Input& in) {
  auto certDer = base64Decode(in.certificate);
  if (!certDer || certDer->empty()) return Refusal{"the certificate is not Base64"};
  const unsigned char* p = reinterpret_cast<const unsigned char*>(certDer->data());
  X509Ptr cert(d2i_X509(nullptr, &p, long(certDer->size())));
  if (!cert) return Refusal{"the certificate does not parse"};
  auto sig = in.base64 ? base64Decode(in.signature) : hexDecode(in.signature);
  if (!sig || sig->empty()) return Refusal{in.base64 ? "the signature is not Base64" : "the signature is not hex"};
  const EVP_MD* md = in.digest == "sha1" ? EVP_sha1() : in.digest == "sha256" ? EVP_sha256() : nullptr;
  if (!md) return Refusal{"\"digest\" must be \"sha256\" or \"sha1\""};

  SignedText out;
  if (auto why = describeSigner(ca, cert.get(), nullptr, out)) return Refusal{*why};
  EVP_PKEY* key = X509_get0_pubkey(cert.get());
  if (!key) return Refusal{"the certificate's key does not parse"};
  // The bridge reverses the provider's bytes unless asked not to: for RSA
  // that gives the PKCS#1 octet string, for EC the reversed r||s.
  std::string bytes = *sig;
  const bool ec = EVP_PKEY_base_id(key) == EVP_PKEY_EC;
  if (ec == !in.providerOrder) std::reverse(bytes.begin(), bytes.end());
  if (ec) {
    if (bytes.size() % 2) return Refusal{"an EC signature has two halves of one length"};
    SigPtr es(ECDSA_SIG_new());
    BIGNUM* r = BN_bin2bn(reinterpret_cast<const unsigned char*>(bytes.data()), int(bytes.size() / 2), nullptr);
    BIGNUM* s = BN_bin2bn(reinterpret_cast<const unsigned char*>(bytes.data()) + bytes.size() / 2,
                          int(bytes.size() / 2), nullptr);
    if (!es || !r || !s || ECDSA_SIG_set0(es.get(), r, s) != 1) {
      BN_free(r);
      BN_free(s);
      return Refusal{"out of memory"};
    }
    unsigned char* der = nullptr;
    const int n = i2d_ECDSA_SIG(es.get(), &der);
    if (n <= 0) return Refusal{"out of memory"};
    bytes.assign(reinterpret_cast<char*>(der), size_t(n));
    OPENSSL_free(der);
  }
  const std::string message = textBytes(in.content, in.bytes);
  MdCtxPtr ctx(EVP_MD_CTX_new());
  if (!ctx || EVP_DigestVerifyInit(ctx.get(), nullptr, md, nullptr, key) != 1 ||
      EVP_DigestVerify(ctx.get(), reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(),
                       reinterpret_cast<const unsigned char*>(message.data()), message.size()) != 1)
    return Refusal{"the signature does not verify: " + opensslError()};
  out.content = in.content;
  out.digest = in.digest;
  return out;
}

}  // namespace velmora::demo
