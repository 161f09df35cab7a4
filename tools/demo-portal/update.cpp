#include <openssl/evp.h>
#include <openssl/pem.h>

#include "pages_update.h"

namespace velmora::demo {

namespace {

std::string replaced(std::string text, const std::string& what, const std::string& with) {
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + with.size()))
    text.replace(at, what.size(), with);
  return text;
}

}  // namespace

std::string signDetached(const std::string& keyPem, const std::string& data) {
  BIO* bio = BIO_new_mem_buf(keyPem.data(), int(keyPem.size()));
  EVP_PKEY* key = bio ? PEM_read_bio_PrivateKey(bio, nullptr, nullptr, nullptr) : nullptr;
  BIO_free(bio);
  if (!key) return {};
  const EVP_MD* md = EVP_PKEY_id(key) == EVP_PKEY_ED25519 ? nullptr : EVP_sha256();
  std::string out;
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  size_t len = 0;
  if (ctx && EVP_DigestSignInit(ctx, nullptr, md, nullptr, key) == 1 &&
      EVP_DigestSign(ctx, nullptr, &len, reinterpret_cast<const unsigned char*>(data.data()), data.size()) == 1) {
    out.resize(len);
    if (EVP_DigestSign(ctx, reinterpret_cast<unsigned char*>(out.data()), &len,
                       reinterpret_cast<const unsigned char*>(data.data()), data.size()) == 1)
      out.resize(len);
    else
      out.clear();
  }
  EVP_MD_CTX_free(ctx);
  EVP_PKEY_free(key);
  return out;
}

std::optional<http::Response> updateRoute(const std::string& publisherKeyPem, const http::Request& req) {
  http::Response res;
  if (req.path == "/update") {
    res.body = replaced(replaced(kUpdatePage, "@VERSION@", kOfferedVersion), "@INSTALLER@", kInstallerPath);
    return res;
  }
  if (req.path == kInstallerPath) {
    res.contentType = "application/octet-stream";
    res.body = kTestInstaller;
    return res;
  }
  if (req.path == std::string(kInstallerPath) + ".sig") {
    // Without the demo publisher's key there is no signature, and the host
    // installs nothing.
    res.contentType = "application/octet-stream";
    res.body = publisherKeyPem.empty() ? std::string() : signDetached(publisherKeyPem, kTestInstaller);
    if (res.body.empty()) {
      res.status = 404;
      res.contentType = "text/plain";
      res.body = "no signature";
    }
    return res;
  }
  return std::nullopt;
}

}  // namespace velmora::demo
