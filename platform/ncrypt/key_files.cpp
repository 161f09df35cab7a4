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

namespace velmora::ncrypt {

namespace {

using velmora::platform::base64Decode;
using velmora::platform::base64Encode;
using velmora::platform::makePrivateFolders;
using velmora::platform::readWholeFile;
using velmora::platform::userDataHome;
using velmora::platform::wipeString;
using velmora::platform::writePrivateTemp;

std::string serialise(const KeyFile& key) {
  nlohmann::ordered_json j = {{"format", 1},
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
                                {"description", key.description}}},
                              {"pkcs8", base64Encode(key.pkcs8)}};
  // Names and titles come from callers: bytes that are not UTF-8 are
  // replaced rather than failing the whole key.
  return j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

bool parse(std::string& text, KeyFile& key) {
  auto j = nlohmann::json::parse(text, nullptr, false);
  if (j.is_discarded() || !j.is_object() || j.value("format", 0) != 1) return false;
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
    std::string encoded = j.at("pkcs8").get<std::string>();
    const bool ok = !encoded.empty() && base64Decode(encoded, key.pkcs8);
    wipeString(encoded);
    auto& stored = j["pkcs8"].get_ref<std::string&>();
    wipeString(stored);
    return ok;
  } catch (const nlohmann::json::exception&) {
    return false;
  }
}

}  // namespace

KeyFile::~KeyFile() { wipeString(pkcs8); }

std::string keyFolder() { return userDataHome() + "/velmora/Crypto/Keys"; }

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
  return stat(keyFilePath(name).c_str(), &st) == 0 && S_ISREG(st.st_mode);
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
  const std::string path = keyFilePath(key.name);
  std::string data = serialise(key), temp;
  const bool written = writePrivateTemp(path, data, temp);
  wipeString(data);
  if (!written) return DWORD(NTE_FAIL);
  int rc, err;
  if (replace) {
    rc = rename(temp.c_str(), path.c_str());
    err = errno;
  } else {
    // link() refuses an existing name atomically: of two processes creating
    // the same key only one succeeds.
    rc = link(temp.c_str(), path.c_str());
    err = errno;
  }
  if (rc != 0 || !replace) unlink(temp.c_str());
  if (rc != 0) return err == EEXIST ? DWORD(NTE_EXISTS) : DWORD(NTE_FAIL);
  return 0;
}

DWORD deleteKeyFile(const std::string& name) {
  if (unlink(keyFilePath(name).c_str()) == 0) return 0;
  return errno == ENOENT ? DWORD(NTE_BAD_KEYSET) : DWORD(NTE_FAIL);
}

std::vector<std::string> listKeyFiles() { return velmora::platform::listKeyFiles(keyFolder()); }

}  // namespace velmora::ncrypt
