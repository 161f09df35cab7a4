#include "demo_ca.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/objects.h>
#include <openssl/pem.h>
#include <openssl/pkcs7.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>
#include <openssl/x509v3.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>

namespace velmora::demo {

namespace {

namespace fs = std::filesystem;

constexpr int kCaKeyBits = 3072;
constexpr int kMinRequestKeyBits = 2048;
constexpr long kDay = 24L * 60 * 60;

const char kRootKey[] = "root.key.pem";
const char kRootCert[] = "root.crt.pem";
const char kIntermediateKey[] = "intermediate.key.pem";
const char kIntermediateCert[] = "intermediate.crt.pem";

struct BioFree {
  void operator()(BIO* b) const { BIO_free(b); }
};
using BioPtr = std::unique_ptr<BIO, BioFree>;

std::string opensslError() {
  unsigned long e = ERR_get_error();
  ERR_clear_error();
  if (e == 0) return "unknown error";
  char buf[256];
  ERR_error_string_n(e, buf, sizeof buf);
  return buf;
}

std::string bioText(BIO* b) {
  char* data = nullptr;
  long n = BIO_get_mem_data(b, &data);
  return n > 0 ? std::string(data, size_t(n)) : std::string();
}

std::optional<std::string> readFile(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return std::nullopt;
  std::string out;
  char buf[8192];
  ssize_t n;
  while ((n = ::read(fd, buf, sizeof buf)) > 0) out.append(buf, size_t(n));
  ::close(fd);
  if (n < 0) return std::nullopt;
  return out;
}

// Written under a temporary name (0600 from the start) and renamed, so a
// reader never sees half a key.
bool writeFile(const std::string& path, const std::string& data) {
  const std::string tmp = path + ".tmp";
  ::unlink(tmp.c_str());
  int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return false;
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n <= 0) {
      ::close(fd);
      ::unlink(tmp.c_str());
      return false;
    }
    done += size_t(n);
  }
  bool ok = ::fsync(fd) == 0;
  ok = ::close(fd) == 0 && ok;
  if (!ok || ::rename(tmp.c_str(), path.c_str()) != 0) {
    ::unlink(tmp.c_str());
    return false;
  }
  return true;
}

PkeyPtr makeRsaKey(int bits) { return PkeyPtr(EVP_RSA_gen(unsigned(bits))); }

bool randomSerial(X509* cert) {
  unsigned char bytes[16];
  if (RAND_bytes(bytes, sizeof bytes) != 1) return false;
  bytes[0] &= 0x7F;  // positive
  bytes[0] |= 0x01;  // and never shorter than 16 bytes
  BIGNUM* bn = BN_bin2bn(bytes, sizeof bytes, nullptr);
  if (!bn) return false;
  bool ok = BN_to_ASN1_INTEGER(bn, X509_get_serialNumber(cert)) != nullptr;
  BN_free(bn);
  return ok;
}

bool addExtension(X509* cert, X509* issuer, int nid, const char* value) {
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, issuer ? issuer : cert, cert, nullptr, nullptr, 0);
  X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
  if (!ext) return false;
  bool ok = X509_add_ext(cert, ext, -1) == 1;
  X509_EXTENSION_free(ext);
  return ok;
}

// A certificate for `key` named `subject`, signed by issuerKey (self-signed
// when issuer is null).
X509Ptr makeCertificate(X509_NAME* subject, EVP_PKEY* key, X509* issuer, EVP_PKEY* issuerKey, long notAfterSeconds,
                        const char* basicConstraints, const char* keyUsage) {
  X509Ptr cert(X509_new());
  if (!cert || X509_set_version(cert.get(), 2) != 1 || !randomSerial(cert.get())) return nullptr;
  if (X509_set_subject_name(cert.get(), subject) != 1 ||
      X509_set_issuer_name(cert.get(), issuer ? X509_get_subject_name(issuer) : subject) != 1)
    return nullptr;
  // A little slack for clocks that are behind.
  if (!X509_gmtime_adj(X509_getm_notBefore(cert.get()), -300) ||
      !X509_gmtime_adj(X509_getm_notAfter(cert.get()), notAfterSeconds))
    return nullptr;
  if (X509_set_pubkey(cert.get(), key) != 1) return nullptr;
  if (!addExtension(cert.get(), issuer, NID_basic_constraints, basicConstraints) ||
      !addExtension(cert.get(), issuer, NID_key_usage, keyUsage) ||
      !addExtension(cert.get(), issuer, NID_subject_key_identifier, "hash") ||
      !addExtension(cert.get(), issuer, NID_authority_key_identifier, "keyid:always"))
    return nullptr;
  if (X509_sign(cert.get(), issuerKey, EVP_sha256()) <= 0) return nullptr;
  return cert;
}

X509_NAME* caName(const char* commonName) {
  X509_NAME* name = X509_NAME_new();
  if (!name) return nullptr;
  auto add = [&](const char* field, const char* value) {
    return X509_NAME_add_entry_by_txt(name, field, MBSTRING_UTF8, reinterpret_cast<const unsigned char*>(value), -1,
                                      -1, 0) == 1;
  };
  if (!add("C", "TW") || !add("O", "Velmora demo portal") || !add("CN", commonName)) {
    X509_NAME_free(name);
    return nullptr;
  }
  return name;
}

std::string pemKey(EVP_PKEY* key) {
  BioPtr b(BIO_new(BIO_s_mem()));
  if (!b || PEM_write_bio_PrivateKey(b.get(), key, nullptr, nullptr, 0, nullptr, nullptr) != 1) return {};
  return bioText(b.get());
}

std::string pemCert(X509* cert) {
  BioPtr b(BIO_new(BIO_s_mem()));
  if (!b || PEM_write_bio_X509(b.get(), cert) != 1) return {};
  return bioText(b.get());
}

PkeyPtr loadKey(const std::string& path) {
  auto text = readFile(path);
  if (!text) return nullptr;
  BioPtr b(BIO_new_mem_buf(text->data(), int(text->size())));
  PkeyPtr key(b ? PEM_read_bio_PrivateKey(b.get(), nullptr, nullptr, nullptr) : nullptr);
  OPENSSL_cleanse(text->data(), text->size());
  return key;
}

X509Ptr loadCert(const std::string& path) {
  auto text = readFile(path);
  if (!text) return nullptr;
  BioPtr b(BIO_new_mem_buf(text->data(), int(text->size())));
  return X509Ptr(b ? PEM_read_bio_X509(b.get(), nullptr, nullptr, nullptr) : nullptr);
}

// The folder itself is 0700 and a real folder (not a link), made with its
// parents when missing.
bool prepareFolder(const std::string& folder, std::string& error) {
  // Missing parents are made private too: they sit in the user's data folder.
  fs::path partial;
  for (const auto& part : fs::path(folder).parent_path()) {
    partial /= part;
    if (!partial.empty() && partial != "/") ::mkdir(partial.c_str(), 0700);
  }
  if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
    error = "cannot make the CA folder " + folder + ": " + strerror(errno);
    return false;
  }
  struct stat st {};
  if (::lstat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    error = "the CA folder " + folder + " is not a folder";
    return false;
  }
  if (st.st_uid != ::geteuid()) {
    error = "the CA folder " + folder + " belongs to another user";
    return false;
  }
  if ((st.st_mode & 0777) != 0700 && ::chmod(folder.c_str(), 0700) != 0) {
    error = "cannot restrict the CA folder " + folder + ": " + strerror(errno);
    return false;
  }
  return true;
}

bool exists(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

bool hasCommonName(X509_NAME* name) {
  int i = X509_NAME_get_index_by_NID(name, NID_commonName, -1);
  if (i < 0) return false;
  ASN1_STRING* value = X509_NAME_ENTRY_get_data(X509_NAME_get_entry(name, i));
  return value && ASN1_STRING_length(value) > 0;
}

std::string oneLine(X509_NAME* name) { return nameText(name); }

std::string derCert(X509* cert) {
  unsigned char* der = nullptr;
  int n = i2d_X509(cert, &der);
  if (n <= 0) return {};
  std::string out(reinterpret_cast<char*>(der), size_t(n));
  OPENSSL_free(der);
  return out;
}

// A certificates-only SignedData holding the given certificates.
std::string certsOnlyPkcs7(std::initializer_list<X509*> certs) {
  PKCS7* p7 = PKCS7_new();
  std::string out;
  if (p7 && PKCS7_set_type(p7, NID_pkcs7_signed) == 1 && PKCS7_content_new(p7, NID_pkcs7_data) == 1) {
    bool ok = true;
    for (X509* c : certs) ok = ok && PKCS7_add_certificate(p7, c) == 1;
    unsigned char* der = nullptr;
    int n = ok ? i2d_PKCS7(p7, &der) : 0;
    if (n > 0) {
      out.assign(reinterpret_cast<char*>(der), size_t(n));
      OPENSSL_free(der);
    }
  }
  PKCS7_free(p7);
  return out;
}

// Strips PEM armour lines, if any, leaving the Base64 body.
std::string stripArmour(const std::string& text) {
  if (text.find("-----BEGIN") == std::string::npos) return text;
  std::string out;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t e = text.find('\n', pos);
    if (e == std::string::npos) e = text.size();
    std::string line = text.substr(pos, e - pos);
    if (line.rfind("-----", 0) != 0) out += line + "\n";
    pos = e + 1;
  }
  return out;
}

// EVP_PKEY_RSA, EVP_PKEY_EC or EVP_PKEY_NONE, from the algorithm named
// in the request's public key info.
int requestKeyType(X509_REQ* req) {
  X509_PUBKEY* spki = X509_REQ_get_X509_PUBKEY(req);
  ASN1_OBJECT* alg = nullptr;
  if (!spki || X509_PUBKEY_get0_param(&alg, nullptr, nullptr, nullptr, spki) != 1 || !alg) return EVP_PKEY_NONE;
  switch (OBJ_obj2nid(alg)) {
    case NID_rsaEncryption: return EVP_PKEY_RSA;
    case NID_X9_62_id_ecPublicKey: return EVP_PKEY_EC;
    default: return EVP_PKEY_NONE;
  }
}

// Why an EC request is not taken, or nullopt. Only what the installer
// and the key storage provider handle: a named P-256 or P-384 curve, an
// uncompressed point, and an ECDSA signature with a SHA-2 digest.
std::optional<std::string> ecKeyRefusal(X509_REQ* req) {
  X509_PUBKEY* spki = X509_REQ_get_X509_PUBKEY(req);
  const unsigned char* point = nullptr;
  int pointLength = 0;
  X509_ALGOR* keyAlg = nullptr;
  if (!spki || X509_PUBKEY_get0_param(nullptr, &point, &pointLength, &keyAlg, spki) != 1 || !keyAlg)
    return "the request's EC key cannot be read";
  int paramType = V_ASN1_UNDEF;
  const void* param = nullptr;
  X509_ALGOR_get0(nullptr, &paramType, &param, keyAlg);
  if (paramType != V_ASN1_OBJECT || !param) return "the request's EC key does not name its curve";
  const int curve = OBJ_obj2nid(static_cast<const ASN1_OBJECT*>(param));
  int coordinate = 0;
  if (curve == NID_X9_62_prime256v1) coordinate = 32;
  else if (curve == NID_secp384r1) coordinate = 48;
  if (coordinate == 0) {
    char name[80] = "";
    OBJ_obj2txt(name, sizeof name, static_cast<const ASN1_OBJECT*>(param), 0);
    return std::string("the request's EC curve ") + name + " is not supported (P-256 or P-384)";
  }
  if (pointLength != 1 + 2 * coordinate || point[0] != 0x04)
    return "the request's EC key is not an uncompressed point";
  const X509_ALGOR* sigAlg = nullptr;
  X509_REQ_get0_signature(req, nullptr, &sigAlg);
  const ASN1_OBJECT* sigOid = nullptr;
  if (sigAlg) X509_ALGOR_get0(&sigOid, nullptr, nullptr, sigAlg);
  const int sigNid = sigOid ? OBJ_obj2nid(sigOid) : NID_undef;
  if (sigNid != NID_ecdsa_with_SHA256 && sigNid != NID_ecdsa_with_SHA384 && sigNid != NID_ecdsa_with_SHA512)
    return "the request is not signed with ECDSA and SHA-256, SHA-384 or SHA-512";
  return std::nullopt;
}

}  // namespace

std::optional<Usage> parseUsage(const std::string& name) {
  if (name == "signing") return Usage::Signing;
  if (name == "encryption") return Usage::Encryption;
  return std::nullopt;
}

std::string defaultCaFolder() {
  std::string base;
  if (const char* x = std::getenv("XDG_DATA_HOME"); x && *x) base = x;
  else if (const char* h = std::getenv("HOME"); h && *h) base = std::string(h) + "/.local/share";
  else base = ".";
  return base + "/velmora/demo-portal/ca";
}

std::string base64Encode(const std::string& bytes) {
  static const char* a = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  size_t i = 0;
  for (; i + 2 < bytes.size(); i += 3) {
    unsigned v = (unsigned char)bytes[i] << 16 | (unsigned char)bytes[i + 1] << 8 | (unsigned char)bytes[i + 2];
    out += a[v >> 18];
    out += a[(v >> 12) & 63];
    out += a[(v >> 6) & 63];
    out += a[v & 63];
  }
  if (i + 1 == bytes.size()) {
    unsigned v = (unsigned char)bytes[i] << 16;
    out += a[v >> 18];
    out += a[(v >> 12) & 63];
    out += "==";
  } else if (i + 2 == bytes.size()) {
    unsigned v = (unsigned char)bytes[i] << 16 | (unsigned char)bytes[i + 1] << 8;
    out += a[v >> 18];
    out += a[(v >> 12) & 63];
    out += a[(v >> 6) & 63];
    out += '=';
  }
  return out;
}

std::string nameText(X509_NAME* name) {
  BioPtr b(BIO_new(BIO_s_mem()));
  if (!b || X509_NAME_print_ex(b.get(), name, 0, XN_FLAG_ONELINE & ~ASN1_STRFLGS_ESC_MSB) < 0) return {};
  return bioText(b.get());
}

std::optional<std::string> base64Decode(const std::string& text) {
  std::string out;
  unsigned acc = 0;
  int bits = 0, count = 0, padding = 0;
  for (unsigned char c : text) {
    if (c == ' ' || c == '\t' || c == '\r' || c == '\n') continue;
    int v;
    if (c >= 'A' && c <= 'Z') v = c - 'A';
    else if (c >= 'a' && c <= 'z') v = c - 'a' + 26;
    else if (c >= '0' && c <= '9') v = c - '0' + 52;
    else if (c == '+') v = 62;
    else if (c == '/') v = 63;
    else if (c == '=') {
      ++padding;
      ++count;
      continue;
    } else {
      return std::nullopt;
    }
    if (padding) return std::nullopt;  // data after padding
    acc = (acc << 6) | unsigned(v);
    bits += 6;
    ++count;
    if (bits >= 8) {
      bits -= 8;
      out += char((acc >> bits) & 0xFF);
    }
  }
  if (count % 4 != 0 || padding > 2) return std::nullopt;
  return out;
}

std::unique_ptr<DemoCa> DemoCa::open(const std::string& folder, std::string& error) {
  if (!prepareFolder(folder, error)) return nullptr;
  const std::string paths[] = {folder + "/" + kRootKey, folder + "/" + kRootCert, folder + "/" + kIntermediateKey,
                               folder + "/" + kIntermediateCert};
  int present = 0;
  for (const auto& p : paths) present += exists(p) ? 1 : 0;
  std::unique_ptr<DemoCa> ca(new DemoCa);
  ca->folder_ = folder;
  if (present == 0) {
    ca->rootKey_ = makeRsaKey(kCaKeyBits);
    ca->intermediateKey_ = makeRsaKey(kCaKeyBits);
    X509_NAME* rootName = caName("Velmora Demo Root CA");
    X509_NAME* interName = caName("Velmora Demo Issuing CA");
    if (ca->rootKey_ && ca->intermediateKey_ && rootName && interName) {
      ca->root_ = makeCertificate(rootName, ca->rootKey_.get(), nullptr, ca->rootKey_.get(), 20 * 365 * kDay,
                                  "critical,CA:TRUE", "critical,keyCertSign,cRLSign");
      if (ca->root_)
        ca->intermediate_ =
            makeCertificate(interName, ca->intermediateKey_.get(), ca->root_.get(), ca->rootKey_.get(),
                            10 * 365 * kDay, "critical,CA:TRUE,pathlen:0", "critical,keyCertSign,cRLSign");
    }
    X509_NAME_free(rootName);
    X509_NAME_free(interName);
    if (!ca->root_ || !ca->intermediate_) {
      error = "cannot make the demo CA: " + opensslError();
      return nullptr;
    }
    // Keys first, certificates last: a folder with both certificates is complete.
    std::string rootPem = pemKey(ca->rootKey_.get()), interPem = pemKey(ca->intermediateKey_.get());
    bool ok = !rootPem.empty() && !interPem.empty() && writeFile(paths[0], rootPem) && writeFile(paths[2], interPem) &&
              writeFile(paths[3], pemCert(ca->intermediate_.get())) && writeFile(paths[1], pemCert(ca->root_.get()));
    OPENSSL_cleanse(rootPem.data(), rootPem.size());
    OPENSSL_cleanse(interPem.data(), interPem.size());
    if (!ok) {
      error = "cannot write the demo CA into " + folder + ": " + strerror(errno);
      return nullptr;
    }
    return ca;
  }
  if (present != 4) {
    error = "the CA folder " + folder + " holds an incomplete CA (remove the folder to make a new one)";
    return nullptr;
  }
  for (const auto& p : {paths[0], paths[2]}) {
    struct stat st {};
    if (::lstat(p.c_str(), &st) == 0 && (st.st_mode & 077) != 0) ::chmod(p.c_str(), 0600);
  }
  ca->rootKey_ = loadKey(paths[0]);
  ca->root_ = loadCert(paths[1]);
  ca->intermediateKey_ = loadKey(paths[2]);
  ca->intermediate_ = loadCert(paths[3]);
  if (!ca->rootKey_ || !ca->root_ || !ca->intermediateKey_ || !ca->intermediate_) {
    error = "the CA folder " + folder + " holds a file that does not read as a key or certificate";
    return nullptr;
  }
  if (X509_check_private_key(ca->root_.get(), ca->rootKey_.get()) != 1 ||
      X509_check_private_key(ca->intermediate_.get(), ca->intermediateKey_.get()) != 1 ||
      X509_verify(ca->intermediate_.get(), X509_get0_pubkey(ca->root_.get())) != 1) {
    ERR_clear_error();
    error = "the CA folder " + folder + " holds keys and certificates that do not belong together";
    return nullptr;
  }
  return ca;
}

std::variant<Issued, Refusal> DemoCa::issue(const std::string& request, Usage usage) {
  if (request.find_first_not_of(" \t\r\n") == std::string::npos) return Refusal{"the request is empty"};
  auto der = base64Decode(stripArmour(request));
  if (!der || der->empty()) return Refusal{"the request is not Base64"};
  const unsigned char* p = reinterpret_cast<const unsigned char*>(der->data());
  const unsigned char* end = p + der->size();
  X509_REQ* raw = d2i_X509_REQ(nullptr, &p, long(der->size()));
  std::unique_ptr<X509_REQ, decltype(&X509_REQ_free)> req(raw, X509_REQ_free);
  if (!req || p != end) {
    ERR_clear_error();
    return Refusal{"the request is not a PKCS#10 certificate request"};
  }
  // The key's algorithm as the request names it: a curve OpenSSL does not
  // know still gets its own refusal.
  const int keyType = requestKeyType(req.get());
  if (keyType == EVP_PKEY_EC) {
    if (auto why = ecKeyRefusal(req.get())) return Refusal{*why};
  }
  EVP_PKEY* key = X509_REQ_get0_pubkey(req.get());
  if (!key && keyType == EVP_PKEY_EC) {
    ERR_clear_error();
    return Refusal{"the request's EC key is not a point on its curve"};
  }
  if (!key || (keyType != EVP_PKEY_RSA && keyType != EVP_PKEY_EC) || EVP_PKEY_get_base_id(key) != keyType) {
    ERR_clear_error();
    return Refusal{"the request's key is neither an RSA nor an EC key"};
  }
  if (keyType == EVP_PKEY_RSA && EVP_PKEY_get_bits(key) < kMinRequestKeyBits)
    return Refusal{"the request's RSA key is shorter than " + std::to_string(kMinRequestKeyBits) + " bits"};
  if (keyType == EVP_PKEY_EC) {
    // The key storage provider's EC keys are signature keys: there is no
    // key to encipher with, and a key-agreement certificate would not work
    // with them either.
    if (usage != Usage::Signing) return Refusal{"an EC key can only be certified for \"signing\""};
  }
  if (X509_REQ_verify(req.get(), key) != 1) {
    ERR_clear_error();
    return Refusal{"the request's signature does not verify"};
  }
  X509_NAME* subject = X509_REQ_get_subject_name(req.get());
  if (!subject || !hasCommonName(subject)) return Refusal{"the request's subject has no common name"};
  // A user certificate named like its issuer would pass for self-issued and
  // be taken for a root when installed.
  if (X509_NAME_cmp(subject, X509_get_subject_name(intermediate_.get())) == 0 ||
      X509_NAME_cmp(subject, X509_get_subject_name(root_.get())) == 0)
    return Refusal{"the request's subject is the name of a CA of this portal"};

  const char* keyUsage = usage == Usage::Signing ? "critical,digitalSignature,nonRepudiation"
                                                 : "critical,keyEncipherment,dataEncipherment";
  std::lock_guard lock(mutex_);
  // Never beyond the issuing CA's own end.
  long lifetime = 365 * kDay;
  int days = 0, seconds = 0;
  if (ASN1_TIME_diff(&days, &seconds, nullptr, X509_get0_notAfter(intermediate_.get())) == 1) {
    long left = long(days) * kDay + seconds;
    if (left < lifetime) lifetime = left;
  }
  if (lifetime <= 0) return Refusal{"the issuing CA has expired"};
  X509Ptr cert = makeCertificate(subject, key, intermediate_.get(), intermediateKey_.get(), lifetime,
                                 "critical,CA:FALSE", keyUsage);
  if (!cert) return Refusal{"the certificate could not be made: " + opensslError()};
  Issued out;
  out.pkcs7 = base64Encode(certsOnlyPkcs7({cert.get(), intermediate_.get(), root_.get()}));
  out.certificate = base64Encode(derCert(cert.get()));
  out.subject = oneLine(subject);
  BIGNUM* bn = ASN1_INTEGER_to_BN(X509_get0_serialNumber(cert.get()), nullptr);
  if (char* hex = bn ? BN_bn2hex(bn) : nullptr) {
    out.serial = hex;
    OPENSSL_free(hex);
  }
  BN_free(bn);
  if (out.pkcs7.empty()) return Refusal{"the answer could not be encoded"};
  return out;
}

}  // namespace velmora::demo
