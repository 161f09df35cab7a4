// RSA keys in a CryptoAPI provider and their PKCS #10 requests, one key or a
// signing/encryption pair, each recorded in the key registry.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace strabel {

class VELMORA_EXPORT RsaRequestGenerator {
 public:
  RsaRequestGenerator();

  int SetProviderName(const std::string& name);
  // keyBits and genKeyFlags as the page gives them; false when they are
  // refused (status 5301).
  bool Normalise(long keyBits, long genKeyFlags);
  // Both return the status; the requests land in m_strCsrForSign and
  // m_strCsrForEncrypt.
  int CreateOne(const std::u16string& commonName);
  int CreatePair(const std::u16string& commonName);

  int m_nErrorCode = 0;
  DWORD m_dwCapiErrorCode = 0;
  int m_nKeyBits = 2048;
  std::string m_strProviderName = "Microsoft Enhanced Cryptographic Provider v1.0";
  int m_nProviderType = 1;
  int m_nKeySpec = 1;
  int m_nGenKeyFlags = 1;
  std::vector<std::string> m_installedProviders;
  std::string m_strCsrForSign;
  std::string m_strCsrForEncrypt;

 private:
  int Fail(int status, DWORD error = 0);
  // One key in a fresh container, its request and its registry entry.
  bool MakeKey(const std::u16string& commonName, DWORD keySpec, const std::string& dateTime, std::string& csr);
  bool BuildRequest(ULONG_PTR prov, DWORD keySpec, const std::u16string& commonName, std::string& csr);
};

}  // namespace strabel
