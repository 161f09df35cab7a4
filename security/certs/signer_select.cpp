// Choosing the signing certificate: from the user's "MY" store, from a PFX
// file, or the one another instance chose (the shared signer record); and
// the getters of the chosen certificate's fields.
#include <openssl/crypto.h>  // before wincrypt.h (X509_NAME)

#include <shellapi.h>
#include <wincrypt.h>

#include <cstdio>
#include <ctime>
#include <sys/time.h>
#include <vector>

#include "base/codepage_internal.h"
#include "certs/cert_info.h"
#include "certs/pfx_store.h"
#include "certs/shared_signer.h"
#include "certs/signer_filter.h"
#include "certs/store_choice.h"
#include "frame/engines.h"
#include "resources/resource_ids.h"
#include "ui/dialogs.h"

namespace strabel {

namespace {

enum : int {
  kWrongParameters = 5005,
  kCertNotFound = 5010,
  kExpired = 5011,
  kNotYetValid = 5012,
  kBadKeyUsage = 5017,
  kUserCancelled = 5070,
  kOpenMyFailed = 5201,
  kPermissionDenied = 5906,
};

enum : long {
  kListModeMask = 0x003,
  kCheckTime = 0x004,
  kStrict = 0x008,
  kEarliestNotBefore = 0x020,
  kLatestNotAfter = 0x040,
  kEarliestNotAfter = 0x080,
  kStoreMedium = 0x100,
  kPfxMedium = 0x200,
};

// Certificate contexts we hold a reference to.
struct Candidates {
  std::vector<PCCERT_CONTEXT> list;
  Candidates() = default;
  Candidates(const Candidates&) = delete;
  ~Candidates() { clear(); }
  void clear() {
    for (auto c : list) CertFreeCertificateContext(c);
    list.clear();
  }
};

struct Search {
  SignerFilter filter;
  long flags = 0;
  long keyUsage = 0;
  bool haveDate = false;
  FILETIME when{};
};

// Is `c` a better best candidate than `kept`? Dates compared as local
// "yyyy/mm/dd hh:mm:ss" texts; ties keep the earlier certificate.
bool better(const CertInfo& c, const CertInfo& kept, long flags) {
  using F = CertInfo::DateForm;
  if (flags & kEarliestNotBefore) return c.NotBefore(F::DateTime) < kept.NotBefore(F::DateTime);
  if (flags & kLatestNotAfter) return c.NotAfter(F::DateTime) > kept.NotAfter(F::DateTime);
  if (flags & kEarliestNotAfter) return c.NotAfter(F::DateTime) < kept.NotAfter(F::DateTime);
  return c.NotBefore(F::DateTime) > kept.NotBefore(F::DateTime);
}

// Candidate matching over one store. `firstOnly` for a PFX file, `bestOnly`
// for list mode 2 of the store. 0 with candidates, else the reason.
int matchCandidates(HCERTSTORE store, const Search& s, bool firstOnly, bool bestOnly, Candidates& out) {
  out.clear();
  int reason = 0;
  const bool strict = (s.flags & kStrict) != 0;
  for (PCCERT_CONTEXT c = nullptr; (c = CertEnumCertificatesInStore(store, c));) {
    CertInfo cert;
    cert.FromContext(c);
    if (cert.IsCaLike()) continue;
    if (s.keyUsage > 0 && (cert.KeyUsage() & s.keyUsage) != s.keyUsage) {
      if (out.list.empty()) reason = kBadKeyUsage;
      continue;
    }
    if (!MatchFilter(s.filter, cert, strict)) continue;
    if (s.flags & kCheckTime) {
      const LONG v = CertVerifyTimeValidity(s.haveDate ? &s.when : nullptr, c->pCertInfo);
      if (v != 0) {
        if (out.list.empty()) reason = v > 0 ? kExpired : kNotYetValid;
        continue;
      }
    }
    if (bestOnly && !out.list.empty()) {
      CertInfo kept;
      kept.FromContext(out.list[0]);
      if (better(cert, kept, s.flags)) {
        CertFreeCertificateContext(out.list[0]);
        out.list[0] = CertDuplicateCertificateContext(c);
      }
      continue;
    }
    out.list.push_back(CertDuplicateCertificateContext(c));
    if (firstOnly) {
      CertFreeCertificateContext(c);
      break;
    }
  }
  if (!out.list.empty()) return 0;
  return reason ? reason : kCertNotFound;
}

std::string utf8(const std::string& ansi) { return velmora::platform::utf8FromAnsi(ansi); }

// "Certificate": the certificate in the desktop's viewer, from temp.cer in
// the temporary folder.
void viewCertificate(PCCERT_CONTEXT c) {
  char dir[MAX_PATH] = {0};
  DWORD n = GetTempPathA(sizeof dir, dir);
  if (n == 0 || n >= sizeof dir) return;
  std::string path = JoinFolder(dir, "temp.cer");
  ByteBuffer der;
  der.Append(c->pbCertEncoded, int32_t(c->cbCertEncoded));
  if (der.SaveFile(path)) ShellExecuteA(nullptr, "open", path.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
}

// The list dialog; the chosen index, or -1 on cancel.
int askSigner(const CCapiCore& core, const Candidates& cands) {
  velmora::ui::SignerListParams p;
  p.title = DialogText(IDS_SIGNERLIST_CAPTION, "Select one for Signed Data");
  if (core.m_nCodePage == 437) p.columns = {"Common Name", "Serial", "Not before", "Not after", "Issuer"};
  else p.columns = {"憑證持有人", "憑證序號", "起始日", "截止日", "憑證發行者"};
  p.okLabel = DialogText(IDS_OK, "OK");
  p.cancelLabel = DialogText(IDS_CANCEL, "Cancel");
  p.certificateLabel = DialogText(IDS_SIGNERLIST_CERTIFICATE, "Certificate");
  for (auto c : cands.list) {
    CertInfo cert;
    cert.FromContext(c);
    std::string cn = cert.SubjectCN(), issuer = cert.IssuerCN();
    if (cn.empty()) cn = cert.SubjectName();
    if (issuer.empty()) issuer = cert.IssuerName();
    p.rows.push_back({utf8(cn), cert.Serial(), cert.NotBefore(CertInfo::DateForm::Date),
                      cert.NotAfter(CertInfo::DateForm::Date), utf8(issuer)});
  }
  p.selected = 0;
  // A person stops pressing "Certificate" long before this; a broken
  // renderer that always answers it must not hold the call for ever.
  for (int round = 0; round < 1000; ++round) {
    auto answer = velmora::ui::signerListDialog(p);
    if (!answer) return -1;
    const int row = answer->row >= 0 && size_t(answer->row) < cands.list.size() ? answer->row : 0;
    if (!answer->viewCertificate) return row;
    viewCertificate(cands.list[size_t(row)]);
    p.selected = row;
  }
  return -1;
}

void becomeSigner(CCapiCore& core, PCCERT_CONTEXT c, int media) {
  CertInfo cert;
  cert.FromContext(c);
  core.m_nSignerMedia = media;
  core.m_strSignerCertHash = cert.Thumbprint();
  core.m_selectedCert.assign(c->pbCertEncoded, c->pbCertEncoded + c->cbCertEncoded);
  core.m_nErrorCode = 0;
}

// The store medium; true when a signer was chosen.
bool storeMedium(CCapiCore& core, const Search& s) {
  HCERTSTORE my = CertOpenSystemStoreA(0, "MY");
  if (!my) {
    core.fail(kOpenMyFailed, GetLastError());
    return false;
  }
  const int listMode = int(s.flags & kListModeMask);
  Candidates cands;
  const int status = matchCandidates(my, s, false, listMode == 2, cands);
  CertCloseStore(my, 0);
  if (status) {
    core.fail(status);
    return false;
  }
  core.m_nSignerMedia = 1;
  int chosen = 0;
  if (listMode == 1 || (listMode != 2 && cands.list.size() > 1)) {
    chosen = askSigner(core, cands);
    if (chosen < 0) {
      // Cancelled: nothing is chosen, and the caller hears so.
      core.m_nSignerMedia = -1;
      core.fail(kUserCancelled);
      return false;
    }
  }
  core.m_strSignerPfxPasswd.clear();
  core.m_strSignerPfxFilePath.clear();
  core.m_strSignerPfxFileName.clear();
  becomeSigner(core, cands.list[size_t(chosen)], 1);
  return true;
}

// The PFX medium for a file already named; true when a signer was chosen.
bool pfxMedium(CCapiCore& core, const Search& s, const std::string& folder, const std::string& name,
               const std::string& password) {
  PfxStore pfx;
  if (int status = pfx.Open(JoinFolder(folder, name), password, kPfxExportable)) {
    core.fail(status, pfx.lastError);
    return false;
  }
  Candidates cands;
  if (int status = matchCandidates(pfx.store, s, true, false, cands)) {
    core.fail(status);
    return false;
  }
  becomeSigner(core, cands.list[0], 2);
  core.m_strSignerPfxFilePath = folder;
  core.m_strSignerPfxFileName = name;
  core.m_strSignerPfxPasswd = password;
  return true;
}

// After a failed store search: a permission error of the platform is
// reported as such. True when the call must end.
bool permissionCheck(CCapiCore& core) {
  if (core.m_dwCapiErrorCode == DWORD(NTE_PERM)) {
    core.m_nErrorCode = kPermissionDenied;
    return true;
  }
  return false;
}

long mediaMask(long flags) {
  const long mask = (flags & kStoreMedium ? 1 : 0) | (flags & kPfxMedium ? 2 : 0);
  return mask ? mask : 3;
}

int64_t daysFromCivil(int y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = unsigned(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + int64_t(doe) - 719468;
}

// "yyyymmddhhmmss" as a UTC time with the milliseconds of now. False for
// a malformed date, and for one that names no calendar day.
bool parseCompareDate(const std::string& text, FILETIME& out) {
  if (text.size() != 14) return false;
  for (char c : text)
    if (c < '0' || c > '9') return false;
  auto num = [&](size_t pos, size_t n) { return std::stoi(text.substr(pos, n)); };
  const int y = num(0, 4), mo = num(4, 2), d = num(6, 2), h = num(8, 2), mi = num(10, 2), se = num(12, 2);
  if (mo > 12 || d > 31 || h > 23 || mi > 59 || se > 59) return false;
  static const int monthDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
  if (y < 1601 || mo < 1 || d < 1 || d > monthDays[mo - 1] || (mo == 2 && d == 29 && !leap)) return false;
  struct timeval now{};
  gettimeofday(&now, nullptr);
  const int64_t secs = daysFromCivil(y, unsigned(mo), unsigned(d)) * 86400 + h * 3600 + mi * 60 + se;
  const uint64_t ticks = uint64_t(secs + 11644473600LL) * 10000000ULL + uint64_t(now.tv_usec / 1000) * 10000ULL;
  out.dwLowDateTime = DWORD(ticks);
  out.dwHighDateTime = DWORD(ticks >> 32);
  return true;
}

// Steps shared by the three methods. False when the call ends here.
bool prologue(CCapiCore& core, Search& s, const std::u16string& filter, long flags, long keyUsage,
              const std::u16string* compareDate) {
  core.ResetSigner();
  if (!core.begin(true)) return false;
  s.filter = ParseSignerFilter(ansiFromWide(filter));
  s.flags = flags;
  s.keyUsage = keyUsage;
  if (compareDate && !compareDate->empty()) {
    if (!parseCompareDate(ansiFromWide(*compareDate), s.when)) {
      core.fail(kWrongParameters);
      return false;
    }
    s.haveDate = true;
    s.flags |= kCheckTime;
  }
  return true;
}

// SelectSignerEx and SelectSignerEx2 after the prologue.
int searchEx(CCapiCore& core, const Search& s, const std::string& path, const std::string& name,
             const std::string& password, bool alwaysAsk) {
  long mask = mediaMask(s.flags);
  if ((mask & 1) && storeMedium(core, s)) return core.m_nErrorCode;
  if (permissionCheck(core)) return core.m_nErrorCode;
  const bool named = !path.empty() && !name.empty() && FileExists(JoinFolder(path, name));
  if (named) mask = 2;
  if (mask & 2) {
    std::string folder = path, file = name, pass = alwaysAsk ? std::string() : password;
    if (!named || pass.empty()) {
      if (int status = AskPfxFile(core, folder, file, pass)) {
        WipeText(pass);
        return core.fail(status);
      }
    }
    pfxMedium(core, s, folder, file, pass);
    WipeText(pass);
  }
  permissionCheck(core);
  return core.m_nErrorCode;
}

// The signer another instance chose, when it is still where it was.
bool sharedSigner(CCapiCore& core) {
  cSharedMemory* m = SharedSigner(core);
  if (!m) return false;
  std::string hash, password, folder, name;
  DWORD media = 0;
  {
    cSharedMemory::Lock lock(*m);
    DWORD n = 0;
    if (!m->Get("signerCertBytes", nullptr, n) || n == 0) return false;
    media = m->GetInt("signerMedia", 0);
    hash = m->GetText("signerCertHash");
    if (media != 1) {
      password = m->GetText("signerCertPasswd");
      folder = m->GetText("signerCertFilePath");
      name = m->GetText("signerCertFileName");
    }
  }
  if (hash.empty()) return false;
  HCERTSTORE store = nullptr;
  PfxStore pfx;
  if (media == 1) {
    store = CertOpenSystemStoreA(0, "MY");
  } else if (FileExists(JoinFolder(folder, name)) &&
             pfx.Open(JoinFolder(folder, name), password, kPfxExportable) == 0) {
    store = pfx.store;
  }
  bool found = false;
  if (store) {
    for (PCCERT_CONTEXT c = nullptr; !found && (c = CertEnumCertificatesInStore(store, c));) {
      CertInfo cert;
      cert.FromContext(c);
      if (cert.Thumbprint() != hash) continue;
      core.m_nSignerMedia = int(media);
      core.m_strSignerCertHash = hash;
      core.m_strSignerPfxPasswd = password;
      core.m_strSignerPfxFilePath = folder;
      core.m_strSignerPfxFileName = name;
      core.m_selectedCert.assign(c->pbCertEncoded, c->pbCertEncoded + c->cbCertEncoded);
      CertFreeCertificateContext(c);
      found = true;
    }
    if (media == 1) CertCloseStore(store, 0);
  }
  WipeText(password);
  if (found) {
    core.m_nErrorCode = 0;
    core.m_dwCapiErrorCode = 0;
  }
  return found;
}

}  // namespace

void CCapiCore::ResetSigner() {
  m_nSignerMedia = -1;
  m_strSignerCertHash.clear();
  WipeText(m_strSignerPfxPasswd);
  m_strSignerPfxFilePath.clear();
  m_strSignerPfxFileName.clear();
  m_selectedCert.clear();
  m_selectedCert.shrink_to_fit();
}

int CCapiCore::SelectSigner(const std::u16string& certFilter, long dwFlags, long dwKeyUsage) {
  Search s;
  if (!prologue(*this, s, certFilter, dwFlags, dwKeyUsage, nullptr)) return m_nErrorCode;
  const long mask = mediaMask(s.flags);
  if ((mask & 1) && storeMedium(*this, s)) return m_nErrorCode;
  if (permissionCheck(*this)) return m_nErrorCode;
  if (mask & 2) {
    std::string folder, name, password;
    if (int status = AskPfxFile(*this, folder, name, password)) return fail(status);
    pfxMedium(*this, s, folder, name, password);
    WipeText(password);
  }
  permissionCheck(*this);
  return m_nErrorCode;
}

int CCapiCore::SelectSignerEx(const std::u16string& certFilter, const std::u16string& strPfxPath,
                              const std::u16string& strPfxName, const std::u16string& strPasswd,
                              const std::u16string& strCompareDate, long dwFlags, long dwKeyUsage) {
  Search s;
  if (!prologue(*this, s, certFilter, dwFlags, dwKeyUsage, &strCompareDate)) return m_nErrorCode;
  std::string password = ansiFromWide(strPasswd);
  searchEx(*this, s, ansiFromWide(strPfxPath), ansiFromWide(strPfxName), password, false);
  WipeText(password);
  return m_nErrorCode;
}

int CCapiCore::SelectSignerEx2(const std::u16string& certFilter, const std::u16string& strPfxPath,
                               const std::u16string& strPfxName, long dwPort, const std::u16string& strCompareDate,
                               long dwFlags, long dwKeyUsage) {
  Search s;
  if (!prologue(*this, s, certFilter, dwFlags, dwKeyUsage, nullptr)) return m_nErrorCode;
  SharedSigner(*this);
  if (!strCompareDate.empty()) {
    if (!parseCompareDate(ansiFromWide(strCompareDate), s.when)) return fail(kWrongParameters);
    s.haveDate = true;
    s.flags |= kCheckTime;
  }
  if (dwPort > 0 && sharedSigner(*this)) return m_nErrorCode;
  searchEx(*this, s, ansiFromWide(strPfxPath), ansiFromWide(strPfxName), std::string(), true);
  if (m_nErrorCode == 0 && m_nSignerMedia > 0) WriteSharedSigner(*this);
  return m_nErrorCode;
}

int ChooseStoreCertificate(CCapiCore& core, void* store, const std::string& filter, long flags, long keyUsage,
                           StoreChoice rule, const _CERT_CONTEXT** chosen) {
  *chosen = nullptr;
  Search s;
  s.filter = ParseSignerFilter(filter);
  s.flags = flags;
  s.keyUsage = keyUsage;
  const int listMode = int(flags & kListModeMask);
  const bool bestOnly = rule == StoreChoice::SignerListMode && listMode == 2;
  Candidates cands;
  if (int status = matchCandidates(static_cast<HCERTSTORE>(store), s, false, bestOnly, cands)) return status;
  int row = 0;
  const bool ask = rule == StoreChoice::SignerListMode
                       ? listMode == 1 || (listMode != 2 && cands.list.size() > 1)
                       : cands.list.size() > 1;
  if (ask) {
    row = askSigner(core, cands);
    if (row < 0) return kUserCancelled;
  }
  *chosen = CertDuplicateCertificateContext(cands.list[size_t(row)]);
  return 0;
}

// ---- Getters ----

namespace {

// Formats the signer's certificate; empty without one.
template <typename F>
WResult signerField(const CCapiCore& core, F field) {
  if (core.m_selectedCert.empty()) return std::u16string();
  CertInfo cert;
  if (!cert.FromBytes(core.m_selectedCert.data(), int32_t(core.m_selectedCert.size()))) return std::u16string();
  return wideFromAnsi(field(cert));
}

}  // namespace

WResult CCapiCore::GetCertB64() const {
  return signerField(*this, [](const CertInfo& c) { return c.Base64(); });
}
WResult CCapiCore::GetCertSubject() {
  m_nErrorCode = 0;
  return signerField(*this, [](const CertInfo& c) { return c.SubjectName(); });
}
WResult CCapiCore::GetCertSubjectCN() {
  m_nErrorCode = 0;
  return signerField(*this, [](const CertInfo& c) { return c.SubjectCN(); });
}
WResult CCapiCore::GetCertIssuer() {
  m_nErrorCode = 0;
  return signerField(*this, [](const CertInfo& c) { return c.IssuerName(); });
}
WResult CCapiCore::GetCertSerial() {
  m_nErrorCode = 0;
  return signerField(*this, [](const CertInfo& c) { return c.Serial(); });
}
WResult CCapiCore::GetCertNotBefore() {
  m_nErrorCode = 0;
  return signerField(*this, [](const CertInfo& c) { return c.NotBefore(); });
}
WResult CCapiCore::GetCertNotAfter() {
  m_nErrorCode = 0;
  return signerField(*this, [](const CertInfo& c) { return c.NotAfter(); });
}
WResult CCapiCore::GetCertFinger() {
  m_nErrorCode = 0;
  return signerField(*this, [](const CertInfo& c) { return c.Thumbprint(); });
}

}  // namespace strabel
