// What the CryptoAPI functions hand to a token provider.
#pragma once

#include "crypt/crypt_internal.h"

namespace velmora::crypt {

// CryptEnumProvidersA past the software providers.
BOOL tokenEnumProvider(DWORD index, DWORD* type, LPSTR name, DWORD* nameLen);
// CryptAcquireContextA for a provider that is not a software one:
// NTE_KEYSET_NOT_DEF when no token provider has that name either.
BOOL tokenAcquireContext(HCRYPTPROV* phProv, const std::string& provider, const std::string& container,
                         DWORD type, DWORD flags);
// The parameters that differ from a software provider's (PP_ENUMCONTAINERS,
// PP_IMPTYPE); false in `handled` for the rest.
BOOL tokenGetProvParam(ProvContext& ctx, DWORD param, BYTE* data, DWORD* len, DWORD flags, bool& handled);
BOOL tokenGenKey(const std::shared_ptr<ProvContext>& prov, ALG_ID alg, DWORD flags, HCRYPTKEY* phKey);
// The public half of the container's key of `spec` (its private half is
// on the token); null with the error.
std::shared_ptr<RsaMaterial> tokenUserKey(const ProvContext& prov, DWORD spec, DWORD& error);
BOOL tokenGetUserKey(const std::shared_ptr<ProvContext>& prov, DWORD spec, HCRYPTKEY* phKey);
BOOL tokenSignHash(HCRYPTHASH hHash, CryptHash& hash, DWORD spec, DWORD flags, BYTE* sig, DWORD* sigLen);
// A PKCS #1 v1.5 signature of a digest (OpenSSL's hash name) with the
// context's key of `spec` on the token, big-endian; false with the last
// error set.
bool tokenSignDigest(HCRYPTPROV prov, DWORD spec, const char* hashName, const BYTE* digest, size_t n,
                     std::vector<BYTE>& sig);
// KP_CERTIFICATE: the certificate object of the key, read or written.
BOOL tokenGetCertificate(CryptKey& key, BYTE* data, DWORD* len);
BOOL tokenSetCertificate(CryptKey& key, const BYTE* data);
// RSA PKCS #1 v1.5 decryption on the token, CryptoAPI's byte order.
BOOL tokenDecrypt(CryptKey& key, BOOL final, DWORD flags, BYTE* data, DWORD* len);

}  // namespace velmora::crypt
