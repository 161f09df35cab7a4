// Envelope encryption: a text encrypted for recipient certificates as a
// PKCS #7 EnvelopedData, and decrypted with a key of the user's "MY" store
// or, when that store has none for the message, of a PFX file the user picks.
#include <openssl/crypto.h>  // before wincrypt.h (X509_NAME)

#include <wincrypt.h>

#include <cstring>
#include <string>
#include <vector>

#include "certs/encoding.h"
#include "certs/pfx_store.h"
#include "frame/engines.h"

namespace strabel {

namespace {

enum : int {
  kWrongParameters = 5005,
  kPfxLoadFailed = 5010,
  kUnusableKey = 5017,
  kBadRecipient = 5040,
  kBadEnvelope = 5042,
  kCipherFormat = 9002,
  kEncryptError = 9004,
  kDecryptError = 9005,
  kNoDecryptCert = 9006,
};

constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
constexpr long kAnsiText = 0x800;

const char* contentAlgorithm(long iAlgorithm) {
  if (iAlgorithm == 1) return szOID_OIWSEC_desCBC;
  if (iAlgorithm == 2) return szOID_RSA_RC4;
  return szOID_RSA_DES_EDE3_CBC;
}

// The plaintext's bytes: ANSI with flag 0x800, else UTF-16LE code units.
void plainBytes(const std::u16string& text, long dwFlags, ByteBuffer& out) {
  if (dwFlags & kAnsiText) {
    std::string ansi = ansiFromWide(text);
    out.Append(ansi.data(), int32_t(ansi.size()));
    OPENSSL_cleanse(ansi.data(), ansi.size());
    return;
  }
  std::vector<BYTE> bytes;
  bytes.reserve(text.size() * 2);
  for (char16_t c : text) {
    bytes.push_back(BYTE(c & 0xFF));
    bytes.push_back(BYTE(c >> 8));
  }
  out.Append(bytes.data(), int32_t(bytes.size()));
  OPENSSL_cleanse(bytes.data(), bytes.size());
}

// Removes the armour lines a pasted certificate or bundle carries, and
// every line break, when the text starts with armour.
std::string withoutArmour(std::string text) {
  if (text.compare(0, 5, "-----") != 0) return text;
  for (const char* line : {"-----BEGIN CERTIFICATE-----", "-----END CERTIFICATE-----", "-----BEGIN PKCS #7-----",
                           "-----END PKCS #7-----"})
    for (size_t at; (at = text.find(line)) != std::string::npos;) text.erase(at, strlen(line));
  std::string out;
  for (char c : text)
    if (c != '\r' && c != '\n') out += c;
  return out;
}

// Code-page conversions with a shortcut for plain ASCII, which every code
// page maps to itself: messages are Base64 and plaintexts often ASCII, and
// both may be megabytes long.
std::string narrowed(const std::u16string& wide) {
  std::string out(wide.size(), '\0');
  for (size_t i = 0; i < wide.size(); ++i) {
    if (wide[i] >= 0x80) {
      OPENSSL_cleanse(out.data(), out.size());
      return ansiFromWide(wide);
    }
    out[i] = char(wide[i]);
  }
  return out;
}

std::u16string widened(const char* ansi, size_t n) {
  std::u16string out(n, u'\0');
  for (size_t i = 0; i < n; ++i) {
    if (static_cast<unsigned char>(ansi[i]) >= 0x80) {
      OPENSSL_cleanse(out.data(), out.size() * sizeof(char16_t));
      std::string copy(ansi, n);
      out = wideFromAnsi(copy);
      OPENSSL_cleanse(copy.data(), copy.size());
      return out;
    }
    out[i] = char16_t(ansi[i]);
  }
  return out;
}

std::string base64Of(const BYTE* p, DWORD n) {
  ByteBuffer b;
  if (!Base64Encode(p, int32_t(n), b)) return std::string();
  return b.str();
}

// The recipient list from the cleaned text: the certificate itself, or the
// certificates of a PKCS #7 bundle. 0 or 5040 (with the platform error).
int recipientTexts(CCapiCore& core, const std::string& text, const ByteBuffer& der, std::vector<std::string>& out) {
  HCRYPTMSG msg = CryptMsgOpenToDecode(kEncoding, 0, 0, 0, nullptr, nullptr);
  if (!msg || !CryptMsgUpdate(msg, der.data(), DWORD(der.length()), TRUE)) {
    if (msg) CryptMsgClose(msg);
    PCCERT_CONTEXT cert = CertCreateCertificateContext(kEncoding, der.data(), DWORD(der.length()));
    if (!cert) return core.fail(kBadRecipient, GetLastError());
    CertFreeCertificateContext(cert);
    out.push_back(text);
    return 0;
  }
  DWORD count = 0, n = sizeof count;
  if (!CryptMsgGetParam(msg, CMSG_CERT_COUNT_PARAM, 0, &count, &n)) {
    const DWORD error = GetLastError();
    CryptMsgClose(msg);
    return core.fail(kBadRecipient, error);
  }
  for (DWORD i = 0; i < count; ++i) {
    n = 0;
    if (!CryptMsgGetParam(msg, CMSG_CERT_PARAM, i, nullptr, &n) || n == 0) continue;
    std::vector<BYTE> cert(n);
    if (!CryptMsgGetParam(msg, CMSG_CERT_PARAM, i, cert.data(), &n)) continue;
    PCCERT_CONTEXT ctx = CertCreateCertificateContext(kEncoding, cert.data(), n);
    if (!ctx) continue;
    CertFreeCertificateContext(ctx);
    out.push_back(base64Of(cert.data(), n));
  }
  CryptMsgClose(msg);
  if (out.empty()) return core.fail(kBadRecipient);
  return 0;
}

// Certificate contexts that free themselves.
struct Recipients {
  ~Recipients() {
    for (PCCERT_CONTEXT c : certs) CertFreeCertificateContext(c);
  }
  std::vector<PCCERT_CONTEXT> certs;
};

void buildContexts(const std::vector<std::string>& texts, Recipients& r) {
  for (const auto& text : texts) {
    ByteBuffer der;
    if (!Base64Decode(text, der) || der.empty()) continue;
    bool seen = false;
    for (PCCERT_CONTEXT c : r.certs)
      seen = seen || (c->cbCertEncoded == DWORD(der.length()) && memcmp(c->pbCertEncoded, der.data(), c->cbCertEncoded) == 0);
    if (seen) continue;
    if (PCCERT_CONTEXT c = CertCreateCertificateContext(kEncoding, der.data(), DWORD(der.length()))) r.certs.push_back(c);
  }
}

int statusOfDecryptError(DWORD error) {
  switch (error) {
    case DWORD(NTE_BAD_KEY): return kUnusableKey;
    case DWORD(NTE_BAD_ALGID):
    case DWORD(CRYPT_E_UNEXPECTED_MSG_TYPE): return kBadEnvelope;
    case DWORD(CRYPT_E_NO_DECRYPT_CERT): return kNoDecryptCert;
    default: return kDecryptError;
  }
}

// Decrypts with the certificates of `store`; 0 and the plaintext in `plain`
// (followed by 8 zero bytes), or the status. No platform code is kept.
int decryptWith(HCERTSTORE store, const ByteBuffer& message, ByteBuffer& plain) {
  CRYPT_DECRYPT_MESSAGE_PARA para{};
  para.cbSize = sizeof para;
  para.dwMsgAndCertEncodingType = kEncoding;
  para.cCertStore = 1;
  para.rghCertStore = &store;
  DWORD n = 0;
  if (!CryptDecryptMessage(&para, message.data(), DWORD(message.length()), nullptr, &n, nullptr))
    return statusOfDecryptError(GetLastError());
  if (n > DWORD(INT32_MAX - 16) || !plain.Allocate(int32_t(n) + 8)) return kDecryptError;
  if (!CryptDecryptMessage(&para, message.data(), DWORD(message.length()), plain.data(), &n, nullptr)) {
    plain.Clear();
    return statusOfDecryptError(GetLastError());
  }
  // Past the plaintext the buffer stays zero: the text readers stop there.
  OPENSSL_cleanse(plain.data() + n, size_t(plain.length()) - n);
  return 0;
}

}  // namespace

WResult CCapiCore::CertEncryptPkcs7(const std::u16string& strPlainText, const std::u16string& strCertB64,
                                    long iAlgorithm, long dwFlags) {
  begin(false);
  if (strPlainText.empty()) {
    fail(kWrongParameters);
    return std::u16string();
  }
  if (m_bIEProtectedMode) {
    fail(kProtectedMode);
    return std::u16string();
  }
  ByteBuffer plain;
  plainBytes(strPlainText, dwFlags, plain);
  if (strCertB64.empty()) {
    fail(kWrongParameters);
    return std::u16string();
  }
  const std::string text = withoutArmour(ansiFromWide(strCertB64));
  ByteBuffer der;
  if (text.empty() || text[0] != 'M' || !Base64Decode(text, der) || der.empty()) {
    fail(kBadRecipient);
    return std::u16string();
  }
  std::vector<std::string> texts;
  if (recipientTexts(*this, text, der, texts)) return std::u16string();
  Recipients recipients;
  buildContexts(texts, recipients);
  if (recipients.certs.empty()) {
    fail(kBadRecipient);
    return std::u16string();
  }
  CRYPT_ENCRYPT_MESSAGE_PARA para{};
  para.cbSize = sizeof para;
  para.dwMsgEncodingType = kEncoding;
  para.ContentEncryptionAlgorithm.pszObjId = const_cast<LPSTR>(contentAlgorithm(iAlgorithm));
  DWORD n = 0;
  ByteBuffer message;
  const bool sized = CryptEncryptMessage(&para, DWORD(recipients.certs.size()), recipients.certs.data(), plain.data(),
                                         DWORD(plain.length()), nullptr, &n);
  if (!sized || n == 0 || n > DWORD(INT32_MAX - 2) || !message.Allocate(int32_t(n)) ||
      !CryptEncryptMessage(&para, DWORD(recipients.certs.size()), recipients.certs.data(), plain.data(),
                           DWORD(plain.length()), message.data(), &n)) {
    fail(kEncryptError);
    return std::u16string();
  }
  ByteBuffer out;
  if (!Base64Encode(message.data(), int32_t(n), out)) {
    fail(kEncryptError);
    return std::u16string();
  }
  return wideFromAnsi(out.str());
}

WResult CCapiCore::CertDecryptPkcs7(const std::u16string& strCipher, long dwFlags) {
  begin(false);
  if (strCipher.empty()) {
    fail(kWrongParameters);
    return std::u16string();
  }
  ByteBuffer message;
  if (!Base64Decode(narrowed(strCipher), message) || message.empty()) {
    fail(kCipherFormat);
    return std::u16string();
  }
  if (m_bIEProtectedMode) {
    fail(kProtectedMode);
    return std::u16string();
  }
  ByteBuffer plain;
  HCERTSTORE my = CertOpenSystemStoreA(0, "MY");
  int status = my ? decryptWith(my, message, plain) : kNoDecryptCert;
  if (my) CertCloseStore(my, 0);
  if (status == kNoDecryptCert) {
    std::string folder, name, password;
    status = AskPfxFile(*this, folder, name, password);
    if (status == 0) {
      PfxStore pfx;
      if (pfx.Open(folder + "/" + name, password, kPfxExportable) != 0) {
        // Nothing to decrypt with: the loader's failure is the answer.
        status = kPfxLoadFailed;
        m_dwCapiErrorCode = pfx.lastError;
      } else {
        status = decryptWith(pfx.store, message, plain);
      }
    }
    WipeText(password);
  }
  if (status) {
    fail(status);
    return std::u16string();
  }
  if (dwFlags & kAnsiText) return widened(plain.c_str(), strlen(plain.c_str()));
  size_t units = 0;
  while (2 * units + 1 < size_t(plain.length()) && (plain.data()[2 * units] | plain.data()[2 * units + 1])) ++units;
  std::u16string wide(units, u'\0');
  bool ascii = true;
  for (size_t i = 0; i < units; ++i) {
    wide[i] = char16_t(plain.data()[2 * i] | (plain.data()[2 * i + 1] << 8));
    ascii = ascii && wide[i] < 0x80;
  }
  if (ascii) return wide;
  // Through the ANSI code page, as the text leaves the component: what it
  // lacks becomes its replacement character.
  std::string ansi = ansiFromWide(wide);
  OPENSSL_cleanse(wide.data(), wide.size() * sizeof(char16_t));
  std::u16string result = wideFromAnsi(ansi);
  OPENSSL_cleanse(ansi.data(), ansi.size());
  return result;
}

}  // namespace strabel
