// Certificate chains over the current user's stores.
#include "crypt/crypt_internal.h"

using namespace velmora::crypt;

BOOL CertGetCertificateChain(HCERTCHAINENGINE, PCCERT_CONTEXT, LPFILETIME, HCERTSTORE, PCERT_CHAIN_PARA, DWORD, LPVOID,
                             PCCERT_CHAIN_CONTEXT* ppChainContext) {
  if (ppChainContext) *ppChainContext = nullptr;
  return fail(ERROR_CALL_NOT_IMPLEMENTED);
}
void CertFreeCertificateChain(PCCERT_CHAIN_CONTEXT) {}
PCCERT_CHAIN_CONTEXT CertDuplicateCertificateChain(PCCERT_CHAIN_CONTEXT) {
  SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
  return nullptr;
}
