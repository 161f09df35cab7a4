// A small key/value area in a named shared mapping that every instance of
// the component in the user's session opens under the same name, and the
// signer record kept in it ("Strabel Module").
//
// Layout (little-endian uint32): entry count, total size, then the entries
// packed one after another: an 80-byte zero-padded UTF-16 key (at most 39
// characters), the value length n (at least 1) and n value bytes. Events
// "<mapping>_Event" (an entry added or removed) and "<key>_Event" (that key
// changed or removed) are signalled; they are manual-reset.
//
// Writers in different processes are kept apart by the named mutex
// "<mapping>_Mutex". Every operation checks the area's structure first
// under that mutex; an area left inconsistent by a writer that died midway
// is emptied, so the record is then simply absent.
#pragma once

#include <windows.h>

#include <string>

namespace strabel {

class CCapiCore;

inline constexpr char kSignerRecordName[] = "Strabel Module";
inline constexpr DWORD kSignerRecordSize = 10240;

class VELMORA_EXPORT cSharedMemory {
 public:
  cSharedMemory() = default;
  ~cSharedMemory();
  cSharedMemory(const cSharedMemory&) = delete;
  cSharedMemory& operator=(const cSharedMemory&) = delete;

  bool Open(const std::string& name, DWORD size);
  void Close();
  bool IsOpen() const { return m_bOpen; }
  bool CreatedHere() const { return m_bCreated; }
  DWORD Size() const { return m_dwSize; }
  DWORD LastError() const { return m_dwLastError; }

  bool Exists(const std::string& key);
  bool Add(const std::string& key, DWORD n, const void* bytes);
  bool AddInt(const std::string& key, DWORD value);
  bool Update(const std::string& key, const void* bytes, DWORD n);
  bool UpdateInt(const std::string& key, DWORD value);
  bool Remove(const std::string& key);
  // `length`: in, the buffer's size (ignored without a buffer); out, the
  // stored length (also when the buffer is too small: error 122).
  bool Get(const std::string& key, void* buffer, DWORD& length);
  DWORD GetInt(const std::string& key, DWORD defaultValue);
  std::string GetText(const std::string& key);

  // Holds the writers' mutex for a sequence of operations (nests).
  class Lock {
   public:
    explicit Lock(cSharedMemory& m);
    ~Lock();
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;

   private:
    cSharedMemory& m_;
  };

 private:
  bool Done(bool ok, DWORD error);
  bool Acquire();
  void ReleaseLock();
  void Repair();
  void Signal(const std::string& eventBase);
  BYTE* FindEntry(const std::u16string& key, DWORD* offset = nullptr);
  DWORD UsedBytes() const;

  std::string m_strName;
  DWORD m_dwLastError = 0;
  bool m_bCreated = false;
  bool m_bOpen = false;
  DWORD m_dwSize = 0;
  HANDLE m_hMapping = nullptr;
  BYTE* m_pView = nullptr;
  HANDLE m_hMutex = nullptr;
  int m_nLockDepth = 0;
};

// The engine's signer in the record: written after a successful shared
// selection, read back by later ones and by signing.
VELMORA_EXPORT cSharedMemory* SharedSigner(CCapiCore& core);
VELMORA_EXPORT void WriteSharedSigner(CCapiCore& core);

}  // namespace strabel
