// DES and triple DES in CBC mode through the platform's CryptoAPI provider:
// one cipher object per call, zero IV, PKCS #5 padding.
#pragma once

#include <wincrypt.h>
#include <windows.h>

#include "certs/encoding.h"

namespace strabel {

class VELMORA_EXPORT CSymCipher {
 public:
  CSymCipher() = default;
  ~CSymCipher();
  CSymCipher(const CSymCipher&) = delete;
  CSymCipher& operator=(const CSymCipher&) = delete;

  // CALG_DES (the initial value), CALG_3DES or CALG_3DES_112.
  void SetAlgorithm(ALG_ID alg) { m_algorithm = alg; }
  // KP_MODE value: 1 to 4 are kept, anything else becomes CBC.
  void SetMode(DWORD mode) { m_mode = (mode >= 1 && mode <= 4) ? mode : CRYPT_MODE_CBC; }
  bool SetKey(const BYTE* key, DWORD length);

  // Both fill Output() and return false with LastError() set on failure.
  bool Encrypt(const BYTE* data, DWORD length);
  bool Decrypt(const BYTE* data, DWORD length);

  const ByteBuffer& Output() const { return m_output; }
  DWORD LastError() const { return m_dwLastError; }

 private:
  bool SetUp();
  void Release();
  bool Failed();

  ByteBuffer m_output;
  DWORD m_mode = CRYPT_MODE_CBC;
  ALG_ID m_algorithm = CALG_DES;
  DWORD m_dwLastError = 0;
  HCRYPTPROV m_hProv = 0;
  HCRYPTKEY m_hKey = 0;
  BYTE m_iv[8] = {};
  ByteBuffer m_key;
};

}  // namespace strabel
