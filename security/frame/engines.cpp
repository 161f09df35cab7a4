#include "frame/engines.h"

#include <wincrypt.h>

#include <cstdlib>
#include <utility>

#include "base/codepage_internal.h"
#include "certs/pfx_store.h"
#include "certs/shared_signer.h"
#include "frame/frame.h"
#include "frame/messages.h"

namespace strabel {

// Constructed when the library loads, in this order, destroyed in reverse.
namespace {
CCapiCore g_capi;
CCertRegCore g_certReg;
CTaiMAC10Core g_taiMac;
}  // namespace

CCapiCore& capiCore() { return g_capi; }
CCertRegCore& certRegCore() { return g_certReg; }
CTaiMAC10Core& taiMacCore() { return g_taiMac; }

std::u16string wideFromAnsi(const std::string& ansi) { return velmora::platform::toWide(ansi, CP_ACP); }
std::string ansiFromWide(const std::u16string& wide) { return velmora::platform::toNarrow(wide, CP_ACP); }

namespace {

std::u16string wideFromUtf8(const std::string& utf8) { return velmora::platform::toWide(utf8, CP_UTF8); }

// SetCodePage's library load: "Resource437.dll" or "Resource950.dll" beside
// the component's module.
HMODULE loadResourceLibrary(int codePage) {
  std::string path = componentModulePath();
  auto slash = path.find_last_of("/\\");
  path = (slash == std::string::npos ? std::string() : path.substr(0, slash + 1)) +
         (codePage == 437 ? "Resource437.dll" : "Resource950.dll");
  return LoadLibraryA(path.c_str());
}

}  // namespace

// ---- CCapiCore ----

CCapiCore::CCapiCore() {
  m_osvi.dwOSVersionInfoSize = sizeof(OSVERSIONINFOA);
  GetVersionExA(&m_osvi);
  // The user's home folder is the profile folder here ($HOME, as USERPROFILE).
  const char* home = getenv("HOME");
  m_strProfileDir = home ? std::string(home).substr(0, 255) : std::string();
  m_bIEProtectedMode = probeProtectedMode() ? 1 : 0;
}

// The EC generator closes the "MY" store it keeps.
CCapiCore::~CCapiCore() {
  delete m_pSharedMemory;
  WipeText(m_strSignerPfxPasswd);
}

bool CCapiCore::begin(bool guarded, bool resetCapiCode) {
  m_nErrorCode = 0;
  if (resetCapiCode) m_dwCapiErrorCode = 0;
  if (guarded && m_bIEProtectedMode) {
    m_nErrorCode = kProtectedMode;
    return false;
  }
  return true;
}

int CCapiCore::notSupported(bool guarded) {
  if (!begin(guarded)) return m_nErrorCode;
  m_nErrorCode = kNotSupported;
  return m_nErrorCode;
}

WResult CCapiCore::notSupportedText(bool guarded) {
  notSupported(guarded);
  return std::u16string();
}

int CCapiCore::fail(int status, DWORD platformError) {
  m_nErrorCode = status;
  if (platformError) m_dwCapiErrorCode = platformError;
  return status;
}

int CCapiCore::PresetPasswdLengthRange(long min, long max) {
  begin(false);
  if (min > max) std::swap(min, max);
  if (min < 1) min = 0;
  if (max <= 0) max = 16;
  m_nPasswdMinLen = int(min);
  m_nPasswdMaxLen = int(max);
  m_bPasswdRangePreset = 1;
  return m_nErrorCode;
}

namespace {

// GetVersion of every engine: the library's version record, or 5004 with
// the platform code when it cannot be read.
WResult versionResult(int& status, DWORD& platformError) {
  status = 0;
  std::string version;
  DWORD error = 0;
  if (!readComponentVersion(version, error)) {
    platformError = error;
    status = kNotSupported;
    return std::u16string();
  }
  return wideFromAnsi(version);
}

}  // namespace

WResult CCapiCore::GetVersion() {
  return versionResult(m_nErrorCode, m_dwCapiErrorCode);
}

WResult CCapiCore::GetErrorMsg() const { return wideFromUtf8(capiMessage(m_nErrorCode, m_nCodePage)); }

WResult CCapiCore::GetCapiErrorMsg() const {
  const bool english = m_nCodePage == 437;
  return wideFromAnsi(capiErrorText(m_dwCapiErrorCode, english, english ? 1033 : 1028));
}

int CCapiCore::SetCodePage(int newCP) {
  if (!begin(true)) return m_nErrorCode;
  if (newCP == m_nCodePage) return m_nErrorCode;
  if (newCP == 437 || newCP == 950) {
    if (HMODULE lib = loadResourceLibrary(newCP)) {
      setResourceModule(lib);  // the library loaded before stays loaded
      m_nCodePage = newCP;
      return m_nErrorCode;
    }
  }
  m_nErrorCode = kBadHandle;
  m_dwCapiErrorCode = GetLastError();
  return m_nErrorCode;
}

// ---- CCertRegCore ----

CCertRegCore::CCertRegCore() { m_bIEProtectedMode = probeProtectedMode() ? 1 : 0; }

WResult CCertRegCore::GetVersion() {
  return versionResult(m_nErrorCode, m_dwCapiErrorCode);
}

WResult CCertRegCore::GetErrorMsg() const { return wideFromUtf8(certRegMessage(m_nErrorCode)); }

WResult CCertRegCore::GetCapiErrorMsg() const {
  // No code page of its own: always the Chinese success text, neutral language.
  return wideFromAnsi(capiErrorText(m_dwCapiErrorCode, false, 0));
}

// RegSMCert and GetSn: certs/card_registration.cpp.

// ---- CTaiMAC10Core ----

CTaiMAC10Core::CTaiMAC10Core() { m_bIEProtectedMode = probeProtectedMode() ? 1 : 0; }

CTaiMAC10Core::~CTaiMAC10Core() {
  if (m_bConnected) {
    m_dwDisconnectWaitMs = 0;
    Disconnect();
  }
}

WResult CTaiMAC10Core::GetVersion() {
  return versionResult(m_nErrorCode, m_dwCapiErrorCode);
}

WResult CTaiMAC10Core::GetErrorMsg() const { return wideFromUtf8(taiMacMessage(m_nErrorCode, m_nCodePage)); }

WResult CTaiMAC10Core::GetCapiErrorMsg() const {
  return wideFromAnsi(capiErrorText(m_dwCapiErrorCode, m_nCodePage == 437, 0));
}

int CTaiMAC10Core::SetCodePage(int newCP) {
  m_nErrorCode = 0;
  m_dwCapiErrorCode = 0;
  if (m_bIEProtectedMode) return m_nErrorCode = kProtectedMode;
  const int target = newCP == 437 ? 437 : 950;  // everything but 437 means Chinese
  if (newCP == m_nCodePage) return m_nErrorCode;
  if (HMODULE lib = loadResourceLibrary(target)) {
    setResourceModule(lib);
    m_nCodePage = target;
    return m_nErrorCode;
  }
  m_nErrorCode = kBadHandle;
  m_dwCapiErrorCode = GetLastError();
  return m_nErrorCode;
}

}  // namespace strabel
