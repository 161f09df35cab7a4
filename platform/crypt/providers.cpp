// Providers and their contexts: the software RSA providers, listing,
// CryptAcquireContextA with its key-container flags, reference counts.
#include <openssl/crypto.h>
#include <openssl/provider.h>

#include <atomic>
#include <cstring>
#include <strings.h>

#include "crypt/crypt_internal.h"
#include "crypt/token_internal.h"

namespace velmora::crypt {

OSSL_LIB_CTX* libctx() {
  static OSSL_LIB_CTX* ctx = [] {
    OSSL_LIB_CTX* c = OSSL_LIB_CTX_new();
    if (c) {
      OSSL_PROVIDER_load(c, "default");
      OSSL_PROVIDER_load(c, "legacy");
    }
    return c;
  }();
  return ctx;
}

ULONG_PTR newHandleNumber() {
  static std::atomic<ULONG_PTR> next{0x1000};
  return next.fetch_add(4);
}

BOOL copyOut(const void* bytes, DWORD n, BYTE* out, DWORD* outLen) {
  if (!outLen) return fail(ERROR_INVALID_PARAMETER);
  if (!out) {
    *outLen = n;
    return TRUE;
  }
  if (*outLen < n) {
    *outLen = n;
    return fail(ERROR_MORE_DATA);
  }
  if (n) memcpy(out, bytes, n);
  *outLen = n;
  return TRUE;
}

const std::vector<ProviderInfo>& providerTable() {
  // Sorted by name, as the registry lists them.
  static const std::vector<ProviderInfo> table = {
      {MS_DEF_PROV_A, PROV_RSA_FULL, false, false, 16384, 512},
      {MS_ENHANCED_PROV_A, PROV_RSA_FULL, true, false, 16384, 1024},
      {MS_ENH_RSA_AES_PROV_A, PROV_RSA_AES, true, true, 16384, 1024},
      {MS_STRONG_PROV_A, PROV_RSA_FULL, true, false, 16384, 1024},
  };
  return table;
}

const ProviderInfo* findProvider(const std::string& name) {
  for (const auto& p : providerTable())
    if (strcasecmp(p.name, name.c_str()) == 0) return &p;
  return nullptr;
}

bool providerSupports(const ProviderInfo& info, ALG_ID alg) {
  switch (alg) {
    case CALG_DES:
    case CALG_RSA_KEYX:
    case CALG_RSA_SIGN:
    case CALG_MD5:
    case CALG_SHA1:
    case CALG_SSL3_SHAMD5:
      return true;
    case CALG_3DES:
    case CALG_3DES_112:
      return info.tripleDes;
    case CALG_AES_128:
    case CALG_AES_192:
    case CALG_AES_256:
    case CALG_SHA_256:
    case CALG_SHA_384:
    case CALG_SHA_512:
      return info.aes;
    default:
      return false;
  }
}

HandleTable<ProvContext>& providers() {
  // Never destroyed: components release handles from their own exit code.
  static auto* table = new HandleTable<ProvContext>;
  return *table;
}

namespace {

const ProviderInfo* defaultProviderFor(DWORD type) {
  if (type == PROV_RSA_FULL) return findProvider(MS_STRONG_PROV_A);
  if (type == PROV_RSA_AES) return findProvider(MS_ENH_RSA_AES_PROV_A);
  return nullptr;
}

constexpr DWORD kKnownAcquireFlags =
    CRYPT_VERIFYCONTEXT | CRYPT_NEWKEYSET | CRYPT_DELETEKEYSET | CRYPT_MACHINE_KEYSET | CRYPT_SILENT |
    CRYPT_DEFAULT_CONTAINER_OPTIONAL;

}  // namespace

}  // namespace velmora::crypt

using namespace velmora::crypt;

BOOL CryptEnumProvidersA(DWORD dwIndex, DWORD* pdwReserved, DWORD dwFlags, DWORD* pdwProvType, LPSTR szProvName,
                         DWORD* pcbProvName) {
  if (pdwReserved || !pcbProvName) return fail(ERROR_INVALID_PARAMETER);
  if (dwFlags) return fail(NTE_BAD_FLAGS);
  const auto& table = providerTable();
  if (dwIndex >= table.size()) return tokenEnumProvider(dwIndex - DWORD(table.size()), pdwProvType, szProvName, pcbProvName);
  const ProviderInfo& p = table[dwIndex];
  if (pdwProvType) *pdwProvType = p.type;
  return copyOut(p.name, DWORD(strlen(p.name) + 1), reinterpret_cast<BYTE*>(szProvName), pcbProvName);
}

BOOL CryptAcquireContextA(HCRYPTPROV* phProv, LPCSTR szContainer, LPCSTR szProvider, DWORD dwProvType,
                          DWORD dwFlags) {
  if (!phProv) return fail(ERROR_INVALID_PARAMETER);
  *phProv = 0;
  if (dwProvType == 0 || dwProvType > 999) return fail(NTE_BAD_PROV_TYPE);
  if (dwFlags & ~kKnownAcquireFlags) return fail(NTE_BAD_FLAGS);

  const ProviderInfo* info = nullptr;
  if (szProvider && *szProvider) {
    info = findProvider(szProvider);
    if (!info) return tokenAcquireContext(phProv, szProvider, szContainer ? szContainer : "", dwProvType, dwFlags);
    if (info->type != dwProvType) return fail(NTE_PROV_TYPE_NO_MATCH);
  } else {
    info = defaultProviderFor(dwProvType);
    if (!info) return fail(NTE_PROV_TYPE_NOT_DEF);
  }

  const bool verify = (dwFlags & CRYPT_VERIFYCONTEXT) == CRYPT_VERIFYCONTEXT;
  const bool create = dwFlags & CRYPT_NEWKEYSET;
  const bool remove = dwFlags & CRYPT_DELETEKEYSET;
  if (create && remove) return fail(NTE_BAD_FLAGS);
  std::string name = szContainer ? szContainer : "";

  if (verify) {
    // A verify-only context has no container; naming one, or asking to make
    // or delete one, is refused.
    if (!name.empty() || create || remove) return fail(NTE_BAD_FLAGS);
  } else {
    if (name.empty()) name = defaultContainerName();
    if (name.size() > 260) return fail(NTE_BAD_KEYSET_PARAM);
    if (remove) {
      DWORD rc = deleteContainer(name);
      return rc ? fail(rc) : TRUE;
    }
    if (create) {
      ContainerRecord record;
      record.provider = info->name;
      record.name = name;
      if (DWORD rc = createContainer(record)) return fail(rc);
    } else if (!containerExists(name)) {
      return fail(NTE_BAD_KEYSET);
    }
  }

  auto ctx = std::make_shared<ProvContext>();
  ctx->info = info;
  ctx->container = verify ? std::string() : name;
  ctx->verifyOnly = verify;
  ctx->silent = dwFlags & CRYPT_SILENT;
  *phProv = providers().add(std::move(ctx));
  return TRUE;
}

BOOL CryptContextAddRef(HCRYPTPROV hProv, DWORD* pdwReserved, DWORD dwFlags) {
  if (pdwReserved || dwFlags) return fail(ERROR_INVALID_PARAMETER);
  auto& table = providers();
  std::lock_guard<std::mutex> lock(table.mutex());
  auto it = table.map().find(hProv);
  if (it == table.map().end()) return fail(ERROR_INVALID_HANDLE);
  ++it->second->refs;
  return TRUE;
}

BOOL CryptReleaseContext(HCRYPTPROV hProv, DWORD dwFlags) {
  if (dwFlags) return fail(NTE_BAD_FLAGS);
  auto& table = providers();
  std::shared_ptr<ProvContext> last;  // dropped outside the lock
  {
    std::lock_guard<std::mutex> lock(table.mutex());
    auto it = table.map().find(hProv);
    if (it == table.map().end()) return fail(NTE_BAD_UID);
    if (--it->second->refs == 0) {
      last = std::move(it->second);
      table.map().erase(it);
    }
  }
  return TRUE;
}

BOOL CryptGetProvParam(HCRYPTPROV hProv, DWORD dwParam, BYTE* pbData, DWORD* pdwDataLen, DWORD dwFlags) {
  auto ctx = providers().find(hProv);
  if (!ctx) return fail(NTE_BAD_UID);
  if (!pdwDataLen) return fail(ERROR_INVALID_PARAMETER);
  if (ctx->token) {
    bool handled = false;
    BOOL ok = tokenGetProvParam(*ctx, dwParam, pbData, pdwDataLen, dwFlags, handled);
    if (handled) return ok;
  }
  switch (dwParam) {
    case PP_NAME:
      return copyOut(ctx->info->name, DWORD(strlen(ctx->info->name) + 1), pbData, pdwDataLen);
    case PP_CONTAINER:
    case PP_UNIQUE_CONTAINER:
      if (ctx->verifyOnly) return fail(NTE_BAD_KEYSET);
      return copyOut(ctx->container.c_str(), DWORD(ctx->container.size() + 1), pbData, pdwDataLen);
    case PP_PROVTYPE: {
      DWORD type = ctx->info->type;
      return copyOut(&type, sizeof type, pbData, pdwDataLen);
    }
    case PP_IMPTYPE: {
      DWORD software = 2;  // CRYPT_IMPL_SOFTWARE
      return copyOut(&software, sizeof software, pbData, pdwDataLen);
    }
    case PP_VERSION: {
      DWORD version = 0x0200;
      return copyOut(&version, sizeof version, pbData, pdwDataLen);
    }
    case PP_ENUMCONTAINERS: {
      // The names of every container of this user, one per call.
      static thread_local std::vector<std::string> names;
      static thread_local size_t next = 0;
      if (dwFlags & CRYPT_FIRST) {
        names.clear();
        next = 0;
        for (const auto& file : listContainerFiles()) {
          ContainerRecord record;
          if (loadContainerFile(file, record) == 0) names.push_back(record.name);
        }
      }
      if (next >= names.size()) return fail(ERROR_NO_MORE_ITEMS);
      const std::string& n = names[next];
      if (!copyOut(n.c_str(), DWORD(n.size() + 1), pbData, pdwDataLen)) return FALSE;
      if (pbData) ++next;
      return TRUE;
    }
    default:
      return fail(NTE_BAD_TYPE);
  }
}

#include "crypt/cng_keys.h"

namespace velmora::crypt {

namespace {
std::atomic<const CngKeyFunctions*> g_cngKeys{nullptr};
}  // namespace

void registerCngKeyFunctions(const CngKeyFunctions* functions) { g_cngKeys.store(functions); }

const CngKeyFunctions* cngKeyFunctionsFor(ULONG_PTR handle) {
  const CngKeyFunctions* cng = g_cngKeys.load();
  return cng && handle && cng->isKeyHandle(handle) ? cng : nullptr;
}

}  // namespace velmora::crypt
