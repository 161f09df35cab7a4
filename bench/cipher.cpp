// The component's symmetric encryption (SymEncrypt / SymDecrypt: the cipher
// and the text encoding of its result) against OpenSSL doing the same work
// in the same process: EVP DES-EDE3-CBC or DES-CBC, then Base64 of the
// result (what `openssl enc -des-ede3-cbc -a` does, without the process
// start). Sizes 8 KiB, 1 MiB, 16 MiB; throughput in bytes per second.
#include "bench_support.h"

#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <openssl/provider.h>
#include <strabel/strabel.h>

#include <string>
#include <vector>

namespace {

using vbench::take;

const std::string& plain(size_t n) {
  static std::string text;
  if (text.size() != n) {
    text.assign(n, 'a');
    for (size_t i = 0; i < n; ++i) text[i] = char('a' + (i * 7 + i / 64) % 26);
  }
  return text;
}

// iAlgorithm 0 is triple DES (three keys), 1 single DES; keys as hex. Flag
// 0x800 takes the text as 8-bit, so both sides encrypt the same bytes.
const char kKey3[] = "0123456789ABCDEFFEDCBA987654321089ABCDEF01234567";
const char kKey1[] = "0123456789ABCDEF";

void BM_SymEncrypt(benchmark::State& state, long alg) {
  CCAPILib capi;
  const std::string& text = plain(size_t(state.range(0)));
  for (auto _ : state) {
    std::string out = take(capi.SymEncrypt(text.c_str(), alg == 0 ? kKey3 : kKey1, alg, 0x800));
    if (out.empty()) state.SkipWithError("encryption failed");
    benchmark::DoNotOptimize(out);
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * state.range(0));
}

void BM_SymDecrypt(benchmark::State& state, long alg) {
  CCAPILib capi;
  const std::string& text = plain(size_t(state.range(0)));
  const std::string cipher = take(capi.SymEncrypt(text.c_str(), alg == 0 ? kKey3 : kKey1, alg, 0x800));
  for (auto _ : state) {
    std::string out = take(capi.SymDecrypt(cipher.c_str(), alg == 0 ? kKey3 : kKey1, alg, 0x800));
    if (out.size() != text.size()) state.SkipWithError("decryption failed");
    benchmark::DoNotOptimize(out);
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * state.range(0));
}

void BM_OpensslEnc(benchmark::State& state, long alg, bool decrypt) {
  static OSSL_PROVIDER* legacy = OSSL_PROVIDER_load(nullptr, "legacy");
  static OSSL_PROVIDER* deflt = OSSL_PROVIDER_load(nullptr, "default");
  (void)legacy;
  (void)deflt;
  const std::string& text = plain(size_t(state.range(0)));
  unsigned char key[24] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23, 24};
  unsigned char iv[8] = {};
  EVP_CIPHER* cipher = EVP_CIPHER_fetch(nullptr, alg == 0 ? "DES-EDE3-CBC" : "DES-CBC", nullptr);
  if (!cipher) {
    state.SkipWithError("OpenSSL has no such cipher");
    return;
  }
  std::vector<unsigned char> buf(text.size() + 16), b64((text.size() + 16) / 3 * 4 + 8);
  auto encrypt = [&]() {
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    int n = 0, m = 0;
    EVP_EncryptInit_ex2(ctx, cipher, key, iv, nullptr);
    EVP_EncryptUpdate(ctx, buf.data(), &n, reinterpret_cast<const unsigned char*>(text.data()), int(text.size()));
    EVP_EncryptFinal_ex(ctx, buf.data() + n, &m);
    EVP_CIPHER_CTX_free(ctx);
    return n + m;
  };
  const int cn = encrypt();
  std::vector<unsigned char> out(text.size() + 16);
  for (auto _ : state) {
    if (!decrypt) {
      int n = encrypt();
      benchmark::DoNotOptimize(EVP_EncodeBlock(b64.data(), buf.data(), n));
    } else {
      // Base64 back to bytes, then the cipher.
      int len = EVP_EncodeBlock(b64.data(), buf.data(), cn);
      benchmark::DoNotOptimize(EVP_DecodeBlock(out.data(), b64.data(), len));
      EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
      int n = 0, m = 0;
      EVP_DecryptInit_ex2(ctx, cipher, key, iv, nullptr);
      EVP_DecryptUpdate(ctx, out.data(), &n, buf.data(), cn);
      EVP_DecryptFinal_ex(ctx, out.data() + n, &m);
      EVP_CIPHER_CTX_free(ctx);
      benchmark::DoNotOptimize(out);
    }
  }
  EVP_CIPHER_free(cipher);
  state.SetBytesProcessed(int64_t(state.iterations()) * state.range(0));
}

void sizes(benchmark::internal::Benchmark* b) { b->Arg(8 << 10)->Arg(1 << 20)->Arg(16 << 20); }

BENCHMARK_CAPTURE(BM_SymEncrypt, des3, 0)->Apply(sizes);
BENCHMARK_CAPTURE(BM_OpensslEnc, des3_encrypt, 0, false)->Apply(sizes);
BENCHMARK_CAPTURE(BM_SymDecrypt, des3, 0)->Apply(sizes);
BENCHMARK_CAPTURE(BM_OpensslEnc, des3_decrypt, 0, true)->Apply(sizes);
BENCHMARK_CAPTURE(BM_SymEncrypt, des, 1)->Apply(sizes);
BENCHMARK_CAPTURE(BM_OpensslEnc, des_encrypt, 1, false)->Apply(sizes);
BENCHMARK_CAPTURE(BM_SymDecrypt, des, 1)->Apply(sizes);
BENCHMARK_CAPTURE(BM_OpensslEnc, des_decrypt, 1, true)->Apply(sizes);

}  // namespace

BENCHMARK_MAIN();
