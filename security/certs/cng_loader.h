// Every CNG call of the component goes through a loader: it finds the key
// storage library in the system folder, loads it on first use and looks each
// function up by name when it is called. A wrapper whose library or function
// is missing returns -1 without calling. The library is freed with the loader.
#pragma once

#include <ncrypt.h>
#include <windows.h>

#include <string>

namespace strabel {

class VELMORA_EXPORT CngLoader {
 public:
  CngLoader();
  ~CngLoader();
  CngLoader(const CngLoader&) = delete;
  CngLoader& operator=(const CngLoader&) = delete;

  // "<system folder>/ncrypt.so" when that file exists, else empty.
  const std::string& Path() const { return m_strPath; }
  // Loads the library now; false (with the last error set) when it cannot.
  bool Load();

  SECURITY_STATUS OpenStorageProvider(NCRYPT_PROV_HANDLE* phProvider, LPCWSTR pszProviderName, DWORD dwFlags);
  SECURITY_STATUS OpenKey(NCRYPT_PROV_HANDLE hProvider, NCRYPT_KEY_HANDLE* phKey, LPCWSTR pszKeyName,
                          DWORD dwLegacyKeySpec, DWORD dwFlags);
  SECURITY_STATUS SignHash(NCRYPT_KEY_HANDLE hKey, void* pPaddingInfo, PBYTE pbHashValue, DWORD cbHashValue,
                           PBYTE pbSignature, DWORD cbSignature, DWORD* pcbResult, DWORD dwFlags);
  SECURITY_STATUS CreatePersistedKey(NCRYPT_PROV_HANDLE hProvider, NCRYPT_KEY_HANDLE* phKey, LPCWSTR pszAlgId,
                                     LPCWSTR pszKeyName, DWORD dwLegacyKeySpec, DWORD dwFlags);
  SECURITY_STATUS SetProperty(NCRYPT_HANDLE hObject, LPCWSTR pszProperty, PBYTE pbInput, DWORD cbInput,
                              DWORD dwFlags);
  SECURITY_STATUS FinalizeKey(NCRYPT_KEY_HANDLE hKey, DWORD dwFlags);
  SECURITY_STATUS ExportKey(NCRYPT_KEY_HANDLE hKey, NCRYPT_KEY_HANDLE hExportKey, LPCWSTR pszBlobType,
                            void* pParameterList, PBYTE pbOutput, DWORD cbOutput, DWORD* pcbResult, DWORD dwFlags);
  SECURITY_STATUS DeleteKey(NCRYPT_KEY_HANDLE hKey, DWORD dwFlags);
  SECURITY_STATUS FreeObject(NCRYPT_HANDLE hObject);

 private:
  FARPROC Resolve(const char* name);

  std::string m_strPath;
  HMODULE m_hModule = nullptr;
};

}  // namespace strabel
