// Signed messages encoded with CryptMsgOpenToEncode and checked by
// `openssl cms -verify`: attached and detached, with and without
// authenticated attributes (a signing time among them), with and without
// certificates, signed by a provider's key and by a CNG key handle; a key's
// failure is the final update's failure.
#include <ncrypt.h>
#include <wincrypt.h>
#include <windows.h>

#include <cstddef>

#include "sign_pki.h"

namespace {

using Bytes = std::vector<BYTE>;

struct MsgEncode : ::testing::Test {
  static void SetUpTestSuite() {
    pki = new vtest::SignPki;
    if (!pki->ok()) FAIL() << pki->error();
    rsaPfx = new std::string(pki->pfx("rsa", {"-passout", "pass:pw"}));
    ecPfx = new std::string(pki->pfx("ec", {"-passout", "pass:pw"}));
  }
  static void TearDownTestSuite() {
    delete pki;
    delete rsaPfx;
    delete ecPfx;
  }
  static vtest::SignPki* pki;
  static std::string *rsaPfx, *ecPfx;

  void SetUp() override {
    ASSERT_TRUE(pki->ok()) << pki->error();
    cng = LoadLibraryA(VELMORA_LIB_DIR "/ncrypt.so");
    ASSERT_NE(cng, nullptr);
  }
  void TearDown() override {
    for (HCERTSTORE s : stores) CertCloseStore(s, CERT_CLOSE_STORE_FORCE_FLAG);
    if (cng) FreeLibrary(cng);
  }

  // The PFX's certificate (its key in a container or the key storage provider).
  PCCERT_CONTEXT import(std::string& pfx, DWORD flags = 0) {
    CRYPT_DATA_BLOB blob = vtest::blobOf(pfx);
    HCERTSTORE store = PFXImportCertStore(&blob, u"pw", flags);
    if (!store) return nullptr;
    stores.push_back(store);
    return CertEnumCertificatesInStore(store, nullptr);
  }

  template <class F>
  F fn(const char* name) {
    return reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(cng, name)));
  }

  // The CNG key handle of a certificate whose key is in the key storage provider.
  NCRYPT_KEY_HANDLE cngKey(PCCERT_CONTEXT cert) {
    DWORD n = 0;
    CertGetCertificateContextProperty(cert, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &n);
    std::vector<BYTE> buf(n);
    auto* info = reinterpret_cast<CRYPT_KEY_PROV_INFO*>(buf.data());
    if (!CertGetCertificateContextProperty(cert, CERT_KEY_PROV_INFO_PROP_ID, info, &n)) return 0;
    NCRYPT_PROV_HANDLE prov = 0;
    NCRYPT_KEY_HANDLE key = 0;
    if (fn<decltype(&NCryptOpenStorageProvider)>("NCryptOpenStorageProvider")(&prov, info->pwszProvName, 0) != 0)
      return 0;
    fn<decltype(&NCryptOpenKey)>("NCryptOpenKey")(prov, &key, info->pwszContainerName, 0, 0);
    fn<decltype(&NCryptFreeObject)>("NCryptFreeObject")(prov);
    return key;
  }

  struct Spec {
    ULONG_PTR key = 0;
    DWORD keySpec = 0;
    PCCERT_CONTEXT cert = nullptr;
    const char* hashOid = szOID_NIST_sha256;
    const char* signatureOid = nullptr;
    bool signingTime = false;
    std::vector<PCCERT_CONTEXT> include;
    DWORD flags = 0;
  };

  // Encodes `content`; false with the failing call's error in `error`.
  static bool encode(const Spec& s, const std::string& content, Bytes& out, DWORD& error) {
    CMSG_SIGNER_ENCODE_INFO signer{};
    signer.cbSize = sizeof signer;
    signer.pCertInfo = s.cert->pCertInfo;
    signer.hCryptProv = s.key;
    signer.dwKeySpec = s.keySpec;
    signer.HashAlgorithm.pszObjId = const_cast<char*>(s.hashOid);
    if (s.signatureOid) signer.HashEncryptionAlgorithm.pszObjId = const_cast<char*>(s.signatureOid);
    FILETIME now{};
    // 2026-12-11 08:30:15 UTC as a FILETIME.
    const uint64_t ticks = (uint64_t(1796977815) + 11644473600ULL) * 10000000ULL;
    now.dwLowDateTime = DWORD(ticks);
    now.dwHighDateTime = DWORD(ticks >> 32);
    BYTE timeDer[32];
    DWORD timeLen = sizeof timeDer;
    CRYPT_ATTR_BLOB timeValue{};
    CRYPT_ATTRIBUTE attr{const_cast<char*>(szOID_RSA_signingTime), 1, &timeValue};
    if (s.signingTime) {
      if (!CryptEncodeObject(X509_ASN_ENCODING, szOID_RSA_signingTime, &now, timeDer, &timeLen)) {
        error = GetLastError();
        return false;
      }
      timeValue = {timeLen, timeDer};
      signer.cAuthAttr = 1;
      signer.rgAuthAttr = &attr;
    }
    std::vector<CERT_BLOB> certs;
    for (PCCERT_CONTEXT c : s.include) certs.push_back({c->cbCertEncoded, c->pbCertEncoded});
    CMSG_SIGNED_ENCODE_INFO info{};
    info.cbSize = sizeof info;
    info.cSigners = 1;
    info.rgSigners = &signer;
    info.cCertEncoded = DWORD(certs.size());
    info.rgCertEncoded = certs.data();
    HCRYPTMSG msg = CryptMsgOpenToEncode(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, s.flags, CMSG_SIGNED, &info,
                                         nullptr, nullptr);
    if (!msg) {
      error = GetLastError();
      return false;
    }
    DWORD n = 0;
    bool ok = CryptMsgUpdate(msg, reinterpret_cast<const BYTE*>(content.data()), DWORD(content.size()), TRUE) &&
              CryptMsgGetParam(msg, CMSG_CONTENT_PARAM, 0, nullptr, &n);
    if (ok) {
      out.resize(n);
      ok = CryptMsgGetParam(msg, CMSG_CONTENT_PARAM, 0, out.data(), &n);
      out.resize(n);
    }
    error = ok ? 0 : GetLastError();
    CryptMsgClose(msg);
    return ok;
  }

  // openssl's verdict, and its printout of the message.
  bool opensslVerifies(const Bytes& msg, const std::string& content, bool detached, std::string& printed) {
    vtest::writeFile(pki->path("msg.p7"), std::string(msg.begin(), msg.end()));
    vtest::writeFile(pki->path("content.bin"), content);
    vtest::writeFile(pki->path("signers.pem"), vtest::readFile(pki->path("rsa.pem")) + vtest::readFile(pki->path("ec.pem")));
    vtest::writeFile(pki->path("cas.pem"), vtest::readFile(pki->path("root.pem")) + vtest::readFile(pki->path("inter.pem")));
    std::vector<std::string> argv = {"openssl", "cms", "-verify", "-inform", "DER", "-in", pki->path("msg.p7"),
                                     "-CAfile", pki->path("cas.pem"), "-certfile", pki->path("signers.pem"),
                                     "-purpose", "any", "-out", pki->path("out.bin")};
    if (detached) argv.insert(argv.end(), {"-binary", "-content", pki->path("content.bin")});
    auto r = vtest::runCommand(argv);
    printed = vtest::runCommand({"openssl", "cms", "-cmsout", "-print", "-inform", "DER", "-in", pki->path("msg.p7")}).out;
    if (r.status != 0) ADD_FAILURE() << r.err;
    return r.status == 0 && (detached || vtest::readFile(pki->path("out.bin")) == content);
  }

  // The printout says "signedAttrs:" then "<ABSENT>" when there are none.
  static bool signedAttrsAbsent(const std::string& printed) {
    size_t at = printed.find(" signedAttrs:");
    if (at == std::string::npos) return false;
    at = printed.find_first_not_of(" \n", at + 13);
    return at != std::string::npos && printed.compare(at, 8, "<ABSENT>") == 0;
  }

  HMODULE cng = nullptr;
  std::vector<HCERTSTORE> stores;
};
vtest::SignPki* MsgEncode::pki = nullptr;
std::string* MsgEncode::rsaPfx = nullptr;
std::string* MsgEncode::ecPfx = nullptr;

TEST_F(MsgEncode, SignedMessagesVerifyWithOpenssl) {
  PCCERT_CONTEXT rsa = import(*rsaPfx);
  PCCERT_CONTEXT ec = import(*ecPfx);
  ASSERT_TRUE(rsa && ec);
  HCRYPTPROV prov = 0;
  DWORD spec = 0;
  BOOL release = FALSE;
  ASSERT_TRUE(CryptAcquireCertificatePrivateKey(rsa, 0, nullptr, &prov, &spec, &release));
  NCRYPT_KEY_HANDLE ecKey = cngKey(ec);
  ASSERT_NE(ecKey, 0u);
  std::string interDer = pki->der("inter.pem");
  PCCERT_CONTEXT inter = CertCreateCertificateContext(X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(interDer.data()),
                                       DWORD(interDer.size()));
  ASSERT_NE(inter, nullptr);

  struct Case {
    const char* label;
    Spec spec;
    bool attrsExpected;
  } cases[] = {
      {"CSP key, attached, signer certificate", {prov, spec, rsa, szOID_NIST_sha256, nullptr, false, {rsa}, 0}, false},
      {"CSP key, detached, SHA-1", {prov, spec, rsa, szOID_OIWSEC_sha1, nullptr, false, {rsa}, CMSG_DETACHED_FLAG},
       false},
      {"CSP key, signing time, chain", {prov, spec, rsa, szOID_NIST_sha256, nullptr, true, {rsa, inter}, 0}, true},
      {"CSP key, no certificates", {prov, spec, rsa, szOID_NIST_sha256, nullptr, false, {}, 0}, false},
      {"CNG key, attached", {ecKey, 0, ec, szOID_NIST_sha256, szOID_ECDSA_SHA256, false, {ec}, 0}, false},
      {"CNG key, detached, signing time",
       {ecKey, 0, ec, szOID_NIST_sha256, szOID_ECDSA_SHA256, true, {ec}, CMSG_DETACHED_FLAG},
       true},
      {"CNG key without a signature algorithm", {ecKey, 0, ec, szOID_NIST_sha256, nullptr, false, {ec}, 0}, false},
  };
  const std::string content = "Pay 100 to Bob\r\n\x01\x02";
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    Bytes msg;
    DWORD error = 0;
    ASSERT_TRUE(encode(c.spec, content, msg, error)) << std::hex << error;
    const bool detached = c.spec.flags & CMSG_DETACHED_FLAG;
    std::string printed;
    EXPECT_TRUE(opensslVerifies(msg, content, detached, printed));
    EXPECT_EQ(printed.find("signingTime") != std::string::npos, c.attrsExpected) << printed;
    EXPECT_EQ(signedAttrsAbsent(printed), !c.attrsExpected) << printed;
    if (c.attrsExpected) {
      EXPECT_NE(printed.find("Dec 11 08:30:15 2026 GMT"), std::string::npos) << printed;
    }
    // The content is in the message unless detached.
    const std::string bytes(msg.begin(), msg.end());
    EXPECT_EQ(bytes.find(content) != std::string::npos, !detached);
    // The certificates asked for, and no others.
    EXPECT_EQ(bytes.find(std::string(reinterpret_cast<char*>(inter->pbCertEncoded), inter->cbCertEncoded)) !=
                  std::string::npos,
              c.spec.include.size() == 2);
    EXPECT_EQ(bytes.find(std::string(reinterpret_cast<char*>(c.spec.cert->pbCertEncoded), c.spec.cert->cbCertEncoded)) !=
                  std::string::npos,
              !c.spec.include.empty());
  }
  CertFreeCertificateContext(inter);
  fn<decltype(&NCryptFreeObject)>("NCryptFreeObject")(ecKey);
  if (release) CryptReleaseContext(prov, 0);
}

TEST_F(MsgEncode, KeyFailuresAndBadArgumentsAreReported) {
  // A protected key asks the user; with no dialog service the answer is
  // cancel, and the final update fails with it.
  PCCERT_CONTEXT rsa = import(*rsaPfx, CRYPT_USER_PROTECTED);
  ASSERT_NE(rsa, nullptr);
  HCRYPTPROV prov = 0;
  DWORD spec = 0;
  BOOL release = FALSE;
  ASSERT_TRUE(CryptAcquireCertificatePrivateKey(rsa, 0, nullptr, &prov, &spec, &release));
  Bytes msg;
  DWORD error = 0;
  Spec plain{prov, spec, rsa, szOID_NIST_sha256, nullptr, false, {}, 0};
  EXPECT_FALSE(encode(plain, "x", msg, error));
  EXPECT_EQ(error, DWORD(HRESULT_FROM_WIN32(ERROR_CANCELLED)));

  Spec badHash = plain;
  badHash.hashOid = "1.2.3.4";
  EXPECT_FALSE(encode(badHash, "x", msg, error));
  EXPECT_EQ(error, DWORD(CRYPT_E_UNKNOWN_ALGO));
  Spec badKey = plain;
  badKey.key = 0x7777;
  EXPECT_FALSE(encode(badKey, "x", msg, error));
  EXPECT_EQ(error, DWORD(NTE_BAD_UID));
  if (release) CryptReleaseContext(prov, 0);

  SetLastError(0);
  EXPECT_EQ(CryptMsgOpenToEncode(PKCS_7_ASN_ENCODING, 0, CMSG_ENVELOPED, nullptr, nullptr, nullptr), nullptr);
  EXPECT_EQ(GetLastError(), DWORD(CRYPT_E_INVALID_MSG_TYPE));
  CMSG_SIGNED_ENCODE_INFO wrongSize{};
  wrongSize.cbSize = 3;
  EXPECT_EQ(CryptMsgOpenToEncode(PKCS_7_ASN_ENCODING, 0, CMSG_SIGNED, &wrongSize, nullptr, nullptr), nullptr);
  EXPECT_EQ(GetLastError(), DWORD(E_INVALIDARG));

  // A message is final once: no content before it, no update after it.
  CMSG_SIGNED_ENCODE_INFO none{};
  none.cbSize = offsetof(CMSG_SIGNED_ENCODE_INFO, cAttrCertEncoded);
  HCRYPTMSG m = CryptMsgOpenToEncode(PKCS_7_ASN_ENCODING, 0, CMSG_SIGNED, &none, nullptr, nullptr);
  ASSERT_NE(m, nullptr);
  DWORD n = 0;
  EXPECT_FALSE(CryptMsgGetParam(m, CMSG_CONTENT_PARAM, 0, nullptr, &n));
  EXPECT_TRUE(CryptMsgUpdate(m, reinterpret_cast<const BYTE*>("ab"), 2, TRUE));
  EXPECT_FALSE(CryptMsgUpdate(m, reinterpret_cast<const BYTE*>("c"), 1, TRUE));
  EXPECT_EQ(GetLastError(), DWORD(CRYPT_E_MSG_ERROR));
  EXPECT_TRUE(CryptMsgGetParam(m, CMSG_CONTENT_PARAM, 0, nullptr, &n));
  Bytes out(n - 1);
  n -= 1;
  EXPECT_FALSE(CryptMsgGetParam(m, CMSG_CONTENT_PARAM, 0, out.data(), &n));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_MORE_DATA));
  EXPECT_TRUE(CryptMsgClose(m));
}

}  // namespace

namespace {

// UTCTime for 1950 to 2049, GeneralizedTime either side, as the signing
// time's encoding requires.
TEST(SigningTime, EncodesUtcOrGeneralizedTime) {
  struct Case {
    int64_t unixTime;
    const char* der;  // tag, length, text
  } cases[] = {{-631152001, "\x18\x0f" "19491231235959Z"},
               {-631152000, "\x17\x0d" "500101000000Z"},
               {2524607999, "\x17\x0d" "491231235959Z"},
               {2524608000, "\x18\x0f" "20500101000000Z"}};
  for (const auto& c : cases) {
    const uint64_t ticks = uint64_t(c.unixTime + 11644473600LL) * 10000000ULL;
    FILETIME ft{DWORD(ticks), DWORD(ticks >> 32)};
    for (LPCSTR type : {PKCS_UTC_TIME, static_cast<LPCSTR>(szOID_RSA_signingTime)}) {
      BYTE out[32];
      DWORD n = sizeof out;
      ASSERT_TRUE(CryptEncodeObject(X509_ASN_ENCODING, type, &ft, out, &n));
      EXPECT_EQ(std::string(reinterpret_cast<char*>(out), n), std::string(c.der, 2 + size_t(c.der[1])));
    }
  }
}

}  // namespace
