// The component's own DES and triple DES (encrypt-decrypt-encrypt), CBC
// with a zero IV and PKCS #5 padding, in software: the mobile form is
// encrypted here without a provider. Same algorithm identifiers as the
// provider-backed cipher of the symmetric operations.
#pragma once

#include <wincrypt.h>
#include <windows.h>

#include <cstdint>

#include "certs/encoding.h"

namespace strabel {

class VELMORA_EXPORT CSoftBlockCipher {
 public:
  CSoftBlockCipher() = default;
  ~CSoftBlockCipher();
  CSoftBlockCipher(const CSoftBlockCipher&) = delete;
  CSoftBlockCipher& operator=(const CSoftBlockCipher&) = delete;

  // CALG_DES (8-byte key), CALG_3DES_112 (16) or CALG_3DES (24).
  void SetAlgorithm(ALG_ID alg) { m_algorithm = alg; }
  // False when the length does not fit the algorithm.
  bool SetKey(const BYTE* key, DWORD length);
  // Fills Output(); false without a usable key.
  bool Encrypt(const BYTE* data, DWORD length);
  const ByteBuffer& Output() const { return m_output; }

 private:
  void Wipe();
  ALG_ID m_algorithm = CALG_DES;
  uint64_t m_subkeys[3][16] = {};
  int m_keys = 0;
  ByteBuffer m_output;
};

}  // namespace strabel
