// Certificate chains over the current user's "MY", "CA" and "ROOT" stores
// (and a caller's additional store): issuers by name with a verifying key,
// trust from "ROOT", time validity, signatures, issuing usage and basic
// constraints, and requested extended key usages. Revocation is never
// fetched (no network): asked for, it is reported unknown and offline.
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <set>
#include <vector>

#include "crypt/crypt_internal.h"

namespace velmora::crypt {

namespace {

constexpr size_t kMaxDepth = 20;

struct X509Free {
  void operator()(X509* x) const { X509_free(x); }
};
using X509Ptr = std::unique_ptr<X509, X509Free>;

X509Ptr decode(PCCERT_CONTEXT c) {
  const unsigned char* p = c->pbCertEncoded;
  return X509Ptr(d2i_X509(nullptr, &p, long(c->cbCertEncoded)));
}

bool sameBlob(const CERT_NAME_BLOB& a, const CERT_NAME_BLOB& b) {
  return a.cbData == b.cbData && (a.cbData == 0 || memcmp(a.pbData, b.pbData, a.cbData) == 0);
}

bool sameCert(PCCERT_CONTEXT a, PCCERT_CONTEXT b) {
  return a->cbCertEncoded == b->cbCertEncoded && memcmp(a->pbCertEncoded, b->pbCertEncoded, a->cbCertEncoded) == 0;
}

bool signedBy(X509* cert, X509* issuer) {
  EVP_PKEY* key = X509_get0_pubkey(issuer);
  return key && X509_verify(cert, key) == 1;
}

struct Candidate {
  PCCERT_CONTEXT ctx;  // our reference
  bool root;
};

struct ChainHolder {
  CERT_CHAIN_CONTEXT context{};  // first: the caller's pointer is the holder's
  CERT_SIMPLE_CHAIN simple{};
  PCERT_SIMPLE_CHAIN simplePtr = nullptr;
  std::vector<CERT_CHAIN_ELEMENT> elements;
  std::vector<PCERT_CHAIN_ELEMENT> elementPtrs;
  int refs = 1;
};

std::mutex& chainLock() {
  static auto* m = new std::mutex;
  return *m;
}
std::set<const void*>& liveChains() {
  static auto* s = new std::set<const void*>;
  return *s;
}

void addStore(HCERTSTORE store, bool root, std::vector<Candidate>& out) {
  if (!store) return;
  PCCERT_CONTEXT c = nullptr;
  while ((c = CertEnumCertificatesInStore(store, c))) out.push_back({CertDuplicateCertificateContext(c), root});
}

std::vector<std::string> ekusOf(X509* x, bool& present) {
  std::vector<std::string> out;
  auto* eku = static_cast<EXTENDED_KEY_USAGE*>(X509_get_ext_d2i(x, NID_ext_key_usage, nullptr, nullptr));
  present = eku != nullptr;
  for (int i = 0; eku && i < sk_ASN1_OBJECT_num(eku); ++i) {
    char text[128];
    OBJ_obj2txt(text, sizeof text, sk_ASN1_OBJECT_value(eku, i), 1);
    out.push_back(text);
  }
  if (eku) sk_ASN1_OBJECT_pop_free(eku, ASN1_OBJECT_free);
  return out;
}

bool usageMatches(X509* x, const CERT_USAGE_MATCH& want) {
  if (!want.Usage.cUsageIdentifier) return true;
  bool present = false;
  const auto have = ekusOf(x, present);
  if (!present) return true;  // no extension: good for every usage
  bool any = false, all = true;
  for (DWORD i = 0; i < want.Usage.cUsageIdentifier; ++i) {
    const char* oid = want.Usage.rgpszUsageIdentifier[i];
    const bool has = oid && std::find(have.begin(), have.end(), oid) != have.end();
    any = any || has;
    all = all && has;
  }
  return want.dwType == USAGE_MATCH_TYPE_OR ? any : all;
}

}  // namespace

}  // namespace velmora::crypt

using namespace velmora::crypt;

BOOL CertGetCertificateChain(HCERTCHAINENGINE hChainEngine, PCCERT_CONTEXT pCertContext, LPFILETIME pTime,
                             HCERTSTORE hAdditionalStore, PCERT_CHAIN_PARA pChainPara, DWORD dwFlags, LPVOID,
                             PCCERT_CHAIN_CONTEXT* ppChainContext) {
  if (ppChainContext) *ppChainContext = nullptr;
  if (!pCertContext || !ppChainContext || !pChainPara || pChainPara->cbSize < sizeof(CERT_CHAIN_PARA))
    return fail(DWORD(E_INVALIDARG));
  if (hChainEngine != HCCE_CURRENT_USER && hChainEngine != HCCE_LOCAL_MACHINE) return fail(DWORD(E_INVALIDARG));
  X509Ptr end = decode(pCertContext);
  if (!end) return fail(DWORD(CRYPT_E_ASN1_BADTAG));

  std::vector<Candidate> pool;
  HCERTSTORE my = CertOpenSystemStoreA(0, "MY"), ca = CertOpenSystemStoreA(0, "CA"),
             root = CertOpenSystemStoreA(0, "ROOT");
  addStore(root, true, pool);
  addStore(hAdditionalStore, false, pool);
  // The certificate's own store is searched too: a PFX file's chain comes
  // with its signer.
  if (pCertContext->hCertStore != hAdditionalStore) addStore(pCertContext->hCertStore, false, pool);
  addStore(ca, false, pool);
  addStore(my, false, pool);
  for (HCERTSTORE s : {my, ca, root})
    if (s) CertCloseStore(s, 0);
  auto isRoot = [&](PCCERT_CONTEXT c) {
    for (const auto& p : pool)
      if (p.root && sameCert(p.ctx, c)) return true;
    return false;
  };

  struct Link {
    PCCERT_CONTEXT ctx;
    X509Ptr x509;
    DWORD error = 0, info = 0;
  };
  std::vector<Link> links;
  links.push_back({CertDuplicateCertificateContext(pCertContext), std::move(end)});
  DWORD chainError = 0;
  for (;;) {
    Link& cur = links.back();
    const CERT_INFO* ci = cur.ctx->pCertInfo;
    if (sameBlob(ci->Issuer, ci->Subject) && signedBy(cur.x509.get(), cur.x509.get())) {
      cur.info |= CERT_TRUST_IS_SELF_SIGNED | CERT_TRUST_HAS_NAME_MATCH_ISSUER;
      if (!isRoot(cur.ctx)) cur.error |= CERT_TRUST_IS_UNTRUSTED_ROOT;
      break;
    }
    if (links.size() >= kMaxDepth) {
      chainError |= CERT_TRUST_IS_PARTIAL_CHAIN;
      break;
    }
    // The issuer: named so, its key verifying; one valid now and trusted first.
    const Candidate* best = nullptr;
    X509Ptr bestX;
    int bestScore = -1;
    bool cyclic = false;
    bool badSignature = false;
    for (const auto& p : pool) {
      if (!sameBlob(p.ctx->pCertInfo->Subject, ci->Issuer)) continue;
      X509Ptr x = decode(p.ctx);
      if (!x) continue;
      // One whose key verifies beats any other of that name.
      const bool verifies = signedBy(cur.x509.get(), x.get());
      bool seen = false;
      for (const auto& l : links) seen = seen || sameCert(l.ctx, p.ctx);
      if (seen) {
        cyclic = true;
        continue;
      }
      const int score = (verifies ? 4 : 0) + (CertVerifyTimeValidity(pTime, p.ctx->pCertInfo) == 0 ? 2 : 0) +
                        (p.root ? 1 : 0);
      if (score > bestScore) {
        best = &p;
        bestX = std::move(x);
        bestScore = score;
        badSignature = !verifies;
      }
    }
    if (!best) {
      cur.error |= cyclic ? CERT_TRUST_IS_CYCLIC : 0;
      chainError |= CERT_TRUST_IS_PARTIAL_CHAIN;
      break;
    }
    cur.info |= CERT_TRUST_HAS_NAME_MATCH_ISSUER;
    if (badSignature) cur.error |= CERT_TRUST_IS_NOT_SIGNATURE_VALID;
    links.push_back({CertDuplicateCertificateContext(best->ctx), std::move(bestX)});
  }
  for (auto& p : pool) CertFreeCertificateContext(p.ctx);

  // Every certificate's own checks.
  const bool revocation = dwFlags & (CERT_CHAIN_REVOCATION_CHECK_END_CERT | CERT_CHAIN_REVOCATION_CHECK_CHAIN |
                                     CERT_CHAIN_REVOCATION_CHECK_CHAIN_EXCLUDE_ROOT);
  for (size_t i = 0; i < links.size(); ++i) {
    Link& l = links[i];
    X509* x = l.x509.get();
    if (CertVerifyTimeValidity(pTime, l.ctx->pCertInfo) != 0) l.error |= CERT_TRUST_IS_NOT_TIME_VALID;
    if (!usageMatches(x, pChainPara->RequestedUsage)) l.error |= CERT_TRUST_IS_NOT_VALID_FOR_USAGE;
    if (i > 0) {
      // An issuer must be a CA and may have to be allowed to sign certificates.
      const uint32_t ext = X509_get_extension_flags(x);
      if ((ext & EXFLAG_BCONS) && !(ext & EXFLAG_CA)) l.error |= CERT_TRUST_INVALID_BASIC_CONSTRAINTS;
      if ((ext & EXFLAG_KUSAGE) && !(X509_get_key_usage(x) & KU_KEY_CERT_SIGN))
        l.error |= CERT_TRUST_IS_NOT_VALID_FOR_USAGE;
    }
    if (i + 1 == links.size() && (l.info & CERT_TRUST_IS_SELF_SIGNED) && !signedBy(x, x))
      l.error |= CERT_TRUST_IS_NOT_SIGNATURE_VALID;
    const bool isTop = i + 1 == links.size() && (l.info & CERT_TRUST_IS_SELF_SIGNED);
    const bool checked = (dwFlags & CERT_CHAIN_REVOCATION_CHECK_CHAIN) ||
                         ((dwFlags & CERT_CHAIN_REVOCATION_CHECK_CHAIN_EXCLUDE_ROOT) && !isTop) ||
                         ((dwFlags & CERT_CHAIN_REVOCATION_CHECK_END_CERT) && i == 0);
    if (revocation && checked) l.error |= CERT_TRUST_REVOCATION_STATUS_UNKNOWN | CERT_TRUST_IS_OFFLINE_REVOCATION;
  }
  auto* holder = new ChainHolder;
  holder->elements.resize(links.size());
  holder->elementPtrs.resize(links.size());
  DWORD errors = chainError, infos = 0;
  for (size_t i = 0; i < links.size(); ++i) {
    CERT_CHAIN_ELEMENT& e = holder->elements[i];
    e.cbSize = sizeof e;
    e.pCertContext = links[i].ctx;
    e.TrustStatus = {links[i].error, links[i].info};
    holder->elementPtrs[i] = &e;
    errors |= links[i].error;
    infos |= links[i].info & ~DWORD(CERT_TRUST_IS_SELF_SIGNED | CERT_TRUST_HAS_NAME_MATCH_ISSUER);
  }
  holder->simple.cbSize = sizeof holder->simple;
  holder->simple.TrustStatus = {errors, infos};
  holder->simple.cElement = DWORD(links.size());
  holder->simple.rgpElement = holder->elementPtrs.data();
  holder->simplePtr = &holder->simple;
  holder->context.cbSize = sizeof holder->context;
  holder->context.TrustStatus = {errors, infos};
  holder->context.cChain = 1;
  holder->context.rgpChain = &holder->simplePtr;
  {
    std::lock_guard<std::mutex> guard(chainLock());
    liveChains().insert(holder);
  }
  *ppChainContext = &holder->context;
  return TRUE;
}

void CertFreeCertificateChain(PCCERT_CHAIN_CONTEXT pChainContext) {
  if (!pChainContext) return;
  ChainHolder* holder = nullptr;
  {
    std::lock_guard<std::mutex> guard(chainLock());
    auto it = liveChains().find(pChainContext);
    if (it == liveChains().end()) return;  // not ours, or freed already
    holder = reinterpret_cast<ChainHolder*>(const_cast<CERT_CHAIN_CONTEXT*>(pChainContext));
    if (--holder->refs > 0) return;
    liveChains().erase(it);
  }
  for (const auto& e : holder->elements) CertFreeCertificateContext(e.pCertContext);
  delete holder;
}

PCCERT_CHAIN_CONTEXT CertDuplicateCertificateChain(PCCERT_CHAIN_CONTEXT pChainContext) {
  std::lock_guard<std::mutex> guard(chainLock());
  if (!pChainContext || !liveChains().count(pChainContext)) {
    SetLastError(DWORD(E_INVALIDARG));
    return nullptr;
  }
  ++reinterpret_cast<ChainHolder*>(const_cast<CERT_CHAIN_CONTEXT*>(pChainContext))->refs;
  return pChainContext;
}
