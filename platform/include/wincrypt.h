// CryptoAPI: providers, key containers, keys, ciphers and hashes, with the
// SDK's names, structure layouts and error codes. Every function returns
// FALSE (or null) on failure and leaves the reason in GetLastError().
#pragma once

#include <windef.h>
#include <winerror.h>

typedef ULONG_PTR HCRYPTPROV;
typedef ULONG_PTR HCRYPTKEY;
typedef ULONG_PTR HCRYPTHASH;
// The certificate functions take a CryptoAPI provider or a CNG key handle.
typedef ULONG_PTR HCRYPTPROV_OR_NCRYPT_KEY_HANDLE;
#define CERT_NCRYPT_KEY_SPEC 0xFFFFFFFF
typedef unsigned int ALG_ID;

// ---- Algorithm identifiers ----
#define ALG_CLASS_SIGNATURE (1 << 13)
#define ALG_CLASS_MSG_ENCRYPT (2 << 13)
#define ALG_CLASS_DATA_ENCRYPT (3 << 13)
#define ALG_CLASS_HASH (4 << 13)
#define ALG_CLASS_KEY_EXCHANGE (5 << 13)
#define GET_ALG_CLASS(x) ((x) & (7 << 13))
#define ALG_TYPE_ANY 0
#define ALG_TYPE_RSA (2 << 9)
#define ALG_TYPE_BLOCK (3 << 9)
#define ALG_TYPE_STREAM (4 << 9)
#define GET_ALG_TYPE(x) ((x) & (15 << 9))

#define CALG_MD5 0x00008003
#define CALG_SHA1 0x00008004
#define CALG_SHA 0x00008004
#define CALG_SSL3_SHAMD5 0x00008008
#define CALG_SHA_256 0x0000800c
#define CALG_SHA_384 0x0000800d
#define CALG_SHA_512 0x0000800e
#define CALG_RSA_SIGN 0x00002400
#define CALG_RSA_KEYX 0x0000a400
#define CALG_DES 0x00006601
#define CALG_3DES_112 0x00006609
#define CALG_3DES 0x00006603
#define CALG_RC2 0x00006602
#define CALG_RC4 0x00006801
#define CALG_AES_128 0x0000660e
#define CALG_AES_192 0x0000660f
#define CALG_AES_256 0x00006610

// ---- Providers ----
#define PROV_RSA_FULL 1
#define PROV_RSA_SIG 2
#define PROV_DSS 3
#define PROV_RSA_SCHANNEL 12
#define PROV_DSS_DH 13
#define PROV_RSA_AES 24

#define MS_DEF_PROV_A "Microsoft Base Cryptographic Provider v1.0"
#define MS_ENHANCED_PROV_A "Microsoft Enhanced Cryptographic Provider v1.0"
#define MS_STRONG_PROV_A "Microsoft Strong Cryptographic Provider"
#define MS_ENH_RSA_AES_PROV_A "Microsoft Enhanced RSA and AES Cryptographic Provider"
#define MS_DEF_PROV MS_DEF_PROV_A
#define MS_ENHANCED_PROV MS_ENHANCED_PROV_A
#define MS_STRONG_PROV MS_STRONG_PROV_A
#define MS_ENH_RSA_AES_PROV MS_ENH_RSA_AES_PROV_A

// CryptAcquireContext flags
#define CRYPT_VERIFYCONTEXT 0xF0000000
#define CRYPT_NEWKEYSET 0x00000008
#define CRYPT_DELETEKEYSET 0x00000010
#define CRYPT_MACHINE_KEYSET 0x00000020
#define CRYPT_SILENT 0x00000040
#define CRYPT_DEFAULT_CONTAINER_OPTIONAL 0x00000080

// CryptGetProvParam
#define PP_ENUMALGS 1
#define PP_ENUMCONTAINERS 2
#define PP_IMPTYPE 3
#define PP_NAME 4
#define PP_VERSION 5
#define PP_CONTAINER 6
#define PP_PROVTYPE 16
#define PP_UNIQUE_CONTAINER 36
#define CRYPT_FIRST 1
#define CRYPT_NEXT 2

// ---- Keys ----
#define AT_KEYEXCHANGE 1
#define AT_SIGNATURE 2

// CryptGenKey / CryptImportKey flags; the key length in bits sits in the
// upper 16 bits of dwFlags.
#define CRYPT_EXPORTABLE 0x00000001
#define CRYPT_USER_PROTECTED 0x00000002
#define CRYPT_CREATE_SALT 0x00000004
#define CRYPT_UPDATE_KEY 0x00000008
#define CRYPT_NO_SALT 0x00000010
#define CRYPT_PREGEN 0x00000040
#define CRYPT_ARCHIVABLE 0x00004000
#define CRYPT_FORCE_KEY_PROTECTION_HIGH 0x00008000
#define RSA1024BIT_KEY 0x04000000

// Key blobs
#define SIMPLEBLOB 0x1
#define PUBLICKEYBLOB 0x6
#define PRIVATEKEYBLOB 0x7
#define PLAINTEXTKEYBLOB 0x8
#define CUR_BLOB_VERSION 2

typedef struct _PUBLICKEYSTRUC {
  BYTE bType;
  BYTE bVersion;
  WORD reserved;
  ALG_ID aiKeyAlg;
} BLOBHEADER, PUBLICKEYSTRUC;

typedef struct _RSAPUBKEY {
  DWORD magic;  // "RSA1" (0x31415352) public, "RSA2" (0x32415352) private
  DWORD bitlen;
  DWORD pubexp;
} RSAPUBKEY;

// CryptSetKeyParam / CryptGetKeyParam
#define KP_IV 1
#define KP_SALT 2
#define KP_PADDING 3
#define KP_MODE 4
#define KP_MODE_BITS 5
#define KP_PERMISSIONS 6
#define KP_ALGID 7
#define KP_BLOCKLEN 8
#define KP_KEYLEN 9
#define KP_CERTIFICATE 26

#define PKCS5_PADDING 1
#define RANDOM_PADDING 2
#define ZERO_PADDING 3

#define CRYPT_MODE_CBC 1
#define CRYPT_MODE_ECB 2
#define CRYPT_MODE_OFB 3
#define CRYPT_MODE_CFB 4
#define CRYPT_MODE_CTS 5

#define CRYPT_ENCRYPT 0x0001
#define CRYPT_DECRYPT 0x0002
#define CRYPT_EXPORT 0x0004
#define CRYPT_READ 0x0008
#define CRYPT_WRITE 0x0010
#define CRYPT_MAC 0x0020

// ---- Functions ----
WINBASEAPI BOOL CryptEnumProvidersA(DWORD dwIndex, DWORD* pdwReserved, DWORD dwFlags, DWORD* pdwProvType,
                                    LPSTR szProvName, DWORD* pcbProvName);
WINBASEAPI BOOL CryptAcquireContextA(HCRYPTPROV* phProv, LPCSTR szContainer, LPCSTR szProvider, DWORD dwProvType,
                                     DWORD dwFlags);
WINBASEAPI BOOL CryptContextAddRef(HCRYPTPROV hProv, DWORD* pdwReserved, DWORD dwFlags);
WINBASEAPI BOOL CryptReleaseContext(HCRYPTPROV hProv, DWORD dwFlags);
WINBASEAPI BOOL CryptGetProvParam(HCRYPTPROV hProv, DWORD dwParam, BYTE* pbData, DWORD* pdwDataLen, DWORD dwFlags);

WINBASEAPI BOOL CryptImportKey(HCRYPTPROV hProv, const BYTE* pbData, DWORD dwDataLen, HCRYPTKEY hPubKey,
                               DWORD dwFlags, HCRYPTKEY* phKey);
WINBASEAPI BOOL CryptSetKeyParam(HCRYPTKEY hKey, DWORD dwParam, const BYTE* pbData, DWORD dwFlags);
WINBASEAPI BOOL CryptGetKeyParam(HCRYPTKEY hKey, DWORD dwParam, BYTE* pbData, DWORD* pdwDataLen, DWORD dwFlags);
WINBASEAPI BOOL CryptEncrypt(HCRYPTKEY hKey, HCRYPTHASH hHash, BOOL Final, DWORD dwFlags, BYTE* pbData,
                             DWORD* pdwDataLen, DWORD dwBufLen);
WINBASEAPI BOOL CryptDecrypt(HCRYPTKEY hKey, HCRYPTHASH hHash, BOOL Final, DWORD dwFlags, BYTE* pbData,
                             DWORD* pdwDataLen);
WINBASEAPI BOOL CryptDestroyKey(HCRYPTKEY hKey);

WINBASEAPI BOOL CryptGenKey(HCRYPTPROV hProv, ALG_ID Algid, DWORD dwFlags, HCRYPTKEY* phKey);
WINBASEAPI BOOL CryptGetUserKey(HCRYPTPROV hProv, DWORD dwKeySpec, HCRYPTKEY* phUserKey);
WINBASEAPI BOOL CryptExportKey(HCRYPTKEY hKey, HCRYPTKEY hExpKey, DWORD dwBlobType, DWORD dwFlags, BYTE* pbData,
                               DWORD* pdwDataLen);

// ---- Hashes and signatures ----
#define HP_ALGID 0x0001
#define HP_HASHVAL 0x0002
#define HP_HASHSIZE 0x0004
#define CRYPT_NOHASHOID 0x00000001

WINBASEAPI BOOL CryptCreateHash(HCRYPTPROV hProv, ALG_ID Algid, HCRYPTKEY hKey, DWORD dwFlags, HCRYPTHASH* phHash);
WINBASEAPI BOOL CryptHashData(HCRYPTHASH hHash, const BYTE* pbData, DWORD dwDataLen, DWORD dwFlags);
WINBASEAPI BOOL CryptSetHashParam(HCRYPTHASH hHash, DWORD dwParam, const BYTE* pbData, DWORD dwFlags);
WINBASEAPI BOOL CryptGetHashParam(HCRYPTHASH hHash, DWORD dwParam, BYTE* pbData, DWORD* pdwDataLen, DWORD dwFlags);
WINBASEAPI BOOL CryptDestroyHash(HCRYPTHASH hHash);
// The signature comes out little-endian (least significant byte first), as
// the Windows providers give it.
WINBASEAPI BOOL CryptSignHashA(HCRYPTHASH hHash, DWORD dwKeySpec, LPCSTR szDescription, DWORD dwFlags,
                               BYTE* pbSignature, DWORD* pdwSigLen);
WINBASEAPI BOOL CryptVerifySignatureA(HCRYPTHASH hHash, const BYTE* pbSignature, DWORD dwSigLen, HCRYPTKEY hPubKey,
                                      LPCSTR szDescription, DWORD dwFlags);

// ---- Encoded objects ----
#define X509_ASN_ENCODING 0x00000001
#define PKCS_7_ASN_ENCODING 0x00010000
#define GET_CERT_ENCODING_TYPE(t) ((t) & 0x0000FFFF)

typedef struct _CRYPTOAPI_BLOB {
  DWORD cbData;
  BYTE* pbData;
} CRYPT_INTEGER_BLOB, *PCRYPT_INTEGER_BLOB, CRYPT_UINT_BLOB, CRYPT_OBJID_BLOB, CERT_NAME_BLOB, *PCERT_NAME_BLOB,
    CERT_RDN_VALUE_BLOB, CERT_BLOB, *PCERT_BLOB, CRL_BLOB, *PCRL_BLOB, CRYPT_DATA_BLOB, *PCRYPT_DATA_BLOB, CRYPT_HASH_BLOB, *PCRYPT_HASH_BLOB, CRYPT_DER_BLOB,
    CRYPT_ATTR_BLOB, *PCRYPT_ATTR_BLOB;

typedef struct _CRYPT_BIT_BLOB {
  DWORD cbData;
  BYTE* pbData;
  DWORD cUnusedBits;
} CRYPT_BIT_BLOB, *PCRYPT_BIT_BLOB;

typedef struct _CRYPT_ALGORITHM_IDENTIFIER {
  LPSTR pszObjId;
  CRYPT_OBJID_BLOB Parameters;
} CRYPT_ALGORITHM_IDENTIFIER, *PCRYPT_ALGORITHM_IDENTIFIER;

typedef struct _CERT_PUBLIC_KEY_INFO {
  CRYPT_ALGORITHM_IDENTIFIER Algorithm;
  CRYPT_BIT_BLOB PublicKey;
} CERT_PUBLIC_KEY_INFO, *PCERT_PUBLIC_KEY_INFO;

typedef struct _CERT_RDN_ATTR {
  LPSTR pszObjId;
  DWORD dwValueType;
  CERT_RDN_VALUE_BLOB Value;  // BMP, UTF-8 and universal strings: WCHARs
} CERT_RDN_ATTR, *PCERT_RDN_ATTR;

typedef struct _CERT_RDN {
  DWORD cRDNAttr;
  PCERT_RDN_ATTR rgRDNAttr;
} CERT_RDN, *PCERT_RDN;

typedef struct _CERT_NAME_INFO {
  DWORD cRDN;
  PCERT_RDN rgRDN;
} CERT_NAME_INFO, *PCERT_NAME_INFO;

typedef struct _CRYPT_ATTRIBUTE {
  LPSTR pszObjId;
  DWORD cValue;
  PCRYPT_ATTR_BLOB rgValue;
} CRYPT_ATTRIBUTE, *PCRYPT_ATTRIBUTE;

#define CERT_REQUEST_V1 0
typedef struct _CERT_REQUEST_INFO {
  DWORD dwVersion;
  CERT_NAME_BLOB Subject;
  CERT_PUBLIC_KEY_INFO SubjectPublicKeyInfo;
  DWORD cAttribute;
  PCRYPT_ATTRIBUTE rgAttribute;
} CERT_REQUEST_INFO, *PCERT_REQUEST_INFO;

// Structure types. X509_NAME is also the name of an OpenSSL type: a file
// that uses both includes the OpenSSL headers first.
#define X509_CERT ((LPCSTR)1)
#define X509_CERT_TO_BE_SIGNED ((LPCSTR)2)
#define X509_CERT_REQUEST_TO_BE_SIGNED ((LPCSTR)4)
#define X509_NAME ((LPCSTR)7)
#define X509_PUBLIC_KEY_INFO ((LPCSTR)8)
#define X509_KEY_USAGE ((LPCSTR)14)
#define RSA_CSP_PUBLICKEYBLOB ((LPCSTR)19)
#define PKCS7_SIGNER_INFO ((LPCSTR)500)

// Value types of name attributes
#define CERT_RDN_ANY_TYPE 0
#define CERT_RDN_ENCODED_BLOB 1
#define CERT_RDN_OCTET_STRING 2
#define CERT_RDN_NUMERIC_STRING 3
#define CERT_RDN_PRINTABLE_STRING 4
#define CERT_RDN_TELETEX_STRING 5
#define CERT_RDN_T61_STRING 5
#define CERT_RDN_VIDEOTEX_STRING 6
#define CERT_RDN_IA5_STRING 7
#define CERT_RDN_GRAPHIC_STRING 8
#define CERT_RDN_VISIBLE_STRING 9
#define CERT_RDN_GENERAL_STRING 10
#define CERT_RDN_UNIVERSAL_STRING 11
#define CERT_RDN_BMP_STRING 12
#define CERT_RDN_UNICODE_STRING 12
#define CERT_RDN_UTF8_STRING 13

// Object identifiers
#define szOID_RSA_RSA "1.2.840.113549.1.1.1"
#define szOID_RSA_MD5RSA "1.2.840.113549.1.1.4"
#define szOID_RSA_SHA1RSA "1.2.840.113549.1.1.5"
#define szOID_RSA_SHA256RSA "1.2.840.113549.1.1.11"
#define szOID_RSA_SHA384RSA "1.2.840.113549.1.1.12"
#define szOID_RSA_SHA512RSA "1.2.840.113549.1.1.13"
#define szOID_ECC_PUBLIC_KEY "1.2.840.10045.2.1"
#define szOID_ECC_CURVE_P256 "1.2.840.10045.3.1.7"
#define szOID_ECC_CURVE_P384 "1.3.132.0.34"
#define szOID_ECDSA_SHA256 "1.2.840.10045.4.3.2"
#define szOID_ECDSA_SHA384 "1.2.840.10045.4.3.3"
#define szOID_ECDSA_SHA512 "1.2.840.10045.4.3.4"
#define szOID_RSA_emailAddr "1.2.840.113549.1.9.1"
#define szOID_COMMON_NAME "2.5.4.3"
#define szOID_SUR_NAME "2.5.4.4"
#define szOID_DEVICE_SERIAL_NUMBER "2.5.4.5"
#define szOID_COUNTRY_NAME "2.5.4.6"
#define szOID_LOCALITY_NAME "2.5.4.7"
#define szOID_STATE_OR_PROVINCE_NAME "2.5.4.8"
#define szOID_STREET_ADDRESS "2.5.4.9"
#define szOID_ORGANIZATION_NAME "2.5.4.10"
#define szOID_ORGANIZATIONAL_UNIT_NAME "2.5.4.11"
#define szOID_TITLE "2.5.4.12"
#define szOID_GIVEN_NAME "2.5.4.42"
#define szOID_INITIALS "2.5.4.43"
#define szOID_DOMAIN_COMPONENT "0.9.2342.19200300.100.1.25"
#define szOID_KEY_USAGE "2.5.29.15"
#define szOID_BASIC_CONSTRAINTS2 "2.5.29.19"

// Key usage bits (first byte)
#define CERT_DIGITAL_SIGNATURE_KEY_USAGE 0x80
#define CERT_NON_REPUDIATION_KEY_USAGE 0x40
#define CERT_KEY_ENCIPHERMENT_KEY_USAGE 0x20
#define CERT_DATA_ENCIPHERMENT_KEY_USAGE 0x10
#define CERT_KEY_AGREEMENT_KEY_USAGE 0x08
#define CERT_KEY_CERT_SIGN_KEY_USAGE 0x04
#define CERT_CRL_SIGN_KEY_USAGE 0x02

#define CRYPT_DECODE_NOCOPY_FLAG 0x1

// Decoded structures are laid out in the caller's buffer, followed by the
// data they point to (size query with a null buffer first).
WINBASEAPI BOOL CryptEncodeObject(DWORD dwCertEncodingType, LPCSTR lpszStructType, const void* pvStructInfo,
                                  BYTE* pbEncoded, DWORD* pcbEncoded);
WINBASEAPI BOOL CryptDecodeObject(DWORD dwCertEncodingType, LPCSTR lpszStructType, const BYTE* pbEncoded,
                                  DWORD cbEncoded, DWORD dwFlags, void* pvStructInfo, DWORD* pcbStructInfo);
WINBASEAPI BOOL CryptExportPublicKeyInfo(HCRYPTPROV_OR_NCRYPT_KEY_HANDLE hCryptProv, DWORD dwKeySpec, DWORD dwCertEncodingType,
                                         PCERT_PUBLIC_KEY_INFO pInfo, DWORD* pcbInfo);
WINBASEAPI BOOL CryptImportPublicKeyInfo(HCRYPTPROV hCryptProv, DWORD dwCertEncodingType, PCERT_PUBLIC_KEY_INFO pInfo,
                                         HCRYPTKEY* phKey);
WINBASEAPI BOOL CryptSignAndEncodeCertificate(HCRYPTPROV_OR_NCRYPT_KEY_HANDLE hCryptProv, DWORD dwKeySpec, DWORD dwCertEncodingType,
                                              LPCSTR lpszStructType, const void* pvStructInfo,
                                              PCRYPT_ALGORITHM_IDENTIFIER pSignatureAlgorithm,
                                              const void* pvHashAuxInfo, BYTE* pbEncoded, DWORD* pcbEncoded);

// ---- Names as text ----
#define CERT_SIMPLE_NAME_STR 1
#define CERT_OID_NAME_STR 2
#define CERT_X500_NAME_STR 3
#define CERT_NAME_STR_SEMICOLON_FLAG 0x40000000
#define CERT_NAME_STR_NO_PLUS_FLAG 0x20000000
#define CERT_NAME_STR_NO_QUOTING_FLAG 0x10000000
#define CERT_NAME_STR_CRLF_FLAG 0x08000000
#define CERT_NAME_STR_COMMA_FLAG 0x04000000
#define CERT_NAME_STR_REVERSE_FLAG 0x02000000
#define CERT_NAME_STR_ENABLE_UTF8_UNICODE_FLAG 0x00040000

// The text in the ANSI code page; the result counts the terminating zero.
WINBASEAPI DWORD CertNameToStrA(DWORD dwCertEncodingType, PCERT_NAME_BLOB pName, DWORD dwStrType, LPSTR psz,
                                DWORD csz);
WINBASEAPI BOOL CertStrToNameA(DWORD dwCertEncodingType, LPCSTR pszX500, DWORD dwStrType, void* pvReserved,
                               BYTE* pbEncoded, DWORD* pcbEncoded, LPCSTR* ppszError);

#define CRYPT_STRING_BASE64HEADER 0x00000000
#define CRYPT_STRING_BASE64 0x00000001
#define CRYPT_STRING_BINARY 0x00000002
#define CRYPT_STRING_BASE64REQUESTHEADER 0x00000003
#define CRYPT_STRING_HEX 0x00000004
#define CRYPT_STRING_HEXRAW 0x0000000c
#define CRYPT_STRING_NOCRLF 0x40000000
#define CRYPT_STRING_NOCR 0x80000000
WINBASEAPI BOOL CryptBinaryToStringA(const BYTE* pbBinary, DWORD cbBinary, DWORD dwFlags, LPSTR pszString,
                                     DWORD* pcchString);

// ---- Certificates ----
typedef struct _CERT_EXTENSION {
  LPSTR pszObjId;
  BOOL fCritical;
  CRYPT_OBJID_BLOB Value;
} CERT_EXTENSION, *PCERT_EXTENSION;

#define CERT_V1 0
#define CERT_V2 1
#define CERT_V3 2
typedef struct _CERT_INFO {
  DWORD dwVersion;
  CRYPT_INTEGER_BLOB SerialNumber;  // least significant byte first
  CRYPT_ALGORITHM_IDENTIFIER SignatureAlgorithm;
  CERT_NAME_BLOB Issuer;
  FILETIME NotBefore;
  FILETIME NotAfter;
  CERT_NAME_BLOB Subject;
  CERT_PUBLIC_KEY_INFO SubjectPublicKeyInfo;
  CRYPT_BIT_BLOB IssuerUniqueId;
  CRYPT_BIT_BLOB SubjectUniqueId;
  DWORD cExtension;
  PCERT_EXTENSION rgExtension;
} CERT_INFO, *PCERT_INFO;

typedef void* HCERTSTORE;
typedef struct _CERT_CONTEXT {
  DWORD dwCertEncodingType;
  BYTE* pbCertEncoded;
  DWORD cbCertEncoded;
  PCERT_INFO pCertInfo;
  HCERTSTORE hCertStore;
} CERT_CONTEXT, *PCERT_CONTEXT;
typedef const CERT_CONTEXT* PCCERT_CONTEXT;

// A context has a reference count: every context a function returns is
// freed once with CertFreeCertificateContext.
WINBASEAPI PCCERT_CONTEXT CertCreateCertificateContext(DWORD dwCertEncodingType, const BYTE* pbCertEncoded,
                                                       DWORD cbCertEncoded);
WINBASEAPI PCCERT_CONTEXT CertDuplicateCertificateContext(PCCERT_CONTEXT pCertContext);
WINBASEAPI BOOL CertFreeCertificateContext(PCCERT_CONTEXT pCertContext);
// -1: not yet valid at that time, 1: expired, 0: valid. A null time is now.
WINBASEAPI LONG CertVerifyTimeValidity(const FILETIME* pTimeToVerify, PCERT_INFO pCertInfo);
WINBASEAPI PCERT_EXTENSION CertFindExtension(LPCSTR pszObjId, DWORD cExtensions, CERT_EXTENSION rgExtensions[]);

// Names of a certificate
#define CERT_NAME_EMAIL_TYPE 1
#define CERT_NAME_RDN_TYPE 2
#define CERT_NAME_ATTR_TYPE 3
#define CERT_NAME_SIMPLE_DISPLAY_TYPE 4
#define CERT_NAME_FRIENDLY_DISPLAY_TYPE 5
#define CERT_NAME_ISSUER_FLAG 0x1
WINBASEAPI DWORD CertGetNameStringA(PCCERT_CONTEXT pCertContext, DWORD dwType, DWORD dwFlags, void* pvTypePara,
                                    LPSTR pszNameString, DWORD cchNameString);

// Properties
#define CERT_KEY_PROV_HANDLE_PROP_ID 1
#define CERT_KEY_PROV_INFO_PROP_ID 2
#define CERT_SHA1_HASH_PROP_ID 3
#define CERT_MD5_HASH_PROP_ID 4
#define CERT_HASH_PROP_ID CERT_SHA1_HASH_PROP_ID
#define CERT_KEY_CONTEXT_PROP_ID 5
#define CERT_KEY_SPEC_PROP_ID 6
#define CERT_FRIENDLY_NAME_PROP_ID 11
#define CERT_CERT_PROP_ID 32
#define CERT_FIRST_USER_PROP_ID 0x8000

typedef struct _CRYPT_KEY_PROV_PARAM {
  DWORD dwParam;
  BYTE* pbData;
  DWORD cbData;
  DWORD dwFlags;
} CRYPT_KEY_PROV_PARAM, *PCRYPT_KEY_PROV_PARAM;

typedef struct _CRYPT_KEY_PROV_INFO {
  LPWSTR pwszContainerName;
  LPWSTR pwszProvName;
  DWORD dwProvType;
  DWORD dwFlags;
  DWORD cProvParam;
  PCRYPT_KEY_PROV_PARAM rgProvParam;
  DWORD dwKeySpec;
} CRYPT_KEY_PROV_INFO, *PCRYPT_KEY_PROV_INFO;

typedef struct _CERT_KEY_CONTEXT {
  DWORD cbSize;
  HCRYPTPROV hCryptProv;
  DWORD dwKeySpec;
} CERT_KEY_CONTEXT, *PCERT_KEY_CONTEXT;

#define CERT_STORE_NO_CRYPT_RELEASE_FLAG 0x1
// Properties set on a context in a system store are kept with it there.
WINBASEAPI BOOL CertSetCertificateContextProperty(PCCERT_CONTEXT pCertContext, DWORD dwPropId, DWORD dwFlags,
                                                  const void* pvData);
WINBASEAPI BOOL CertGetCertificateContextProperty(PCCERT_CONTEXT pCertContext, DWORD dwPropId, void* pvData,
                                                  DWORD* pcbData);
WINBASEAPI DWORD CertEnumCertificateContextProperties(PCCERT_CONTEXT pCertContext, DWORD dwPropId);

#define CRYPT_ACQUIRE_CACHE_FLAG 0x1
#define CRYPT_ACQUIRE_USE_PROV_INFO_FLAG 0x2
#define CRYPT_ACQUIRE_COMPARE_KEY_FLAG 0x4
#define CRYPT_ACQUIRE_SILENT_FLAG 0x40
WINBASEAPI BOOL CryptAcquireCertificatePrivateKey(PCCERT_CONTEXT pCert, DWORD dwFlags, void* pvParameters,
                                                  HCRYPTPROV* phCryptProv, DWORD* pdwKeySpec,
                                                  BOOL* pfCallerFreeProv);

// ---- Stores ----
#define CERT_STORE_PROV_MEMORY ((LPCSTR)2)
#define CERT_STORE_PROV_SYSTEM_A ((LPCSTR)9)
#define CERT_STORE_PROV_SYSTEM_W ((LPCSTR)10)
#define CERT_STORE_PROV_SYSTEM CERT_STORE_PROV_SYSTEM_W
#define CERT_SYSTEM_STORE_LOCATION_SHIFT 16
#define CERT_SYSTEM_STORE_CURRENT_USER_ID 1
#define CERT_SYSTEM_STORE_CURRENT_USER (1 << 16)
#define CERT_SYSTEM_STORE_LOCAL_MACHINE (2 << 16)
#define CERT_SYSTEM_STORE_LOCATION_MASK 0x00FF0000
#define CERT_STORE_DELETE_FLAG 0x10
#define CERT_STORE_READONLY_FLAG 0x00008000
#define CERT_STORE_OPEN_EXISTING_FLAG 0x00004000
#define CERT_STORE_CREATE_NEW_FLAG 0x00002000
#define CERT_STORE_MAXIMUM_ALLOWED_FLAG 0x00001000
#define CERT_CLOSE_STORE_FORCE_FLAG 0x1
#define CERT_CLOSE_STORE_CHECK_FLAG 0x2

#define CERT_STORE_ADD_NEW 1
#define CERT_STORE_ADD_USE_EXISTING 2
#define CERT_STORE_ADD_REPLACE_EXISTING 3
#define CERT_STORE_ADD_ALWAYS 4
#define CERT_STORE_ADD_REPLACE_EXISTING_INHERIT_PROPERTIES 5
#define CERT_STORE_ADD_NEWER 6
#define CERT_STORE_ADD_NEWER_INHERIT_PROPERTIES 7

#define CERT_COMPARE_SHIFT 16
#define CERT_FIND_ANY 0
#define CERT_FIND_SHA1_HASH 0x00010000
#define CERT_FIND_HASH CERT_FIND_SHA1_HASH
#define CERT_FIND_SUBJECT_STR_A 0x00070007
#define CERT_FIND_ISSUER_STR_A 0x00070004
#define CERT_FIND_EXISTING 0x000D0000

// The current user's system stores live in the user hive under
// Software\Microsoft\SystemCertificates\<store>\Certificates\<SHA-1>, value
// "Blob": the certificate and its kept properties as Windows serialises them.
WINBASEAPI HCERTSTORE CertOpenStore(LPCSTR lpszStoreProvider, DWORD dwEncodingType, HCRYPTPROV hCryptProv,
                                    DWORD dwFlags, const void* pvPara);
WINBASEAPI HCERTSTORE CertOpenSystemStoreA(HCRYPTPROV hProv, LPCSTR szSubsystemProtocol);
WINBASEAPI BOOL CertCloseStore(HCERTSTORE hCertStore, DWORD dwFlags);
WINBASEAPI BOOL CertAddEncodedCertificateToStore(HCERTSTORE hCertStore, DWORD dwCertEncodingType,
                                                 const BYTE* pbCertEncoded, DWORD cbCertEncoded,
                                                 DWORD dwAddDisposition, PCCERT_CONTEXT* ppCertContext);
// Adding to "ROOT" asks the user first; a refusal fails with ERROR_CANCELLED.
WINBASEAPI BOOL CertAddCertificateContextToStore(HCERTSTORE hCertStore, PCCERT_CONTEXT pCertContext,
                                                 DWORD dwAddDisposition, PCCERT_CONTEXT* ppStoreContext);
WINBASEAPI PCCERT_CONTEXT CertEnumCertificatesInStore(HCERTSTORE hCertStore, PCCERT_CONTEXT pPrevCertContext);
WINBASEAPI PCCERT_CONTEXT CertFindCertificateInStore(HCERTSTORE hCertStore, DWORD dwCertEncodingType,
                                                     DWORD dwFindFlags, DWORD dwFindType, const void* pvFindPara,
                                                     PCCERT_CONTEXT pPrevCertContext);
// Always frees the context, also when it fails.
WINBASEAPI BOOL CertDeleteCertificateFromStore(PCCERT_CONTEXT pCertContext);

// ---- Messages ----
typedef void* HCRYPTMSG;
#define CMSG_DATA 1
#define CMSG_SIGNED 2
#define CMSG_ENVELOPED 3
#define CMSG_SIGNED_AND_ENVELOPED 4
#define CMSG_HASHED 5
#define CMSG_ENCRYPTED 6
#define CMSG_TYPE_PARAM 1
#define CMSG_CONTENT_PARAM 2
#define CMSG_CERT_COUNT_PARAM 11
#define CMSG_CERT_PARAM 12
WINBASEAPI HCRYPTMSG CryptMsgOpenToDecode(DWORD dwMsgEncodingType, DWORD dwFlags, DWORD dwMsgType,
                                          HCRYPTPROV hCryptProv, void* pRecipientInfo, void* pStreamInfo);
WINBASEAPI BOOL CryptMsgUpdate(HCRYPTMSG hCryptMsg, const BYTE* pbData, DWORD cbData, BOOL fFinal);
WINBASEAPI BOOL CryptMsgGetParam(HCRYPTMSG hCryptMsg, DWORD dwParamType, DWORD dwIndex, void* pvData,
                                 DWORD* pcbData);
WINBASEAPI BOOL CryptMsgClose(HCRYPTMSG hCryptMsg);

// ---- Encoded times and message attributes ----
#define PKCS_UTC_TIME ((LPCSTR)17)
#define szOID_RSA_data "1.2.840.113549.1.7.1"
#define szOID_RSA_signedData "1.2.840.113549.1.7.2"
#define szOID_RSA_envelopedData "1.2.840.113549.1.7.3"
#define szOID_RSA_digestedData "1.2.840.113549.1.7.5"
#define szOID_RSA_encryptedData "1.2.840.113549.1.7.6"
#define szOID_RSA_contentType "1.2.840.113549.1.9.3"
#define szOID_RSA_messageDigest "1.2.840.113549.1.9.4"
#define szOID_RSA_signingTime "1.2.840.113549.1.9.5"
#define szOID_RSA_MD5 "1.2.840.113549.2.5"
#define szOID_OIWSEC_sha1 "1.3.14.3.2.26"
#define szOID_NIST_sha256 "2.16.840.1.101.3.4.2.1"
#define szOID_NIST_sha384 "2.16.840.1.101.3.4.2.2"
#define szOID_NIST_sha512 "2.16.840.1.101.3.4.2.3"
#define szOID_ECDSA_SHA1 "1.2.840.10045.4.1"
#define szOID_ENHANCED_KEY_USAGE "2.5.29.37"
#define szOID_PKIX_KP_CLIENT_AUTH "1.3.6.1.5.5.7.3.2"
#define szOID_PKIX_KP_EMAIL_PROTECTION "1.3.6.1.5.5.7.3.4"

// ---- PKCS #12 ----
// PFXImportCertStore flags. Without PKCS12_NO_PERSIST_KEY every private key
// goes into a new key container (RSA: the software provider; EC: the CNG
// key storage provider) named in the certificate's CERT_KEY_PROV_INFO_PROP_ID;
// the caller deletes the containers it no longer wants.
#define CRYPT_USER_KEYSET 0x00001000
#define PKCS12_INCLUDE_EXTENDED_PROPERTIES 0x00000010
#define PKCS12_PREFER_CNG_KSP 0x00000100
#define PKCS12_ALWAYS_CNG_KSP 0x00000200
#define PKCS12_ALLOW_OVERWRITE_KEY 0x00004000
#define PKCS12_NO_PERSIST_KEY 0x00008000
#define PKCS12_VIRTUAL_ISOLATION_KEY 0x00010000
#define PKCS12_IMPORT_SILENT 0x00000040

WINBASEAPI BOOL PFXIsPFXBlob(CRYPT_DATA_BLOB* pPFX);
// TRUE when the password opens the file's integrity MAC (a file without a
// MAC: when it decrypts the file's contents). A null password and an empty
// one are different passwords, as on Windows.
WINBASEAPI BOOL PFXVerifyPassword(CRYPT_DATA_BLOB* pPFX, LPCWSTR szPassword, DWORD dwFlags);
// A memory store with the file's certificates; fails with
// ERROR_INVALID_PASSWORD for a wrong password, CRYPT_E_BAD_ENCODE (or
// ERROR_INVALID_DATA) for bytes that are not a PFX.
WINBASEAPI HCERTSTORE PFXImportCertStore(CRYPT_DATA_BLOB* pPFX, LPCWSTR szPassword, DWORD dwFlags);

// PFXExportCertStore(Ex) flags. The file is always protected with PBES2
// (AES-256-CBC, PBKDF2-HMAC-SHA-256) and a SHA-256 MAC; pvPara is ignored.
// A key that is not exportable fails with NTE_BAD_KEY_STATE under
// REPORT_NOT_ABLE_TO_EXPORT_PRIVATE_KEY, a certificate without a key with
// NTE_NO_KEY under REPORT_NO_PRIVATE_KEY; otherwise the certificate goes
// alone. A cancelled key-use prompt is HRESULT_FROM_WIN32(ERROR_CANCELLED).
#define REPORT_NO_PRIVATE_KEY 0x00000001
#define REPORT_NOT_ABLE_TO_EXPORT_PRIVATE_KEY 0x00000002
#define EXPORT_PRIVATE_KEYS 0x00000004
#define PKCS12_PROTECT_TO_DOMAIN_SIDS 0x00000020
#define PKCS12_EXPORT_SILENT 0x00000040
#define PKCS12_EXPORT_PBES2_PARAMS 0x00000080
#define PKCS12_DISABLE_ENCRYPT_CERTIFICATES 0x00000100
#define PKCS12_ENCRYPT_CERTIFICATES 0x00000200
#define PKCS12_EXPORT_ECC_CURVE_PARAMETERS 0x00001000
#define PKCS12_EXPORT_ECC_CURVE_OID 0x00002000
WINBASEAPI BOOL PFXExportCertStoreEx(HCERTSTORE hStore, CRYPT_DATA_BLOB* pPFX, LPCWSTR szPassword, void* pvPara,
                                     DWORD dwFlags);
WINBASEAPI BOOL PFXExportCertStore(HCERTSTORE hStore, CRYPT_DATA_BLOB* pPFX, LPCWSTR szPassword, DWORD dwFlags);

// ---- Certificate chains ----
typedef void* HCERTCHAINENGINE;
#define HCCE_CURRENT_USER ((HCERTCHAINENGINE)NULL)
#define HCCE_LOCAL_MACHINE ((HCERTCHAINENGINE)0x1)

typedef struct _CTL_USAGE {
  DWORD cUsageIdentifier;
  LPSTR* rgpszUsageIdentifier;
} CTL_USAGE, *PCTL_USAGE, CERT_ENHKEY_USAGE, *PCERT_ENHKEY_USAGE;

#define USAGE_MATCH_TYPE_AND 0x00000000
#define USAGE_MATCH_TYPE_OR 0x00000001
typedef struct _CERT_USAGE_MATCH {
  DWORD dwType;
  CERT_ENHKEY_USAGE Usage;
} CERT_USAGE_MATCH, *PCERT_USAGE_MATCH;

typedef struct _CERT_CHAIN_PARA {
  DWORD cbSize;
  CERT_USAGE_MATCH RequestedUsage;
} CERT_CHAIN_PARA, *PCERT_CHAIN_PARA;

typedef struct _CERT_TRUST_STATUS {
  DWORD dwErrorStatus;
  DWORD dwInfoStatus;
} CERT_TRUST_STATUS, *PCERT_TRUST_STATUS;

#define CERT_TRUST_NO_ERROR 0x00000000
#define CERT_TRUST_IS_NOT_TIME_VALID 0x00000001
#define CERT_TRUST_IS_NOT_TIME_NESTED 0x00000002
#define CERT_TRUST_IS_REVOKED 0x00000004
#define CERT_TRUST_IS_NOT_SIGNATURE_VALID 0x00000008
#define CERT_TRUST_IS_NOT_VALID_FOR_USAGE 0x00000010
#define CERT_TRUST_IS_UNTRUSTED_ROOT 0x00000020
#define CERT_TRUST_REVOCATION_STATUS_UNKNOWN 0x00000040
#define CERT_TRUST_IS_CYCLIC 0x00000080
#define CERT_TRUST_INVALID_EXTENSION 0x00000100
#define CERT_TRUST_INVALID_POLICY_CONSTRAINTS 0x00000200
#define CERT_TRUST_INVALID_BASIC_CONSTRAINTS 0x00000400
#define CERT_TRUST_INVALID_NAME_CONSTRAINTS 0x00000800
#define CERT_TRUST_IS_OFFLINE_REVOCATION 0x01000000
#define CERT_TRUST_NO_ISSUANCE_CHAIN_POLICY 0x02000000
#define CERT_TRUST_IS_PARTIAL_CHAIN 0x00010000
#define CERT_TRUST_CTL_IS_NOT_TIME_VALID 0x00020000
#define CERT_TRUST_CTL_IS_NOT_SIGNATURE_VALID 0x00040000
#define CERT_TRUST_CTL_IS_NOT_VALID_FOR_USAGE 0x00080000

#define CERT_TRUST_HAS_EXACT_MATCH_ISSUER 0x00000001
#define CERT_TRUST_HAS_KEY_MATCH_ISSUER 0x00000002
#define CERT_TRUST_HAS_NAME_MATCH_ISSUER 0x00000004
#define CERT_TRUST_IS_SELF_SIGNED 0x00000008
#define CERT_TRUST_HAS_PREFERRED_ISSUER 0x00000100
#define CERT_TRUST_HAS_ISSUANCE_CHAIN_POLICY 0x00000200
#define CERT_TRUST_HAS_VALID_NAME_CONSTRAINTS 0x00000400
#define CERT_TRUST_IS_COMPLEX_CHAIN 0x00010000

// Left incomplete: this platform never fills them (null pointers).
typedef struct _CERT_REVOCATION_INFO* PCERT_REVOCATION_INFO;
typedef struct _CERT_TRUST_LIST_INFO* PCERT_TRUST_LIST_INFO;

typedef struct _CERT_CHAIN_ELEMENT {
  DWORD cbSize;
  PCCERT_CONTEXT pCertContext;
  CERT_TRUST_STATUS TrustStatus;
  PCERT_REVOCATION_INFO pRevocationInfo;
  PCERT_ENHKEY_USAGE pIssuanceUsage;
  PCERT_ENHKEY_USAGE pApplicationUsage;
  LPCWSTR pwszExtendedErrorInfo;
} CERT_CHAIN_ELEMENT, *PCERT_CHAIN_ELEMENT;
typedef const CERT_CHAIN_ELEMENT* PCCERT_CHAIN_ELEMENT;

typedef struct _CERT_SIMPLE_CHAIN {
  DWORD cbSize;
  CERT_TRUST_STATUS TrustStatus;
  DWORD cElement;
  PCERT_CHAIN_ELEMENT* rgpElement;  // end certificate first, root last
  PCERT_TRUST_LIST_INFO pTrustListInfo;
  BOOL fHasRevocationFreshnessTime;
  DWORD dwRevocationFreshnessTime;
} CERT_SIMPLE_CHAIN, *PCERT_SIMPLE_CHAIN;
typedef const CERT_SIMPLE_CHAIN* PCCERT_SIMPLE_CHAIN;

typedef struct _CERT_CHAIN_CONTEXT CERT_CHAIN_CONTEXT, *PCERT_CHAIN_CONTEXT;
typedef const CERT_CHAIN_CONTEXT* PCCERT_CHAIN_CONTEXT;
struct _CERT_CHAIN_CONTEXT {
  DWORD cbSize;
  CERT_TRUST_STATUS TrustStatus;
  DWORD cChain;
  PCERT_SIMPLE_CHAIN* rgpChain;
  DWORD cLowerQualityChainContext;
  PCCERT_CHAIN_CONTEXT* rgpLowerQualityChainContext;
  BOOL fHasRevocationFreshnessTime;
  DWORD dwRevocationFreshnessTime;
  DWORD dwCreateFlags;
  GUID ChainId;
};

#define CERT_CHAIN_CACHE_END_CERT 0x00000001
#define CERT_CHAIN_CACHE_ONLY_URL_RETRIEVAL 0x00000004
#define CERT_CHAIN_REVOCATION_CHECK_END_CERT 0x10000000
#define CERT_CHAIN_REVOCATION_CHECK_CHAIN 0x20000000
#define CERT_CHAIN_REVOCATION_CHECK_CHAIN_EXCLUDE_ROOT 0x40000000
#define CERT_CHAIN_REVOCATION_CHECK_CACHE_ONLY 0x80000000

// Builds the chain over the current user's "MY", "CA" and "ROOT" stores
// (and hAdditionalStore). Revocation is never checked here: there is no
// network, so with a revocation flag the status says unknown and offline.
// A null pTime is the current time.
WINBASEAPI BOOL CertGetCertificateChain(HCERTCHAINENGINE hChainEngine, PCCERT_CONTEXT pCertContext, LPFILETIME pTime,
                                        HCERTSTORE hAdditionalStore, PCERT_CHAIN_PARA pChainPara, DWORD dwFlags,
                                        LPVOID pvReserved, PCCERT_CHAIN_CONTEXT* ppChainContext);
WINBASEAPI void CertFreeCertificateChain(PCCERT_CHAIN_CONTEXT pChainContext);
WINBASEAPI PCCERT_CHAIN_CONTEXT CertDuplicateCertificateChain(PCCERT_CHAIN_CONTEXT pChainContext);

// ---- Object identifier information ----
#define CRYPT_HASH_ALG_OID_GROUP_ID 1
#define CRYPT_ENCRYPT_ALG_OID_GROUP_ID 2
#define CRYPT_PUBKEY_ALG_OID_GROUP_ID 3
#define CRYPT_SIGN_ALG_OID_GROUP_ID 4
#define CRYPT_RDN_ATTR_OID_GROUP_ID 5
#define CRYPT_EXT_OR_ATTR_OID_GROUP_ID 6
#define CRYPT_ENHKEY_USAGE_OID_GROUP_ID 7
#define CRYPT_POLICY_OID_GROUP_ID 8
#define CRYPT_TEMPLATE_OID_GROUP_ID 9

#define CRYPT_OID_INFO_OID_KEY 1
#define CRYPT_OID_INFO_NAME_KEY 2
#define CRYPT_OID_INFO_ALGID_KEY 3
#define CRYPT_OID_INFO_SIGN_KEY 4
#define CRYPT_OID_INFO_CNG_ALGID_KEY 5
#define CRYPT_OID_INFO_CNG_SIGN_KEY 6

typedef struct _CRYPT_OID_INFO {
  DWORD cbSize;
  LPCSTR pszOID;
  LPCWSTR pwszName;
  DWORD dwGroupId;
  union {
    DWORD dwValue;
    ALG_ID Algid;
    DWORD dwLength;
  };
  CRYPT_DATA_BLOB ExtraInfo;
  LPCWSTR pwszCNGAlgid;
  LPCWSTR pwszCNGExtraAlgid;
} CRYPT_OID_INFO, *PCRYPT_OID_INFO;
typedef const CRYPT_OID_INFO CCRYPT_OID_INFO, *PCCRYPT_OID_INFO;

// The platform's own table, never freed. pvKey: LPCSTR for the OID key,
// LPCWSTR for the name key (compared without regard to case), ALG_ID* for
// the algid key. Group 0 searches every group. Null when nothing matches.
WINBASEAPI PCCRYPT_OID_INFO CryptFindOIDInfo(DWORD dwKeyType, void* pvKey, DWORD dwGroupId);

// ---- Signed messages (encoding) ----
typedef struct _CERT_ISSUER_SERIAL_NUMBER {
  CERT_NAME_BLOB Issuer;
  CRYPT_INTEGER_BLOB SerialNumber;  // least significant byte first
} CERT_ISSUER_SERIAL_NUMBER, *PCERT_ISSUER_SERIAL_NUMBER;

#define CERT_ID_ISSUER_SERIAL_NUMBER 1
#define CERT_ID_KEY_IDENTIFIER 2
#define CERT_ID_SHA1_HASH 3
typedef struct _CERT_ID {
  DWORD dwIdChoice;
  union {
    CERT_ISSUER_SERIAL_NUMBER IssuerSerialNumber;
    CRYPT_HASH_BLOB KeyId;
    CRYPT_HASH_BLOB HashId;
  };
} CERT_ID, *PCERT_ID;

// With the CMS fields (SignerId, HashEncryptionAlgorithm) as the SDK has
// them under CMSG_SIGNER_ENCODE_INFO_HAS_CMS_FIELDS; a caller whose cbSize
// stops before them gets the PKCS #7 behaviour.
typedef struct _CMSG_SIGNER_ENCODE_INFO {
  DWORD cbSize;
  PCERT_INFO pCertInfo;  // Issuer and SerialNumber name the signer
  union {
    HCRYPTPROV hCryptProv;
    ULONG_PTR hNCryptKey;  // NCRYPT_KEY_HANDLE, with dwKeySpec 0 or CERT_NCRYPT_KEY_SPEC
  };
  DWORD dwKeySpec;
  CRYPT_ALGORITHM_IDENTIFIER HashAlgorithm;
  void* pvHashAuxInfo;
  DWORD cAuthAttr;
  PCRYPT_ATTRIBUTE rgAuthAttr;
  DWORD cUnauthAttr;
  PCRYPT_ATTRIBUTE rgUnauthAttr;
  CERT_ID SignerId;
  CRYPT_ALGORITHM_IDENTIFIER HashEncryptionAlgorithm;
  void* pvHashEncryptionAuxInfo;
} CMSG_SIGNER_ENCODE_INFO, *PCMSG_SIGNER_ENCODE_INFO;

typedef struct _CMSG_SIGNED_ENCODE_INFO {
  DWORD cbSize;
  DWORD cSigners;
  PCMSG_SIGNER_ENCODE_INFO rgSigners;
  DWORD cCertEncoded;
  PCERT_BLOB rgCertEncoded;
  DWORD cCrlEncoded;
  PCRL_BLOB rgCrlEncoded;
  DWORD cAttrCertEncoded;
  PCERT_BLOB rgAttrCertEncoded;
} CMSG_SIGNED_ENCODE_INFO, *PCMSG_SIGNED_ENCODE_INFO;

typedef BOOL (*PFN_CMSG_STREAM_OUTPUT)(const void* pvArg, BYTE* pbData, DWORD cbData, BOOL fFinal);
typedef struct _CMSG_STREAM_INFO {
  DWORD cbContent;
  PFN_CMSG_STREAM_OUTPUT pfnStreamOutput;
  void* pvArg;
} CMSG_STREAM_INFO, *PCMSG_STREAM_INFO;

#define CMSG_BARE_CONTENT_FLAG 0x00000001
#define CMSG_LENGTH_ONLY_FLAG 0x00000002
#define CMSG_DETACHED_FLAG 0x00000004
#define CMSG_AUTHENTICATED_ATTRIBUTES_FLAG 0x00000008
#define CMSG_CMS_ENCAPSULATED_CONTENT_FLAG 0x00000200
#define CMSG_CRYPT_RELEASE_CONTEXT_FLAG 0x00008000

#define CMSG_BARE_CONTENT_PARAM 3
#define CMSG_INNER_CONTENT_TYPE_PARAM 4
#define CMSG_SIGNER_COUNT_PARAM 5
#define CMSG_COMPUTED_HASH_PARAM 22

// A signed message to encode: the signer's private key signs at the final
// CryptMsgUpdate, whose failure carries the key's error (a smart card's
// SCARD_W_* or ERROR_CANCELLED as the provider reports it). Then
// CMSG_CONTENT_PARAM gives the DER ContentInfo. No streaming.
WINBASEAPI HCRYPTMSG CryptMsgOpenToEncode(DWORD dwMsgEncodingType, DWORD dwFlags, DWORD dwMsgType,
                                          const void* pvMsgEncodeInfo, LPSTR pszInnerContentObjID,
                                          PCMSG_STREAM_INFO pStreamInfo);

// ---- Enveloped messages ----
#define szOID_OIWSEC_desCBC "1.3.14.3.2.7"
#define szOID_RSA_RC4 "1.2.840.113549.3.4"
#define szOID_RSA_DES_EDE3_CBC "1.2.840.113549.3.7"
#define szOID_NIST_AES128_CBC "2.16.840.1.101.3.4.1.2"
#define szOID_NIST_AES192_CBC "2.16.840.1.101.3.4.1.22"
#define szOID_NIST_AES256_CBC "2.16.840.1.101.3.4.1.42"

// CryptEncrypt / CryptDecrypt with an RSA exchange key: OAEP instead of
// PKCS #1 v1.5 padding.
#define CRYPT_OAEP 0x00000040

typedef struct _CRYPT_ENCRYPT_MESSAGE_PARA {
  DWORD cbSize;
  DWORD dwMsgEncodingType;
  HCRYPTPROV hCryptProv;  // 0: a verify-only context of the default provider
  CRYPT_ALGORITHM_IDENTIFIER ContentEncryptionAlgorithm;  // Parameters: an OCTET STRING IV, or empty
  void* pvEncryptionAuxInfo;                              // not offered: must be null
  DWORD dwFlags;
  DWORD dwInnerContentType;  // 0 or CMSG_DATA: data
} CRYPT_ENCRYPT_MESSAGE_PARA, *PCRYPT_ENCRYPT_MESSAGE_PARA;

typedef struct _CRYPT_DECRYPT_MESSAGE_PARA {
  DWORD cbSize;
  DWORD dwMsgAndCertEncodingType;
  DWORD cCertStore;
  HCERTSTORE* rghCertStore;
  DWORD dwFlags;  // present when cbSize covers it
} CRYPT_DECRYPT_MESSAGE_PARA, *PCRYPT_DECRYPT_MESSAGE_PARA;

// An EnvelopedData ContentInfo (DER) with one key-transport recipient info
// (issuer and serial number, RSA PKCS #1 v1.5) per certificate; content
// keys and IVs are fresh random bytes: DES 56, triple DES 168, RC4 128 and
// AES their own bits. A recipient whose key is not RSA fails the call with
// NTE_BAD_ALGID. A null pbEncryptedBlob asks for the size.
WINBASEAPI BOOL CryptEncryptMessage(PCRYPT_ENCRYPT_MESSAGE_PARA pEncryptPara, DWORD cRecipientCert,
                                    PCCERT_CONTEXT rgpRecipientCert[], const BYTE* pbToBeEncrypted,
                                    DWORD cbToBeEncrypted, BYTE* pbEncryptedBlob, DWORD* pcbEncryptedBlob);
// Decrypts with the key (CERT_KEY_PROV_INFO_PROP_ID) of a certificate in
// the given stores that a recipient info names. A null pbDecrypted asks for
// a size that is at least the plaintext's; the decrypting call gives the
// exact size. CRYPT_E_NO_DECRYPT_CERT when no such certificate with a key
// is there, CRYPT_E_UNEXPECTED_MSG_TYPE for another message type,
// NTE_BAD_ALGID for a content or key-transport algorithm not offered,
// NTE_BAD_KEY when the unwrapped key does not fit the algorithm,
// NTE_BAD_DATA when the key or content does not decrypt.
WINBASEAPI BOOL CryptDecryptMessage(PCRYPT_DECRYPT_MESSAGE_PARA pDecryptPara, const BYTE* pbEncryptedBlob,
                                    DWORD cbEncryptedBlob, BYTE* pbDecrypted, DWORD* pcbDecrypted,
                                    PCCERT_CONTEXT* ppXchgCert);
