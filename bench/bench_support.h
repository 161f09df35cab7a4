// What the benchmarks share: a throw-away profile (HOME and the XDG folders
// in a temporary folder, so the user's hive and keys are never touched), a
// test CA, and helpers for the component's text results.
#pragma once

#include "../tests/security/signer_pki.h"  // OpenSSL before wincrypt.h (X509_NAME)

#include <wincrypt.h>

#include <cstdlib>
#include <filesystem>
#include <string>

namespace vbench {

inline std::string take(char* text) {
  std::string s = text ? text : "";
  delete[] text;
  return s;
}

struct Profile {
  explicit Profile(std::string keep = {}) {
    if (keep.empty()) {
      char tmpl[] = "/tmp/velmora-bench-XXXXXX";
      dir = mkdtemp(tmpl);
    } else {
      dir = std::move(keep);
      std::filesystem::create_directories(dir);
      kept = true;
    }
    setenv("HOME", dir.c_str(), 1);
    setenv("XDG_DATA_HOME", (dir + "/data").c_str(), 1);
    setenv("XDG_CONFIG_HOME", (dir + "/config").c_str(), 1);
    setenv("XDG_RUNTIME_DIR", dir.c_str(), 1);
    unsetenv("VELMORA_HIVE");
    unsetenv("VELMORA_DIALOG_SCRIPT");
    unsetenv("VELMORA_DIALOG_LOG");
  }
  ~Profile() {
    if (!kept) std::filesystem::remove_all(dir);
  }
  std::string dir;
  bool kept = false;
};

inline Profile& profile() {
  static Profile p;
  return p;
}

inline vtest::SignerPki& pki() {
  static vtest::SignerPki p;
  return p;
}

inline void emptyStore(const char* name) {
  HCERTSTORE store = CertOpenSystemStoreA(0, name);
  for (PCCERT_CONTEXT c; (c = CertEnumCertificatesInStore(store, nullptr));) CertDeleteCertificateFromStore(c);
  CertCloseStore(store, 0);
}

}  // namespace vbench
