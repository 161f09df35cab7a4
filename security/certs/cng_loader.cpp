#include "certs/cng_loader.h"

#include <sys/stat.h>

namespace strabel {

CngLoader::CngLoader() {
  // The system folder plays the part of %WINDIR%\System32.
  char folder[4096];
  const UINT n = GetSystemDirectoryA(folder, sizeof folder);
  if (n == 0 || n >= sizeof folder) return;
  std::string path = std::string(folder, n);
  if (path.back() != '/') path += '/';
  path += "ncrypt.so";
  struct stat st{};
  if (stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) m_strPath = path;
}

CngLoader::~CngLoader() {
  if (m_hModule) FreeLibrary(m_hModule);
}

bool CngLoader::Load() {
  if (m_hModule) return true;
  if (m_strPath.empty()) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return false;
  }
  m_hModule = LoadLibraryA(m_strPath.c_str());
  return m_hModule != nullptr;
}

FARPROC CngLoader::Resolve(const char* name) { return Load() ? GetProcAddress(m_hModule, name) : nullptr; }

namespace {
// The function of that name as the type of ours, or null.
template <class Fn>
Fn as(FARPROC p) {
  return reinterpret_cast<Fn>(reinterpret_cast<void*>(p));
}
}  // namespace

#define CNG_CALL(name, ...)                                           \
  auto fn = as<decltype(&::name)>(Resolve(#name));                    \
  return fn ? fn(__VA_ARGS__) : SECURITY_STATUS(-1)

SECURITY_STATUS CngLoader::OpenStorageProvider(NCRYPT_PROV_HANDLE* phProvider, LPCWSTR pszProviderName,
                                               DWORD dwFlags) {
  CNG_CALL(NCryptOpenStorageProvider, phProvider, pszProviderName, dwFlags);
}
SECURITY_STATUS CngLoader::OpenKey(NCRYPT_PROV_HANDLE hProvider, NCRYPT_KEY_HANDLE* phKey, LPCWSTR pszKeyName,
                                   DWORD dwLegacyKeySpec, DWORD dwFlags) {
  CNG_CALL(NCryptOpenKey, hProvider, phKey, pszKeyName, dwLegacyKeySpec, dwFlags);
}
SECURITY_STATUS CngLoader::SignHash(NCRYPT_KEY_HANDLE hKey, void* pPaddingInfo, PBYTE pbHashValue, DWORD cbHashValue,
                                    PBYTE pbSignature, DWORD cbSignature, DWORD* pcbResult, DWORD dwFlags) {
  CNG_CALL(NCryptSignHash, hKey, pPaddingInfo, pbHashValue, cbHashValue, pbSignature, cbSignature, pcbResult,
           dwFlags);
}
SECURITY_STATUS CngLoader::CreatePersistedKey(NCRYPT_PROV_HANDLE hProvider, NCRYPT_KEY_HANDLE* phKey,
                                              LPCWSTR pszAlgId, LPCWSTR pszKeyName, DWORD dwLegacyKeySpec,
                                              DWORD dwFlags) {
  CNG_CALL(NCryptCreatePersistedKey, hProvider, phKey, pszAlgId, pszKeyName, dwLegacyKeySpec, dwFlags);
}
SECURITY_STATUS CngLoader::SetProperty(NCRYPT_HANDLE hObject, LPCWSTR pszProperty, PBYTE pbInput, DWORD cbInput,
                                       DWORD dwFlags) {
  CNG_CALL(NCryptSetProperty, hObject, pszProperty, pbInput, cbInput, dwFlags);
}
SECURITY_STATUS CngLoader::FinalizeKey(NCRYPT_KEY_HANDLE hKey, DWORD dwFlags) {
  CNG_CALL(NCryptFinalizeKey, hKey, dwFlags);
}
SECURITY_STATUS CngLoader::ExportKey(NCRYPT_KEY_HANDLE hKey, NCRYPT_KEY_HANDLE hExportKey, LPCWSTR pszBlobType,
                                     void* pParameterList, PBYTE pbOutput, DWORD cbOutput, DWORD* pcbResult,
                                     DWORD dwFlags) {
  CNG_CALL(NCryptExportKey, hKey, hExportKey, pszBlobType, pParameterList, pbOutput, cbOutput, pcbResult, dwFlags);
}
SECURITY_STATUS CngLoader::DeleteKey(NCRYPT_KEY_HANDLE hKey, DWORD dwFlags) { CNG_CALL(NCryptDeleteKey, hKey, dwFlags); }
SECURITY_STATUS CngLoader::FreeObject(NCRYPT_HANDLE hObject) { CNG_CALL(NCryptFreeObject, hObject); }

}  // namespace strabel
