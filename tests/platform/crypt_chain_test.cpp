// Chains built over the user's "MY", "CA" and "ROOT" stores with
// certificates made by openssl: trusted, an untrusted root, a missing issuer,
// expired at the time asked about, a broken signature, wrong usages, and
// revocation (never fetched here) reported unknown.
#include <wincrypt.h>
#include <windows.h>

#include <ctime>
#include <memory>

#include "sign_pki.h"
#include "ui/dialogs.h"

namespace {

struct Chain : ::testing::Test {
  static void SetUpTestSuite() {
    pki = new vtest::SignPki;
    if (!pki->ok()) FAIL() << pki->error();
    vtest::writeFile(pki->path("ext.cnf"),
                     vtest::readFile(pki->path("ext.cnf")) +
                         "[mail]\nbasicConstraints=CA:false\nkeyUsage=critical,digitalSignature\n"
                         "extendedKeyUsage=emailProtection\n"
                         "[nosign]\nbasicConstraints=critical,CA:true\nkeyUsage=critical,digitalSignature\n");
    ok = pki->leaf("mail", {"-newkey", "rsa:2048"}, "mail", "365", "0x0101") &&
         // A second root, never trusted, and a leaf it issued directly.
         pki->run({"openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", pki->path("other.key"),
                   "-out", pki->path("other.pem"), "-days", "3650", "-subj", "/CN=Untrusted Root", "-addext",
                   "basicConstraints=critical,CA:true"}) &&
         pki->run({"openssl", "req", "-newkey", "rsa:2048", "-nodes", "-keyout", pki->path("stray.key"), "-out",
                   pki->path("stray.csr"), "-subj", "/CN=Stray"}) &&
         pki->run({"openssl", "x509", "-req", "-in", pki->path("stray.csr"), "-CA", pki->path("other.pem"),
                   "-CAkey", pki->path("other.key"), "-set_serial", "7", "-days", "365", "-extfile",
                   pki->path("ext.cnf"), "-extensions", "leaf", "-out", pki->path("stray.pem")}) &&
         // An intermediate not allowed to sign certificates, and its leaf.
         pki->run({"openssl", "req", "-newkey", "rsa:2048", "-nodes", "-keyout", pki->path("nosign.key"), "-out",
                   pki->path("nosign.csr"), "-subj", "/CN=No Signing CA"}) &&
         pki->run({"openssl", "x509", "-req", "-in", pki->path("nosign.csr"), "-CA", pki->path("root.pem"), "-CAkey",
                   pki->path("root.key"), "-set_serial", "8", "-days", "365", "-extfile", pki->path("ext.cnf"),
                   "-extensions", "nosign", "-out", pki->path("nosign.pem")}) &&
         pki->run({"openssl", "req", "-newkey", "rsa:2048", "-nodes", "-keyout", pki->path("under.key"), "-out",
                   pki->path("under.csr"), "-subj", "/CN=Under No Signing CA"}) &&
         pki->run({"openssl", "x509", "-req", "-in", pki->path("under.csr"), "-CA", pki->path("nosign.pem"),
                   "-CAkey", pki->path("nosign.key"), "-set_serial", "9", "-days", "365", "-extfile",
                   pki->path("ext.cnf"), "-extensions", "leaf", "-out", pki->path("under.pem")});
  }
  static void TearDownTestSuite() { delete pki; }
  static vtest::SignPki* pki;
  static bool ok;

  void SetUp() override {
    ASSERT_TRUE(ok) << pki->error();
    auto yes = std::make_shared<velmora::ui::FunctionDialogService>([](const velmora::ui::DialogRequest&) {
      velmora::ui::DialogResult r;
      r.button = "yes";
      return r;
    });
    velmora::ui::ScopedDialogService scoped(yes);
    add("ROOT", "root.pem");
    add("CA", "inter.pem");
    add("CA", "nosign.pem");
    add("MY", "rsa.pem");
  }

  void add(const char* store, const std::string& pem) {
    std::string der = pki->der(pem);
    HCERTSTORE s = CertOpenSystemStoreA(0, store);
    ASSERT_NE(s, nullptr);
    ASSERT_TRUE(CertAddEncodedCertificateToStore(s, X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(der.data()),
                                                 DWORD(der.size()), CERT_STORE_ADD_USE_EXISTING, nullptr))
        << std::hex << GetLastError();
    CertCloseStore(s, 0);
  }

  static PCCERT_CONTEXT context(const std::string& der) {
    return CertCreateCertificateContext(X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(der.data()),
                                        DWORD(der.size()));
  }

  static std::string subject(PCCERT_CONTEXT c) {
    char name[128];
    CertGetNameStringA(c, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, name, sizeof name);
    return name;
  }
};
vtest::SignPki* Chain::pki = nullptr;
bool Chain::ok = false;

FILETIME inDays(int days) {
  const uint64_t t = (uint64_t(time(nullptr) + int64_t(days) * 86400) + 11644473600ULL) * 10000000ULL;
  return FILETIME{DWORD(t), DWORD(t >> 32)};
}

TEST_F(Chain, StatusOfEachKindOfChain) {
  std::string leaf = pki->der("rsa.pem"), stray = pki->der("stray.pem"), mail = pki->der("mail.pem"),
              under = pki->der("under.pem");
  std::string broken = leaf;
  broken[broken.size() - 5] ^= 0x40;  // inside the signature
  FILETIME later = inDays(400);
  LPSTR clientAuth[] = {const_cast<char*>(szOID_PKIX_KP_CLIENT_AUTH)};
  LPSTR email[] = {const_cast<char*>(szOID_PKIX_KP_EMAIL_PROTECTION)};
  struct Case {
    const char* label;
    std::string* der;
    FILETIME* time;
    LPSTR* usage;
    DWORD flags;
    DWORD error;
    std::vector<std::string> names;
  } cases[] = {
      {"trusted", &leaf, nullptr, nullptr, 0, 0, {"Signer rsa", "Sign Test Intermediate", "Sign Test Root"}},
      {"untrusted root", &stray, nullptr, nullptr, 0, CERT_TRUST_IS_PARTIAL_CHAIN, {"Stray"}},
      {"expired then", &leaf, &later, nullptr, 0, CERT_TRUST_IS_NOT_TIME_VALID, {"Signer rsa", "Sign Test Intermediate", "Sign Test Root"}},
      {"broken signature", &broken, nullptr, nullptr, 0, CERT_TRUST_IS_NOT_SIGNATURE_VALID,
       {"Signer rsa", "Sign Test Intermediate", "Sign Test Root"}},
      {"usage not in the certificate", &mail, nullptr, clientAuth, 0, CERT_TRUST_IS_NOT_VALID_FOR_USAGE,
       {"Signer mail", "Sign Test Intermediate", "Sign Test Root"}},
      {"usage in the certificate", &mail, nullptr, email, 0, 0, {"Signer mail", "Sign Test Intermediate", "Sign Test Root"}},
      {"issuer may not sign certificates", &under, nullptr, nullptr, 0, CERT_TRUST_IS_NOT_VALID_FOR_USAGE,
       {"Under No Signing CA", "No Signing CA", "Sign Test Root"}},
      {"revocation asked for", &leaf, nullptr, nullptr, CERT_CHAIN_REVOCATION_CHECK_END_CERT,
       CERT_TRUST_REVOCATION_STATUS_UNKNOWN | CERT_TRUST_IS_OFFLINE_REVOCATION,
       {"Signer rsa", "Sign Test Intermediate", "Sign Test Root"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    PCCERT_CONTEXT cert = context(*c.der);
    ASSERT_NE(cert, nullptr);
    CERT_CHAIN_PARA para{};
    para.cbSize = sizeof para;
    if (c.usage) para.RequestedUsage.Usage = {1, c.usage};
    PCCERT_CHAIN_CONTEXT chain = nullptr;
    ASSERT_TRUE(CertGetCertificateChain(nullptr, cert, c.time, nullptr, &para, c.flags, nullptr, &chain));
    ASSERT_NE(chain, nullptr);
    EXPECT_EQ(chain->TrustStatus.dwErrorStatus, c.error) << std::hex << chain->TrustStatus.dwErrorStatus;
    ASSERT_EQ(chain->cChain, 1u);
    const CERT_SIMPLE_CHAIN* simple = chain->rgpChain[0];
    std::vector<std::string> names;
    for (DWORD i = 0; i < simple->cElement; ++i) names.push_back(subject(simple->rgpElement[i]->pCertContext));
    EXPECT_EQ(names, c.names);
    const auto* top = simple->rgpElement[simple->cElement - 1];
    EXPECT_EQ(bool(top->TrustStatus.dwInfoStatus & CERT_TRUST_IS_SELF_SIGNED), c.names.size() == 3);
    CertFreeCertificateChain(chain);
    CertFreeCertificateContext(cert);
  }
}

TEST_F(Chain, RootsOutsideRootStoreAreUntrusted) {
  // The untrusted root, reachable through an additional store.
  HCERTSTORE extra = CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr);
  std::string other = pki->der("other.pem"), stray = pki->der("stray.pem");
  ASSERT_TRUE(CertAddEncodedCertificateToStore(extra, X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(other.data()),
                                               DWORD(other.size()), CERT_STORE_ADD_NEW, nullptr));
  PCCERT_CONTEXT cert = context(stray);
  CERT_CHAIN_PARA para{};
  para.cbSize = sizeof para;
  PCCERT_CHAIN_CONTEXT chain = nullptr;
  ASSERT_TRUE(CertGetCertificateChain(nullptr, cert, nullptr, extra, &para, 0, nullptr, &chain));
  EXPECT_EQ(chain->TrustStatus.dwErrorStatus, DWORD(CERT_TRUST_IS_UNTRUSTED_ROOT));
  ASSERT_EQ(chain->rgpChain[0]->cElement, 2u);
  EXPECT_EQ(chain->rgpChain[0]->rgpElement[1]->TrustStatus.dwErrorStatus, DWORD(CERT_TRUST_IS_UNTRUSTED_ROOT));
  // A certificate's own store is searched as well.
  PCCERT_CONTEXT inStore = nullptr;
  ASSERT_TRUE(CertAddEncodedCertificateToStore(extra, X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(stray.data()),
                                               DWORD(stray.size()), CERT_STORE_ADD_NEW, &inStore));
  PCCERT_CHAIN_CONTEXT own = nullptr;
  ASSERT_TRUE(CertGetCertificateChain(nullptr, inStore, nullptr, nullptr, &para, 0, nullptr, &own));
  EXPECT_EQ(own->rgpChain[0]->cElement, 2u);
  EXPECT_EQ(own->TrustStatus.dwErrorStatus, DWORD(CERT_TRUST_IS_UNTRUSTED_ROOT));
  CertFreeCertificateChain(own);
  CertFreeCertificateContext(inStore);
  // The chain keeps its certificates after the store and the caller's context go.
  CertCloseStore(extra, 0);
  CertFreeCertificateContext(cert);
  PCCERT_CHAIN_CONTEXT again = CertDuplicateCertificateChain(chain);
  EXPECT_EQ(again, chain);
  CertFreeCertificateChain(chain);
  EXPECT_EQ(subject(again->rgpChain[0]->rgpElement[1]->pCertContext), "Untrusted Root");
  CertFreeCertificateChain(again);

  SetLastError(0);
  EXPECT_FALSE(CertGetCertificateChain(nullptr, nullptr, nullptr, nullptr, &para, 0, nullptr, &chain));
  EXPECT_EQ(GetLastError(), DWORD(E_INVALIDARG));
  EXPECT_EQ(chain, nullptr);
}

}  // namespace
