// The token the module shows: the objects of the user's stores, signatures
// by the platform's keys checked with OpenSSL against the certificates, a
// store changed by another process, and several threads at once.
#include <gtest/gtest.h>
#include <openssl/ecdsa.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <wincrypt.h>
#include <windows.h>

#include <thread>

#include "ui/dialogs.h"

#include "p11_fixture.h"
#include "test_support.h"

namespace {

using Bytes = std::vector<unsigned char>;
using p11test::attribute;
using p11test::find;
using p11test::functions;

Bytes sha256(const Bytes& data) {
  Bytes out(32);
  unsigned int n = 0;
  EVP_Digest(data.data(), data.size(), out.data(), &n, EVP_sha256(), nullptr);
  return out;
}

X509* readPem(const std::string& path) {
  FILE* fp = fopen(path.c_str(), "r");
  if (!fp) return nullptr;
  X509* x = PEM_read_X509(fp, nullptr, nullptr, nullptr);
  fclose(fp);
  return x;
}

// Verifies a PKCS#11 signature with the certificate's public key.
bool verifies(const std::string& certPem, CK_MECHANISM_TYPE m, const Bytes& input, const Bytes& sig) {
  X509* x = readPem(certPem);
  if (!x) return false;
  EVP_PKEY* pkey = X509_get0_pubkey(x);
  bool ok = false;
  Bytes derSig = sig;
  if (EVP_PKEY_get_base_id(pkey) == EVP_PKEY_EC) {
    // r || s to the DER form OpenSSL checks.
    ECDSA_SIG* s = ECDSA_SIG_new();
    const size_t half = sig.size() / 2;
    ECDSA_SIG_set0(s, BN_bin2bn(sig.data(), int(half), nullptr), BN_bin2bn(sig.data() + half, int(half), nullptr));
    unsigned char* p = nullptr;
    const int n = i2d_ECDSA_SIG(s, &p);
    derSig.assign(p, p + n);
    OPENSSL_free(p);
    ECDSA_SIG_free(s);
  }
  if (m == CKM_SHA256_RSA_PKCS || m == CKM_ECDSA_SHA256) {
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    ok = EVP_DigestVerifyInit(ctx, nullptr, EVP_sha256(), nullptr, pkey) == 1 &&
         EVP_DigestVerify(ctx, derSig.data(), derSig.size(), input.data(), input.size()) == 1;
    EVP_MD_CTX_free(ctx);
  } else {
    // CKM_RSA_PKCS (the input is the padded block's content) and CKM_ECDSA (a hash).
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(pkey, nullptr);
    ok = ctx && EVP_PKEY_verify_init(ctx) == 1 &&
         (m != CKM_RSA_PKCS || EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING) == 1) &&
         EVP_PKEY_verify(ctx, derSig.data(), derSig.size(), input.data(), input.size()) == 1;
    EVP_PKEY_CTX_free(ctx);
  }
  X509_free(x);
  return ok;
}

class ModuleToken : public ::testing::Test {
 protected:
  void SetUp() override {
    p11test::enrolled();
    f = functions();
    ASSERT_EQ(f->C_Initialize(nullptr), CKR_OK);
    ASSERT_EQ(f->C_OpenSession(0, CKF_SERIAL_SESSION, nullptr, nullptr, &session), CKR_OK);
  }
  void TearDown() override { f->C_Finalize(nullptr); }

  Bytes signWith(CK_OBJECT_HANDLE key, CK_MECHANISM_TYPE type, const Bytes& input, CK_RV* rv = nullptr) {
    CK_MECHANISM m = {type, nullptr, 0};
    CK_RV r = f->C_SignInit(session, &m, key);
    Bytes sig(512);
    CK_ULONG len = CK_ULONG(sig.size());
    if (r == CKR_OK) r = f->C_Sign(session, const_cast<unsigned char*>(input.data()), CK_ULONG(input.size()), sig.data(), &len);
    if (rv) *rv = r;
    else EXPECT_EQ(r, CKR_OK);
    sig.resize(r == CKR_OK ? len : 0);
    return sig;
  }

  CK_FUNCTION_LIST* f = nullptr;
  CK_SESSION_HANDLE session = 0;
};

TEST_F(ModuleToken, ShowsTheStoresCertificatesAndKeysWithMatchingIds) {
  CK_TOKEN_INFO info;
  ASSERT_EQ(f->C_GetTokenInfo(0, &info), CKR_OK);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(info.label), 29), "Velmora personal certificates");
  EXPECT_FALSE(info.flags & CKF_LOGIN_REQUIRED);
  EXPECT_TRUE(info.flags & CKF_WRITE_PROTECTED);

  const auto certs = find(session, CKO_CERTIFICATE);
  ASSERT_EQ(certs.size(), 2u);  // the two users (the CA is a root, which import-pfx leaves out)
  const auto rsa = find(session, CKO_PRIVATE_KEY, CKK_RSA), ec = find(session, CKO_PRIVATE_KEY, CKK_EC);
  ASSERT_EQ(rsa.size(), 1u);
  ASSERT_EQ(ec.size(), 1u);
  EXPECT_EQ(find(session, CKO_PUBLIC_KEY).size(), 2u);

  // Each key's CKA_ID finds its certificate, whose value is the file openssl made.
  const std::map<CK_OBJECT_HANDLE, std::string> pems = {{rsa[0], p11test::enrolled().rsaPem},
                                                        {ec[0], p11test::enrolled().ecPem}};
  for (const auto& [key, pem] : pems) {
    Bytes id = attribute(session, key, CKA_ID);
    ASSERT_EQ(id.size(), 20u);
    CK_OBJECT_CLASS cls = CKO_CERTIFICATE;
    CK_ATTRIBUTE t[2] = {{CKA_CLASS, &cls, sizeof cls}, {CKA_ID, id.data(), CK_ULONG(id.size())}};
    ASSERT_EQ(f->C_FindObjectsInit(session, t, 2), CKR_OK);
    CK_OBJECT_HANDLE c = 0;
    CK_ULONG n = 0;
    ASSERT_EQ(f->C_FindObjects(session, &c, 1, &n), CKR_OK);
    ASSERT_EQ(n, 1u);
    f->C_FindObjectsFinal(session);
    X509* x = readPem(pem);
    ASSERT_NE(x, nullptr);
    unsigned char* der = nullptr;
    const int len = i2d_X509(x, &der);
    EXPECT_EQ(attribute(session, c, CKA_VALUE), Bytes(der, der + len));
    OPENSSL_free(der);
    X509_free(x);
    // Never extractable, no PIN asked.
    EXPECT_EQ(attribute(session, key, CKA_EXTRACTABLE), Bytes{CK_FALSE});
    EXPECT_EQ(attribute(session, key, CKA_SENSITIVE), Bytes{CK_TRUE});
    EXPECT_EQ(attribute(session, key, CKA_PRIVATE), Bytes{CK_FALSE});
  }
  EXPECT_EQ(attribute(session, rsa[0], CKA_MODULUS).size(), 256u);
  // P-256 by its OID.
  EXPECT_EQ(attribute(session, ec[0], CKA_EC_PARAMS),
            (Bytes{0x06, 0x08, 0x2a, 0x86, 0x48, 0xce, 0x3d, 0x03, 0x01, 0x07}));
  EXPECT_EQ(attribute(session, find(session, CKO_PUBLIC_KEY, CKK_EC)[0], CKA_EC_POINT).size(), 67u);
}

TEST_F(ModuleToken, SignaturesVerifyWithTheCertificates) {
  const auto rsa = find(session, CKO_PRIVATE_KEY, CKK_RSA)[0];
  const auto ec = find(session, CKO_PRIVATE_KEY, CKK_EC)[0];
  const Bytes message = {'s', 'i', 'g', 'n', ' ', 'm', 'e'};
  Bytes digestInfo = {0x30, 0x31, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01, 0x65,
                      0x03, 0x04, 0x02, 0x01, 0x05, 0x00, 0x04, 0x20};
  const Bytes hash = sha256(message);
  digestInfo.insert(digestInfo.end(), hash.begin(), hash.end());
  Bytes tlsBlock(36, 0x5a);  // MD5 and SHA-1 side by side, no DigestInfo
  struct Case {
    const char* what;
    CK_OBJECT_HANDLE key;
    std::string pem;
    CK_MECHANISM_TYPE m;
    Bytes input;
    size_t size;
  } cases[] = {
      {"SHA256-RSA-PKCS", rsa, p11test::enrolled().rsaPem, CKM_SHA256_RSA_PKCS, message, 256},
      {"RSA-PKCS of a DigestInfo", rsa, p11test::enrolled().rsaPem, CKM_RSA_PKCS, digestInfo, 256},
      {"RSA-PKCS of a TLS block", rsa, p11test::enrolled().rsaPem, CKM_RSA_PKCS, tlsBlock, 256},
      {"ECDSA of a hash", ec, p11test::enrolled().ecPem, CKM_ECDSA, hash, 64},
      {"ECDSA-SHA256", ec, p11test::enrolled().ecPem, CKM_ECDSA_SHA256, message, 64},
  };
  for (const auto& c : cases) {
    const Bytes sig = signWith(c.key, c.m, c.input);
    EXPECT_EQ(sig.size(), c.size) << c.what;
    EXPECT_TRUE(verifies(c.pem, c.m, c.input, sig)) << c.what;
  }
  // The same in pieces.
  CK_MECHANISM m = {CKM_SHA256_RSA_PKCS, nullptr, 0};
  ASSERT_EQ(f->C_SignInit(session, &m, rsa), CKR_OK);
  EXPECT_EQ(f->C_SignUpdate(session, const_cast<unsigned char*>(message.data()), 3), CKR_OK);
  EXPECT_EQ(f->C_SignUpdate(session, const_cast<unsigned char*>(message.data()) + 3, CK_ULONG(message.size() - 3)), CKR_OK);
  Bytes sig(256);
  CK_ULONG len = 256;
  ASSERT_EQ(f->C_SignFinal(session, sig.data(), &len), CKR_OK);
  EXPECT_TRUE(verifies(p11test::enrolled().rsaPem, CKM_SHA256_RSA_PKCS, message, sig));

  // Inputs the mechanism cannot take are refused before the key is used.
  CK_RV rv = CKR_OK;
  signWith(rsa, CKM_RSA_PKCS, Bytes(250, 1), &rv);
  EXPECT_EQ(rv, CKR_DATA_LEN_RANGE);
  signWith(rsa, CKM_RSA_PKCS, Bytes(40, 1), &rv);
  EXPECT_EQ(rv, CKR_DATA_INVALID);
  signWith(ec, CKM_ECDSA, Bytes{}, &rv);
  EXPECT_EQ(rv, CKR_DATA_LEN_RANGE);
}

TEST_F(ModuleToken, SeesWhatAnotherProcessChangesInTheStore) {
  const size_t before = find(session, CKO_CERTIFICATE).size();
  const auto oldKeys = find(session, CKO_PRIVATE_KEY, CKK_RSA);
  std::string sha1;
  const std::string pem = p11test::importAnother("Module Test Later", sha1);
  ASSERT_EQ(find(session, CKO_CERTIFICATE).size(), before + 1);
  auto keys = find(session, CKO_PRIVATE_KEY, CKK_RSA);
  ASSERT_EQ(keys.size(), 2u);
  // Handles of what was there stay as they were.
  EXPECT_NE(std::find(keys.begin(), keys.end(), oldKeys[0]), keys.end());
  const CK_OBJECT_HANDLE later = keys[0] == oldKeys[0] ? keys[1] : keys[0];
  const Bytes message = {1, 2, 3};
  EXPECT_TRUE(verifies(pem, CKM_SHA256_RSA_PKCS, message, signWith(later, CKM_SHA256_RSA_PKCS, message)));

  auto removed = vtest::runCommand({std::string(VELMORA_BIN_DIR) + "/velmora-store", "delete", "MY", sha1});
  ASSERT_EQ(removed.status, 0) << removed.err;
  EXPECT_EQ(find(session, CKO_CERTIFICATE).size(), before);
  CK_MECHANISM m = {CKM_SHA256_RSA_PKCS, nullptr, 0};
  EXPECT_EQ(f->C_SignInit(session, &m, later), CKR_KEY_HANDLE_INVALID);
}

TEST_F(ModuleToken, RootsAreTrustedAuthorities) {
  // The user agrees to the root's installation, as the platform asks.
  auto agree = std::make_shared<velmora::ui::FunctionDialogService>([](const velmora::ui::DialogRequest&) {
    velmora::ui::DialogResult r;
    r.button = "yes";
    return r;
  });
  velmora::ui::ScopedDialogService scoped(agree);
  X509* ca = readPem(p11test::enrolled().caPem);
  ASSERT_NE(ca, nullptr);
  unsigned char* der = nullptr;
  const int len = i2d_X509(ca, &der);
  X509_free(ca);
  HCERTSTORE root = CertOpenStore(CERT_STORE_PROV_SYSTEM_A, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, "ROOT");
  ASSERT_NE(root, nullptr);
  ASSERT_TRUE(CertAddEncodedCertificateToStore(root, X509_ASN_ENCODING, der, DWORD(len), CERT_STORE_ADD_NEW, nullptr))
      << std::hex << GetLastError();
  CertCloseStore(root, 0);

  CK_OBJECT_CLASS cls = CKO_CERTIFICATE;
  CK_BBOOL yes = CK_TRUE;
  CK_ATTRIBUTE t[2] = {{CKA_CLASS, &cls, sizeof cls}, {CKA_TRUSTED, &yes, sizeof yes}};
  ASSERT_EQ(f->C_FindObjectsInit(session, t, 2), CKR_OK);
  CK_OBJECT_HANDLE h[4];
  CK_ULONG n = 0;
  ASSERT_EQ(f->C_FindObjects(session, h, 4, &n), CKR_OK);
  f->C_FindObjectsFinal(session);
  ASSERT_EQ(n, 1u);
  EXPECT_EQ(attribute(session, h[0], CKA_VALUE), Bytes(der, der + len));
  CK_ULONG authority = 2;
  EXPECT_EQ(attribute(session, h[0], CKA_CERTIFICATE_CATEGORY),
            Bytes(reinterpret_cast<unsigned char*>(&authority), reinterpret_cast<unsigned char*>(&authority) + sizeof authority));
  OPENSSL_free(der);
  // The users' certificates are not anchors.
  for (CK_OBJECT_HANDLE c : find(session, CKO_CERTIFICATE)) {
    if (c == h[0]) continue;
    EXPECT_EQ(attribute(session, c, CKA_TRUSTED), Bytes{CK_FALSE});
  }
}

TEST_F(ModuleToken, SeveralThreadsSignAtOnce) {
  const auto rsa = find(session, CKO_PRIVATE_KEY, CKK_RSA)[0];
  const auto ec = find(session, CKO_PRIVATE_KEY, CKK_EC)[0];
  std::atomic<int> good{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&, t] {
      CK_SESSION_HANDLE s = 0;
      if (f->C_OpenSession(0, CKF_SERIAL_SESSION, nullptr, nullptr, &s) != CKR_OK) return;
      for (int i = 0; i < 5; ++i) {
        const Bytes message = {static_cast<unsigned char>(t), static_cast<unsigned char>(i)};
        const bool useEc = (t + i) % 2;
        CK_MECHANISM m = {useEc ? CKM_ECDSA_SHA256 : CKM_SHA256_RSA_PKCS, nullptr, 0};
        Bytes sig(256);
        CK_ULONG len = 256;
        if (f->C_SignInit(s, &m, useEc ? ec : rsa) == CKR_OK &&
            f->C_Sign(s, const_cast<unsigned char*>(message.data()), 2, sig.data(), &len) == CKR_OK) {
          sig.resize(len);
          if (verifies(useEc ? p11test::enrolled().ecPem : p11test::enrolled().rsaPem, m.mechanism, message, sig))
            ++good;
        }
      }
      f->C_CloseSession(s);
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(good.load(), 20);
}

}  // namespace
