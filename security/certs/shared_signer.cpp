#include <openssl/crypto.h>  // before wincrypt.h (X509_NAME)

#include "certs/shared_signer.h"

#include <cstring>
#include <vector>

#include "frame/engines.h"

namespace strabel {

namespace {

constexpr DWORD kKeyBytes = 80;     // 40 UTF-16 code units, the last one zero
constexpr DWORD kHeaderBytes = 84;  // key and value length
constexpr DWORD kAreaHeader = 8;    // count and size
constexpr DWORD kLockWait = 10000;  // ms: a writer holds the lock for microseconds

enum : DWORD {
  kErrFileNotFound = 2,
  kErrNotEnoughMemory = 8,
  kErrOutOfMemory = 14,
  kErrBadLength = 24,
  kErrInsufficientBuffer = 122,
  kErrAlreadyExists = 183,
  kErrInvalidKey = 1743,
  kErrNotOpen = 4312,
  kErrTimeout = 258,
};

DWORD rd(const BYTE* p) { return DWORD(p[0]) | DWORD(p[1]) << 8 | DWORD(p[2]) << 16 | DWORD(p[3]) << 24; }
void wr(BYTE* p, DWORD v) {
  p[0] = BYTE(v);
  p[1] = BYTE(v >> 8);
  p[2] = BYTE(v >> 16);
  p[3] = BYTE(v >> 24);
}

bool keyEquals(const BYTE* entry, const std::u16string& key) {
  for (size_t i = 0; i < kKeyBytes / 2; ++i) {
    const char16_t c = char16_t(entry[2 * i] | entry[2 * i + 1] << 8);
    if (i == key.size()) return c == 0;
    if (c != key[i]) return false;
  }
  return false;
}

}  // namespace

cSharedMemory::~cSharedMemory() { Close(); }

bool cSharedMemory::Done(bool ok, DWORD error) {
  m_dwLastError = ok ? 0 : error;
  SetLastError(m_dwLastError);
  return ok;
}

void cSharedMemory::Close() {
  if (m_pView) UnmapViewOfFile(m_pView);
  if (m_hMapping) CloseHandle(m_hMapping);
  if (m_hMutex) CloseHandle(m_hMutex);
  m_pView = nullptr;
  m_hMapping = nullptr;
  m_hMutex = nullptr;
  m_bOpen = false;
  m_bCreated = false;
  m_dwSize = 0;
  m_nLockDepth = 0;
}

bool cSharedMemory::Open(const std::string& name, DWORD size) {
  Close();
  m_strName = name;
  if (size < kAreaHeader + kHeaderBytes + 1) return Done(false, kErrBadLength);
  // The platform's named objects are private to this user (mode 0600, the
  // user id in the name), so default security is the right one: no other
  // user or session shares the record.
  m_hMutex = CreateMutexA(nullptr, FALSE, (name + "_Mutex").c_str());
  if (!m_hMutex) return Done(false, GetLastError());
  Lock lock(*this);
  if (!m_nLockDepth) {
    const DWORD e = m_dwLastError;
    Close();
    return Done(false, e);
  }
  m_hMapping = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, size, name.c_str());
  const DWORD created = GetLastError();
  if (!m_hMapping) {
    m_nLockDepth = 0;
    ReleaseMutex(m_hMutex);
    Close();
    return Done(false, created);
  }
  m_bCreated = created != ERROR_ALREADY_EXISTS;
  m_pView = static_cast<BYTE*>(MapViewOfFile(m_hMapping, FILE_MAP_ALL_ACCESS, 0, 0, 0));
  if (!m_pView) {
    const DWORD e = GetLastError();
    m_nLockDepth = 0;
    ReleaseMutex(m_hMutex);
    Close();
    return Done(false, e);
  }
  if (m_bCreated) {
    memset(m_pView, 0, size);
    wr(m_pView + 4, size);
    m_dwSize = size;
  } else {
    m_dwSize = rd(m_pView + 4);
    // An opener never reads beyond what it asked for and the creator set.
    if (m_dwSize == 0 || m_dwSize > size) m_dwSize = size;
  }
  m_bOpen = true;
  Repair();
  return Done(true, 0);
}

cSharedMemory::Lock::Lock(cSharedMemory& m) : m_(m) {
  if (m_.m_nLockDepth > 0 || m_.Acquire()) ++m_.m_nLockDepth;
}

cSharedMemory::Lock::~Lock() {
  if (m_.m_nLockDepth > 0 && --m_.m_nLockDepth == 0) m_.ReleaseLock();
}

bool cSharedMemory::Acquire() {
  if (!m_hMutex) return false;
  const DWORD rc = WaitForSingleObject(m_hMutex, kLockWait);
  // An abandoned mutex is ours as well: its owner died, perhaps midway
  // through a write, which the structure check of the operation repairs.
  if (rc == WAIT_OBJECT_0 || rc == WAIT_ABANDONED) return true;
  m_dwLastError = rc == WAIT_TIMEOUT ? kErrTimeout : GetLastError();
  return false;
}

void cSharedMemory::ReleaseLock() {
  if (m_hMutex) ReleaseMutex(m_hMutex);
}

DWORD cSharedMemory::UsedBytes() const {
  DWORD off = kAreaHeader;
  const DWORD count = rd(m_pView);
  for (DWORD i = 0; i < count; ++i) off += kHeaderBytes + rd(m_pView + off + kKeyBytes);
  return off;
}

// Checks every entry fits the area; anything else is what a writer that
// died midway left behind, and the area starts empty again.
void cSharedMemory::Repair() {
  if (!m_pView) return;
  bool ok = rd(m_pView + 4) == m_dwSize;
  const DWORD count = rd(m_pView);
  DWORD off = kAreaHeader;
  for (DWORD i = 0; ok && i < count; ++i) {
    if (off + kHeaderBytes > m_dwSize) {
      ok = false;
      break;
    }
    const DWORD n = rd(m_pView + off + kKeyBytes);
    const BYTE* key = m_pView + off;
    ok = n >= 1 && n <= m_dwSize - off - kHeaderBytes && (key[0] | key[1]) != 0 && (key[78] | key[79]) == 0;
    off += kHeaderBytes + n;
  }
  if (ok) return;
  memset(m_pView, 0, m_dwSize);
  wr(m_pView + 4, m_dwSize);
}

BYTE* cSharedMemory::FindEntry(const std::u16string& key, DWORD* offset) {
  const DWORD count = rd(m_pView);
  DWORD off = kAreaHeader;
  for (DWORD i = 0; i < count; ++i) {
    if (keyEquals(m_pView + off, key)) {
      if (offset) *offset = off;
      return m_pView + off;
    }
    off += kHeaderBytes + rd(m_pView + off + kKeyBytes);
  }
  return nullptr;
}

void cSharedMemory::Signal(const std::string& eventBase) {
  HANDLE event = CreateEventA(nullptr, TRUE, FALSE, (eventBase + "_Event").c_str());
  if (!event) return;
  SetEvent(event);
  CloseHandle(event);
}

bool cSharedMemory::Exists(const std::string& key) {
  if (!m_bOpen) return Done(false, kErrNotOpen);
  Lock lock(*this);
  if (!m_nLockDepth) return Done(false, m_dwLastError);
  Repair();
  const std::u16string k = wideFromAnsi(key);
  return Done(FindEntry(k) != nullptr, kErrFileNotFound);
}

bool cSharedMemory::Add(const std::string& key, DWORD n, const void* bytes) {
  if (!m_bOpen) return Done(false, kErrNotOpen);
  if (n == 0 || !bytes) return Done(false, kErrBadLength);
  const std::u16string k = wideFromAnsi(key);
  if (k.empty() || k.size() >= kKeyBytes / 2) return Done(false, kErrInvalidKey);
  Lock lock(*this);
  if (!m_nLockDepth) return Done(false, m_dwLastError);
  Repair();
  if (rd(m_pView) == 0) memset(m_pView + kAreaHeader, 0, m_dwSize - kAreaHeader);
  if (FindEntry(k)) return Done(false, kErrAlreadyExists);
  const DWORD used = UsedBytes();
  if (uint64_t(used) + kHeaderBytes + n > m_dwSize) return Done(false, kErrOutOfMemory);
  BYTE* entry = m_pView + used;
  memset(entry, 0, kKeyBytes);
  for (size_t i = 0; i < k.size(); ++i) {
    entry[2 * i] = BYTE(k[i]);
    entry[2 * i + 1] = BYTE(k[i] >> 8);
  }
  wr(entry + kKeyBytes, n);
  memcpy(entry + kHeaderBytes, bytes, n);
  // The count last: until it grows, a half-written entry is not part of the area.
  wr(m_pView, rd(m_pView) + 1);
  Signal(m_strName);
  return Done(true, 0);
}

bool cSharedMemory::AddInt(const std::string& key, DWORD value) {
  BYTE v[4];
  wr(v, value);
  return Add(key, 4, v);
}

bool cSharedMemory::Update(const std::string& key, const void* bytes, DWORD n) {
  if (!m_bOpen) return Done(false, kErrNotOpen);
  if (n == 0 || !bytes) return Done(false, kErrBadLength);
  Lock lock(*this);
  if (!m_nLockDepth) return Done(false, m_dwLastError);
  Repair();
  BYTE* entry = FindEntry(wideFromAnsi(key));
  if (!entry) return Done(false, kErrFileNotFound);
  const DWORD stored = rd(entry + kKeyBytes);
  if (n > stored) return Done(false, kErrNotEnoughMemory);
  memset(entry + kHeaderBytes, 0, stored);
  memcpy(entry + kHeaderBytes, bytes, n);
  Signal(key);
  return Done(true, 0);
}

bool cSharedMemory::UpdateInt(const std::string& key, DWORD value) {
  BYTE v[4];
  wr(v, value);
  return Update(key, v, 4);
}

bool cSharedMemory::Remove(const std::string& key) {
  if (!m_bOpen) return Done(false, kErrNotOpen);
  Lock lock(*this);
  if (!m_nLockDepth) return Done(false, m_dwLastError);
  Repair();
  DWORD off = 0;
  BYTE* entry = FindEntry(wideFromAnsi(key), &off);
  if (!entry) return Done(false, kErrFileNotFound);
  const DWORD size = kHeaderBytes + rd(entry + kKeyBytes);
  const DWORD used = UsedBytes();
  memmove(entry, entry + size, used - off - size);
  wr(m_pView, rd(m_pView) - 1);
  memset(m_pView + used - size, 0, size);
  Signal(m_strName);
  Signal(key);
  return Done(true, 0);
}

bool cSharedMemory::Get(const std::string& key, void* buffer, DWORD& length) {
  if (!m_bOpen) return Done(false, kErrNotOpen);
  Lock lock(*this);
  if (!m_nLockDepth) return Done(false, m_dwLastError);
  Repair();
  const BYTE* entry = FindEntry(wideFromAnsi(key));
  if (!entry) return Done(false, kErrFileNotFound);
  const DWORD stored = rd(entry + kKeyBytes);
  const DWORD room = length;
  length = stored;
  if (!buffer) return Done(true, 0);
  if (room < stored) return Done(false, kErrInsufficientBuffer);
  memcpy(buffer, entry + kHeaderBytes, stored);
  return Done(true, 0);
}

DWORD cSharedMemory::GetInt(const std::string& key, DWORD defaultValue) {
  BYTE v[4];
  DWORD n = sizeof v;
  if (!Get(key, v, n) || n != 4) return defaultValue;
  return rd(v);
}

std::string cSharedMemory::GetText(const std::string& key) {
  Lock lock(*this);
  DWORD n = 0;
  if (!Get(key, nullptr, n) || n == 0) return std::string();
  std::string text(n, '\0');
  if (!Get(key, text.data(), n)) return std::string();
  return text;
}

// ---- The engine's record ----

cSharedMemory* SharedSigner(CCapiCore& core) {
  if (!core.m_pSharedMemory) {
    core.m_pSharedMemory = new cSharedMemory;
    core.m_pSharedMemory->Open(kSignerRecordName, kSignerRecordSize);
  }
  return core.m_pSharedMemory->IsOpen() ? core.m_pSharedMemory : nullptr;
}

void WriteSharedSigner(CCapiCore& core) {
  cSharedMemory* m = SharedSigner(core);
  if (!m) return;
  // One writer at a time, and readers never see half a signer.
  cSharedMemory::Lock lock(*m);
  const DWORD media = DWORD(core.m_nSignerMedia);
  if (m->Exists("signerMedia")) m->UpdateInt("signerMedia", media);
  else m->AddInt("signerMedia", media);
  const DWORD n = DWORD(core.m_selectedCert.size());
  DWORD stored = 0;
  if (m->Get("signerCertBytes", nullptr, stored) && stored == n) {
    m->Update("signerCertBytes", core.m_selectedCert.data(), n);
  } else {
    // Another length: rewritten whole, so the record never holds the
    // previous signer's bytes (or a padded tail) beside the new texts.
    if (stored) m->Remove("signerCertBytes");
    m->Add("signerCertBytes", n, core.m_selectedCert.data());
  }
  const std::pair<const char*, const std::string*> texts[] = {
      {"signerCertHash", &core.m_strSignerCertHash},
      {"signerCertPasswd", &core.m_strSignerPfxPasswd},
      {"signerCertFilePath", &core.m_strSignerPfxFilePath},
      {"signerCertFileName", &core.m_strSignerPfxFileName},
  };
  for (const auto& [key, value] : texts) {
    if (m->Exists(key)) m->Remove(key);
    if (!value->empty()) m->Add(key, DWORD(value->size()), value->data());
  }
}

}  // namespace strabel
