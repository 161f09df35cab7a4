// CNG key storage (ncrypt): the functions the components call, with the
// SDK's names, structures and SECURITY_STATUS codes. The key storage
// provider is its own library (ncrypt.so), loaded at run time by its
// callers; the certificate functions of wincrypt.h accept its key handles.
#pragma once

#include <windef.h>
#include <winerror.h>

typedef LONG SECURITY_STATUS;
typedef ULONG_PTR NCRYPT_HANDLE;
typedef ULONG_PTR NCRYPT_PROV_HANDLE;
typedef ULONG_PTR NCRYPT_KEY_HANDLE;

#define MS_KEY_STORAGE_PROVIDER u"Microsoft Software Key Storage Provider"

#define NCRYPT_ECDSA_P256_ALGORITHM u"ECDSA_P256"
#define NCRYPT_ECDSA_P384_ALGORITHM u"ECDSA_P384"
#define NCRYPT_ECDSA_ALGORITHM_GROUP u"ECDSA"

// Properties
#define NCRYPT_NAME_PROPERTY u"Name"
#define NCRYPT_ALGORITHM_PROPERTY u"Algorithm Name"
#define NCRYPT_ALGORITHM_GROUP_PROPERTY u"Algorithm Group"
#define NCRYPT_LENGTH_PROPERTY u"Length"
#define NCRYPT_EXPORT_POLICY_PROPERTY u"Export Policy"
#define NCRYPT_UI_POLICY_PROPERTY u"UI Policy"

#define NCRYPT_ALLOW_EXPORT_FLAG 0x00000001
#define NCRYPT_ALLOW_PLAINTEXT_EXPORT_FLAG 0x00000002

#define NCRYPT_UI_PROTECT_KEY_FLAG 0x00000001
#define NCRYPT_UI_FORCE_HIGH_PROTECTION_FLAG 0x00000002

typedef struct __NCRYPT_UI_POLICY {
  DWORD dwVersion;
  DWORD dwFlags;
  LPCWSTR pszCreationTitle;
  LPCWSTR pszFriendlyName;
  LPCWSTR pszDescription;
} NCRYPT_UI_POLICY;

// Flags
#define NCRYPT_SILENT_FLAG 0x00000040
#define NCRYPT_MACHINE_KEY_FLAG 0x00000020
#define NCRYPT_OVERWRITE_KEY_FLAG 0x00000080
#define NCRYPT_PERSIST_FLAG 0x80000000
#define NCRYPT_PERSIST_ONLY_FLAG 0x40000000

// Key blobs
#define BCRYPT_PUBLIC_KEY_BLOB u"PUBLICBLOB"
#define BCRYPT_PRIVATE_KEY_BLOB u"PRIVATEBLOB"
#define BCRYPT_ECCPUBLIC_BLOB u"ECCPUBLICBLOB"
#define BCRYPT_ECCPRIVATE_BLOB u"ECCPRIVATEBLOB"

#define BCRYPT_ECDSA_PUBLIC_P256_MAGIC 0x31534345   // "ECS1"
#define BCRYPT_ECDSA_PRIVATE_P256_MAGIC 0x32534345  // "ECS2"
#define BCRYPT_ECDSA_PUBLIC_P384_MAGIC 0x33534345   // "ECS3"
#define BCRYPT_ECDSA_PRIVATE_P384_MAGIC 0x34534345  // "ECS4"

// The header of an elliptic-curve key blob; X and Y (and for a private
// blob d) follow, each cbKey bytes, big-endian.
typedef struct _BCRYPT_ECCKEY_BLOB {
  ULONG dwMagic;
  ULONG cbKey;
} BCRYPT_ECCKEY_BLOB, *PBCRYPT_ECCKEY_BLOB;

typedef struct NCryptKeyName {
  LPWSTR pszName;
  LPWSTR pszAlgid;
  DWORD dwLegacyKeySpec;
  DWORD dwFlags;
} NCryptKeyName;

#define NCRYPTAPI extern "C" __attribute__((visibility("default")))

NCRYPTAPI SECURITY_STATUS NCryptOpenStorageProvider(NCRYPT_PROV_HANDLE* phProvider, LPCWSTR pszProviderName,
                                                    DWORD dwFlags);
NCRYPTAPI SECURITY_STATUS NCryptOpenKey(NCRYPT_PROV_HANDLE hProvider, NCRYPT_KEY_HANDLE* phKey, LPCWSTR pszKeyName,
                                        DWORD dwLegacyKeySpec, DWORD dwFlags);
NCRYPTAPI SECURITY_STATUS NCryptCreatePersistedKey(NCRYPT_PROV_HANDLE hProvider, NCRYPT_KEY_HANDLE* phKey,
                                                   LPCWSTR pszAlgId, LPCWSTR pszKeyName, DWORD dwLegacyKeySpec,
                                                   DWORD dwFlags);
NCRYPTAPI SECURITY_STATUS NCryptSetProperty(NCRYPT_HANDLE hObject, LPCWSTR pszProperty, PBYTE pbInput, DWORD cbInput,
                                            DWORD dwFlags);
NCRYPTAPI SECURITY_STATUS NCryptGetProperty(NCRYPT_HANDLE hObject, LPCWSTR pszProperty, PBYTE pbOutput,
                                            DWORD cbOutput, DWORD* pcbResult, DWORD dwFlags);
NCRYPTAPI SECURITY_STATUS NCryptFinalizeKey(NCRYPT_KEY_HANDLE hKey, DWORD dwFlags);
NCRYPTAPI SECURITY_STATUS NCryptExportKey(NCRYPT_KEY_HANDLE hKey, NCRYPT_KEY_HANDLE hExportKey, LPCWSTR pszBlobType,
                                          void* pParameterList, PBYTE pbOutput, DWORD cbOutput, DWORD* pcbResult,
                                          DWORD dwFlags);
NCRYPTAPI SECURITY_STATUS NCryptSignHash(NCRYPT_KEY_HANDLE hKey, void* pPaddingInfo, PBYTE pbHashValue,
                                         DWORD cbHashValue, PBYTE pbSignature, DWORD cbSignature, DWORD* pcbResult,
                                         DWORD dwFlags);
NCRYPTAPI SECURITY_STATUS NCryptDeleteKey(NCRYPT_KEY_HANDLE hKey, DWORD dwFlags);
NCRYPTAPI SECURITY_STATUS NCryptFreeObject(NCRYPT_HANDLE hObject);
NCRYPTAPI SECURITY_STATUS NCryptEnumKeys(NCRYPT_PROV_HANDLE hProvider, LPCWSTR pszScope, NCryptKeyName** ppKeyName,
                                         PVOID* ppEnumState, DWORD dwFlags);
NCRYPTAPI SECURITY_STATUS NCryptFreeBuffer(PVOID pvInput);
NCRYPTAPI BOOL NCryptIsKeyHandle(NCRYPT_KEY_HANDLE hKey);
