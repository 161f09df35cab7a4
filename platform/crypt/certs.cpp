// Certificate contexts with reference counts and properties, memory and
// system stores (the current user's, kept in the hive), names of a
// certificate, and the private key of a certificate.
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <ctime>
#include <map>
#include <mutex>
#include <set>
#include <strings.h>
#include <unordered_map>

#include "base/codepage_internal.h"
#include "crypt/crypt_internal.h"
#include "crypt/der.h"
#include "crypt/flat.h"
#include "registry/hive.h"
#include "ui/dialogs.h"

namespace velmora::crypt {

namespace {

using der::Bytes;

struct Store;

struct KeyContext {
  HCRYPTPROV prov = 0;
  DWORD spec = 0;
  bool release = true;
};

struct CertObject {
  CERT_CONTEXT ctx{};  // what callers see; first, so the two pointers are one
  int outside = 1;     // references held by callers
  bool inStore = false;
  Store* store = nullptr;
  Bytes der;
  std::vector<BYTE> info;            // the flat CERT_INFO
  std::map<DWORD, Bytes> props;      // serialised property values
  KeyContext key;                    // CERT_KEY_CONTEXT_PROP_ID, when set
  bool hasKey = false;
  std::string thumb;                 // SHA-1 in upper-case hex, once asked
  size_t pos = 0;                    // where it last was in its store's entries
};

struct Store {
  bool system = false;
  bool readOnly = false;
  std::string name;  // system stores
  int handles = 1;
  int contextRefs = 0;
  // A system store reads its entries from the hive only when it is walked;
  // until then a look-up by thumbprint reads just that entry, so opening a
  // store and adding to it do not grow with its size.
  bool loaded = true;
  std::vector<CertObject*> entries;
  std::unordered_map<std::string, CertObject*> index;  // by thumbprint
};

// Never destroyed: a component's static objects may close their stores
// while the process exits, after function-local statics are gone.
std::recursive_mutex& lock() {
  static auto* m = new std::recursive_mutex;
  return *m;
}
std::set<CertObject*>& liveCerts() {
  static auto* s = new std::set<CertObject*>;
  return *s;
}
std::set<Store*>& liveStores() {
  static auto* s = new std::set<Store*>;
  return *s;
}

CertObject* objectOf(PCCERT_CONTEXT ctx) {
  auto* obj = reinterpret_cast<CertObject*>(const_cast<CERT_CONTEXT*>(ctx));
  return liveCerts().count(obj) ? obj : nullptr;
}

Store* storeOf(HCERTSTORE h) {
  auto* s = static_cast<Store*>(h);
  return liveStores().count(s) ? s : nullptr;
}

void destroyObject(CertObject* obj) {
  if (obj->hasKey && obj->key.release) CryptReleaseContext(obj->key.prov, 0);
  liveCerts().erase(obj);
  delete obj;
}

void maybeDestroyStore(Store* s) {
  if (s->handles > 0 || s->contextRefs > 0) return;
  for (CertObject* obj : s->entries) {
    obj->inStore = false;
    obj->store = nullptr;
    if (obj->outside == 0) destroyObject(obj);
  }
  liveStores().erase(s);
  delete s;
}

void release(CertObject* obj) {
  Store* s = obj->store;
  --obj->outside;
  if (s) --s->contextRefs;
  if (obj->outside == 0 && !obj->inStore) destroyObject(obj);
  if (s) maybeDestroyStore(s);
}

void retain(CertObject* obj) {
  ++obj->outside;
  if (obj->store) ++obj->store->contextRefs;
}

// ---- Parsing the certificate ----

bool parseTime(const der::Element& e, FILETIME& ft) {
  std::string t(reinterpret_cast<const char*>(e.content), e.length);
  struct tm tm{};
  size_t p = 0;
  auto num = [&](int digits, int& out) {
    if (p + size_t(digits) > t.size()) return false;
    out = 0;
    for (int i = 0; i < digits; ++i) {
      if (!isdigit(static_cast<unsigned char>(t[p]))) return false;
      out = out * 10 + (t[p++] - '0');
    }
    return true;
  };
  int year = 0;
  if (e.tag == der::kUtcTime) {
    if (!num(2, year)) return false;
    year += year < 50 ? 2000 : 1900;
  } else if (e.tag == der::kGeneralizedTime) {
    if (!num(4, year)) return false;
  } else {
    return false;
  }
  int mon, day, hour, min, sec = 0;
  if (!num(2, mon) || !num(2, day) || !num(2, hour) || !num(2, min)) return false;
  if (p < t.size() && isdigit(static_cast<unsigned char>(t[p])) && !num(2, sec)) return false;
  tm.tm_year = year - 1900;
  tm.tm_mon = mon - 1;
  tm.tm_mday = day;
  tm.tm_hour = hour;
  tm.tm_min = min;
  tm.tm_sec = sec;
  int64_t secs = int64_t(timegm(&tm));
  uint64_t v = uint64_t(secs + 11644473600LL) * 10000000ULL;
  ft.dwLowDateTime = DWORD(v & 0xFFFFFFFF);
  ft.dwHighDateTime = DWORD(v >> 32);
  return true;
}

struct ParsedCert {
  DWORD version = 0;
  Bytes serialLe;
  std::string sigOid;
  der::Element sigParams{};
  bool hasSigParams = false;
  der::Element issuer{}, subject{}, spki{};
  FILETIME notBefore{}, notAfter{};
  struct Ext {
    std::string oid;
    bool critical = false;
    const BYTE* value = nullptr;
    size_t length = 0;
  };
  std::vector<Ext> exts;
};

bool parseCert(const Bytes& d, ParsedCert& c) {
  der::Reader top(d.data(), d.size());
  der::Element cert, tbs, e;
  if (!top.expect(der::kSequence, cert) || !top.atEnd()) return false;
  der::Reader parts(cert.content, cert.length);
  if (!parts.expect(der::kSequence, tbs)) return false;
  der::Reader r(tbs.content, tbs.length);
  if (!r.next(e)) return false;
  if (e.tag == 0xA0) {
    der::Reader v(e.content, e.length);
    der::Element ver;
    if (!v.expect(der::kInteger, ver) || ver.length != 1) return false;
    c.version = ver.content[0];
    if (!r.next(e)) return false;
  }
  if (e.tag != der::kInteger || e.length == 0 || e.length > 64) return false;
  c.serialLe.assign(e.content, e.content + e.length);
  std::reverse(c.serialLe.begin(), c.serialLe.end());
  der::Element alg, oid;
  if (!r.expect(der::kSequence, alg)) return false;
  der::Reader a(alg.content, alg.length);
  if (!a.expect(der::kOid, oid) || !der::oidText(oid.content, oid.length, c.sigOid)) return false;
  if (!a.atEnd()) {
    c.hasSigParams = a.next(c.sigParams);
  }
  if (!r.expect(der::kSequence, c.issuer)) return false;
  der::Element validity, nb, na;
  if (!r.expect(der::kSequence, validity)) return false;
  der::Reader vr(validity.content, validity.length);
  if (!vr.next(nb) || !vr.next(na) || !parseTime(nb, c.notBefore) || !parseTime(na, c.notAfter)) return false;
  if (!r.expect(der::kSequence, c.subject) || !r.expect(der::kSequence, c.spki)) return false;
  while (!r.atEnd()) {
    if (!r.next(e)) return false;
    if (e.tag != 0xA3) continue;  // unique ids are not kept
    der::Reader outer(e.content, e.length);
    der::Element list;
    if (!outer.expect(der::kSequence, list)) return false;
    der::Reader items(list.content, list.length);
    while (!items.atEnd()) {
      der::Element ext, eo, next;
      if (!items.expect(der::kSequence, ext)) return false;
      der::Reader x(ext.content, ext.length);
      ParsedCert::Ext item;
      if (!x.expect(der::kOid, eo) || !der::oidText(eo.content, eo.length, item.oid) || !x.next(next)) return false;
      if (next.tag == der::kBoolean) {
        item.critical = next.length == 1 && next.content[0] != 0;
        if (!x.next(next)) return false;
      }
      if (next.tag != der::kOctetString) return false;
      item.value = next.content;
      item.length = next.length;
      c.exts.push_back(item);
    }
  }
  return true;
}

void layOutInfo(Flat& f, const ParsedCert& c) {
  auto* info = static_cast<CERT_INFO*>(f.alloc(sizeof(CERT_INFO)));
  BYTE* serial = f.copy(c.serialLe.data(), c.serialLe.size());
  char* sigOid = f.str(c.sigOid);
  BYTE* sigParams = c.hasSigParams ? f.copy(c.sigParams.start, c.sigParams.total) : nullptr;
  BYTE* issuer = f.copy(c.issuer.start, c.issuer.total);
  BYTE* subject = f.copy(c.subject.start, c.subject.total);
  // Subject public key info: algorithm OID and parameters, the key bits.
  der::Reader spki(c.spki.content, c.spki.length);
  der::Element alg, bits, oid, params{};
  std::string keyOid;
  bool hasParams = false;
  if (spki.expect(der::kSequence, alg) && spki.expect(der::kBitString, bits) && bits.length >= 1) {
    der::Reader a(alg.content, alg.length);
    if (a.expect(der::kOid, oid)) der::oidText(oid.content, oid.length, keyOid);
    hasParams = !a.atEnd() && a.next(params);
  }
  char* keyOidText = f.str(keyOid);
  BYTE* keyParams = hasParams ? f.copy(params.start, params.total) : nullptr;
  BYTE* keyBits = bits.length >= 1 ? f.copy(bits.content + 1, bits.length - 1) : nullptr;
  auto* exts = static_cast<CERT_EXTENSION*>(f.alloc(sizeof(CERT_EXTENSION) * c.exts.size()));
  for (size_t i = 0; i < c.exts.size(); ++i) {
    char* o = f.str(c.exts[i].oid);
    BYTE* v = f.copy(c.exts[i].value, c.exts[i].length);
    if (exts) exts[i] = {o, c.exts[i].critical, {DWORD(c.exts[i].length), v}};
  }
  if (!info) return;
  *info = CERT_INFO{};
  info->dwVersion = c.version;
  info->SerialNumber = {DWORD(c.serialLe.size()), serial};
  info->SignatureAlgorithm = {sigOid, {c.hasSigParams ? DWORD(c.sigParams.total) : 0, sigParams}};
  info->Issuer = {DWORD(c.issuer.total), issuer};
  info->NotBefore = c.notBefore;
  info->NotAfter = c.notAfter;
  info->Subject = {DWORD(c.subject.total), subject};
  info->SubjectPublicKeyInfo = {{keyOidText, {hasParams ? DWORD(params.total) : 0, keyParams}},
                                {bits.length >= 1 ? DWORD(bits.length - 1) : 0, keyBits,
                                 bits.length >= 1 ? DWORD(bits.content[0] & 7) : 0}};
  info->cExtension = DWORD(c.exts.size());
  info->rgExtension = c.exts.empty() ? nullptr : exts;
}

// `checked`: the bytes were taken as a certificate before (a copy of a
// context, or an entry a store holds, which went in as a context), so
// OpenSSL's decoding, which costs more than all the rest of an open of a
// store, is not repeated.
CertObject* newObject(const BYTE* pb, DWORD cb, DWORD& error, bool checked = false) {
  error = 0;
  // OpenSSL must take it as a certificate too: our reader only lays it out.
  bool whole = checked;
  if (!checked) {
    const unsigned char* p = pb;
    X509* x = d2i_X509(nullptr, &p, long(cb));
    whole = x && p == pb + cb;
    X509_free(x);
  }
  auto obj = std::make_unique<CertObject>();
  obj->der.assign(pb, pb + cb);
  ParsedCert parsed;
  if (!whole || !parseCert(obj->der, parsed)) {
    error = DWORD(CRYPT_E_ASN1_BADTAG);
    return nullptr;
  }
  Flat measure(nullptr);
  layOutInfo(measure, parsed);
  obj->info.resize(measure.used());
  Flat fill(obj->info.data());
  layOutInfo(fill, parsed);
  obj->ctx.dwCertEncodingType = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
  obj->ctx.pbCertEncoded = obj->der.data();
  obj->ctx.cbCertEncoded = DWORD(obj->der.size());
  obj->ctx.pCertInfo = reinterpret_cast<CERT_INFO*>(obj->info.data());
  CertObject* raw = obj.release();
  liveCerts().insert(raw);
  return raw;
}

Bytes sha1(const Bytes& d) {
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int n = 0;
  static EVP_MD* const m = EVP_MD_fetch(libctx(), "SHA1", nullptr);  // fetched once: it is not cheap
  EVP_Digest(d.data(), d.size(), md, &n, m, nullptr);
  return Bytes(md, md + n);
}

std::string hexUpper(const Bytes& b) {
  static const char digits[] = "0123456789ABCDEF";
  std::string s;
  for (BYTE c : b) {
    s += digits[c >> 4];
    s += digits[c & 15];
  }
  return s;
}

// ---- Entries of a store ----

const std::string& thumbOf(CertObject& o) {
  if (o.thumb.empty()) o.thumb = hexUpper(sha1(o.der));
  return o.thumb;
}

void addEntry(Store& s, CertObject* o) {
  o->pos = s.entries.size();
  s.entries.push_back(o);
  s.index[thumbOf(*o)] = o;
}

void removeEntry(Store& s, CertObject* o) {
  auto it = o->pos < s.entries.size() && s.entries[o->pos] == o ? s.entries.begin() + long(o->pos)
                                                                 : std::find(s.entries.begin(), s.entries.end(), o);
  if (it != s.entries.end()) s.entries.erase(it);
  auto ix = s.index.find(thumbOf(*o));
  if (ix != s.index.end() && ix->second == o) s.index.erase(ix);
}

// ---- System stores in the hive ----

std::string storeKeyPath(const std::string& name) {
  return "Software\\Microsoft\\SystemCertificates\\" + name + "\\Certificates";
}

bool persisted(DWORD propId) {
  return propId != CERT_KEY_CONTEXT_PROP_ID && propId != CERT_KEY_PROV_HANDLE_PROP_ID && propId != CERT_CERT_PROP_ID;
}

Bytes serialise(const CertObject& obj) {
  Bytes out;
  auto element = [&out](DWORD id, const Bytes& data) {
    DWORD head[3] = {id, 1, DWORD(data.size())};
    const BYTE* h = reinterpret_cast<const BYTE*>(head);
    out.insert(out.end(), h, h + sizeof head);
    out.insert(out.end(), data.begin(), data.end());
  };
  for (const auto& [id, data] : obj.props)
    if (persisted(id)) element(id, data);
  element(CERT_CERT_PROP_ID, obj.der);
  return out;
}

bool writeEntry(const Store& s, const CertObject& obj) {
  HKEY key = nullptr;
  const std::string path = storeKeyPath(s.name) + "\\" + hexUpper(sha1(obj.der));
  LSTATUS rc = RegCreateKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_WRITE,
                               nullptr, &key, nullptr);
  if (rc != ERROR_SUCCESS) {
    SetLastError(DWORD(rc));
    return false;
  }
  Bytes blob = serialise(obj);
  rc = RegSetValueExA(key, "Blob", 0, REG_BINARY, blob.data(), DWORD(blob.size()));
  RegCloseKey(key);
  if (rc != ERROR_SUCCESS) {
    SetLastError(DWORD(rc));
    return false;
  }
  return true;
}

void eraseEntry(const Store& s, const CertObject& obj) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_CURRENT_USER, storeKeyPath(s.name).c_str(), 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS)
    return;
  RegDeleteKeyA(key, hexUpper(sha1(obj.der)).c_str());
  RegCloseKey(key);
}

// A store entry from its hive "Blob" (properties, then the certificate);
// null when it holds no certificate that parses.
CertObject* entryFromBlob(Store& s, const std::string& blob) {
  std::map<DWORD, Bytes> props;
  Bytes der;
  for (size_t p = 0; p + 12 <= blob.size();) {
    DWORD head[3];
    memcpy(head, blob.data() + p, sizeof head);
    p += 12;
    if (head[2] > blob.size() - p) break;
    Bytes data(blob.begin() + long(p), blob.begin() + long(p + head[2]));
    p += head[2];
    if (head[0] == CERT_CERT_PROP_ID) der = std::move(data);
    else props[head[0]] = std::move(data);
  }
  DWORD error = 0;
  CertObject* obj = der.empty() ? nullptr : newObject(der.data(), DWORD(der.size()), error, true);
  if (!obj) return nullptr;
  obj->props = std::move(props);
  obj->outside = 0;
  obj->inStore = true;
  obj->store = &s;
  obj->ctx.hCertStore = &s;
  return obj;
}

// Reads all of a system store's entries (in the hive's order), keeping the
// ones already read; entries that do not parse are skipped.
void ensureLoaded(Store& s) {
  if (s.loaded) return;
  s.loaded = true;
  std::vector<std::pair<std::string, std::string>> rows;
  if (velmora::platform::readSubkeyValues(storeKeyPath(s.name).c_str(), "Blob", rows) != ERROR_SUCCESS) return;
  std::vector<CertObject*> ordered;
  ordered.reserve(rows.size() + s.entries.size());
  std::set<CertObject*> placed;
  for (auto& [name, blob] : rows) {
    std::string thumb = name;
    for (char& c : thumb) c = char(toupper(static_cast<unsigned char>(c)));
    auto ix = s.index.find(thumb);
    if (ix != s.index.end()) {
      if (placed.insert(ix->second).second) ordered.push_back(ix->second);
      continue;
    }
    CertObject* obj = entryFromBlob(s, blob);
    if (!obj) continue;
    auto [at, fresh] = s.index.emplace(thumbOf(*obj), obj);
    if (!fresh) {  // a second entry for one certificate: the first counts
      destroyObject(obj);
      continue;
    }
    placed.insert(obj);
    ordered.push_back(obj);
  }
  // Entries read before that another process has removed since stay.
  for (CertObject* e : s.entries)
    if (!placed.count(e)) ordered.push_back(e);
  s.entries = std::move(ordered);
  for (size_t i = 0; i < s.entries.size(); ++i) s.entries[i]->pos = i;
}

// The store's entry for a thumbprint (upper-case hex), read from the hive
// alone when the store has not been read yet.
CertObject* lookupThumb(Store& s, const std::string& thumb) {
  auto ix = s.index.find(thumb);
  if (ix != s.index.end()) return ix->second;
  if (s.loaded || !s.system) return nullptr;
  const std::string path = storeKeyPath(s.name) + "\\" + thumb;
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return nullptr;
  DWORD size = 0;
  std::string blob;
  if (RegQueryValueExA(key, "Blob", nullptr, nullptr, nullptr, &size) == ERROR_SUCCESS && size) {
    blob.resize(size);
    if (RegQueryValueExA(key, "Blob", nullptr, nullptr, reinterpret_cast<BYTE*>(blob.data()), &size) != ERROR_SUCCESS)
      blob.clear();
    blob.resize(std::min<size_t>(blob.size(), size));
  }
  RegCloseKey(key);
  CertObject* obj = entryFromBlob(s, blob);
  if (!obj) return nullptr;
  if (thumbOf(*obj) != thumb) {  // filed under another name: the full read finds it
    destroyObject(obj);
    return nullptr;
  }
  addEntry(s, obj);
  return obj;
}

CertObject* findSame(Store& s, const Bytes& der) {
  CertObject* o = lookupThumb(s, hexUpper(sha1(der)));
  return o && o->der == der ? o : nullptr;
}

// The serialised CRYPT_KEY_PROV_INFO: offsets from its start in place of
// pointers.
Bytes serialiseProvInfo(const CRYPT_KEY_PROV_INFO& info) {
  auto wlen = [](const WCHAR* w) {
    size_t n = 0;
    if (w)
      while (w[n]) ++n;
    return n;
  };
  DWORD head[7] = {};
  Bytes out(sizeof head);
  auto putString = [&out](const WCHAR* w, size_t n) {
    DWORD at = DWORD(out.size());
    const BYTE* b = reinterpret_cast<const BYTE*>(w);
    out.insert(out.end(), b, b + n * 2);
    out.insert(out.end(), {0, 0});
    return at;
  };
  head[0] = info.pwszContainerName ? putString(info.pwszContainerName, wlen(info.pwszContainerName)) : 0;
  head[1] = info.pwszProvName ? putString(info.pwszProvName, wlen(info.pwszProvName)) : 0;
  head[2] = info.dwProvType;
  head[3] = info.dwFlags;
  head[4] = info.cProvParam;
  head[6] = info.dwKeySpec;
  if (info.cProvParam) {
    head[5] = DWORD(out.size());
    out.resize(out.size() + 16 * info.cProvParam);
    for (DWORD i = 0; i < info.cProvParam; ++i) {
      const CRYPT_KEY_PROV_PARAM& p = info.rgProvParam[i];
      DWORD at = DWORD(out.size());
      out.insert(out.end(), p.pbData, p.pbData + p.cbData);
      DWORD entry[4] = {p.dwParam, at, p.cbData, p.dwFlags};
      memcpy(out.data() + head[5] + 16 * i, entry, sizeof entry);
    }
  }
  memcpy(out.data(), head, sizeof head);
  return out;
}

BOOL giveProvInfo(const Bytes& s, void* out, DWORD* outLen) {
  if (s.size() < 28) return fail(CRYPT_E_NOT_FOUND);
  DWORD head[7];
  memcpy(head, s.data(), sizeof head);
  auto wstr = [&s](DWORD at) {
    std::u16string w;
    for (size_t p = at; at && p + 1 < s.size(); p += 2) {
      char16_t c = char16_t(s[p] | (s[p + 1] << 8));
      if (!c) break;
      w += c;
    }
    return w;
  };
  const std::u16string container = wstr(head[0]), prov = wstr(head[1]);
  return layOut(out, outLen, [&](Flat& f) {
    auto* info = static_cast<CRYPT_KEY_PROV_INFO*>(f.alloc(sizeof(CRYPT_KEY_PROV_INFO)));
    auto* c = reinterpret_cast<WCHAR*>(f.copy(container.data(), container.size() * 2, 2));
    auto* p = reinterpret_cast<WCHAR*>(f.copy(prov.data(), prov.size() * 2, 2));
    auto* params = static_cast<CRYPT_KEY_PROV_PARAM*>(f.alloc(sizeof(CRYPT_KEY_PROV_PARAM) * head[4]));
    for (DWORD i = 0; i < head[4] && head[5] + 16 * (i + 1) <= s.size(); ++i) {
      DWORD e[4];
      memcpy(e, s.data() + head[5] + 16 * i, sizeof e);
      BYTE* d = e[1] + e[2] <= s.size() ? f.copy(s.data() + e[1], e[2]) : nullptr;
      if (params) params[i] = {e[0], d, d ? e[2] : 0, e[3]};
    }
    if (info) *info = {head[0] ? c : nullptr, head[1] ? p : nullptr, head[2], head[3], head[4],
                       head[4] ? params : nullptr, head[6]};
  });
}

// A new context in `s` for `src`'s certificate, carrying `src`'s properties.
CertObject* addToStore(Store& s, CertObject* src, DWORD disposition, DWORD& error) {
  error = 0;
  CertObject* existing = findSame(s, src->der);
  if (existing) {
    if (disposition == CERT_STORE_ADD_NEW) {
      error = DWORD(CRYPT_E_EXISTS);
      return nullptr;
    }
    if (disposition == CERT_STORE_ADD_USE_EXISTING) {
      // Properties the existing context lacks are taken over.
      for (const auto& [id, data] : src->props) existing->props.emplace(id, data);
      if (s.system && !writeEntry(s, *existing)) {
        error = GetLastError();
        return nullptr;
      }
      return existing;
    }
  }
  if (s.name.size() && strcasecmp(s.name.c_str(), "ROOT") == 0 && !existing) {
    // Trusting a new root is the user's decision.
    velmora::ui::RootInstallParams params;
    CERT_NAME_BLOB subject = src->ctx.pCertInfo->Subject;
    DWORD n = CertNameToStrA(X509_ASN_ENCODING, &subject, CERT_X500_NAME_STR, nullptr, 0);
    std::string text(n, '\0');
    CertNameToStrA(X509_ASN_ENCODING, &subject, CERT_X500_NAME_STR, text.data(), n);
    text.resize(n ? n - 1 : 0);
    params.subject = velmora::platform::utf8FromAnsi(text);
    std::string thumb = hexUpper(sha1(src->der));
    for (size_t i = 4; i < thumb.size(); i += 5) thumb.insert(i, " ");
    params.thumbprint = thumb;
    if (!velmora::ui::rootInstallDialog(params)) {
      error = ERROR_CANCELLED;
      return nullptr;
    }
  }
  DWORD e = 0;
  CertObject* obj = newObject(src->der.data(), DWORD(src->der.size()), e, true);
  if (!obj) {
    error = e;
    return nullptr;
  }
  obj->props = src->props;
  if (src->hasKey) {
    obj->key = src->key;
    obj->hasKey = true;
    if (obj->key.release) CryptContextAddRef(obj->key.prov, nullptr, 0);
  }
  if (existing && disposition == CERT_STORE_ADD_REPLACE_EXISTING_INHERIT_PROPERTIES)
    for (const auto& [id, data] : existing->props) obj->props.emplace(id, data);
  obj->outside = 0;
  obj->inStore = true;
  obj->store = &s;
  obj->ctx.hCertStore = &s;
  if (s.system && !writeEntry(s, *obj)) {
    error = GetLastError();
    obj->inStore = false;
    obj->store = nullptr;
    destroyObject(obj);
    return nullptr;
  }
  if (existing) {
    // The hive keeps one entry per certificate (also for
    // CERT_STORE_ADD_ALWAYS): the older context goes.
    removeEntry(s, existing);
    existing->inStore = false;
    if (existing->outside == 0) destroyObject(existing);
  }
  addEntry(s, obj);
  return obj;
}

}  // namespace

}  // namespace velmora::crypt

using namespace velmora::crypt;

PCCERT_CONTEXT CertCreateCertificateContext(DWORD dwCertEncodingType, const BYTE* pbCertEncoded,
                                            DWORD cbCertEncoded) {
  if (!pbCertEncoded || !cbCertEncoded) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  if (GET_CERT_ENCODING_TYPE(dwCertEncodingType) != X509_ASN_ENCODING) {
    SetLastError(DWORD(E_INVALIDARG));
    return nullptr;
  }
  std::lock_guard<std::recursive_mutex> guard(lock());
  DWORD error = 0;
  CertObject* obj = newObject(pbCertEncoded, cbCertEncoded, error);
  if (!obj) {
    SetLastError(error);
    return nullptr;
  }
  return &obj->ctx;
}

PCCERT_CONTEXT CertDuplicateCertificateContext(PCCERT_CONTEXT pCertContext) {
  std::lock_guard<std::recursive_mutex> guard(lock());
  CertObject* obj = pCertContext ? objectOf(pCertContext) : nullptr;
  if (!obj) return nullptr;
  retain(obj);
  return pCertContext;
}

BOOL CertFreeCertificateContext(PCCERT_CONTEXT pCertContext) {
  if (!pCertContext) return TRUE;
  std::lock_guard<std::recursive_mutex> guard(lock());
  CertObject* obj = objectOf(pCertContext);
  if (!obj || obj->outside <= 0) return fail(ERROR_INVALID_PARAMETER);
  release(obj);
  return TRUE;
}

LONG CertVerifyTimeValidity(const FILETIME* pTimeToVerify, PCERT_INFO pCertInfo) {
  auto value = [](const FILETIME& f) { return (uint64_t(f.dwHighDateTime) << 32) | f.dwLowDateTime; };
  uint64_t now;
  if (pTimeToVerify) {
    now = value(*pTimeToVerify);
  } else {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    now = uint64_t(ts.tv_sec + 11644473600LL) * 10000000ULL + uint64_t(ts.tv_nsec / 100);
  }
  if (now < value(pCertInfo->NotBefore)) return -1;
  if (now > value(pCertInfo->NotAfter)) return 1;
  return 0;
}

PCERT_EXTENSION CertFindExtension(LPCSTR pszObjId, DWORD cExtensions, CERT_EXTENSION rgExtensions[]) {
  for (DWORD i = 0; pszObjId && i < cExtensions; ++i)
    if (rgExtensions[i].pszObjId && strcmp(rgExtensions[i].pszObjId, pszObjId) == 0) return &rgExtensions[i];
  SetLastError(DWORD(CRYPT_E_NOT_FOUND));
  return nullptr;
}

DWORD CertGetNameStringA(PCCERT_CONTEXT pCertContext, DWORD dwType, DWORD dwFlags, void* pvTypePara,
                         LPSTR pszNameString, DWORD cchNameString) {
  std::u16string text;
  if (pCertContext && pCertContext->pCertInfo) {
    const CERT_NAME_BLOB& blob =
        (dwFlags & CERT_NAME_ISSUER_FLAG) ? pCertContext->pCertInfo->Issuer : pCertContext->pCertInfo->Subject;
    ParsedName name;
    parseName(blob.pbData, blob.cbData, name);
    auto first = [&name](const char* oid) {
      for (const auto& rdn : name)
        for (const auto& a : rdn)
          if (a.oid == oid) return attrText(a);
      return std::u16string();
    };
    switch (dwType) {
      case CERT_NAME_ATTR_TYPE:
        if (pvTypePara) text = first(static_cast<const char*>(pvTypePara));
        break;
      case CERT_NAME_EMAIL_TYPE:
        text = first(szOID_RSA_emailAddr);
        break;
      case CERT_NAME_FRIENDLY_DISPLAY_TYPE: {
        DWORD n = 0;
        if (!(dwFlags & CERT_NAME_ISSUER_FLAG) &&
            CertGetCertificateContextProperty(pCertContext, CERT_FRIENDLY_NAME_PROP_ID, nullptr, &n) && n >= 2) {
          std::u16string w(n / 2, u'\0');
          CertGetCertificateContextProperty(pCertContext, CERT_FRIENDLY_NAME_PROP_ID, w.data(), &n);
          text = w.c_str();
          break;
        }
        [[fallthrough]];
      }
      case CERT_NAME_SIMPLE_DISPLAY_TYPE:
        for (const char* oid : {szOID_COMMON_NAME, szOID_ORGANIZATIONAL_UNIT_NAME, szOID_ORGANIZATION_NAME,
                                szOID_RSA_emailAddr})
          if (text.empty()) text = first(oid);
        if (text.empty() && !name.empty() && !name[0].empty()) text = attrText(name[0][0]);
        break;
      case CERT_NAME_RDN_TYPE: {
        DWORD strType = pvTypePara ? *static_cast<const DWORD*>(pvTypePara) : CERT_SIMPLE_NAME_STR;
        CERT_NAME_BLOB b = blob;
        DWORD n = CertNameToStrA(X509_ASN_ENCODING, &b, strType, nullptr, 0);
        std::string ansi(n, '\0');
        CertNameToStrA(X509_ASN_ENCODING, &b, strType, ansi.data(), n);
        ansi.resize(n ? n - 1 : 0);
        text = velmora::platform::toWide(ansi, CP_ACP);
        break;
      }
      default:
        break;
    }
  }
  const std::string ansi = velmora::platform::toNarrow(text, CP_ACP);
  const DWORD need = DWORD(ansi.size() + 1);
  if (!pszNameString || cchNameString == 0) return need;
  const DWORD n = std::min<DWORD>(cchNameString - 1, DWORD(ansi.size()));
  memcpy(pszNameString, ansi.data(), n);
  pszNameString[n] = 0;
  return n + 1;
}

BOOL CertSetCertificateContextProperty(PCCERT_CONTEXT pCertContext, DWORD dwPropId, DWORD dwFlags,
                                       const void* pvData) {
  std::lock_guard<std::recursive_mutex> guard(lock());
  CertObject* obj = pCertContext ? objectOf(pCertContext) : nullptr;
  if (!obj) return fail(ERROR_INVALID_PARAMETER);
  if (dwPropId == 0 || dwPropId == CERT_CERT_PROP_ID) return fail(DWORD(E_INVALIDARG));
  if (obj->store && obj->store->readOnly) return fail(ERROR_ACCESS_DENIED);
  if (dwPropId == CERT_KEY_CONTEXT_PROP_ID) {
    if (obj->hasKey && obj->key.release) CryptReleaseContext(obj->key.prov, 0);
    obj->hasKey = false;
    if (pvData) {
      const auto* kc = static_cast<const CERT_KEY_CONTEXT*>(pvData);
      if (kc->cbSize < 12 || !providers().find(kc->hCryptProv))  // 12: the 32-bit layout's size
        return fail(ERROR_INVALID_PARAMETER);
      obj->key = {kc->hCryptProv, kc->dwKeySpec, !(dwFlags & CERT_STORE_NO_CRYPT_RELEASE_FLAG)};
      obj->hasKey = true;
    }
    return TRUE;
  }
  if (!pvData) {
    obj->props.erase(dwPropId);
  } else if (dwPropId == CERT_KEY_PROV_INFO_PROP_ID) {
    obj->props[dwPropId] = serialiseProvInfo(*static_cast<const CRYPT_KEY_PROV_INFO*>(pvData));
  } else {
    const auto* blob = static_cast<const CRYPT_DATA_BLOB*>(pvData);
    obj->props[dwPropId] = Bytes(blob->pbData, blob->pbData + blob->cbData);
  }
  if (obj->inStore && obj->store && obj->store->system && !writeEntry(*obj->store, *obj)) return FALSE;
  return TRUE;
}

BOOL CertGetCertificateContextProperty(PCCERT_CONTEXT pCertContext, DWORD dwPropId, void* pvData, DWORD* pcbData) {
  std::lock_guard<std::recursive_mutex> guard(lock());
  CertObject* obj = pCertContext ? objectOf(pCertContext) : nullptr;
  if (!obj || !pcbData) return fail(ERROR_INVALID_PARAMETER);
  switch (dwPropId) {
    case CERT_SHA1_HASH_PROP_ID: {
      Bytes h = sha1(obj->der);
      return copyOut(h.data(), DWORD(h.size()), static_cast<BYTE*>(pvData), pcbData);
    }
    case CERT_KEY_CONTEXT_PROP_ID: {
      if (!obj->hasKey) return fail(DWORD(CRYPT_E_NOT_FOUND));
      CERT_KEY_CONTEXT kc{sizeof(CERT_KEY_CONTEXT), obj->key.prov, obj->key.spec};
      return copyOut(&kc, sizeof kc, static_cast<BYTE*>(pvData), pcbData);
    }
    case CERT_KEY_SPEC_PROP_ID: {
      DWORD spec = 0;
      if (obj->hasKey) spec = obj->key.spec;
      else if (auto it = obj->props.find(CERT_KEY_PROV_INFO_PROP_ID); it != obj->props.end() && it->second.size() >= 28)
        memcpy(&spec, it->second.data() + 24, 4);
      else return fail(DWORD(CRYPT_E_NOT_FOUND));
      return copyOut(&spec, sizeof spec, static_cast<BYTE*>(pvData), pcbData);
    }
    default:
      break;
  }
  auto it = obj->props.find(dwPropId);
  if (it == obj->props.end()) return fail(DWORD(CRYPT_E_NOT_FOUND));
  if (dwPropId == CERT_KEY_PROV_INFO_PROP_ID) return giveProvInfo(it->second, pvData, pcbData);
  return copyOut(it->second.data(), DWORD(it->second.size()), static_cast<BYTE*>(pvData), pcbData);
}

DWORD CertEnumCertificateContextProperties(PCCERT_CONTEXT pCertContext, DWORD dwPropId) {
  std::lock_guard<std::recursive_mutex> guard(lock());
  CertObject* obj = pCertContext ? objectOf(pCertContext) : nullptr;
  if (!obj) return 0;
  std::set<DWORD> ids;
  for (const auto& [id, data] : obj->props) ids.insert(id);
  if (obj->hasKey) ids.insert(CERT_KEY_CONTEXT_PROP_ID);
  auto it = ids.upper_bound(dwPropId);
  return it == ids.end() ? 0 : *it;
}

HCERTSTORE CertOpenStore(LPCSTR lpszStoreProvider, DWORD, HCRYPTPROV hCryptProv, DWORD dwFlags, const void* pvPara) {
  std::lock_guard<std::recursive_mutex> guard(lock());
  const uintptr_t provider = reinterpret_cast<uintptr_t>(lpszStoreProvider);
  auto store = std::make_unique<Store>();
  store->readOnly = dwFlags & CERT_STORE_READONLY_FLAG;
  // The store takes the handle over; it needs none itself.
  if (hCryptProv && !(dwFlags & CERT_STORE_NO_CRYPT_RELEASE_FLAG)) CryptReleaseContext(hCryptProv, 0);
  if (provider == uintptr_t(CERT_STORE_PROV_MEMORY)) {
    // nothing to load
  } else if (provider == uintptr_t(CERT_STORE_PROV_SYSTEM_A) || provider == uintptr_t(CERT_STORE_PROV_SYSTEM_W)) {
    if ((dwFlags & CERT_SYSTEM_STORE_LOCATION_MASK) != CERT_SYSTEM_STORE_CURRENT_USER) {
      SetLastError(ERROR_ACCESS_DENIED);  // only the current user's stores exist here
      return nullptr;
    }
    if (!pvPara) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return nullptr;
    }
    std::string name;
    if (provider == uintptr_t(CERT_STORE_PROV_SYSTEM_A)) {
      name = static_cast<const char*>(pvPara);
    } else {
      const auto* w = static_cast<const WCHAR*>(pvPara);
      std::u16string wide;
      while (*w) wide += *w++;
      name = velmora::platform::toNarrow(wide, 65001);
    }
    if (name.empty() || name.find('\\') != std::string::npos) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return nullptr;
    }
    HKEY key = nullptr;
    LSTATUS rc;
    if (dwFlags & CERT_STORE_DELETE_FLAG) {
      SetLastError(ERROR_NOT_SUPPORTED);
      return nullptr;
    }
    if (dwFlags & (CERT_STORE_OPEN_EXISTING_FLAG | CERT_STORE_READONLY_FLAG))
      rc = RegOpenKeyExA(HKEY_CURRENT_USER, storeKeyPath(name).c_str(), 0, KEY_READ, &key);
    else
      rc = RegCreateKeyExA(HKEY_CURRENT_USER, storeKeyPath(name).c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                           KEY_ALL_ACCESS, nullptr, &key, nullptr);
    if (rc != ERROR_SUCCESS) {
      // A read-only look at a store never written is an empty store.
      if (!(dwFlags & CERT_STORE_OPEN_EXISTING_FLAG) && rc == ERROR_FILE_NOT_FOUND) {
        key = nullptr;
      } else {
        SetLastError(DWORD(rc));
        return nullptr;
      }
    }
    store->system = true;
    store->name = name;
    if (key) {
      store->loaded = false;  // read when walked
      RegCloseKey(key);
    }
  } else {
    SetLastError(DWORD(ERROR_FILE_NOT_FOUND));  // no such store provider
    return nullptr;
  }
  Store* raw = store.release();
  liveStores().insert(raw);
  return raw;
}

HCERTSTORE CertOpenSystemStoreA(HCRYPTPROV hProv, LPCSTR szSubsystemProtocol) {
  return CertOpenStore(CERT_STORE_PROV_SYSTEM_A, 0, hProv, CERT_SYSTEM_STORE_CURRENT_USER, szSubsystemProtocol);
}

BOOL CertCloseStore(HCERTSTORE hCertStore, DWORD dwFlags) {
  if (!hCertStore) return TRUE;
  std::lock_guard<std::recursive_mutex> guard(lock());
  Store* s = storeOf(hCertStore);
  if (!s || s->handles <= 0) return fail(ERROR_INVALID_HANDLE);
  --s->handles;
  const bool stillUsed = s->contextRefs > 0;
  maybeDestroyStore(s);
  if ((dwFlags & CERT_CLOSE_STORE_CHECK_FLAG) && stillUsed) return fail(DWORD(CRYPT_E_PENDING_CLOSE));
  return TRUE;
}

BOOL CertAddCertificateContextToStore(HCERTSTORE hCertStore, PCCERT_CONTEXT pCertContext, DWORD dwAddDisposition,
                                      PCCERT_CONTEXT* ppStoreContext) {
  if (ppStoreContext) *ppStoreContext = nullptr;
  std::lock_guard<std::recursive_mutex> guard(lock());
  Store* s = storeOf(hCertStore);
  CertObject* src = pCertContext ? objectOf(pCertContext) : nullptr;
  if (!s || !src) return fail(ERROR_INVALID_PARAMETER);
  if (dwAddDisposition < CERT_STORE_ADD_NEW || dwAddDisposition > CERT_STORE_ADD_NEWER_INHERIT_PROPERTIES)
    return fail(DWORD(E_INVALIDARG));
  if (s->readOnly) return fail(ERROR_ACCESS_DENIED);
  DWORD disposition = dwAddDisposition;
  if (disposition == CERT_STORE_ADD_NEWER) disposition = CERT_STORE_ADD_REPLACE_EXISTING;
  if (disposition == CERT_STORE_ADD_NEWER_INHERIT_PROPERTIES)
    disposition = CERT_STORE_ADD_REPLACE_EXISTING_INHERIT_PROPERTIES;
  DWORD error = 0;
  CertObject* added = addToStore(*s, src, disposition, error);
  if (!added) {
    if (error == DWORD(CRYPT_E_EXISTS) && ppStoreContext) {
      CertObject* existing = findSame(*s, src->der);
      retain(existing);
      *ppStoreContext = &existing->ctx;
    }
    return fail(error);
  }
  if (ppStoreContext) {
    retain(added);
    *ppStoreContext = &added->ctx;
  }
  return TRUE;
}

BOOL CertAddEncodedCertificateToStore(HCERTSTORE hCertStore, DWORD dwCertEncodingType, const BYTE* pbCertEncoded,
                                      DWORD cbCertEncoded, DWORD dwAddDisposition, PCCERT_CONTEXT* ppCertContext) {
  if (ppCertContext) *ppCertContext = nullptr;
  PCCERT_CONTEXT ctx = CertCreateCertificateContext(dwCertEncodingType, pbCertEncoded, cbCertEncoded);
  if (!ctx) return FALSE;
  BOOL ok = CertAddCertificateContextToStore(hCertStore, ctx, dwAddDisposition, ppCertContext);
  DWORD error = GetLastError();
  CertFreeCertificateContext(ctx);
  if (!ok) SetLastError(error);
  return ok;
}

namespace {

// The entry after `prev` (or the first) that `match` accepts, duplicated;
// `prev` is freed.
template <class Match>
PCCERT_CONTEXT nextMatch(HCERTSTORE hCertStore, PCCERT_CONTEXT prev, Match match) {
  std::lock_guard<std::recursive_mutex> guard(lock());
  Store* s = storeOf(hCertStore);
  if (!s) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  CertObject* prevObj = prev ? objectOf(prev) : nullptr;
  if (prev && !prevObj) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  ensureLoaded(*s);
  size_t start = 0;
  if (prevObj) {
    if (prevObj->pos < s->entries.size() && s->entries[prevObj->pos] == prevObj) {
      start = prevObj->pos + 1;
    } else {
      auto it = std::find(s->entries.begin(), s->entries.end(), prevObj);
      start = it == s->entries.end() ? s->entries.size() : size_t(it - s->entries.begin()) + 1;
    }
  }
  CertObject* found = nullptr;
  for (size_t i = start; i < s->entries.size() && !found; ++i)
    if (match(*s->entries[i])) {
      found = s->entries[i];
      found->pos = i;
    }
  if (found) retain(found);
  if (prevObj) release(prevObj);
  if (!found) {
    SetLastError(DWORD(CRYPT_E_NOT_FOUND));
    return nullptr;
  }
  return &found->ctx;
}

// A store's one entry with this thumbprint (and encoding, when given),
// without reading the rest of the store.
PCCERT_CONTEXT findByThumb(HCERTSTORE hCertStore, const std::string& thumb, const Bytes* der) {
  std::lock_guard<std::recursive_mutex> guard(lock());
  Store* s = storeOf(hCertStore);
  if (!s) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  CertObject* found = lookupThumb(*s, thumb);
  if (found && der && found->der != *der) found = nullptr;
  if (!found) {
    SetLastError(DWORD(CRYPT_E_NOT_FOUND));
    return nullptr;
  }
  retain(found);
  return &found->ctx;
}

}  // namespace

PCCERT_CONTEXT CertEnumCertificatesInStore(HCERTSTORE hCertStore, PCCERT_CONTEXT pPrevCertContext) {
  return nextMatch(hCertStore, pPrevCertContext, [](const CertObject&) { return true; });
}

PCCERT_CONTEXT CertFindCertificateInStore(HCERTSTORE hCertStore, DWORD, DWORD, DWORD dwFindType,
                                          const void* pvFindPara, PCCERT_CONTEXT pPrevCertContext) {
  switch (dwFindType) {
    case CERT_FIND_ANY:
      return nextMatch(hCertStore, pPrevCertContext, [](const CertObject&) { return true; });
    case CERT_FIND_SHA1_HASH: {
      const auto* blob = static_cast<const CRYPT_HASH_BLOB*>(pvFindPara);
      if (!blob) break;
      Bytes want(blob->pbData, blob->pbData + blob->cbData);
      if (!pPrevCertContext) return findByThumb(hCertStore, hexUpper(want), nullptr);
      return nextMatch(hCertStore, pPrevCertContext, [&want](const CertObject& o) { return sha1(o.der) == want; });
    }
    case CERT_FIND_EXISTING: {
      auto* other = static_cast<PCCERT_CONTEXT>(pvFindPara);
      if (!other) break;
      Bytes want(other->pbCertEncoded, other->pbCertEncoded + other->cbCertEncoded);
      if (!pPrevCertContext) return findByThumb(hCertStore, hexUpper(sha1(want)), &want);
      return nextMatch(hCertStore, pPrevCertContext, [&want](const CertObject& o) { return o.der == want; });
    }
    case CERT_FIND_SUBJECT_STR_A:
    case CERT_FIND_ISSUER_STR_A: {
      if (!pvFindPara) break;
      // Case-insensitive part of the name's text, as Windows compares.
      std::u16string want = velmora::platform::toWide(static_cast<const char*>(pvFindPara), CP_ACP);
      auto fold = [](std::u16string s) {
        for (auto& c : s)
          if (c >= u'a' && c <= u'z') c = char16_t(c - 32);
        return s;
      };
      want = fold(want);
      const bool issuer = dwFindType == CERT_FIND_ISSUER_STR_A;
      return nextMatch(hCertStore, pPrevCertContext, [&](const CertObject& o) {
        CERT_NAME_BLOB b = issuer ? o.ctx.pCertInfo->Issuer : o.ctx.pCertInfo->Subject;
        DWORD n = CertNameToStrA(X509_ASN_ENCODING, &b, CERT_SIMPLE_NAME_STR, nullptr, 0);
        std::string ansi(n, '\0');
        CertNameToStrA(X509_ASN_ENCODING, &b, CERT_SIMPLE_NAME_STR, ansi.data(), n);
        ansi.resize(n ? n - 1 : 0);
        return fold(velmora::platform::toWide(ansi, CP_ACP)).find(want) != std::u16string::npos;
      });
    }
    default:
      break;
  }
  if (pPrevCertContext) CertFreeCertificateContext(pPrevCertContext);
  SetLastError(DWORD(E_INVALIDARG));
  return nullptr;
}

BOOL CertDeleteCertificateFromStore(PCCERT_CONTEXT pCertContext) {
  std::lock_guard<std::recursive_mutex> guard(lock());
  CertObject* obj = pCertContext ? objectOf(pCertContext) : nullptr;
  if (!obj) return fail(ERROR_INVALID_PARAMETER);
  Store* s = obj->store;
  if (s && s->readOnly) {
    release(obj);
    return fail(ERROR_ACCESS_DENIED);
  }
  if (s && obj->inStore) {
    if (s->system) eraseEntry(*s, *obj);
    removeEntry(*s, obj);
    obj->inStore = false;
  }
  release(obj);
  return TRUE;
}

BOOL CryptAcquireCertificatePrivateKey(PCCERT_CONTEXT pCert, DWORD dwFlags, void*, HCRYPTPROV* phCryptProv,
                                       DWORD* pdwKeySpec, BOOL* pfCallerFreeProv) {
  if (!pCert || !phCryptProv) return fail(ERROR_INVALID_PARAMETER);
  *phCryptProv = 0;
  CERT_KEY_CONTEXT kc{};
  DWORD n = sizeof kc;
  if (!(dwFlags & CRYPT_ACQUIRE_USE_PROV_INFO_FLAG) &&
      CertGetCertificateContextProperty(pCert, CERT_KEY_CONTEXT_PROP_ID, &kc, &n)) {
    *phCryptProv = kc.hCryptProv;
    if (pdwKeySpec) *pdwKeySpec = kc.dwKeySpec;
    if (pfCallerFreeProv) *pfCallerFreeProv = FALSE;  // the context keeps it
    return TRUE;
  }
  n = 0;
  if (!CertGetCertificateContextProperty(pCert, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &n))
    return fail(DWORD(CRYPT_E_NO_KEY_PROPERTY));
  std::vector<BYTE> buf(n);
  auto* info = reinterpret_cast<CRYPT_KEY_PROV_INFO*>(buf.data());
  if (!CertGetCertificateContextProperty(pCert, CERT_KEY_PROV_INFO_PROP_ID, info, &n))
    return fail(DWORD(CRYPT_E_NO_KEY_PROPERTY));
  auto narrow = [](const WCHAR* w) {
    std::u16string s;
    while (w && *w) s += *w++;
    return velmora::platform::toNarrow(s, CP_ACP);
  };
  const std::string container = narrow(info->pwszContainerName), provider = narrow(info->pwszProvName);
  HCRYPTPROV prov = 0;
  DWORD acquireFlags = (dwFlags & CRYPT_ACQUIRE_SILENT_FLAG) ? CRYPT_SILENT : 0;
  if (!CryptAcquireContextA(&prov, container.c_str(), provider.empty() ? nullptr : provider.c_str(), info->dwProvType,
                            acquireFlags))
    return FALSE;
  // The container's key must be the certificate's.
  DWORD error = 0;
  auto ctx = providers().find(prov);
  auto key = ctx ? userKey(*ctx, info->dwKeySpec, error) : nullptr;
  Bytes keyDer;
  const CRYPT_BIT_BLOB& bits = pCert->pCertInfo->SubjectPublicKeyInfo.PublicKey;
  if (!key || !rsaPublicDer(key->pkey, keyDer) || keyDer != Bytes(bits.pbData, bits.pbData + bits.cbData)) {
    CryptReleaseContext(prov, 0);
    return fail(key ? DWORD(NTE_BAD_PUBLIC_KEY) : error);
  }
  if (dwFlags & CRYPT_ACQUIRE_CACHE_FLAG) {
    CERT_KEY_CONTEXT cache{sizeof(CERT_KEY_CONTEXT), prov, info->dwKeySpec};
    CertSetCertificateContextProperty(pCert, CERT_KEY_CONTEXT_PROP_ID, 0, &cache);
    if (pfCallerFreeProv) *pfCallerFreeProv = FALSE;
  } else if (pfCallerFreeProv) {
    *pfCallerFreeProv = TRUE;
  }
  *phCryptProv = prov;
  if (pdwKeySpec) *pdwKeySpec = info->dwKeySpec;
  return TRUE;
}
