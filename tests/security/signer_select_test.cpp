// Choosing the signer: the filter language (default and strict), candidate
// matching over "MY", the best-candidate rule, the list dialog, compare
// dates and the getters.
#include "signer_pki.h"  // OpenSSL before wincrypt.h (X509_NAME)

#include <strabel/strabel.h>
#include <wincrypt.h>
#include <windows.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "certs/cert_info.h"
#include "certs/signer_filter.h"
#include "frame/engines.h"
#include "test_support.h"
#include "ui/dialogs.h"

namespace {

constexpr DWORD kEnc = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

std::string take(char* text) {
  std::string s = text ? text : "";
  delete[] text;
  return s;
}

void clearMy() {
  HCERTSTORE store = CertOpenSystemStoreA(0, "MY");
  for (PCCERT_CONTEXT c; (c = CertEnumCertificatesInStore(store, nullptr));) CertDeleteCertificateFromStore(c);
  CertCloseStore(store, 0);
}

void addToMy(const std::string& der) {
  HCERTSTORE store = CertOpenSystemStoreA(0, "MY");
  ASSERT_TRUE(CertAddEncodedCertificateToStore(store, kEnc, reinterpret_cast<const BYTE*>(der.data()),
                                               DWORD(der.size()), CERT_STORE_ADD_ALWAYS, nullptr));
  CertCloseStore(store, 0);
}

// ---- The filter language over real certificates ----

struct FilterCase {
  const char* filter;
  bool strict;
  vtest::NameParts subject;
  const char* serial;
  bool expected;
};

TEST(SignerFilter, DefaultAndStrictMatching) {
  vtest::SignerPki pki;
  EVP_PKEY* key = EVP_RSA_gen(1024);
  const vtest::NameParts alice = {{"C", "TW"}, {"O", "Org"}, {"CN", "Alice"}};
  const vtest::NameParts aliceOnly = {{"CN", "Alice"}};
  const vtest::NameParts bob = {{"CN", "Bob"}};
  const vtest::NameParts carol = {{"CN", "Carol"}};
  const vtest::NameParts bigOrg = {{"O", "Big Org Ltd"}, {"CN", "Dave"}};
  const vtest::NameParts comma = {{"O", "Foo, Inc"}, {"CN", "Alice"}};
  const FilterCase cases[] = {
      // Default: every C, O, OU and CN of the subject must be listed.
      {"S_CN=Alice", false, alice, "01", false},
      {"S_C=TW,S_O=Org,S_CN=Alice", false, alice, "01", true},
      {"S_CN=Alice", false, aliceOnly, "01", true},
      {"S_CN=alice", false, aliceOnly, "01", false},
      {"I_CN=Nobody", false, aliceOnly, "01", true},  // issuer items do not count by default
      // Separators: "\n" (two characters), line feed, spaces around "=", CR dropped.
      {"S_C = TW\\nS_O= Org\r\nS_CN =Alice", false, alice, "01", true},
      // A piece without "=" continues the value before it.
      {"S_O=Foo, Inc,S_CN=Alice", false, comma, "01", true},
      // Alternatives; one under 4 characters is ignored.
      {"S_CN=Alice//S_CN=Bob", false, aliceOnly, "01", true},
      {"S_CN=Alice//S_CN=Bob", false, bob, "01", true},
      {"S_CN=Alice//S_CN=Bob", false, carol, "01", false},
      {"S_C//S_CN=Bob", false, aliceOnly, "01", false},
      {"S_C", false, carol, "01", true},  // nothing left: everything matches
      {"", false, carol, "01", true},
      // Strict: contains for O=% and CN, both sides must match.
      {"S_O=%Org,I_CN=Root CA", true, bigOrg, "01", true},
      {"S_O=%Org,I_CN=Root CA", true, bob, "01", false},
      {"S_O=%Org,I_CN=Other CA", true, bigOrg, "01", false},
      {"S_O=Org", true, bigOrg, "01", false},  // without % the whole part
      {"S_CN=%lic", true, alice, "01", true},
      {"S_SN=0a1b", true, carol, "0A1B", true},
      {"S_SN=0A1C", true, carol, "0A1B", false},
      {"S_XX=1", true, carol, "01", false},  // only unknown keys: no match
      {"I_C=TW", true, carol, "01", false},
  };
  for (const auto& c : cases) {
    vtest::CertSpec spec;
    spec.subject = c.subject;
    spec.serialHex = c.serial;
    const std::string der = pki.make(spec, key);
    strabel::CertInfo cert;
    ASSERT_TRUE(cert.FromBytes(reinterpret_cast<const BYTE*>(der.data()), int32_t(der.size())));
    EXPECT_EQ(strabel::MatchFilter(strabel::ParseSignerFilter(c.filter), cert, c.strict), c.expected)
        << "filter " << c.filter << " strict " << c.strict << " subject " << cert.SubjectName();
  }
  EVP_PKEY_free(key);
}

// ---- Selection over the store ----

class Select : public testing::Test {
 protected:
  void SetUp() override {
    strabel::capiCore().m_bIEProtectedMode = 0;
    strabel::capiCore().m_nCodePage = 437;
    clearMy();
    key_ = EVP_RSA_gen(1024);
    service_ = std::make_shared<velmora::ui::FunctionDialogService>([this](const velmora::ui::DialogRequest& r) {
      requests_.push_back(r);
      velmora::ui::DialogResult result;
      if (!answers_.empty()) {
        result = answers_.front();
        answers_.erase(answers_.begin());
      }
      return result;
    });
    scoped_ = std::make_unique<velmora::ui::ScopedDialogService>(service_);
  }
  void TearDown() override { EVP_PKEY_free(key_); }

  std::string add(const vtest::NameParts& subject, const std::string& serial, const std::string& nb = "20240101000000Z",
                  const std::string& na = "20340101000000Z", const std::string& ku = "critical,digitalSignature") {
    vtest::CertSpec spec;
    spec.subject = subject;
    spec.serialHex = serial;
    spec.notBefore = nb;
    spec.notAfter = na;
    spec.keyUsage = ku;
    const std::string der = pki_.make(spec, key_);
    addToMy(der);
    return der;
  }

  int kinds(const char* kind) const {
    int n = 0;
    for (const auto& r : requests_) n += r.kind == kind;
    return n;
  }

  CCAPILib capi;
  vtest::SignerPki pki_;
  EVP_PKEY* key_ = nullptr;
  std::shared_ptr<velmora::ui::FunctionDialogService> service_;
  std::unique_ptr<velmora::ui::ScopedDialogService> scoped_;
  std::vector<velmora::ui::DialogRequest> requests_;
  std::vector<velmora::ui::DialogResult> answers_;
};

TEST_F(Select, BestCandidateForEachRuleWithoutADialog) {
  // A: earlier NotBefore, later NotAfter; B: later NotBefore, earlier NotAfter.
  add({{"CN", "Alice"}}, "0A", "20240101000000Z", "20340101000000Z");
  add({{"CN", "Alice"}}, "0B", "20250101000000Z", "20330101000000Z");
  struct {
    long flags;
    const char* serial;
  } cases[] = {{0x002, "0B"}, {0x022, "0A"}, {0x042, "0A"}, {0x082, "0B"}, {0x102, "0B"}};
  for (const auto& c : cases) {
    EXPECT_EQ(capi.SelectSigner("S_CN=Alice", c.flags, 0), 0) << std::hex << c.flags;
    EXPECT_EQ(take(capi.GetCertSerial()), c.serial) << std::hex << c.flags;
  }
  EXPECT_TRUE(requests_.empty());
}

TEST_F(Select, RejectionsGiveTheirReasons) {
  add({{"CN", "Alice"}}, "0A", "20240101000000Z", "20340101000000Z", "critical,nonRepudiation");
  EXPECT_EQ(capi.SelectSigner("S_CN=Alice", 0x102, 0x80), 5017);
  EXPECT_EQ(capi.SelectSigner("S_CN=Alice", 0x102, 0x40), 0);
  EXPECT_EQ(capi.SelectSigner("S_CN=Bob", 0x102, 0), 5010);

  struct {
    const char* date;
    int status;
  } dates[] = {{"2026010112000", 5005},  {"20261301120000", 5005}, {"2026010112000x", 5005},
               {"20260101250000", 5005}, {"20260231120000", 5005}, {"20990101000000", 5011},
               {"20230101000000", 5012}, {"20300101000000", 0}};
  for (const auto& d : dates)
    EXPECT_EQ(capi.SelectSignerEx("S_CN=Alice", "", "", "", d.date, 0x102, 0), d.status) << d.date;
  EXPECT_EQ(capi.SelectSignerEx2("S_CN=Alice", "", "", 0, "20990101000000", 0x102, 0), 5011);
  EXPECT_TRUE(requests_.empty());
}

TEST_F(Select, CaCertificatesAreNeverOffered) {
  vtest::CertSpec self;
  self.subject = {{"CN", "Self"}};
  self.selfSigned = true;
  addToMy(pki_.make(self, key_));
  addToMy(pki_.rootDer());
  add({{"CN", "Signer of certs"}}, "0C", "20240101000000Z", "20340101000000Z", "critical,keyCertSign");
  EXPECT_EQ(capi.SelectSigner("", 0x101, 0), 5010);  // even with the list forced
  EXPECT_TRUE(requests_.empty());
}

TEST_F(Select, GettersWithAndWithoutSigner) {
  for (auto* text : {capi.GetCertB64(), capi.GetCertSubject(), capi.GetCertSubjectCN(), capi.GetCertIssuer(),
                     capi.GetCertSerial(), capi.GetCertNotBefore(), capi.GetCertNotAfter(), capi.GetCertFinger(),
                     capi.GetSignerPfxFilePath(), capi.GetSignerPfxFileName()})
    EXPECT_EQ(take(text), "");
  const std::string der = add({{"O", "Org"}, {"CN", "Alice"}}, "00C311");
  ASSERT_EQ(capi.SelectSigner("S_O=Org,S_CN=Alice", 0, 0), 0);
  strabel::CertInfo cert;
  cert.FromBytes(reinterpret_cast<const BYTE*>(der.data()), int32_t(der.size()));
  EXPECT_EQ(take(capi.GetCertSerial()), "00C311");
  EXPECT_EQ(take(capi.GetCertIssuer()), "CN=Test Root CA, O=Velmora");
  EXPECT_EQ(take(capi.GetCertSubject()), "O=Org, CN=Alice");
  EXPECT_EQ(take(capi.GetCertSubjectCN()), "Alice");
  EXPECT_EQ(take(capi.GetCertFinger()), cert.Thumbprint());
  EXPECT_EQ(take(capi.GetCertB64()), cert.Base64());
  EXPECT_EQ(take(capi.GetCertNotAfter()), cert.NotAfter());
  EXPECT_EQ(take(capi.GetCertNotBefore()).size(), 14u);
  // A failed selection leaves no signer.
  EXPECT_EQ(capi.SelectSigner("S_CN=Nobody", 0x100, 0), 5010);
  EXPECT_EQ(take(capi.GetCertB64()), "");
  EXPECT_EQ(strabel::capiCore().m_nSignerMedia, -1);
}

TEST_F(Select, ListDialogRowsChoiceViewerAndCancel) {
  const std::string bin = vtest::makeTempDir("bin");
  const std::string opened = bin + "/opened";
  vtest::writeFile(bin + "/xdg-open", "#!/bin/sh\ncp \"$1\" " + opened + "\n");
  chmod((bin + "/xdg-open").c_str(), 0755);
  const std::string path = std::string(getenv("PATH") ? getenv("PATH") : "");
  setenv("PATH", (bin + ":" + path).c_str(), 1);

  std::map<std::string, std::string> bySerial;
  bySerial["0A"] = add({{"CN", "Alice"}}, "0A");
  bySerial["0B"] = add({{"CN", "Alice"}}, "0B", "20250101000000Z", "20330101000000Z");
  velmora::ui::DialogResult view, ok;
  view.button = "certificate";
  view.row = 0;
  ok.button = "ok";
  ok.row = 1;
  answers_ = {view, ok};
  ASSERT_EQ(capi.SelectSigner("S_CN=Alice", 0x100, 0), 0);
  ASSERT_EQ(requests_.size(), 2u);
  ASSERT_EQ(requests_[1].rows.size(), 2u);
  EXPECT_EQ(take(capi.GetCertSerial()), requests_[1].rows[1][1]);
  const auto& r = requests_[0];
  EXPECT_EQ(r.kind, "signer-list");
  EXPECT_EQ(r.title, "Select one for Signed Data");
  EXPECT_EQ(r.columns, (std::vector<std::string>{"Common Name", "Serial", "Not before", "Not after", "Issuer"}));
  ASSERT_EQ(r.rows.size(), 2u);
  EXPECT_EQ(r.rows[0][0], "Alice");
  EXPECT_TRUE(bySerial.count(r.rows[0][1]));
  EXPECT_NE(r.rows[0][1], r.rows[1][1]);
  EXPECT_EQ(r.rows[0][3].size(), 10u);  // yyyy/mm/dd
  EXPECT_EQ(r.rows[0][4], "Test Root CA");
  EXPECT_EQ(requests_[1].selected, 0);
  // The viewer got the first certificate's DER (the handler runs in the background).
  for (int i = 0; i < 100 && vtest::readFile(opened).empty(); ++i) usleep(20000);
  EXPECT_EQ(vtest::readFile(opened), bySerial[r.rows[0][1]]);
  setenv("PATH", path.c_str(), 1);

  // Mode 1 shows the list even for one candidate; Chinese columns off 437.
  strabel::capiCore().m_nCodePage = 950;
  requests_.clear();
  EXPECT_EQ(capi.SelectSigner("S_CN=Alice//x", 0x101, 0), 5070);  // cancelled, store only
  strabel::capiCore().m_nCodePage = 437;
  ASSERT_EQ(requests_.size(), 1u);
  EXPECT_EQ(requests_[0].columns[0], "憑證持有人");
  EXPECT_EQ(take(capi.GetCertB64()), "");
  EXPECT_EQ(strabel::capiCore().m_nSignerMedia, -1);
  // Cancelled with the PFX medium enabled: the PFX dialog comes next.
  requests_.clear();
  EXPECT_EQ(capi.SelectSigner("S_CN=Alice", 0x001, 0), 5070);
  ASSERT_EQ(requests_.size(), 2u);
  EXPECT_EQ(requests_[1].kind, "pfx-file");
}

TEST_F(Select, ProtectedModeStopsFirst) {
  add({{"CN", "Alice"}}, "0A");
  strabel::capiCore().m_bIEProtectedMode = 1;
  EXPECT_EQ(capi.SelectSigner("", 0, 0), 1500);
  EXPECT_EQ(capi.SelectSignerEx("", "", "", "", "1", 0, 0), 1500);
  EXPECT_EQ(take(capi.SignPkcs1("x", 0)), "");
  EXPECT_EQ(capi.GetErrorCode(), 1500);
  strabel::capiCore().m_bIEProtectedMode = 0;
}

}  // namespace
