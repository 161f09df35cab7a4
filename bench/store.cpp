// The personal store as it grows: an installation (AcceptPKCS7 of a
// certificate for a key made here) and a selection (SelectSigner) in a "MY"
// that already holds 10, 1,000 or 10,000 certificates; the install into the
// small store is the reference for the large ones.
//
//   build/bin/bench_store                    the benchmarks
//   build/bin/bench_store --fill DIR N       a profile in DIR whose "MY" holds N
//                                            certificates, and DIR/all.pem with
//                                            the same certificates (for
//                                            scripts/bench.sh's list timing)
#include "bench_support.h"

#include <benchmark/benchmark.h>
#include <strabel/strabel.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

#include "certs/encoding.h"
#include "registry/hive.h"

namespace {

using vbench::pki;
using vbench::take;

std::string serialFor(int i) {
  char serial[16];
  snprintf(serial, sizeof serial, "%06X", i + 1);
  return serial;
}

// A store of `n` certificates of other people (no keys), added in one
// commit so filling is quick; `pem` gets each one as well when given.
void fillMy(int n, std::ofstream* pem = nullptr) {
  vbench::emptyStore("MY");
  static EVP_PKEY* key = EVP_RSA_gen(1024);
  velmora::platform::HiveBatch batch;
  HCERTSTORE my = CertOpenSystemStoreA(0, "MY");
  for (int i = 0; i < n; ++i) {
    vtest::CertSpec spec;
    spec.subject = {{"O", "Bench"}, {"CN", "User " + std::to_string(i)}};
    spec.serialHex = serialFor(i);
    const std::string der = pki().make(spec, key);
    PCCERT_CONTEXT added = nullptr;
    CertAddEncodedCertificateToStore(my, X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(der.data()),
                                     DWORD(der.size()), CERT_STORE_ADD_ALWAYS, &added);
    std::u16string friendly = u"User " + std::u16string(1, char16_t(u'0' + i % 10));
    CRYPT_DATA_BLOB name{DWORD((friendly.size() + 1) * 2), reinterpret_cast<BYTE*>(friendly.data())};
    CertSetCertificateContextProperty(added, CERT_FRIENDLY_NAME_PROP_ID, 0, &name);
    CertFreeCertificateContext(added);
    if (pem) *pem << vtest::SignerPki::pem(der);
  }
  CertCloseStore(my, 0);
  batch.commit();
}

// The public key of a request the component made (its key stays in the
// profile's provider).
EVP_PKEY* enrolledKey(CCAPILib& capi) {
  const std::string csr = take(capi.CreatePKCS10("Bench Installer", 2048, 1));
  strabel::ByteBuffer der;
  strabel::Base64Decode(csr, der);
  return vtest::SignerPki::requestKey(std::string(reinterpret_cast<const char*>(der.data()), size_t(der.length())));
}

void BM_AcceptPkcs7IntoMy(benchmark::State& state) {
  vbench::profile();
  const int n = int(state.range(0));
  fillMy(n);
  CCAPILib capi;
  EVP_PKEY* key = enrolledKey(capi);
  if (!key) {
    state.SkipWithError("no request");
    return;
  }
  int serial = 0x500000;
  for (auto _ : state) {
    state.PauseTiming();
    vtest::CertSpec spec;
    spec.subject = {{"CN", "Bench Installer"}};
    spec.serialHex = serialFor(serial++);
    const std::string cert = pki().make(spec, key);
    strabel::ByteBuffer b64;
    strabel::Base64Encode(cert.data(), int32_t(cert.size()), b64);
    state.ResumeTiming();
    if (capi.AcceptPKCS7(b64.c_str()) != 0) state.SkipWithError("install failed");
  }
  EVP_PKEY_free(key);
}
BENCHMARK(BM_AcceptPkcs7IntoMy)->Arg(10)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond);

void BM_SelectSignerIn(benchmark::State& state) {
  vbench::profile();
  fillMy(int(state.range(0)));
  CCAPILib capi;
  for (auto _ : state) {
    // Strict matching over every certificate, the best one kept; none has
    // a key, so the answer is "not found" after looking at all of them.
    benchmark::DoNotOptimize(capi.SelectSigner("S_O=%Bench,I_CN=Test Root CA", 0x10A, 0));
  }
}
BENCHMARK(BM_SelectSignerIn)->Arg(10)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond);

int fillOnly(const char* dir, int n) {
  vbench::Profile keep(dir);
  std::ofstream pem(std::string(dir) + "/all.pem");
  fillMy(n, &pem);
  return pem ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && strcmp(argv[1], "--fill") == 0) return fillOnly(argv[2], atoi(argv[3]));
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
