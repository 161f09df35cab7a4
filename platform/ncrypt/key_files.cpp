#include "ncrypt/key_files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <ncrypt.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <nlohmann/json.hpp>

#include "base/private_files.h"
#include "crypt/protect.h"

namespace velmora::ncrypt {

namespace protect = velmora::crypt::protect;

namespace {

using velmora::platform::base64Decode;
using velmora::platform::base64Encode;
using velmora::platform::makePrivateFolders;
using velmora::platform::readWholeFile;
using velmora::platform::userDataHome;
using velmora::platform::wipeString;
using velmora::platform::writePrivateTemp;

// A sealed key is bound to its name, algorithm and policies, so neither
// moving it to another file nor editing its export policy opens it.
std::string sealContext(const KeyFile& key) {
  return "Crypto/Keys\n" + key.name + "\n" + key.algorithm + "\n" + std::to_string(key.legacyKeySpec) + "\n" +
         std::to_string(key.exportPolicy) + "\n" + std::to_string(key.uiFlags);
}

// The key is sealed when a wrapping key is at hand, else kept as PKCS #8.
DWORD serialise(const KeyFile& key, std::string& out) {
  std::string sealed;
  if (!key.sealed.empty()) {
    if (DWORD rc = protect::canUnseal(key.sealed)) return rc;
    sealed = key.sealed;
  } else {
    protect::seal(key.pkcs8, sealContext(key), sealed);
  }
  nlohmann::ordered_json j = {{"format", sealed.empty() ? 1 : 2},
                              {"provider", "Microsoft Software Key Storage Provider"},
                              {"name", key.name},
                              {"algorithm", key.algorithm},
                              {"legacyKeySpec", key.legacyKeySpec},
                              {"exportPolicy", key.exportPolicy},
                              {"uiPolicy",
                               {{"version", key.uiVersion},
                                {"flags", key.uiFlags},
                                {"creationTitle", key.creationTitle},
                                {"friendlyName", key.friendlyName},
                                {"description", key.description}}}};
  if (sealed.empty())
    j["pkcs8"] = base64Encode(key.pkcs8);
  else
    j["sealed"] = base64Encode(sealed);
  // Names and titles come from callers: bytes that are not UTF-8 are
  // replaced rather than failing the whole key.
  out = j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  if (j.contains("pkcs8")) wipeString(j["pkcs8"].get_ref<std::string&>());
  return 0;
}

bool parse(std::string& text, KeyFile& key) {
  auto j = nlohmann::json::parse(text, nullptr, false);
  if (j.is_discarded() || !j.is_object()) return false;
  const int format = j.value("format", 0);
  if (format != 1 && format != 2) return false;
  try {
    key.name = j.at("name").get<std::string>();
    key.algorithm = j.at("algorithm").get<std::string>();
    key.legacyKeySpec = j.value("legacyKeySpec", DWORD(0));
    key.exportPolicy = j.at("exportPolicy").get<DWORD>();
    const auto& ui = j.at("uiPolicy");
    key.uiVersion = ui.value("version", DWORD(0));
    key.uiFlags = ui.value("flags", DWORD(0));
    key.creationTitle = ui.value("creationTitle", std::string());
    key.friendlyName = ui.value("friendlyName", std::string());
    key.description = ui.value("description", std::string());
    if (j.contains("sealed")) {
      const std::string& encoded = j.at("sealed").get_ref<const std::string&>();
      return !encoded.empty() && base64Decode(encoded, key.sealed);
    }
    auto& stored = j.at("pkcs8").get_ref<std::string&>();
    const bool ok = !stored.empty() && base64Decode(stored, key.pkcs8);
    wipeString(stored);
    return ok;
  } catch (const nlohmann::json::exception&) {
    return false;
  }
}

}  // namespace

KeyFile::~KeyFile() { wipeString(pkcs8); }

std::string keyFolder() {
  std::string folder = userDataHome() + "/velmora/Crypto/Keys";
  // The first use in a process clears what crashed writers left.
  velmora::platform::sweepKeyFolder(folder);
  return folder;
}

std::string keyFileInUse(const std::string& name) { return velmora::platform::keyFileInUse(keyFilePath(name)); }

DWORD keyPkcs8(const KeyFile& key, std::string& pkcs8) {
  if (key.sealed.empty()) {
    pkcs8 = key.pkcs8;
    return 0;
  }
  return protect::unseal(key.sealed, sealContext(key), pkcs8);
}

std::string keyFilePath(const std::string& name) {
  std::string folded = name;
  for (char& c : folded)
    if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int n = 0;
  EVP_Digest(folded.data(), folded.size(), md, &n, EVP_sha1(), nullptr);
  static const char digits[] = "0123456789abcdef";
  std::string hex;
  for (unsigned i = 0; i < n; ++i) {
    hex += digits[md[i] >> 4];
    hex += digits[md[i] & 15];
  }
  return keyFolder() + "/" + hex + ".key";
}

bool keyFileExists(const std::string& name) {
  struct stat st{};
  return stat(keyFileInUse(name).c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

DWORD loadKeyFile(const std::string& path, KeyFile& key) {
  std::string data;
  if (!readWholeFile(path, data)) return errno == ENOENT ? DWORD(NTE_BAD_KEYSET) : DWORD(NTE_FAIL);
  const bool ok = parse(data, key);
  wipeString(data);
  return ok ? 0 : DWORD(NTE_BAD_DATA);
}

DWORD saveKeyFile(const KeyFile& key, bool replace) {
  if (!makePrivateFolders(keyFolder())) return DWORD(NTE_FAIL);
  const std::string finalPath = keyFilePath(key.name);
  std::string path = finalPath;
  const bool held = velmora::platform::holdingNewKeys();
  if (held) {
    // Made for a maker that records it first: provisional until it commits.
    struct stat st{};
    if (!replace && stat(finalPath.c_str(), &st) == 0) return DWORD(NTE_EXISTS);
    path = velmora::platform::holdNewKeyFile(finalPath, replace);
    if (path.empty()) return DWORD(NTE_EXISTS);
  }
  std::string data, temp;
  const DWORD error = serialise(key, data);
  const bool written = !error && writePrivateTemp(path, data, temp);
  wipeString(data);
  if (!written) {
    if (held) velmora::platform::dropHeldKeyFile(finalPath);
    return error ? error : DWORD(NTE_FAIL);
  }
  int rc, err;
  if (replace && !held) {
    rc = rename(temp.c_str(), path.c_str());
    err = errno;
  } else {
    // link() refuses an existing name atomically: of two processes creating
    // the same key only one succeeds.
    rc = link(temp.c_str(), path.c_str());
    err = errno;
  }
  if (rc != 0 || !replace || held) unlink(temp.c_str());
  if (rc != 0 && held) velmora::platform::dropHeldKeyFile(finalPath);
  if (rc != 0) return err == EEXIST ? DWORD(NTE_EXISTS) : DWORD(NTE_FAIL);
  return 0;
}

DWORD deleteKeyFile(const std::string& name) {
  const std::string path = keyFileInUse(name);
  velmora::platform::dropHeldKeyFile(keyFilePath(name));
  if (unlink(path.c_str()) == 0) return 0;
  return errno == ENOENT ? DWORD(NTE_BAD_KEYSET) : DWORD(NTE_FAIL);
}

std::vector<std::string> listKeyFiles() { return velmora::platform::listKeyFiles(keyFolder()); }

}  // namespace velmora::ncrypt
