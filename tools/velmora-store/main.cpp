// velmora-store: looks into the current user's certificate stores and key
// containers (Linux has no certificate manager for them).
//
//   velmora-store stores                     the stores and how many certificates each holds
//   velmora-store list [STORE...]            the certificates (all stores when none is named)
//   velmora-store keys                       the key containers, by provider, with their keys' flags
//   velmora-store delete STORE SHA1          removes a certificate
//   velmora-store export STORE SHA1 [--pem] [FILE]   writes it as DER (or PEM) to FILE or standard output
//   velmora-store import-pfx FILE [--exportable]       its certificates with keys to MY, CA certificates to CA
//                                                      (the password is the first line of standard input)
//   velmora-store export-pfx SHA1 FILE               a certificate of MY with its key into a new PFX file
//                                                      (mode 0600; the password as for import-pfx)
//   velmora-store providers                  the providers; token providers with their PKCS#11 module
//   velmora-store add-provider NAME MODULE   a token provider on a module (a path or a p11-kit module name)
//   velmora-store remove-provider NAME       removes a token provider (it stays away)
//
// Texts are printed in UTF-8. Exit status: 0 done, 1 not found or failed, 2 usage.
#include <openssl/evp.h>  // before wincrypt.h (X509_NAME)

#include <ncrypt.h>
#include <unistd.h>
#include <wincrypt.h>
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <set>
#include <string>
#include <vector>

#include "base/codepage_internal.h"
#include "base/private_files.h"
#include "crypt/containers.h"

int listProviders();
int addProvider(const std::string& name, const std::string& module);
int removeProvider(const std::string& name);

namespace {

constexpr DWORD kEnc = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
const char* const kKnownStores[] = {"MY", "CA", "ROOT", "AddressBook", "TrustedPeople", "TrustedPublisher",
                                    "Disallowed", "AuthRoot", "SmartCardRoot", "Trust", "REQUEST", "UserDS"};

std::string utf8(const std::string& ansi) { return velmora::platform::utf8FromAnsi(ansi); }
std::string utf8(const std::u16string& wide) { return velmora::platform::toNarrow(wide, 65001); }

std::string hex(const BYTE* p, size_t n, bool reverse = false) {
  static const char d[] = "0123456789ABCDEF";
  std::string s;
  for (size_t i = 0; i < n; ++i) {
    BYTE b = reverse ? p[n - 1 - i] : p[i];
    s += d[b >> 4];
    s += d[b & 15];
  }
  return s;
}

std::string name(const CERT_NAME_BLOB& blob) {
  CERT_NAME_BLOB b = blob;
  DWORD n = CertNameToStrA(kEnc, &b, CERT_X500_NAME_STR, nullptr, 0);
  std::string s(n, '\0');
  CertNameToStrA(kEnc, &b, CERT_X500_NAME_STR, s.data(), n);
  s.resize(n ? n - 1 : 0);
  return utf8(s);
}

std::string when(const FILETIME& ft) {
  const uint64_t v = (uint64_t(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
  const time_t t = time_t(int64_t(v / 10000000ULL) - 11644473600LL);
  struct tm utc{};
  gmtime_r(&t, &utc);
  char text[32];
  strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &utc);
  return text;
}

std::string thumbprint(PCCERT_CONTEXT c) {
  BYTE h[20];
  DWORD n = sizeof h;
  return CertGetCertificateContextProperty(c, CERT_SHA1_HASH_PROP_ID, h, &n) ? hex(h, n) : "";
}

std::vector<std::string> storeNames() {
  std::vector<std::string> names(std::begin(kKnownStores), std::end(kKnownStores));
  std::set<std::string> seen;
  for (const auto& n : names) {
    std::string folded = n;
    for (auto& ch : folded) ch = char(toupper(static_cast<unsigned char>(ch)));
    seen.insert(folded);
  }
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Microsoft\\SystemCertificates", 0, KEY_READ, &key) == ERROR_SUCCESS) {
    for (DWORD i = 0;; ++i) {
      char n[256];
      DWORD size = sizeof n;
      if (RegEnumKeyExA(key, i, n, &size, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
      std::string folded(n, size);
      for (auto& ch : folded) ch = char(toupper(static_cast<unsigned char>(ch)));
      if (seen.insert(folded).second) names.emplace_back(n, size);
    }
    RegCloseKey(key);
  }
  return names;
}

HCERTSTORE openStore(const std::string& store) {
  // Read-only: looking must not create stores.
  return CertOpenStore(CERT_STORE_PROV_SYSTEM_A, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER | CERT_STORE_READONLY_FLAG,
                       store.c_str());
}

void printCertificate(PCCERT_CONTEXT c) {
  const CERT_INFO* info = c->pCertInfo;
  printf("  Subject:     %s\n", name(info->Subject).c_str());
  printf("  Issuer:      %s\n", name(info->Issuer).c_str());
  printf("  Serial:      %s\n", hex(info->SerialNumber.pbData, info->SerialNumber.cbData, true).c_str());
  printf("  Valid from:  %s\n", when(info->NotBefore).c_str());
  printf("  Valid to:    %s\n", when(info->NotAfter).c_str());
  printf("  SHA-1:       %s\n", thumbprint(c).c_str());
  DWORD n = 0;
  if (CertGetCertificateContextProperty(c, CERT_FRIENDLY_NAME_PROP_ID, nullptr, &n) && n >= 2) {
    std::u16string w(n / 2, u'\0');
    CertGetCertificateContextProperty(c, CERT_FRIENDLY_NAME_PROP_ID, w.data(), &n);
    printf("  Friendly:    %s\n", utf8(std::u16string(w.c_str())).c_str());
  }
  n = 0;
  if (CertGetCertificateContextProperty(c, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &n)) {
    std::vector<BYTE> buf(n);
    CertGetCertificateContextProperty(c, CERT_KEY_PROV_INFO_PROP_ID, buf.data(), &n);
    auto* p = reinterpret_cast<CRYPT_KEY_PROV_INFO*>(buf.data());
    auto w = [](const WCHAR* s) { return s ? std::u16string(s) : std::u16string(); };
    printf("  Key:         container %s, provider %s, type %u, key spec %u\n",
           utf8(w(p->pwszContainerName)).c_str(), utf8(w(p->pwszProvName)).c_str(), p->dwProvType, p->dwKeySpec);
  }
}

int listStores() {
  for (const auto& store : storeNames()) {
    HCERTSTORE h = openStore(store);
    size_t count = 0;
    for (PCCERT_CONTEXT c = nullptr; h && (c = CertEnumCertificatesInStore(h, c));) ++count;
    if (h) CertCloseStore(h, 0);
    printf("%-18s %zu\n", store.c_str(), count);
  }
  return 0;
}

int listCertificates(std::vector<std::string> stores) {
  if (stores.empty()) stores = storeNames();
  for (const auto& store : stores) {
    HCERTSTORE h = openStore(store);
    if (!h) continue;
    bool first = true;
    for (PCCERT_CONTEXT c = nullptr; (c = CertEnumCertificatesInStore(h, c));) {
      if (first) printf("%s:\n", store.c_str());
      first = false;
      printCertificate(c);
      printf("\n");
    }
    CertCloseStore(h, 0);
  }
  return 0;
}

// The keys of the CNG key storage provider, through the provider library in
// the system folder, as the security component reaches it.
void listCngKeys() {
  char folder[4096];
  const UINT n = GetSystemDirectoryA(folder, sizeof folder);
  HMODULE lib = n && n < sizeof folder ? LoadLibraryA((std::string(folder, n) + "/ncrypt.so").c_str()) : nullptr;
  if (!lib) {
    fprintf(stderr, "velmora-store: the key storage provider (ncrypt.so) is not in the system folder\n");
    return;
  }
  auto fn = [&](const char* name) { return reinterpret_cast<void*>(GetProcAddress(lib, name)); };
  auto open = reinterpret_cast<decltype(&NCryptOpenStorageProvider)>(fn("NCryptOpenStorageProvider"));
  auto enumKeys = reinterpret_cast<decltype(&NCryptEnumKeys)>(fn("NCryptEnumKeys"));
  auto openKey = reinterpret_cast<decltype(&NCryptOpenKey)>(fn("NCryptOpenKey"));
  auto getProperty = reinterpret_cast<decltype(&NCryptGetProperty)>(fn("NCryptGetProperty"));
  auto freeBuffer = reinterpret_cast<decltype(&NCryptFreeBuffer)>(fn("NCryptFreeBuffer"));
  auto freeObject = reinterpret_cast<decltype(&NCryptFreeObject)>(fn("NCryptFreeObject"));
  NCRYPT_PROV_HANDLE prov = 0;
  if (!open || !enumKeys || !openKey || !getProperty || !freeBuffer || !freeObject ||
      open(&prov, MS_KEY_STORAGE_PROVIDER, 0) != ERROR_SUCCESS) {
    fprintf(stderr, "velmora-store: the key storage provider does not answer\n");
    FreeLibrary(lib);
    return;
  }
  printf("Microsoft Software Key Storage Provider (CNG):\n");
  void* state = nullptr;
  NCryptKeyName* key = nullptr;
  while (enumKeys(prov, nullptr, &key, &state, NCRYPT_SILENT_FLAG) == ERROR_SUCCESS) {
    std::string line = "    " + utf8(key->pszAlgid);
    NCRYPT_KEY_HANDLE h = 0;
    if (openKey(prov, &h, key->pszName, 0, NCRYPT_SILENT_FLAG) == ERROR_SUCCESS) {
      DWORD value = 0, size = 0;
      if (getProperty(h, NCRYPT_LENGTH_PROPERTY, reinterpret_cast<PBYTE>(&value), sizeof value, &size, 0) == 0)
        line += ", " + std::to_string(value) + " bits";
      if (getProperty(h, NCRYPT_EXPORT_POLICY_PROPERTY, reinterpret_cast<PBYTE>(&value), sizeof value, &size, 0) ==
              0 &&
          (value & NCRYPT_ALLOW_PLAINTEXT_EXPORT_FLAG))
        line += ", exportable";
      if (getProperty(h, NCRYPT_UI_POLICY_PROPERTY, nullptr, 0, &size, 0) == 0 && size >= sizeof(NCRYPT_UI_POLICY)) {
        std::vector<BYTE> buf(size);
        if (getProperty(h, NCRYPT_UI_POLICY_PROPERTY, buf.data(), size, &size, 0) == 0) {
          auto* policy = reinterpret_cast<NCRYPT_UI_POLICY*>(buf.data());
          if (policy->dwFlags & NCRYPT_UI_FORCE_HIGH_PROTECTION_FLAG) line += ", strongly protected";
          else if (policy->dwFlags & NCRYPT_UI_PROTECT_KEY_FLAG) line += ", protected";
        }
      }
      freeObject(h);
    }
    printf("  %s\n%s\n", utf8(key->pszName).c_str(), line.c_str());
    freeBuffer(key);
  }
  if (state) freeBuffer(state);
  freeObject(prov);
  FreeLibrary(lib);
}

int listKeys() {
  auto containers = velmora::crypt::listKeyContainers();
  for (DWORD i = 0;; ++i) {
    char provider[256];
    DWORD size = sizeof provider, type = 0;
    if (!CryptEnumProvidersA(i, nullptr, 0, &type, provider, &size)) break;
    printf("%s (type %u):\n", provider, type);
    for (const auto& c : containers) {
      if (c.provider != provider) continue;
      printf("  %s\n", utf8(c.name).c_str());
      for (const auto& k : c.keys)
        printf("    %s, %u bits%s%s\n", k.keySpec == AT_SIGNATURE ? "signature key" : "exchange key", k.bits,
               k.exportable ? ", exportable" : "", k.userProtected ? ", user-protected" : "");
    }
  }
  listCngKeys();
  return 0;
}

PCCERT_CONTEXT findByThumbprint(HCERTSTORE h, const std::string& sha1) {
  std::vector<BYTE> want;
  for (size_t i = 0; i + 1 < sha1.size(); i += 2) {
    if (!isxdigit(static_cast<unsigned char>(sha1[i])) || !isxdigit(static_cast<unsigned char>(sha1[i + 1])))
      return nullptr;
    want.push_back(BYTE(std::stoi(sha1.substr(i, 2), nullptr, 16)));
  }
  if (want.size() != 20) return nullptr;
  CRYPT_HASH_BLOB blob{20, want.data()};
  return CertFindCertificateInStore(h, kEnc, 0, CERT_FIND_SHA1_HASH, &blob, nullptr);
}

int deleteCertificate(const std::string& store, const std::string& sha1) {
  HCERTSTORE h = CertOpenStore(CERT_STORE_PROV_SYSTEM_A, 0, 0,
                               CERT_SYSTEM_STORE_CURRENT_USER | CERT_STORE_OPEN_EXISTING_FLAG, store.c_str());
  PCCERT_CONTEXT c = h ? findByThumbprint(h, sha1) : nullptr;
  if (!c) {
    fprintf(stderr, "velmora-store: no certificate %s in %s\n", sha1.c_str(), store.c_str());
    if (h) CertCloseStore(h, 0);
    return 1;
  }
  const bool ok = CertDeleteCertificateFromStore(c);
  CertCloseStore(h, 0);
  if (!ok) fprintf(stderr, "velmora-store: could not delete (0x%08X)\n", GetLastError());
  return ok ? 0 : 1;
}

int exportCertificate(const std::string& store, const std::string& sha1, bool pem, const std::string& file) {
  HCERTSTORE h = openStore(store);
  PCCERT_CONTEXT c = h ? findByThumbprint(h, sha1) : nullptr;
  if (!c) {
    fprintf(stderr, "velmora-store: no certificate %s in %s\n", sha1.c_str(), store.c_str());
    if (h) CertCloseStore(h, 0);
    return 1;
  }
  std::string data(reinterpret_cast<const char*>(c->pbCertEncoded), c->cbCertEncoded);
  CertFreeCertificateContext(c);
  CertCloseStore(h, 0);
  if (pem) {
    DWORD n = 0;
    CryptBinaryToStringA(reinterpret_cast<const BYTE*>(data.data()), DWORD(data.size()),
                         CRYPT_STRING_BASE64HEADER | CRYPT_STRING_NOCR, nullptr, &n);
    std::string text(n, '\0');
    CryptBinaryToStringA(reinterpret_cast<const BYTE*>(data.data()), DWORD(data.size()),
                         CRYPT_STRING_BASE64HEADER | CRYPT_STRING_NOCR, text.data(), &n);
    text.resize(n);
    data = text;
  }
  FILE* out = file.empty() ? stdout : fopen(file.c_str(), "wb");
  if (!out) {
    fprintf(stderr, "velmora-store: cannot write %s\n", file.c_str());
    return 1;
  }
  const bool ok = fwrite(data.data(), 1, data.size(), out) == data.size();
  if (out != stdout) fclose(out);
  return ok ? 0 : 1;
}

// The password is read from standard input, never from the command line,
// where other users' `ps` would show it.
bool readPassword(std::u16string& password) {
  std::string line;
  for (int c; (c = fgetc(stdin)) != EOF && c != '\n';) line += char(c);
  if (!line.empty() && line.back() == '\r') line.pop_back();
  password = velmora::platform::toWide(line, CP_UTF8);
  explicit_bzero(line.data(), line.size());
  return true;
}

bool selfIssued(PCCERT_CONTEXT c) {
  const CERT_NAME_BLOB& a = c->pCertInfo->Subject;
  const CERT_NAME_BLOB& b = c->pCertInfo->Issuer;
  return a.cbData == b.cbData && memcmp(a.pbData, b.pbData, a.cbData) == 0;
}

int importPfx(const std::string& file, bool exportable) {
  FILE* in = fopen(file.c_str(), "rb");
  if (!in) {
    fprintf(stderr, "velmora-store: cannot read %s\n", file.c_str());
    return 1;
  }
  std::vector<BYTE> bytes;
  BYTE chunk[65536];
  for (size_t n; (n = fread(chunk, 1, sizeof chunk, in)) > 0;) bytes.insert(bytes.end(), chunk, chunk + n);
  fclose(in);
  CRYPT_DATA_BLOB blob{DWORD(bytes.size()), bytes.data()};
  if (!PFXIsPFXBlob(&blob)) {
    fprintf(stderr, "velmora-store: %s is not a PFX file\n", file.c_str());
    return 1;
  }
  std::u16string password;
  readPassword(password);
  HCERTSTORE pfx = PFXImportCertStore(&blob, password.c_str(), exportable ? CRYPT_EXPORTABLE : 0);
  const DWORD error = GetLastError();
  explicit_bzero(password.data(), password.size() * sizeof(char16_t));
  if (!pfx) {
    if (error == ERROR_INVALID_PASSWORD) fprintf(stderr, "velmora-store: wrong password for %s\n", file.c_str());
    else fprintf(stderr, "velmora-store: %s could not be opened (0x%08X)\n", file.c_str(), error);
    return 1;
  }
  int status = 0;
  for (PCCERT_CONTEXT c = nullptr; (c = CertEnumCertificatesInStore(pfx, c));) {
    DWORD size = 0;
    const bool hasKey = CertGetCertificateContextProperty(c, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &size) != FALSE;
    // A root needs the user's consent, which this tool has no way to ask.
    const char* target = hasKey ? "MY" : selfIssued(c) ? nullptr : "CA";
    BYTE sha1[20];
    DWORD n = sizeof sha1;
    std::string hex;
    if (CertGetCertificateContextProperty(c, CERT_SHA1_HASH_PROP_ID, sha1, &n))
      for (DWORD i = 0; i < n; ++i) {
        char two[3];
        snprintf(two, sizeof two, "%02X", sha1[i]);
        hex += two;
      }
    if (!target) {
      printf("skipped %s (a root: add it through the program, which asks you)\n", hex.c_str());
      continue;
    }
    HCERTSTORE store = CertOpenSystemStoreA(0, target);
    const bool ok = store && CertAddCertificateContextToStore(store, c, CERT_STORE_ADD_REPLACE_EXISTING, nullptr);
    if (!ok) {
      fprintf(stderr, "velmora-store: %s not added to %s (0x%08X)\n", hex.c_str(), target, GetLastError());
      status = 1;
    } else {
      printf("added %s to %s%s\n", hex.c_str(), target, hasKey ? " with its key" : "");
    }
    if (store) CertCloseStore(store, 0);
  }
  CertCloseStore(pfx, 0);
  return status;
}

// Writes the certificate of MY and its key into FILE, as the security
// component's export does: the same platform export, a private file.
int exportPfx(const std::string& sha1, const std::string& file) {
  HCERTSTORE my = CertOpenSystemStoreA(0, "MY");
  PCCERT_CONTEXT c = my ? findByThumbprint(my, sha1) : nullptr;
  if (!c) {
    fprintf(stderr, "velmora-store: no certificate %s in MY\n", sha1.c_str());
    if (my) CertCloseStore(my, 0);
    return 1;
  }
  HCERTSTORE mem = CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr);
  const bool added = mem && CertAddCertificateContextToStore(mem, c, CERT_STORE_ADD_ALWAYS, nullptr);
  CertFreeCertificateContext(c);
  CertCloseStore(my, 0);
  if (!added) {
    fprintf(stderr, "velmora-store: %s could not be copied (0x%08X)\n", sha1.c_str(), GetLastError());
    if (mem) CertCloseStore(mem, 0);
    return 1;
  }
  std::u16string password;
  readPassword(password);
  const DWORD flags = EXPORT_PRIVATE_KEYS | REPORT_NOT_ABLE_TO_EXPORT_PRIVATE_KEY | REPORT_NO_PRIVATE_KEY;
  CRYPT_DATA_BLOB blob{0, nullptr};
  std::string bytes;
  bool ok = PFXExportCertStoreEx(mem, &blob, password.c_str(), nullptr, flags);
  if (ok) {
    bytes.assign(blob.cbData, '\0');
    blob.pbData = reinterpret_cast<BYTE*>(bytes.data());
    ok = PFXExportCertStoreEx(mem, &blob, password.c_str(), nullptr, flags);
    bytes.resize(blob.cbData);
  }
  const DWORD error = GetLastError();
  explicit_bzero(password.data(), password.size() * sizeof(char16_t));
  CertCloseStore(mem, 0);
  if (!ok) {
    if (error == DWORD(NTE_BAD_KEY_STATE)) fprintf(stderr, "velmora-store: the key of %s may not be exported\n", sha1.c_str());
    else if (error == DWORD(NTE_NO_KEY)) fprintf(stderr, "velmora-store: %s has no private key\n", sha1.c_str());
    else fprintf(stderr, "velmora-store: %s could not be exported (0x%08X)\n", sha1.c_str(), error);
    return 1;
  }
  std::string temp;
  ok = velmora::platform::writePrivateTemp(file, bytes, temp) && rename(temp.c_str(), file.c_str()) == 0;
  if (!ok && !temp.empty()) unlink(temp.c_str());
  if (!ok) {
    fprintf(stderr, "velmora-store: cannot write %s\n", file.c_str());
    return 1;
  }
  printf("exported %s with its key to %s\n", sha1.c_str(), file.c_str());
  return 0;
}

int usage(FILE* to = stderr) {
  fprintf(to,
          "usage: velmora-store stores\n"
          "       velmora-store list [STORE...]\n"
          "       velmora-store keys\n"
          "       velmora-store delete STORE SHA1\n"
          "       velmora-store export STORE SHA1 [--pem] [FILE]\n"
          "       velmora-store import-pfx FILE [--exportable]   (password on standard input)\n"
          "       velmora-store export-pfx SHA1 FILE             (password on standard input)\n"
          "       velmora-store providers\n"
          "       velmora-store add-provider NAME MODULE\n"
          "       velmora-store remove-provider NAME\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty()) return usage();
  if (args.size() == 1 && (args[0] == "--help" || args[0] == "-h")) {
    usage(stdout);
    return 0;
  }
  const std::string command = args[0];
  args.erase(args.begin());
  if (command == "stores" && args.empty()) return listStores();
  if (command == "list") return listCertificates(args);
  if (command == "keys" && args.empty()) return listKeys();
  if (command == "delete" && args.size() == 2) return deleteCertificate(args[0], args[1]);
  if (command == "export" && args.size() >= 2 && args.size() <= 4) {
    bool pem = false;
    std::string file;
    for (size_t i = 2; i < args.size(); ++i) {
      if (args[i] == "--pem") pem = true;
      else if (file.empty()) file = args[i];
      else return usage();
    }
    return exportCertificate(args[0], args[1], pem, file);
  }
  if (command == "import-pfx" && (args.size() == 1 || (args.size() == 2 && args[1] == "--exportable")))
    return importPfx(args[0], args.size() == 2);
  if (command == "export-pfx" && args.size() == 2) return exportPfx(args[0], args[1]);
  if (command == "providers" && args.empty()) return listProviders();
  if (command == "add-provider" && args.size() == 2) return addProvider(args[0], args[1]);
  if (command == "remove-provider" && args.size() == 1) return removeProvider(args[0]);
  return usage();
}
