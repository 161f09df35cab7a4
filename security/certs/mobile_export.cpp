// The mobile form of a certificate with its RSA key: the raw key
// components, a few certificate fields and the certificate in one
// container, triple-DES encrypted under a key made from the password.
#include <openssl/crypto.h>  // before wincrypt.h (X509_NAME)

#include <wincrypt.h>

#include <cstring>
#include <vector>

#include "certs/cert_info.h"
#include "certs/encoding.h"
#include "certs/mobile_cipher.h"
#include "certs/pfx_files.h"
#include "certs/pfx_store.h"
#include "certs/store_choice.h"
#include "frame/engines.h"
#include "services/digest.h"

namespace strabel {

namespace {

enum : int {
  kCertNotFound = 5010,
  kBadKeyUsage = 5017,
  kDigestError = 5035,
  kEncryptFailed = 5063,
  kOpenMyFailed = 5201,
  kNoPrivateKey = 5204,
  kNotExportable = 5205,
  kFileNotFound = 5902,
};

// Completes the 20-byte password digest to a 24-byte triple-DES key.
constexpr BYTE kKeyTail[4] = {0x4D, 0x4F, 0x42, 0x31};

struct Wiped {
  std::vector<BYTE> bytes;
  ~Wiped() { OPENSSL_cleanse(bytes.data(), bytes.size()); }
};

void putBe32(std::vector<BYTE>& out, DWORD v) {
  for (int s = 24; s >= 0; s -= 8) out.push_back(BYTE(v >> s));
}

// `n` little-endian bytes of the blob, most significant first.
void putReversed(std::vector<BYTE>& out, const BYTE* p, size_t n) {
  for (size_t i = n; i > 0; --i) out.push_back(p[i - 1]);
}

// The private key of a certificate as a PRIVATEKEYBLOB; 0 or the status
// (5204 no key, 5205 not exportable) with the platform error in `error`.
int privateBlobOf(PCCERT_CONTEXT c, Wiped& blob, DWORD& error) {
  HCRYPTPROV prov = 0;
  DWORD spec = 0;
  BOOL callerFree = FALSE;
  if (!CryptAcquireCertificatePrivateKey(c, CRYPT_ACQUIRE_CACHE_FLAG, nullptr, &prov, &spec, &callerFree)) {
    error = GetLastError();
    return kNoPrivateKey;
  }
  int status = 0;
  HCRYPTKEY key = 0;
  DWORD n = 0;
  if (!CryptGetUserKey(prov, spec, &key)) {
    error = GetLastError();
    status = kNoPrivateKey;
  } else if (!CryptExportKey(key, 0, PRIVATEKEYBLOB, 0, nullptr, &n)) {
    error = GetLastError();
    status = kNotExportable;
  } else {
    blob.bytes.assign(n, 0);
    if (!CryptExportKey(key, 0, PRIVATEKEYBLOB, 0, blob.bytes.data(), &n)) {
      error = GetLastError();
      status = kNotExportable;
    } else {
      blob.bytes.resize(n);
    }
  }
  if (key) CryptDestroyKey(key);
  if (callerFree) CryptReleaseContext(prov, 0);
  return status;
}

}  // namespace

std::string BuildMobileForm(CCapiCore& core, const _CERT_CONTEXT* cert, const BYTE* blob, DWORD blobLength,
                            const std::string& password) {
  core.fail(kEncryptFailed);
  if (!cert || !blob) return "";
  constexpr size_t kHeader = sizeof(BLOBHEADER) + sizeof(RSAPUBKEY);
  if (blobLength < kHeader) return "";
  BLOBHEADER header;
  RSAPUBKEY rsa;
  memcpy(&header, blob, sizeof header);
  memcpy(&rsa, blob + sizeof header, sizeof rsa);
  const DWORD bits = rsa.bitlen;
  if (header.bType != PRIVATEKEYBLOB || rsa.magic != 0x32415352 || bits == 0 || bits % 16 ||
      blobLength < kHeader + bits / 8 * 2 + bits / 16 * 5)
    return "";
  CertInfo info;
  if (!info.FromContext(cert)) return "";

  Wiped plain;
  auto& out = plain.bytes;
  out.insert(out.end(), {'K', 'A', 'V', 'O'});
  putBe32(out, bits);
  putBe32(out, rsa.pubexp);
  // modulus, p, q, d mod (p-1), d mod (q-1), q^-1 mod p, d: the blob's order
  const size_t full = bits / 8, half = bits / 16;
  const BYTE* at = blob + kHeader;
  for (size_t width : {full, half, half, half, half, half, full}) {
    putReversed(out, at, width);
    at += width;
  }
  const std::string cn = info.SubjectCN();
  putBe32(out, DWORD(cn.size()));
  out.insert(out.end(), cn.begin(), cn.end());
  // The serial as the certificate encodes it (the context keeps it reversed).
  const CRYPT_INTEGER_BLOB& serial = cert->pCertInfo->SerialNumber;
  putBe32(out, serial.cbData);
  putReversed(out, serial.pbData, serial.cbData);
  const std::vector<unsigned char> thumb = digest(DigestAlg::SHA1, cert->pbCertEncoded, cert->cbCertEncoded);
  out.insert(out.end(), thumb.begin(), thumb.end());
  const std::string notBefore = info.NotBefore(), notAfter = info.NotAfter();
  if (notBefore.size() != 14 || notAfter.size() != 14) return "";
  out.insert(out.end(), notBefore.begin(), notBefore.end());
  out.insert(out.end(), notAfter.begin(), notAfter.end());
  putBe32(out, cert->cbCertEncoded);
  out.insert(out.end(), cert->pbCertEncoded, cert->pbCertEncoded + cert->cbCertEncoded);

  auto sha1 = Digest::create(DigestAlg::SHA1);
  if (!sha1) {
    core.fail(kDigestError);
    return "";
  }
  BYTE key[24];
  sha1->update(password.data(), password.size());
  sha1->final(key);
  memcpy(key + 20, kKeyTail, sizeof kKeyTail);
  CSoftBlockCipher cipher;
  cipher.SetAlgorithm(CALG_3DES);
  const bool ok = cipher.SetKey(key, sizeof key) && cipher.Encrypt(out.data(), DWORD(out.size()));
  OPENSSL_cleanse(key, sizeof key);
  if (!ok) return "";
  ByteBuffer text;
  if (!Base64Encode(cipher.Output().data(), cipher.Output().length(), text) || text.length() == 0) return "";
  core.fail(0);
  return std::string(text.c_str());
}

}  // namespace strabel

using namespace strabel;

WResult CCapiCore::ExportMobileFromPfx(const std::u16string& strPfxPath, const std::u16string& strPfxName,
                                       const std::u16string& strPasswd, long dwFlags, long dwKeyUsage) {
  m_strExportedPfxFilePath.clear();
  m_strExportedPfxFileName.clear();
  if (!begin(true)) return std::u16string();
  if (hasNul(strPfxPath) || hasNul(strPfxName)) {
    fail(5005);
    return std::u16string();
  }
  std::string folder = ansiFromWide(strPfxPath), name = ansiFromWide(strPfxName);
  std::string password = ansiFromWide(strPasswd);
  struct Wipe {
    std::string& s;
    ~Wipe() { WipeText(s); }
  } wipe{password};
  if (folder.empty() || name.empty() || password.empty()) {
    if (int status = AskExportFile(*this, false, folder, name, password)) {
      fail(status);
      return std::u16string();
    }
  }
  const std::string path = PfxFilePath(folder, name);
  if (!FileExists(path)) {
    fail(kFileNotFound, ERROR_FILE_NOT_FOUND);
    return std::u16string();
  }
  (void)dwFlags;  // the keys are always loaded exportable here
  PfxStore pfx;
  if (int status = pfx.Open(path, password, kPfxExportable)) {
    fail(status, pfx.lastError);
    return std::u16string();
  }
  fail(kCertNotFound);
  for (PCCERT_CONTEXT c = nullptr; (c = CertEnumCertificatesInStore(pfx.store, c));) {
    HCRYPTPROV prov = 0;
    DWORD spec = 0;
    BOOL callerFree = FALSE;
    if (!CryptAcquireCertificatePrivateKey(c, 0, nullptr, &prov, &spec, &callerFree)) continue;
    if (callerFree) CryptReleaseContext(prov, 0);
    CertInfo cert;
    cert.FromContext(c);
    if (dwKeyUsage > 0 && (cert.KeyUsage() & dwKeyUsage) != dwKeyUsage) {
      fail(kBadKeyUsage);
      continue;
    }
    Wiped blob;
    DWORD error = 0;
    if (int status = privateBlobOf(c, blob, error)) {
      fail(status, error);
      continue;
    }
    const std::string text = BuildMobileForm(*this, c, blob.bytes.data(), DWORD(blob.bytes.size()), password);
    CertFreeCertificateContext(c);
    if (m_nErrorCode == 0) {
      m_strExportedPfxFilePath = folder;
      m_strExportedPfxFileName = name;
    }
    return wideFromAnsi(text);
  }
  return std::u16string();
}

WResult CCapiCore::ExportMobileFromIE(const std::u16string& strSubject, const std::u16string& strPasswd,
                                      long dwFlags, long dwKeyUsage) {
  m_strExportedPfxFilePath.clear();
  m_strExportedPfxFileName.clear();
  if (!begin(true)) return std::u16string();
  HCERTSTORE my = CertOpenSystemStoreA(0, "MY");
  if (!my) {
    fail(kOpenMyFailed, GetLastError());
    return std::u16string();
  }
  PCCERT_CONTEXT chosen = nullptr;
  const int status = ChooseStoreCertificate(*this, my, ansiFromWide(strSubject), dwFlags, dwKeyUsage,
                                            StoreChoice::SignerListMode, &chosen);
  CertCloseStore(my, 0);
  if (status) {
    fail(status);
    return std::u16string();
  }
  std::string password = ansiFromWide(strPasswd);
  struct Wipe {
    std::string& s;
    ~Wipe() { WipeText(s); }
  } wipe{password};
  std::string text;
  if (password.empty()) {
    if (int s = AskPfxPassword(*this, password)) {
      CertFreeCertificateContext(chosen);
      fail(s);
      return std::u16string();
    }
  }
  Wiped blob;
  DWORD error = 0;
  if (int s = privateBlobOf(chosen, blob, error)) {
    fail(s, error);
  } else {
    text = BuildMobileForm(*this, chosen, blob.bytes.data(), DWORD(blob.bytes.size()), password);
  }
  CertFreeCertificateContext(chosen);
  return wideFromAnsi(text);
}
