// Certificate contexts, stores (memory and the user's system stores in the
// hive), properties, the root prompt, PKCS #7 bundles, and signing with a
// certificate's private key. Certificates come from a test CA made with the
// openssl command.
#include <wincrypt.h>
#include <windows.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "base/codepage_internal.h"
#include "crypt_pki.h"
#include "test_support.h"
#include "ui/dialogs.h"

namespace {

using Bytes = std::vector<BYTE>;
constexpr DWORD kEnc = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

bool haveOpenssl() { return vtest::runCommand({"openssl", "version"}).status == 0; }

std::string subjectOf(PCCERT_CONTEXT c) {
  DWORD n = CertNameToStrA(kEnc, &c->pCertInfo->Subject, CERT_X500_NAME_STR, nullptr, 0);
  std::string s(n, '\0');
  CertNameToStrA(kEnc, &c->pCertInfo->Subject, CERT_X500_NAME_STR, s.data(), n);
  s.resize(n - 1);
  return s;
}

std::string nameString(PCCERT_CONTEXT c, DWORD type, DWORD flags, void* para) {
  DWORD n = CertGetNameStringA(c, type, flags, para, nullptr, 0);
  std::string s(n, '\0');
  CertGetNameStringA(c, type, flags, para, s.data(), n);
  s.resize(n - 1);
  return s;
}

std::string hexUpper(const BYTE* p, size_t n) {
  static const char d[] = "0123456789ABCDEF";
  std::string s;
  for (size_t i = 0; i < n; ++i) {
    s += d[p[i] >> 4];
    s += d[p[i] & 15];
  }
  return s;
}

std::string thumbprint(PCCERT_CONTEXT c) {
  BYTE hash[20];
  DWORD n = sizeof hash;
  if (!CertGetCertificateContextProperty(c, CERT_SHA1_HASH_PROP_ID, hash, &n)) return "";
  return hexUpper(hash, n);
}

size_t count(HCERTSTORE store) {
  size_t n = 0;
  for (PCCERT_CONTEXT c = nullptr; (c = CertEnumCertificatesInStore(store, c));) ++n;
  return n;
}

class Certs : public testing::Test {
 protected:
  void SetUp() override {
    VTEST_REQUIRE(haveOpenssl(), "openssl command");
    pki_ = std::make_unique<vtest::TestPki>();
    ASSERT_TRUE(pki_->ok()) << pki_->error();
    rootDer_ = pki_->der(pki_->root());
    interDer_ = pki_->der(pki_->intermediate());
  }
  PCCERT_CONTEXT create(const std::string& der) {
    return CertCreateCertificateContext(kEnc, reinterpret_cast<const BYTE*>(der.data()), DWORD(der.size()));
  }
  std::unique_ptr<vtest::TestPki> pki_;
  std::string rootDer_, interDer_;
};

TEST_F(Certs, ContextCarriesTheCertificatesFieldsInWindowsForm) {
  ASSERT_TRUE(pki_->run({"openssl", "req", "-newkey", "rsa:1024", "-nodes", "-keyout", pki_->dir() + "/leaf.key",
                         "-out", pki_->dir() + "/leaf.csr", "-subj", "/CN=Leaf, One/OU=Unit/O=Org/C=TW"}));
  std::string pem = pki_->issue(vtest::readFile(pki_->dir() + "/leaf.csr"), "leaf", "0x00C311");
  ASSERT_FALSE(pem.empty()) << pki_->error();
  PCCERT_CONTEXT c = create(pki_->der(pem));
  ASSERT_NE(c, nullptr);
  const CERT_INFO* info = c->pCertInfo;
  EXPECT_EQ(info->dwVersion, DWORD(CERT_V3));
  // The serial as encoded (02 03 00 C3 11), least significant byte first.
  ASSERT_EQ(info->SerialNumber.cbData, 3u);
  EXPECT_EQ(hexUpper(info->SerialNumber.pbData, 3), "11C300");
  EXPECT_STREQ(info->SignatureAlgorithm.pszObjId, szOID_RSA_SHA256RSA);
  EXPECT_STREQ(info->SubjectPublicKeyInfo.Algorithm.pszObjId, szOID_RSA_RSA);
  EXPECT_EQ(subjectOf(c), "CN=\"Leaf, One\", OU=Unit, O=Org, C=TW");
  EXPECT_EQ(nameString(c, CERT_NAME_ATTR_TYPE, 0, const_cast<char*>(szOID_COMMON_NAME)), "Leaf, One");
  EXPECT_EQ(nameString(c, CERT_NAME_ATTR_TYPE, CERT_NAME_ISSUER_FLAG, const_cast<char*>(szOID_COMMON_NAME)),
            "Velmora Test Intermediate");
  EXPECT_EQ(nameString(c, CERT_NAME_ATTR_TYPE, 0, const_cast<char*>("2.5.4.99")), "");
  EXPECT_EQ(nameString(c, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr), "Leaf, One");

  // Validity: a year from now, in FILETIME.
  EXPECT_EQ(CertVerifyTimeValidity(nullptr, c->pCertInfo), 0);
  FILETIME later = info->NotAfter;
  later.dwHighDateTime += 1;
  EXPECT_EQ(CertVerifyTimeValidity(&later, c->pCertInfo), 1);
  FILETIME early = info->NotBefore;
  early.dwHighDateTime -= 1;
  EXPECT_EQ(CertVerifyTimeValidity(&early, c->pCertInfo), -1);
  const uint64_t span = ((uint64_t(info->NotAfter.dwHighDateTime) << 32) | info->NotAfter.dwLowDateTime) -
                        ((uint64_t(info->NotBefore.dwHighDateTime) << 32) | info->NotBefore.dwLowDateTime);
  EXPECT_EQ(span, 365ull * 86400 * 10000000);

  PCERT_EXTENSION ku = CertFindExtension(szOID_KEY_USAGE, info->cExtension, info->rgExtension);
  ASSERT_NE(ku, nullptr);
  EXPECT_TRUE(ku->fCritical);
  DWORD n = 0;
  ASSERT_TRUE(CryptDecodeObject(kEnc, X509_KEY_USAGE, ku->Value.pbData, ku->Value.cbData, 0, nullptr, &n));
  std::vector<BYTE> buf(n);
  ASSERT_TRUE(CryptDecodeObject(kEnc, X509_KEY_USAGE, ku->Value.pbData, ku->Value.cbData, 0, buf.data(), &n));
  auto* bits = reinterpret_cast<CRYPT_BIT_BLOB*>(buf.data());
  EXPECT_EQ(bits->pbData[0], CERT_DIGITAL_SIGNATURE_KEY_USAGE | CERT_NON_REPUDIATION_KEY_USAGE);

  // The thumbprint is the SHA-1 openssl shows.
  auto fp = vtest::runCommand({"openssl", "x509", "-in", pem, "-noout", "-fingerprint", "-sha1"});
  std::string expected = fp.out.substr(fp.out.find('=') + 1);
  expected.erase(std::remove_if(expected.begin(), expected.end(), [](char ch) { return ch == ':' || ch == '\n'; }),
                 expected.end());
  EXPECT_EQ(thumbprint(c), expected);

  // Duplicates are the same context; each reference is freed once.
  PCCERT_CONTEXT d = CertDuplicateCertificateContext(c);
  EXPECT_EQ(d, c);
  EXPECT_TRUE(CertFreeCertificateContext(d));
  EXPECT_EQ(subjectOf(c).substr(0, 3), "CN=");
  EXPECT_TRUE(CertFreeCertificateContext(c));
}

TEST_F(Certs, BadEncodingsAreRefused) {
  std::string der = rootDer_;
  for (const std::string& bad : {std::string("\x30\x03\x02\x01\x01", 5), der.substr(0, der.size() - 1), der + "x"}) {
    SetLastError(0xdeadbeef);
    EXPECT_EQ(create(bad), nullptr);
    EXPECT_EQ(GetLastError(), DWORD(CRYPT_E_ASN1_BADTAG));
  }
  SetLastError(0xdeadbeef);
  EXPECT_EQ(CertCreateCertificateContext(kEnc, nullptr, 0), nullptr);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
}

TEST_F(Certs, MemoryStoreAddDispositions) {
  HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr);
  ASSERT_NE(store, nullptr);
  PCCERT_CONTEXT src = create(interDer_);
  std::u16string label = u"Intermediate";
  CRYPT_DATA_BLOB name{DWORD((label.size() + 1) * 2), reinterpret_cast<BYTE*>(label.data())};
  ASSERT_TRUE(CertSetCertificateContextProperty(src, CERT_FRIENDLY_NAME_PROP_ID, 0, &name));

  PCCERT_CONTEXT added = nullptr;
  ASSERT_TRUE(CertAddCertificateContextToStore(store, src, CERT_STORE_ADD_NEW, &added));
  EXPECT_NE(added, src);  // the store has a context of its own
  EXPECT_EQ(added->hCertStore, store);
  DWORD n = 0;
  EXPECT_TRUE(CertGetCertificateContextProperty(added, CERT_FRIENDLY_NAME_PROP_ID, nullptr, &n));  // copied along
  EXPECT_EQ(n, (label.size() + 1) * 2);

  PCCERT_CONTEXT existing = nullptr;
  SetLastError(0xdeadbeef);
  EXPECT_FALSE(CertAddCertificateContextToStore(store, src, CERT_STORE_ADD_NEW, &existing));
  EXPECT_EQ(GetLastError(), DWORD(CRYPT_E_EXISTS));
  EXPECT_EQ(existing, added);
  CertFreeCertificateContext(existing);

  // Replacing drops the old properties unless asked to inherit them.
  PCCERT_CONTEXT bare = create(interDer_);
  PCCERT_CONTEXT replaced = nullptr;
  ASSERT_TRUE(CertAddCertificateContextToStore(store, bare, CERT_STORE_ADD_REPLACE_EXISTING_INHERIT_PROPERTIES,
                                               &replaced));
  EXPECT_TRUE(CertGetCertificateContextProperty(replaced, CERT_FRIENDLY_NAME_PROP_ID, nullptr, &n));
  CertFreeCertificateContext(replaced);
  ASSERT_TRUE(CertAddCertificateContextToStore(store, bare, CERT_STORE_ADD_REPLACE_EXISTING, &replaced));
  SetLastError(0xdeadbeef);
  EXPECT_FALSE(CertGetCertificateContextProperty(replaced, CERT_FRIENDLY_NAME_PROP_ID, nullptr, &n));
  EXPECT_EQ(GetLastError(), DWORD(CRYPT_E_NOT_FOUND));
  EXPECT_EQ(count(store), 1u);
  // The replaced context stays usable by whoever still holds it.
  EXPECT_EQ(subjectOf(added), "CN=Velmora Test Intermediate, O=Velmora");

  ASSERT_TRUE(CertAddEncodedCertificateToStore(store, kEnc, reinterpret_cast<const BYTE*>(rootDer_.data()),
                                               DWORD(rootDer_.size()), CERT_STORE_ADD_USE_EXISTING, nullptr));
  EXPECT_EQ(count(store), 2u);
  PCCERT_CONTEXT found = CertFindCertificateInStore(store, kEnc, 0, CERT_FIND_SUBJECT_STR_A, "test root", nullptr);
  ASSERT_NE(found, nullptr);
  EXPECT_EQ(subjectOf(found), "CN=Velmora Test Root, O=Velmora");
  EXPECT_EQ(CertFindCertificateInStore(store, kEnc, 0, CERT_FIND_SUBJECT_STR_A, "test root", found), nullptr);
  found = CertFindCertificateInStore(store, kEnc, 0, CERT_FIND_EXISTING, bare, nullptr);
  ASSERT_NE(found, nullptr);
  EXPECT_TRUE(CertDeleteCertificateFromStore(found));
  EXPECT_EQ(count(store), 1u);

  CertFreeCertificateContext(replaced);
  CertFreeCertificateContext(added);
  CertFreeCertificateContext(bare);
  CertFreeCertificateContext(src);
  EXPECT_TRUE(CertCloseStore(store, CERT_CLOSE_STORE_CHECK_FLAG));
}

TEST_F(Certs, SystemStoresKeepCertificatesAndPropertiesInTheHive) {
  HCERTSTORE ca = CertOpenSystemStoreA(0, "CA");
  ASSERT_NE(ca, nullptr);
  PCCERT_CONTEXT added = nullptr;
  ASSERT_TRUE(CertAddEncodedCertificateToStore(ca, kEnc, reinterpret_cast<const BYTE*>(interDer_.data()),
                                               DWORD(interDer_.size()), CERT_STORE_ADD_ALWAYS, &added));
  const std::string thumb = thumbprint(added);
  std::u16string container = u"A-Container", provider = u"Microsoft Enhanced Cryptographic Provider v1.0";
  CRYPT_KEY_PROV_INFO info{container.data(), provider.data(), PROV_RSA_FULL, 0, 0, nullptr, AT_KEYEXCHANGE};
  ASSERT_TRUE(CertSetCertificateContextProperty(added, CERT_KEY_PROV_INFO_PROP_ID, 0, &info));
  std::u16string label = u"中繼";
  CRYPT_DATA_BLOB name{DWORD((label.size() + 1) * 2), reinterpret_cast<BYTE*>(label.data())};
  ASSERT_TRUE(CertSetCertificateContextProperty(added, CERT_FRIENDLY_NAME_PROP_ID, 0, &name));
  CertFreeCertificateContext(added);
  EXPECT_TRUE(CertCloseStore(ca, 0));

  HKEY key = nullptr;
  const std::string path = "Software\\Microsoft\\SystemCertificates\\CA\\Certificates\\" + thumb;
  ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, KEY_READ, &key), ERROR_SUCCESS);
  DWORD size = 0, type = 0;
  EXPECT_EQ(RegQueryValueExA(key, "Blob", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(type, DWORD(REG_BINARY));
  EXPECT_GT(size, interDer_.size());
  RegCloseKey(key);

  // Opened again (the hive read anew, as another process would), with its properties.
  HCERTSTORE again = CertOpenStore(CERT_STORE_PROV_SYSTEM_A, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, "ca");
  ASSERT_NE(again, nullptr);
  EXPECT_EQ(count(again), 1u);
  PCCERT_CONTEXT c = CertEnumCertificatesInStore(again, nullptr);
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(thumbprint(c), thumb);
  EXPECT_EQ(nameString(c, CERT_NAME_FRIENDLY_DISPLAY_TYPE, 0, nullptr), velmora::platform::ansiFromUtf8("中繼"));
  DWORD n = 0;
  ASSERT_TRUE(CertGetCertificateContextProperty(c, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &n));
  std::vector<BYTE> buf(n);
  ASSERT_TRUE(CertGetCertificateContextProperty(c, CERT_KEY_PROV_INFO_PROP_ID, buf.data(), &n));
  auto* back = reinterpret_cast<CRYPT_KEY_PROV_INFO*>(buf.data());
  EXPECT_EQ(std::u16string(back->pwszContainerName), container);
  EXPECT_EQ(std::u16string(back->pwszProvName), provider);
  EXPECT_EQ(back->dwProvType, DWORD(PROV_RSA_FULL));
  EXPECT_EQ(back->dwKeySpec, DWORD(AT_KEYEXCHANGE));

  EXPECT_TRUE(CertDeleteCertificateFromStore(c));
  EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
  EXPECT_TRUE(CertCloseStore(again, 0));
  HCERTSTORE empty = CertOpenSystemStoreA(0, "CA");
  EXPECT_EQ(count(empty), 0u);
  CertCloseStore(empty, 0);
}

TEST_F(Certs, AddingARootAsksTheUserFirst) {
  std::vector<std::string> shown;
  bool yes = false;
  auto service = std::make_shared<velmora::ui::FunctionDialogService>([&](const velmora::ui::DialogRequest& r) {
    shown.push_back(r.kind);
    velmora::ui::DialogResult result;
    result.button = yes ? "yes" : "no";
    return result;
  });
  velmora::ui::ScopedDialogService scoped(service);
  HCERTSTORE root = CertOpenSystemStoreA(0, "ROOT");
  ASSERT_NE(root, nullptr);
  auto add = [&] {
    return CertAddEncodedCertificateToStore(root, kEnc, reinterpret_cast<const BYTE*>(rootDer_.data()),
                                            DWORD(rootDer_.size()), CERT_STORE_ADD_REPLACE_EXISTING_INHERIT_PROPERTIES,
                                            nullptr);
  };
  SetLastError(0xdeadbeef);
  EXPECT_FALSE(add());
  EXPECT_EQ(GetLastError(), DWORD(ERROR_CANCELLED));
  EXPECT_EQ(count(root), 0u);
  yes = true;
  EXPECT_TRUE(add());
  EXPECT_EQ(count(root), 1u);
  EXPECT_EQ(shown, (std::vector<std::string>{"root-install", "root-install"}));
  // A root that is already trusted is not asked about again.
  EXPECT_TRUE(add());
  EXPECT_EQ(shown.size(), 2u);
  CertCloseStore(root, 0);
}

TEST_F(Certs, MessagesGiveTheirCertificates) {
  std::string p7 = pki_->bundle({pki_->root(), pki_->intermediate()});
  ASSERT_FALSE(p7.empty()) << pki_->error();
  HCRYPTMSG msg = CryptMsgOpenToDecode(kEnc, 0, 0, 0, nullptr, nullptr);
  ASSERT_NE(msg, nullptr);
  ASSERT_TRUE(CryptMsgUpdate(msg, reinterpret_cast<const BYTE*>(p7.data()), DWORD(p7.size()), TRUE));
  DWORD value = 0, n = sizeof value;
  ASSERT_TRUE(CryptMsgGetParam(msg, CMSG_TYPE_PARAM, 0, &value, &n));
  EXPECT_EQ(value, DWORD(CMSG_SIGNED));
  ASSERT_TRUE(CryptMsgGetParam(msg, CMSG_CERT_COUNT_PARAM, 0, &value, &n));
  ASSERT_EQ(value, 2u);
  std::vector<std::string> certs;
  for (DWORD i = 0; i < value; ++i) {
    DWORD size = 0;
    ASSERT_TRUE(CryptMsgGetParam(msg, CMSG_CERT_PARAM, i, nullptr, &size));
    std::string der(size, '\0');
    ASSERT_TRUE(CryptMsgGetParam(msg, CMSG_CERT_PARAM, i, der.data(), &size));
    certs.push_back(der);
  }
  std::sort(certs.begin(), certs.end());
  std::vector<std::string> expected = {rootDer_, interDer_};
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(certs, expected);
  DWORD size = 0;
  SetLastError(0xdeadbeef);
  EXPECT_FALSE(CryptMsgGetParam(msg, CMSG_CERT_PARAM, 2, nullptr, &size));
  EXPECT_EQ(GetLastError(), DWORD(CRYPT_E_INVALID_INDEX));
  EXPECT_TRUE(CryptMsgClose(msg));

  // A certificate is not a message.
  msg = CryptMsgOpenToDecode(kEnc, 0, 0, 0, nullptr, nullptr);
  SetLastError(0xdeadbeef);
  EXPECT_FALSE(CryptMsgUpdate(msg, reinterpret_cast<const BYTE*>(rootDer_.data()), DWORD(rootDer_.size()), TRUE));
  EXPECT_EQ(GetLastError(), DWORD(CRYPT_E_ASN1_BADTAG));
  SetLastError(0xdeadbeef);
  EXPECT_FALSE(CryptMsgGetParam(msg, CMSG_CERT_COUNT_PARAM, 0, &value, &n));
  CryptMsgClose(msg);
}

TEST_F(Certs, CertificatesPrivateKeySignsAndOpensslVerifies) {
  HCRYPTPROV prov = 0;
  ASSERT_TRUE(CryptAcquireContextA(&prov, "cert-key", MS_ENHANCED_PROV_A, PROV_RSA_FULL, CRYPT_NEWKEYSET));
  HCRYPTKEY key = 0;
  ASSERT_TRUE(CryptGenKey(prov, AT_KEYEXCHANGE, (1024u << 16) | CRYPT_EXPORTABLE, &key));
  DWORD n = 0;
  ASSERT_TRUE(CryptExportKey(key, 0, PRIVATEKEYBLOB, 0, nullptr, &n));
  std::string blob(n, '\0');
  ASSERT_TRUE(CryptExportKey(key, 0, PRIVATEKEYBLOB, 0, reinterpret_cast<BYTE*>(blob.data()), &n));
  CryptDestroyKey(key);
  CryptReleaseContext(prov, 0);
  const std::string d = pki_->dir();
  vtest::writeFile(d + "/mine.blob", blob);
  ASSERT_TRUE(pki_->run({"openssl", "rsa", "-inform", "MSBLOB", "-in", d + "/mine.blob", "-out", d + "/mine.key"}));
  ASSERT_TRUE(pki_->run({"openssl", "req", "-new", "-key", d + "/mine.key", "-subj", "/CN=Mine", "-out",
                         d + "/mine.csr"}));
  std::string pem = pki_->issue(vtest::readFile(d + "/mine.csr"), "mine", "0x05");
  ASSERT_FALSE(pem.empty()) << pki_->error();
  PCCERT_CONTEXT c = create(pki_->der(pem));
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(hexUpper(c->pCertInfo->SerialNumber.pbData, c->pCertInfo->SerialNumber.cbData), "05");

  HCRYPTPROV none = 0;
  SetLastError(0xdeadbeef);
  EXPECT_FALSE(CryptAcquireCertificatePrivateKey(c, 0, nullptr, &none, nullptr, nullptr));
  EXPECT_EQ(GetLastError(), DWORD(CRYPT_E_NO_KEY_PROPERTY));

  std::u16string container = u"cert-key", provider = u"Microsoft Enhanced Cryptographic Provider v1.0";
  CRYPT_KEY_PROV_INFO info{container.data(), provider.data(), PROV_RSA_FULL, 0, 0, nullptr, AT_KEYEXCHANGE};
  ASSERT_TRUE(CertSetCertificateContextProperty(c, CERT_KEY_PROV_INFO_PROP_ID, 0, &info));
  HCRYPTPROV certProv = 0;
  DWORD spec = 0;
  BOOL callerFrees = FALSE;
  ASSERT_TRUE(CryptAcquireCertificatePrivateKey(c, 0, nullptr, &certProv, &spec, &callerFrees));
  EXPECT_EQ(spec, DWORD(AT_KEYEXCHANGE));
  EXPECT_TRUE(callerFrees);
  HCRYPTHASH hash = 0;
  ASSERT_TRUE(CryptCreateHash(certProv, CALG_SHA1, 0, 0, &hash));
  const std::string data = "signed with the certificate's key";
  ASSERT_TRUE(CryptHashData(hash, reinterpret_cast<const BYTE*>(data.data()), DWORD(data.size()), 0));
  DWORD sigLen = 0;
  ASSERT_TRUE(CryptSignHashA(hash, spec, nullptr, 0, nullptr, &sigLen));
  std::string sig(sigLen, '\0');
  ASSERT_TRUE(CryptSignHashA(hash, spec, nullptr, 0, reinterpret_cast<BYTE*>(sig.data()), &sigLen));
  CryptDestroyHash(hash);
  CryptReleaseContext(certProv, 0);
  std::reverse(sig.begin(), sig.end());
  vtest::writeFile(d + "/data", data);
  vtest::writeFile(d + "/sig", sig);
  ASSERT_TRUE(pki_->run({"openssl", "x509", "-in", pem, "-pubkey", "-noout", "-out", d + "/mine.pub"}));
  auto verify = vtest::runCommand({"openssl", "dgst", "-sha1", "-verify", d + "/mine.pub", "-signature", d + "/sig",
                                   d + "/data"});
  EXPECT_EQ(verify.status, 0) << verify.out << verify.err;

  // Pointed at a container holding another key, the acquisition is refused.
  HCRYPTPROV other = 0;
  ASSERT_TRUE(CryptAcquireContextA(&other, "other-key", MS_ENHANCED_PROV_A, PROV_RSA_FULL, CRYPT_NEWKEYSET));
  ASSERT_TRUE(CryptGenKey(other, AT_KEYEXCHANGE, 1024u << 16, &key));
  CryptDestroyKey(key);
  CryptReleaseContext(other, 0);
  std::u16string otherName = u"other-key";
  info.pwszContainerName = otherName.data();
  ASSERT_TRUE(CertSetCertificateContextProperty(c, CERT_KEY_PROV_INFO_PROP_ID, 0, &info));
  SetLastError(0xdeadbeef);
  EXPECT_FALSE(CryptAcquireCertificatePrivateKey(c, 0, nullptr, &certProv, &spec, &callerFrees));
  EXPECT_EQ(GetLastError(), DWORD(NTE_BAD_PUBLIC_KEY));
  CertFreeCertificateContext(c);
}

}  // namespace
