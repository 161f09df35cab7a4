// Elliptic-curve keys in the CNG key storage provider and their PKCS #10
// requests, each recorded in the key registry.
#pragma once

#include <windows.h>

#include <string>

namespace strabel {

class VELMORA_EXPORT EccRequestGenerator {
 public:
  EccRequestGenerator() = default;
  ~EccRequestGenerator();
  EccRequestGenerator(const EccRequestGenerator&) = delete;
  EccRequestGenerator& operator=(const EccRequestGenerator&) = delete;

  // A key in a fresh container and its request (m_strCsr); the status.
  int Create(const std::u16string& commonName);
  // The same under a given container name: a key of that name is replaced.
  int CreateNamed(const std::u16string& commonName, const std::string& container);

  int m_nErrorCode = 0;
  DWORD m_dwCapiErrorCode = 0;
  int m_nKeyFlags = 1;
  // The user's "MY" store, opened by the first installation of a key
  // storage provider's certificate and kept until the generator goes.
  HANDLE myStore = nullptr;
  // The request of the last generation: Base64 with CR LF line breaks.
  std::string m_strCsr;

 private:
  int Fail(int status, DWORD error = 0);
};

}  // namespace strabel
