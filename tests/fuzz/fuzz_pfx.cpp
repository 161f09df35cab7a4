// PFX files: any bytes are told apart as PFX or not, and opening them with
// or without a password ends with a store or an error; what is not a PFX
// never opens. Keys are imported into memory only (PKCS12_NO_PERSIST_KEY),
// so nothing is written.
#include <wincrypt.h>
#include <windows.h>

#include <vector>

#include "fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > (1u << 16)) return 0;
  std::vector<BYTE> bytes(data, data + size);
  CRYPT_DATA_BLOB blob{DWORD(bytes.size()), bytes.data()};
  const bool isPfx = PFXIsPFXBlob(&blob);
  for (const char16_t* password : {static_cast<const char16_t*>(nullptr), u"", u"1234"}) {
    PFXVerifyPassword(&blob, password, 0);
    HCERTSTORE store = PFXImportCertStore(&blob, password, PKCS12_NO_PERSIST_KEY);
    if (!store) continue;
    FUZZ_CHECK(isPfx);
    for (PCCERT_CONTEXT c = nullptr; (c = CertEnumCertificatesInStore(store, c));) {
      FUZZ_CHECK(c->pbCertEncoded && c->cbCertEncoded > 0);
      DWORD n = 0;
      CertGetCertificateContextProperty(c, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &n);
    }
    CertCloseStore(store, 0);
  }
  return 0;
}
