// OpenSSL first: its X509_NAME type and the CryptoAPI macro of that name clash.
#include <openssl/crypto.h>

#include "services/symmetric.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "frame/engines.h"

namespace strabel {

namespace {

enum : int {
  kWrongParameters = 5005,
  kAlgorithmError = 9001,
  kFormatError = 9002,
  kKeyLengthError = 9003,
  kEncryptError = 9004,
  kDecryptError = 9005,
};

constexpr long kAnsiText = 0x800;
constexpr DWORD kBlock = 8;

// iAlgorithm and the key length give the cipher; 0 and the status otherwise.
ALG_ID chooseAlgorithm(long iAlgorithm, int32_t keyLength, int& status) {
  status = 0;
  if (iAlgorithm == 0) {
    if (keyLength == 16) return CALG_3DES_112;
    if (keyLength == 24) return CALG_3DES;
    status = kKeyLengthError;
  } else if (iAlgorithm == 1) {
    if (keyLength == 8) return CALG_DES;
    status = kKeyLengthError;
  } else {
    status = kAlgorithmError;
  }
  return 0;
}

}  // namespace

CSymCipher::~CSymCipher() {
  Release();
  OPENSSL_cleanse(m_iv, sizeof m_iv);
}

bool CSymCipher::SetKey(const BYTE* key, DWORD length) {
  m_key.Clear();
  return m_key.Append(key, int32_t(length));
}

void CSymCipher::Release() {
  if (m_hKey) CryptDestroyKey(m_hKey);
  if (m_hProv) CryptReleaseContext(m_hProv, 0);
  m_hKey = 0;
  m_hProv = 0;
}

bool CSymCipher::Failed() {
  m_dwLastError = GetLastError();
  Release();
  return false;
}

bool CSymCipher::SetUp() {
  m_output.Clear();
  if (!CryptAcquireContextA(&m_hProv, nullptr, MS_ENHANCED_PROV_A, PROV_RSA_FULL, 0) &&
      !CryptAcquireContextA(&m_hProv, nullptr, MS_ENHANCED_PROV_A, PROV_RSA_FULL, CRYPT_NEWKEYSET))
    return Failed();
  // PLAINTEXTKEYBLOB: the blob header, the key length, the key bytes.
  const DWORD keyLength = DWORD(m_key.length());
  std::vector<BYTE> blob(sizeof(BLOBHEADER) + sizeof(DWORD) + keyLength);
  BLOBHEADER header{PLAINTEXTKEYBLOB, CUR_BLOB_VERSION, 0, m_algorithm};
  memcpy(blob.data(), &header, sizeof header);
  memcpy(blob.data() + sizeof header, &keyLength, sizeof keyLength);
  if (keyLength) memcpy(blob.data() + sizeof header + sizeof keyLength, m_key.data(), keyLength);
  const bool imported = CryptImportKey(m_hProv, blob.data(), DWORD(blob.size()), 0, 0, &m_hKey);
  OPENSSL_cleanse(blob.data(), blob.size());
  if (!imported) return Failed();
  const DWORD mode = m_mode;
  if (!CryptSetKeyParam(m_hKey, KP_IV, m_iv, 0) ||
      !CryptSetKeyParam(m_hKey, KP_MODE, reinterpret_cast<const BYTE*>(&mode), 0))
    return Failed();
  return true;
}

bool CSymCipher::Encrypt(const BYTE* data, DWORD length) {
  if (!SetUp()) return false;
  // Every whole block in one non-final call, in place in the output (the
  // chain carries over), then the 0 to 7 bytes left with the padding.
  const DWORD whole = length / kBlock * kBlock;
  if (whole) {
    const int32_t before = m_output.length();
    if (whole > DWORD(INT32_MAX) || !m_output.Append(data, int32_t(whole))) return Failed();
    DWORD n = whole;
    if (!CryptEncrypt(m_hKey, 0, FALSE, 0, m_output.data() + before, &n, whole)) return Failed();
  }
  BYTE block[2 * kBlock];
  DWORD n = length - whole;
  if (n) memcpy(block, data + whole, n);
  if (!CryptEncrypt(m_hKey, 0, TRUE, 0, block, &n, sizeof block) || !m_output.Append(block, int32_t(n))) {
    OPENSSL_cleanse(block, sizeof block);
    return Failed();
  }
  OPENSSL_cleanse(block, sizeof block);
  Release();
  return true;
}

bool CSymCipher::Decrypt(const BYTE* data, DWORD length) {
  if (!SetUp()) return false;
  // The last 1 to 8 bytes go in the final call, which checks and removes
  // the padding; everything before them in one non-final call.
  const DWORD last = length % kBlock ? length % kBlock : std::min<DWORD>(length, kBlock);
  const DWORD whole = length - last;
  if (whole) {
    const int32_t before = m_output.length();
    if (whole > DWORD(INT32_MAX) || !m_output.Append(data, int32_t(whole))) return Failed();
    DWORD n = whole;
    if (!CryptDecrypt(m_hKey, 0, FALSE, 0, m_output.data() + before, &n)) {
      m_output.Clear();
      return Failed();
    }
  }
  BYTE block[kBlock];
  DWORD n = last;
  if (n) memcpy(block, data + whole, n);
  const bool ok = CryptDecrypt(m_hKey, 0, TRUE, 0, block, &n);
  // Everything may have been padding: an empty plaintext is a success.
  if (!ok || (n && !m_output.Append(block, int32_t(n)))) {
    OPENSSL_cleanse(block, sizeof block);
    m_output.Clear();
    return Failed();
  }
  OPENSSL_cleanse(block, sizeof block);
  Release();
  return true;
}

// ---- CCapiCore ----

WResult CCapiCore::SymEncrypt(const std::u16string& plainText, const std::u16string& passwdHex, long iAlgorithm,
                              long dwFlags) {
  begin(false);
  if (plainText.empty()) {
    fail(kWrongParameters);
    return std::u16string();
  }
  if (m_bIEProtectedMode) {
    fail(kProtectedMode);
    return std::u16string();
  }
  ByteBuffer plain;
  if (dwFlags & kAnsiText) {
    std::string ansi = ansiFromWide(plainText);
    plain.Append(ansi.data(), int32_t(ansi.size()));
    OPENSSL_cleanse(ansi.data(), ansi.size());
  } else {
    std::vector<BYTE> bytes;
    bytes.reserve(plainText.size() * 2);
    for (char16_t c : plainText) {
      bytes.push_back(BYTE(c & 0xFF));
      bytes.push_back(BYTE(c >> 8));
    }
    plain.Append(bytes.data(), int32_t(bytes.size()));
    OPENSSL_cleanse(bytes.data(), bytes.size());
  }
  ByteBuffer key;
  if (!HexDecode(ansiFromWide(passwdHex), key)) {
    fail(kWrongParameters);
    return std::u16string();
  }
  int status = 0;
  ALG_ID alg = chooseAlgorithm(iAlgorithm, key.length(), status);
  if (!alg) {
    fail(status);
    return std::u16string();
  }
  CSymCipher cipher;
  cipher.SetAlgorithm(alg);
  cipher.SetMode(CRYPT_MODE_CBC);
  cipher.SetKey(key.data(), DWORD(key.length()));
  if (plain.empty() || !cipher.Encrypt(plain.data(), DWORD(plain.length()))) {
    fail(kEncryptError, cipher.LastError());
    return std::u16string();
  }
  ByteBuffer text;
  if (!Base64Encode(cipher.Output().data(), cipher.Output().length(), text)) {
    fail(kEncryptError);
    return std::u16string();
  }
  return wideFromAnsi(text.str());
}

WResult CCapiCore::SymDecrypt(const std::u16string& cipherText, const std::u16string& passwdHex, long iAlgorithm,
                              long dwFlags) {
  begin(false);
  if (cipherText.empty()) {
    fail(kWrongParameters);
    return std::u16string();
  }
  ByteBuffer data;
  if (!Base64Decode(ansiFromWide(cipherText), data)) {
    fail(kFormatError);
    return std::u16string();
  }
  ByteBuffer key;
  if (!HexDecode(ansiFromWide(passwdHex), key)) {
    fail(kWrongParameters);
    return std::u16string();
  }
  if (m_bIEProtectedMode) {
    fail(kProtectedMode);
    return std::u16string();
  }
  int status = 0;
  ALG_ID alg = chooseAlgorithm(iAlgorithm, key.length(), status);
  if (!alg) {
    fail(status);
    return std::u16string();
  }
  CSymCipher cipher;
  cipher.SetAlgorithm(alg);
  cipher.SetMode(CRYPT_MODE_CBC);
  cipher.SetKey(key.data(), DWORD(key.length()));
  if (!cipher.Decrypt(data.data(), DWORD(data.length()))) {
    fail(kDecryptError, cipher.LastError());
    return std::u16string();
  }
  const ByteBuffer& plain = cipher.Output();
  if (dwFlags & kAnsiText) return wideFromAnsi(std::string(plain.c_str()));
  std::u16string wide;
  for (int32_t i = 0; i + 1 < plain.length(); i += 2) {
    char16_t c = char16_t(plain.data()[i] | (plain.data()[i + 1] << 8));
    if (!c) break;
    wide += c;
  }
  return wide;
}

}  // namespace strabel
