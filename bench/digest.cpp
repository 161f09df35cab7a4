// Strabel's digests against OpenSSL's (EVP), same algorithms and sizes in the
// same run, in bytes per second:
//
//   Digest/<ALG>/<impl>/<bytes>
//
// impl is "Strabel" (what Digest::create picks on this processor),
// "StrabelPortable" (the portable code, forced with setDigestAcceleration)
// and "OpenSSL" (EVP with a fetched digest and a reused context). Each
// iteration digests one whole message: init, one update, final.
//
// After the usual table a summary gives, for each algorithm and size,
// Strabel's throughput as a fraction of OpenSSL's.
//
//   ./bench_digest --benchmark_min_time=0.2
#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <cstdio>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "services/digest.h"

namespace {

using strabel::DigestAlg;

struct AlgInfo {
  DigestAlg alg;
  const char* name;
  const char* evpName;
};

constexpr AlgInfo kAlgs[] = {{DigestAlg::MD5, "MD5", "MD5"},
                             {DigestAlg::SHA1, "SHA1", "SHA1"},
                             {DigestAlg::SHA256, "SHA256", "SHA256"},
                             {DigestAlg::SHA512, "SHA512", "SHA512"}};

constexpr size_t kSizes[] = {64, 4096, 1 << 20, 16 << 20};

const std::vector<unsigned char>& message() {
  static const std::vector<unsigned char> data = [] {
    std::vector<unsigned char> v(kSizes[std::size(kSizes) - 1]);
    uint32_t x = 0x12345678;
    for (auto& b : v) {
      x = x * 1664525 + 1013904223;
      b = static_cast<unsigned char>(x >> 24);
    }
    return v;
  }();
  return data;
}

void strabelDigest(benchmark::State& state, DigestAlg alg, size_t len, bool portable) {
  const bool previous = strabel::setDigestAcceleration(!portable);
  auto d = strabel::Digest::create(alg);
  strabel::setDigestAcceleration(previous);
  const unsigned char* data = message().data();
  unsigned char out[64];
  for (auto _ : state) {
    d->init();
    d->update(data, len);
    d->final(out);
    benchmark::DoNotOptimize(out);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(len));
}

void opensslDigest(benchmark::State& state, const char* evpName, size_t len) {
  EVP_MD* md = EVP_MD_fetch(nullptr, evpName, nullptr);
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  if (!md || !ctx) {
    state.SkipWithError("OpenSSL digest unavailable");
    EVP_MD_CTX_free(ctx);
    EVP_MD_free(md);
    return;
  }
  const unsigned char* data = message().data();
  unsigned char out[EVP_MAX_MD_SIZE];
  unsigned int outLen = 0;
  for (auto _ : state) {
    EVP_DigestInit_ex(ctx, md, nullptr);
    EVP_DigestUpdate(ctx, data, len);
    EVP_DigestFinal_ex(ctx, out, &outLen);
    benchmark::DoNotOptimize(out);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(len));
  EVP_MD_CTX_free(ctx);
  EVP_MD_free(md);
}

// The console table, then the Strabel/OpenSSL ratios.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.error_occurred || run.run_type != Run::RT_Iteration) continue;
      const auto it = run.counters.find("bytes_per_second");
      if (it == run.counters.end()) continue;
      // Digest/<ALG>/<impl>/<bytes>
      const std::string name = run.benchmark_name();
      char alg[16], impl[32];
      long long bytes = 0;
      if (std::sscanf(name.c_str(), "Digest/%15[^/]/%31[^/]/%lld", alg, impl, &bytes) != 3) continue;
      auto& cell = rates_[{alg, bytes}][impl];
      cell.first += it->second.value;
      cell.second += 1;
    }
  }

  void Finalize() override {
    ConsoleReporter::Finalize();
    auto& os = GetOutputStream();
    os << "\nStrabel / OpenSSL throughput (MB/s = 10^6 bytes per second)\n";
    char line[160];
    std::snprintf(line, sizeof line, "%-8s %10s %12s %12s %8s %12s %8s\n", "alg", "bytes", "Strabel", "OpenSSL",
                  "ratio", "portable", "ratio");
    os << line;
    for (const auto& [key, impls] : rates_) {
      auto mean = [&](const char* impl) {
        const auto it = impls.find(impl);
        return it == impls.end() || it->second.second == 0 ? 0.0 : it->second.first / it->second.second;
      };
      const double ours = mean("Strabel"), theirs = mean("OpenSSL"), portable = mean("StrabelPortable");
      std::snprintf(line, sizeof line, "%-8s %10lld %12.1f %12.1f %8.2f %12.1f %8.2f\n", std::get<0>(key).c_str(),
                    std::get<1>(key), ours / 1e6, theirs / 1e6, theirs > 0 ? ours / theirs : 0.0, portable / 1e6,
                    theirs > 0 ? portable / theirs : 0.0);
      os << line;
    }
  }

 private:
  // (alg, bytes) -> impl -> (sum of rates, count)
  std::map<std::tuple<std::string, long long>, std::map<std::string, std::pair<double, int>>> rates_;
};

}  // namespace

int main(int argc, char** argv) {
  // Per algorithm and size, the three side by side, so that they run close
  // together in time (this matters on a shared or throttling machine).
  for (const AlgInfo& a : kAlgs) {
    for (size_t size : kSizes) {
      const std::string prefix = std::string("Digest/") + a.name;
      const std::string suffix = "/" + std::to_string(size);
      const DigestAlg alg = a.alg;
      const char* evpName = a.evpName;
      benchmark::RegisterBenchmark((prefix + "/Strabel" + suffix).c_str(),
                                   [=](benchmark::State& st) { strabelDigest(st, alg, size, false); });
      benchmark::RegisterBenchmark((prefix + "/OpenSSL" + suffix).c_str(),
                                   [=](benchmark::State& st) { opensslDigest(st, evpName, size); });
      benchmark::RegisterBenchmark((prefix + "/StrabelPortable" + suffix).c_str(),
                                   [=](benchmark::State& st) { strabelDigest(st, alg, size, true); });
    }
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
