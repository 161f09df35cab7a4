// A user-protected key signs through the module only after the dialog
// service's key-use prompt agrees; a refusal is CKR_FUNCTION_CANCELED.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <p11-kit/pkcs11.h>
#include <wincrypt.h>
#include <windows.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include "p11_fixture.h"
#include "test_support.h"
#include "ui/dialogs.h"

namespace {

using Bytes = std::vector<unsigned char>;

EVP_PKEY* readKey(const std::string& path) {
  FILE* fp = fopen(path.c_str(), "r");
  EVP_PKEY* k = fp ? PEM_read_PrivateKey(fp, nullptr, nullptr, nullptr) : nullptr;
  if (fp) fclose(fp);
  return k;
}

X509* readCert(const std::string& path) {
  FILE* fp = fopen(path.c_str(), "r");
  X509* x = fp ? PEM_read_X509(fp, nullptr, nullptr, nullptr) : nullptr;
  if (fp) fclose(fp);
  return x;
}

// The public half of a CSP key, from its PUBLICKEYBLOB (little-endian modulus).
EVP_PKEY* publicKey(HCRYPTKEY k) {
  DWORD n = 0;
  if (!CryptExportKey(k, 0, PUBLICKEYBLOB, 0, nullptr, &n)) return nullptr;
  Bytes blob(n);
  if (!CryptExportKey(k, 0, PUBLICKEYBLOB, 0, blob.data(), &n)) return nullptr;
  RSAPUBKEY rsa;
  std::memcpy(&rsa, blob.data() + sizeof(BLOBHEADER), sizeof rsa);
  Bytes modulus(blob.begin() + sizeof(BLOBHEADER) + sizeof rsa, blob.begin() + sizeof(BLOBHEADER) + sizeof rsa + rsa.bitlen / 8);
  std::reverse(modulus.begin(), modulus.end());
  BIGNUM* nbn = BN_bin2bn(modulus.data(), int(modulus.size()), nullptr);
  BIGNUM* ebn = BN_new();
  BN_set_word(ebn, rsa.pubexp);
  OSSL_PARAM_BLD* bld = OSSL_PARAM_BLD_new();
  OSSL_PARAM_BLD_push_BN(bld, "n", nbn);
  OSSL_PARAM_BLD_push_BN(bld, "e", ebn);
  OSSL_PARAM* params = OSSL_PARAM_BLD_to_param(bld);
  EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr);
  EVP_PKEY* pkey = nullptr;
  if (!ctx || EVP_PKEY_fromdata_init(ctx) != 1 || EVP_PKEY_fromdata(ctx, &pkey, EVP_PKEY_PUBLIC_KEY, params) != 1)
    pkey = nullptr;
  EVP_PKEY_CTX_free(ctx);
  OSSL_PARAM_free(params);
  OSSL_PARAM_BLD_free(bld);
  BN_free(nbn);
  BN_free(ebn);
  return pkey;
}

TEST(ModuleProtectedKey, AsksAtEachUseAndACancelIsCanceled) {
  const auto& m = p11test::enrolled();
  std::vector<std::string> asked;
  bool agree = true;
  auto service = std::make_shared<velmora::ui::FunctionDialogService>([&](const velmora::ui::DialogRequest& r) {
    asked.push_back(r.kind);
    velmora::ui::DialogResult result;
    result.button = agree ? "ok" : "cancel";
    return result;
  });
  velmora::ui::ScopedDialogService scoped(service);

  // A user-protected signature key in a software container ...
  HCRYPTPROV prov = 0;
  ASSERT_TRUE(CryptAcquireContextA(&prov, "p11-protected", MS_ENHANCED_PROV_A, PROV_RSA_FULL, CRYPT_NEWKEYSET))
      << std::hex << GetLastError();
  HCRYPTKEY key = 0;
  ASSERT_TRUE(CryptGenKey(prov, AT_SIGNATURE, (2048u << 16) | CRYPT_USER_PROTECTED, &key));
  EVP_PKEY* pub = publicKey(key);
  ASSERT_NE(pub, nullptr);
  CryptDestroyKey(key);
  CryptReleaseContext(prov, 0);
  ASSERT_EQ(asked, std::vector<std::string>{"key-use"});  // its creation
  asked.clear();

  // ... and a certificate for it from the test CA, in "MY" with the key's place.
  X509* ca = readCert(m.caPem);
  EVP_PKEY* caKey = readKey(m.caKey);
  ASSERT_TRUE(ca && caKey);
  X509* x = X509_new();
  X509_set_version(x, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(x), 4242);
  X509_set_issuer_name(x, X509_get_subject_name(ca));
  auto* subject = X509_get_subject_name(x);
  X509_NAME_add_entry_by_txt(subject, "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>("Module Test Protected"), -1, -1, 0);
  X509_gmtime_adj(X509_getm_notBefore(x), -60);
  X509_gmtime_adj(X509_getm_notAfter(x), 86400);
  X509_set_pubkey(x, pub);
  ASSERT_GT(X509_sign(x, caKey, EVP_sha256()), 0);
  unsigned char* der = nullptr;
  const int derLen = i2d_X509(x, &der);
  HCERTSTORE my = CertOpenStore(CERT_STORE_PROV_SYSTEM_A, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, "MY");
  ASSERT_NE(my, nullptr);
  PCCERT_CONTEXT added = nullptr;
  ASSERT_TRUE(CertAddEncodedCertificateToStore(my, X509_ASN_ENCODING, der, DWORD(derLen), CERT_STORE_ADD_NEW, &added));
  char16_t container[] = u"p11-protected";
  char16_t provider[] = u"Microsoft Enhanced Cryptographic Provider v1.0";
  CRYPT_KEY_PROV_INFO info{container, provider, PROV_RSA_FULL, 0, 0, nullptr, AT_SIGNATURE};
  ASSERT_TRUE(CertSetCertificateContextProperty(added, CERT_KEY_PROV_INFO_PROP_ID, 0, &info));
  CertFreeCertificateContext(added);
  CertCloseStore(my, 0);
  OPENSSL_free(der);

  CK_FUNCTION_LIST* f = p11test::functions();
  ASSERT_EQ(f->C_Initialize(nullptr), CKR_OK);
  CK_SESSION_HANDLE s = 0;
  ASSERT_EQ(f->C_OpenSession(0, CKF_SERIAL_SESSION, nullptr, nullptr, &s), CKR_OK);
  CK_OBJECT_HANDLE protectedKey = 0;
  for (CK_OBJECT_HANDLE h : p11test::find(s, CKO_PRIVATE_KEY, CKK_RSA)) {
    const Bytes label = p11test::attribute(s, h, CKA_LABEL);
    if (std::string(label.begin(), label.end()) == "Module Test Protected") protectedKey = h;
  }
  ASSERT_NE(protectedKey, 0u);
  // Listing and size queries do not touch the key.
  EXPECT_TRUE(asked.empty());

  unsigned char message[] = "protected";
  CK_MECHANISM mech = {CKM_SHA256_RSA_PKCS, nullptr, 0};
  Bytes sig(256);
  CK_ULONG len = 0;
  ASSERT_EQ(f->C_SignInit(s, &mech, protectedKey), CKR_OK);
  EXPECT_EQ(f->C_Sign(s, message, 9, nullptr, &len), CKR_OK);
  EXPECT_TRUE(asked.empty());
  len = 256;
  ASSERT_EQ(f->C_Sign(s, message, 9, sig.data(), &len), CKR_OK);
  EXPECT_EQ(asked, std::vector<std::string>{"key-use"});
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  EXPECT_EQ(EVP_DigestVerifyInit(ctx, nullptr, EVP_sha256(), nullptr, X509_get0_pubkey(x)), 1);
  EXPECT_EQ(EVP_DigestVerify(ctx, sig.data(), len, message, 9), 1);
  EVP_MD_CTX_free(ctx);

  agree = false;
  ASSERT_EQ(f->C_SignInit(s, &mech, protectedKey), CKR_OK);
  len = 256;
  EXPECT_EQ(f->C_Sign(s, message, 9, sig.data(), &len), CKR_FUNCTION_CANCELED);
  EXPECT_EQ(asked.size(), 2u);
  // The refusal ended the operation.
  EXPECT_EQ(f->C_Sign(s, message, 9, sig.data(), &len), CKR_OPERATION_NOT_INITIALIZED);
  EXPECT_EQ(f->C_Finalize(nullptr), CKR_OK);

  X509_free(x);
  X509_free(ca);
  EVP_PKEY_free(caKey);
  EVP_PKEY_free(pub);
}

}  // namespace
