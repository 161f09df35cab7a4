#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <dirent.h>
#include <sys/file.h>

#include <openssl/evp.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <nlohmann/json.hpp>

#include "base/private_files.h"
#include "crypt/containers.h"
#include "crypt/crypt_internal.h"
#include "crypt/protect.h"

namespace velmora::crypt {

namespace {

using velmora::platform::base64Decode;
using velmora::platform::base64Encode;
using velmora::platform::makePrivateFolders;
using velmora::platform::readWholeFile;
using velmora::platform::userDataHome;
using velmora::platform::wipeString;
using velmora::platform::writePrivateTemp;

// The file a container has for this process: its provisional one while
// this process is making it, else the final one.
std::string fileInUse(const std::string& name) {
  return velmora::platform::keyFileInUse(containerFile(name));
}

// What a sealed key is bound to: its container, spec and flags, so neither
// moving it to another entry nor editing its flags in the file opens it.
std::string sealContext(const std::string& container, const char* spec, const StoredKey& key) {
  return std::string("Crypto/RSA\n") + container + "\n" + spec + "\n" + std::to_string(key.alg) + "\n" +
         (key.exportable ? "1" : "0") + (key.userProtected ? "1" : "0");
}

DWORD bitsOf(const std::string& pkcs8) {
  DWORD bits = 0;
  const unsigned char* p = reinterpret_cast<const unsigned char*>(pkcs8.data());
  if (PKCS8_PRIV_KEY_INFO* p8 = d2i_PKCS8_PRIV_KEY_INFO(nullptr, &p, long(pkcs8.size()))) {
    if (EVP_PKEY* pkey = EVP_PKCS82PKEY_ex(p8, libctx(), nullptr)) {
      bits = DWORD(EVP_PKEY_get_bits(pkey));
      EVP_PKEY_free(pkey);
    }
    PKCS8_PRIV_KEY_INFO_free(p8);
  }
  return bits;
}

// The file's text. Plain keys are sealed when a wrapping key is at hand (so
// an old plain file is sealed on its next write); a sealed key is kept as it
// is. A file with a sealed key that cannot be opened now is not written at
// all (NTE_BAD_KEY_STATE): rewriting it must not cost the key.
DWORD serialise(const ContainerRecord& record, std::string& out) {
  nlohmann::ordered_json keysJson = nlohmann::ordered_json::object();
  bool anySealed = false;
  DWORD error = 0;
  auto put = [&](const char* spec, const StoredKey* key) {
    if (!key || error) return;
    nlohmann::ordered_json k = {
        {"alg", key->alg}, {"exportable", key->exportable}, {"userProtected", key->userProtected}};
    std::string sealed;
    if (!key->sealed.empty()) {
      if ((error = protect::canUnseal(key->sealed)) != 0) return;
      sealed = key->sealed;
      k["bits"] = key->bits;
    } else if (protect::seal(key->pkcs8, sealContext(record.name, spec, *key), sealed)) {
      k["bits"] = bitsOf(key->pkcs8);
    }
    if (!sealed.empty()) {
      anySealed = true;
      k["sealed"] = base64Encode(sealed);
    } else {
      k["pkcs8"] = base64Encode(key->pkcs8);
    }
    keysJson[spec] = std::move(k);
  };
  put("1", record.exchange.get());
  put("2", record.signature.get());
  if (error) return error;
  // Format 2 marks a file with sealed keys; one with none stays format 1.
  nlohmann::ordered_json j = {{"format", anySealed ? 2 : 1},
                              {"provider", record.provider},
                              {"container", record.name},
                              {"keys", keysJson}};
  out = j.dump();
  for (auto* keys : {&keysJson, &j["keys"]})
    for (auto& k : *keys)
      if (k.contains("pkcs8")) wipeString(k["pkcs8"].get_ref<std::string&>());
  return 0;
}

bool parse(const std::string& text, ContainerRecord& record) {
  auto j = nlohmann::json::parse(text, nullptr, false);
  if (j.is_discarded() || !j.is_object()) return false;
  const int format = j.value("format", 0);
  if (format != 1 && format != 2) return false;
  try {
    record.provider = j.at("provider").get<std::string>();
    record.name = j.at("container").get<std::string>();
    auto& ks = j.at("keys");
    for (const char* spec : {"1", "2"}) {
      if (!ks.contains(spec)) continue;
      auto& k = ks.at(spec);
      auto key = std::make_unique<StoredKey>();
      key->alg = k.at("alg").get<ALG_ID>();
      key->exportable = k.at("exportable").get<bool>();
      key->userProtected = k.at("userProtected").get<bool>();
      bool ok;
      if (k.contains("sealed")) {
        key->bits = k.value("bits", DWORD(0));
        ok = base64Decode(k.at("sealed").get<std::string>(), key->sealed) && !key->sealed.empty();
      } else {
        std::string& encoded = k.at("pkcs8").get_ref<std::string&>();
        ok = base64Decode(encoded, key->pkcs8);
        wipeString(encoded);
      }
      if (!ok) return false;
      (spec[0] == '1' ? record.exchange : record.signature) = std::move(key);
    }
  } catch (const nlohmann::json::exception&) {
    return false;
  }
  return true;
}

}  // namespace

ContainerWriteLock::ContainerWriteLock() {
  if (!makePrivateFolders(containerFolder())) return;
  fd_ = open((containerFolder() + "/.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd_ >= 0) flock(fd_, LOCK_EX);
}

ContainerWriteLock::~ContainerWriteLock() {
  if (fd_ >= 0) close(fd_);  // closing drops the lock
}

ContainerRecord::~ContainerRecord() {
  if (exchange) wipeString(exchange->pkcs8);
  if (signature) wipeString(signature->pkcs8);
}

std::string containerFolder() {
  std::string folder = userDataHome() + "/velmora/Crypto/RSA";
  // The first use in a process clears what crashed writers left.
  velmora::platform::sweepKeyFolder(folder);
  return folder;
}

DWORD storedKeyPkcs8(const ContainerRecord& record, DWORD spec, std::string& pkcs8) {
  const StoredKey* key = spec == AT_SIGNATURE ? record.signature.get() : record.exchange.get();
  if (!key) return DWORD(NTE_NO_KEY);
  if (key->sealed.empty()) {
    pkcs8 = key->pkcs8;
    return 0;
  }
  DWORD rc = protect::unseal(key->sealed, sealContext(record.name, spec == AT_SIGNATURE ? "2" : "1", *key), pkcs8);
  return rc == DWORD(NTE_BAD_DATA) ? DWORD(NTE_KEYSET_ENTRY_BAD) : rc;
}

std::string containerFile(const std::string& name) {
  std::string folded = name;
  for (char& c : folded)
    if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int n = 0;
  EVP_MD* sha1 = EVP_MD_fetch(libctx(), "SHA1", nullptr);
  EVP_Digest(folded.data(), folded.size(), md, &n, sha1, nullptr);
  EVP_MD_free(sha1);
  static const char digits[] = "0123456789abcdef";
  std::string hex;
  for (unsigned i = 0; i < n; ++i) {
    hex += digits[md[i] >> 4];
    hex += digits[md[i] & 15];
  }
  return containerFolder() + "/" + hex + ".key";
}

std::string defaultContainerName() {
  struct passwd pw;
  struct passwd* found = nullptr;
  char buf[4096];
  if (getpwuid_r(geteuid(), &pw, buf, sizeof buf, &found) == 0 && found && found->pw_name) return found->pw_name;
  return "user" + std::to_string(geteuid());
}

bool containerExists(const std::string& name) {
  struct stat st{};
  return stat(fileInUse(name).c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

DWORD createContainer(const ContainerRecord& record) {
  if (!makePrivateFolders(containerFolder())) return DWORD(NTE_FAIL);
  chmod(containerFolder().c_str(), 0700);
  const std::string finalPath = containerFile(record.name);
  std::string path = finalPath;
  const bool held = velmora::platform::holdingNewKeys();
  if (held) {
    // Made for a maker that records it first: written under a provisional
    // name until the maker commits.
    struct stat st{};
    if (stat(finalPath.c_str(), &st) == 0) return DWORD(NTE_EXISTS);
    path = velmora::platform::holdNewKeyFile(finalPath, false);
    if (path.empty()) return DWORD(NTE_EXISTS);
  }
  std::string data, temp;
  DWORD error = serialise(record, data);
  // A new container without keys costs no sync: losing it loses nothing,
  // and the keys, when they come, are saved with one.
  const bool empty = !record.exchange && !record.signature;
  bool written = !error && writePrivateTemp(path, data, temp, !empty);
  wipeString(data);
  if (!written) {
    if (held) velmora::platform::dropHeldKeyFile(finalPath);
    return error ? error : DWORD(NTE_FAIL);
  }
  // link() refuses an existing name atomically: two processes creating the
  // same container cannot both succeed.
  int rc = link(temp.c_str(), path.c_str());
  int err = errno;
  unlink(temp.c_str());
  if (rc != 0 && held) velmora::platform::dropHeldKeyFile(finalPath);
  if (rc != 0) return err == EEXIST ? DWORD(NTE_EXISTS) : DWORD(NTE_FAIL);
  return 0;
}

DWORD loadContainerFile(const std::string& path, ContainerRecord& record) {
  std::string data;
  if (!readWholeFile(path, data)) return errno == ENOENT ? DWORD(NTE_BAD_KEYSET) : DWORD(NTE_FAIL);
  bool ok = parse(data, record);
  wipeString(data);
  return ok ? 0 : DWORD(NTE_KEYSET_ENTRY_BAD);
}

DWORD loadContainer(const std::string& name, ContainerRecord& record) {
  return loadContainerFile(fileInUse(name), record);
}

DWORD saveContainer(const ContainerRecord& record) {
  const std::string path = fileInUse(record.name);
  struct stat st{};
  if (stat(path.c_str(), &st) != 0) return DWORD(NTE_BAD_KEYSET);  // deleted meanwhile
  std::string data, temp;
  if (DWORD error = serialise(record, data)) return error;
  bool written = writePrivateTemp(path, data, temp);
  wipeString(data);
  if (!written) return DWORD(NTE_FAIL);
  if (rename(temp.c_str(), path.c_str()) != 0) {
    unlink(temp.c_str());
    return DWORD(NTE_FAIL);
  }
  return 0;
}

DWORD deleteContainer(const std::string& name) {
  const std::string path = fileInUse(name);
  velmora::platform::dropHeldKeyFile(containerFile(name));
  if (unlink(path.c_str()) == 0) return 0;
  return errno == ENOENT ? DWORD(NTE_BAD_KEYSET) : DWORD(NTE_FAIL);
}

std::vector<std::string> listContainerFiles() { return velmora::platform::listKeyFiles(containerFolder()); }

std::vector<ContainerInfo> listKeyContainers() {
  std::vector<ContainerInfo> out;
  for (const auto& file : listContainerFiles()) {
    ContainerRecord record;
    if (loadContainerFile(file, record) != 0) continue;
    ContainerInfo info;
    info.provider = record.provider;
    info.name = record.name;
    info.file = file;
    for (auto [spec, stored] : {std::pair<DWORD, StoredKey*>{AT_KEYEXCHANGE, record.exchange.get()},
                                std::pair<DWORD, StoredKey*>{AT_SIGNATURE, record.signature.get()}}) {
      if (!stored) continue;
      ContainerKeyInfo key;
      key.keySpec = spec;
      key.alg = stored->alg;
      key.exportable = stored->exportable;
      key.userProtected = stored->userProtected;
      key.bits = stored->sealed.empty() ? bitsOf(stored->pkcs8) : stored->bits;
      info.keys.push_back(key);
    }
    out.push_back(std::move(info));
  }
  return out;
}

}  // namespace velmora::crypt
