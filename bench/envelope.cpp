// Envelope decryption speed: CertDecryptPkcs7 beside OpenSSL's CMS_decrypt of
// the same triple-DES message, over the number of recipient infos (the
// user's own last) and over the text's size. Both should grow linearly and
// stay within a small factor of each other. Runs in a throw-away profile:
// build/bin/bench_envelope
#include "../tests/security/signer_pki.h"  // OpenSSL before wincrypt.h (X509_NAME)

#include <benchmark/benchmark.h>
#include <openssl/cms.h>
#include <openssl/pkcs12.h>
#include <strabel/strabel.h>
#include <wincrypt.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>

#include "certs/encoding.h"

namespace {

constexpr DWORD kEnc = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

struct Profile {
  Profile() {
    char tmpl[] = "/tmp/velmora-bench-XXXXXX";
    dir = mkdtemp(tmpl);
    setenv("HOME", dir.c_str(), 1);
    setenv("XDG_DATA_HOME", (dir + "/data").c_str(), 1);
    setenv("XDG_CONFIG_HOME", (dir + "/config").c_str(), 1);
    setenv("XDG_RUNTIME_DIR", dir.c_str(), 1);
    unsetenv("VELMORA_DIALOG_SCRIPT");
    unsetenv("VELMORA_DIALOG_LOG");
  }
  ~Profile() { std::filesystem::remove_all(dir); }
  std::string dir;
};

X509* x509Of(const std::string& der) {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(der.data());
  return d2i_X509(nullptr, &p, long(der.size()));
}

// One key for every recipient (serials tell them apart); the user holds
// the last recipient's certificate in "MY" with that key.
struct Fixture {
  Fixture() {
    key = EVP_RSA_gen(2048);
    vtest::CertSpec spec;
    spec.subject = {{"CN", "Bench Recipient"}};
    spec.keyUsage = "keyEncipherment";
    spec.serialHex = "0F0000";
    mine = pki.make(spec, key);
    // The key and certificate into "MY" through a PFX import.
    PKCS12* p12 = PKCS12_create("pw", nullptr, key, x509Of(mine), nullptr, 0, 0, 0, 0, 0);
    unsigned char* der = nullptr;
    const int n = i2d_PKCS12(p12, &der);
    CRYPT_DATA_BLOB blob{DWORD(n), der};
    HCERTSTORE pfx = PFXImportCertStore(&blob, u"pw", 0);
    HCERTSTORE my = CertOpenSystemStoreA(0, "MY");
    for (PCCERT_CONTEXT c = nullptr; (c = CertEnumCertificatesInStore(pfx, c));)
      CertAddCertificateContextToStore(my, c, CERT_STORE_ADD_REPLACE_EXISTING, nullptr);
    CertCloseStore(my, 0);
    CertCloseStore(pfx, 0);
    OPENSSL_free(der);
    PKCS12_free(p12);
  }
  ~Fixture() { EVP_PKEY_free(key); }

  // The DER message for `recipients` recipients of `size` bytes of text.
  const std::string& message(int recipients, int size) {
    auto& m = messages[{recipients, size}];
    if (!m.empty()) return m;
    STACK_OF(X509)* certs = sk_X509_new_null();
    for (int i = 1; i < recipients; ++i) {
      vtest::CertSpec spec;
      spec.subject = {{"CN", "Other " + std::to_string(i)}};
      spec.serialHex = std::to_string(100000 + i);
      sk_X509_push(certs, x509Of(pki.make(spec, key)));
    }
    sk_X509_push(certs, x509Of(mine));
    const std::string text(size_t(size), 'a');
    BIO* in = BIO_new_mem_buf(text.data(), int(text.size()));
    CMS_ContentInfo* cms = CMS_encrypt(certs, in, EVP_des_ede3_cbc(), CMS_BINARY);
    unsigned char* der = nullptr;
    const int n = i2d_CMS_ContentInfo(cms, &der);
    m.assign(reinterpret_cast<char*>(der), size_t(n));
    OPENSSL_free(der);
    CMS_ContentInfo_free(cms);
    BIO_free(in);
    sk_X509_pop_free(certs, X509_free);
    return m;
  }

  vtest::SignerPki pki;
  EVP_PKEY* key = nullptr;
  std::string mine;
  std::map<std::pair<int, int>, std::string> messages;
};

Fixture& fixture() {
  static Profile profile;
  static Fixture f;
  return f;
}

void ours(benchmark::State& state, int recipients, int size) {
  const std::string& der = fixture().message(recipients, size);
  strabel::ByteBuffer b64;
  strabel::Base64Encode(der.data(), int32_t(der.size()), b64);
  CCAPILib capi;
  for (auto _ : state) {
    char* plain = capi.CertDecryptPkcs7(b64.c_str(), 0x800);
    if (capi.GetErrorCode() != 0 || !plain || strlen(plain) != size_t(size)) state.SkipWithError("decryption failed");
    delete[] plain;
  }
}

void openssl(benchmark::State& state, int recipients, int size) {
  Fixture& f = fixture();
  const std::string& der = f.message(recipients, size);
  X509* cert = x509Of(f.mine);
  for (auto _ : state) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(der.data());
    CMS_ContentInfo* cms = d2i_CMS_ContentInfo(nullptr, &p, long(der.size()));
    BIO* out = BIO_new(BIO_s_mem());
    if (!cms || CMS_decrypt(cms, f.key, cert, nullptr, out, CMS_BINARY) != 1 || BIO_pending(out) != size)
      state.SkipWithError("openssl decryption failed");
    BIO_free(out);
    CMS_ContentInfo_free(cms);
  }
  X509_free(cert);
}

void BM_CertDecryptPkcs7Recipients(benchmark::State& state) { ours(state, int(state.range(0)), 64); }
void BM_OpensslDecryptRecipients(benchmark::State& state) { openssl(state, int(state.range(0)), 64); }
void BM_CertDecryptPkcs7Size(benchmark::State& state) { ours(state, 1, int(state.range(0))); }
void BM_OpensslDecryptSize(benchmark::State& state) { openssl(state, 1, int(state.range(0))); }

BENCHMARK(BM_CertDecryptPkcs7Recipients)->Arg(10)->Arg(100)->Arg(1000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OpensslDecryptRecipients)->Arg(10)->Arg(100)->Arg(1000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CertDecryptPkcs7Size)->Arg(1 << 20)->Arg(10 << 20)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OpensslDecryptSize)->Arg(1 << 20)->Arg(10 << 20)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
