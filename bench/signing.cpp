// Signing and selection speed: SignPkcs7 with a store RSA-2048 key beside
// OpenSSL's own RSA-2048 signature (what `openssl speed rsa2048` measures),
// and SelectSigner over a "MY" store of 1,000 certificates. Runs in a
// throw-away profile: build/bin/bench_signing
#include "bench_support.h"

#include <benchmark/benchmark.h>
#include <strabel/strabel.h>

#include <string>

#include "certs/encoding.h"

namespace {

using vbench::pki;
using vbench::profile;
using vbench::take;

void emptyMy() { vbench::emptyStore("MY"); }

void BM_SignPkcs7StoreRsa2048(benchmark::State& state) {
  profile();
  emptyMy();
  CCAPILib capi;
  const std::string csr = take(capi.CreatePKCS10("Bench Signer", 2048, 1));
  strabel::ByteBuffer der;
  strabel::Base64Decode(csr, der);
  EVP_PKEY* key = vtest::SignerPki::requestKey(std::string(reinterpret_cast<const char*>(der.data()),
                                                            size_t(der.length())));
  vtest::CertSpec spec;
  spec.subject = {{"CN", "Bench Signer"}};
  const std::string cert = pki().make(spec, key);
  EVP_PKEY_free(key);
  strabel::ByteBuffer b64;
  strabel::Base64Encode(cert.data(), int32_t(cert.size()), b64);
  if (capi.AcceptPKCS7(b64.c_str()) != 0 || capi.SelectSigner("S_CN=Bench Signer", 0x102, 0) != 0) {
    state.SkipWithError("no signer");
    return;
  }
  for (auto _ : state) {
    std::string out = take(capi.SignPkcs7("benchmark content", 0));
    if (out.empty()) state.SkipWithError("signing failed");
    benchmark::DoNotOptimize(out);
  }
}
BENCHMARK(BM_SignPkcs7StoreRsa2048)->Unit(benchmark::kMillisecond);

void BM_OpensslRsa2048Sign(benchmark::State& state) {
  EVP_PKEY* key = EVP_RSA_gen(2048);
  const unsigned char data[] = "benchmark content";
  unsigned char sig[512];
  for (auto _ : state) {
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    size_t n = sizeof sig;
    EVP_DigestSignInit(ctx, nullptr, EVP_sha256(), nullptr, key);
    EVP_DigestSign(ctx, sig, &n, data, sizeof data);
    EVP_MD_CTX_free(ctx);
    benchmark::DoNotOptimize(sig);
  }
  EVP_PKEY_free(key);
}
BENCHMARK(BM_OpensslRsa2048Sign)->Unit(benchmark::kMillisecond);

void BM_SelectSignerOver1000(benchmark::State& state) {
  profile();
  emptyMy();
  EVP_PKEY* key = EVP_RSA_gen(1024);
  HCERTSTORE my = CertOpenSystemStoreA(0, "MY");
  for (int i = 0; i < 1000; ++i) {
    vtest::CertSpec spec;
    spec.subject = {{"O", "Bench"}, {"CN", "User " + std::to_string(i)}};
    char serial[16];
    snprintf(serial, sizeof serial, "%04X", i + 1);
    spec.serialHex = serial;
    const std::string der = pki().make(spec, key);
    CertAddEncodedCertificateToStore(my, X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(der.data()),
                                     DWORD(der.size()), CERT_STORE_ADD_ALWAYS, nullptr);
  }
  CertCloseStore(my, 0);
  EVP_PKEY_free(key);
  CCAPILib capi;
  for (auto _ : state) {
    // Strict matching over every certificate, the best one kept.
    if (capi.SelectSigner("S_O=%Bench,I_CN=Root CA", 0x10A, 0) != 0) state.SkipWithError("no match");
  }
}
BENCHMARK(BM_SelectSignerOver1000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
