// The token component's MAC card: one PC/SC connection to a reader the user
// chooses, and the card's PIN, authentication, random and record commands.
// Results are returned directly; JCICState is not touched.
#pragma once

#include <windows.h>
#include <winscard.h>

#include <string>

namespace quennet {

enum : int {
  kMacNoApplication = 0x1001,
  kMacConnectFailedCode = 0x1002,
  kMacNotConnectedCode = 0x1003,
  kMacMissingData = 0x1010,
  kMacBadLength = 0x1011,
  kMacUnknownKey = 0x1012,
  kMacNoContext = 0x1014,
  kMacListFailed = 0x1015,
  kMacNoReader = 0x1016,
  kMacStatusFailed = 0x1018,
  kMacVerify6608 = 0x1020,
  kMacVerify6620 = 0x1021,
  kMacAuth6608 = 0x1030,
  kMacAuth6620 = 0x1031,
  kMacAuth6600 = 0x1032,
  kMacSelectC7_6620 = 0x1040,
  kMacSelectC9_6620 = 0x1041,
  kMacReset6600 = 0x1050,
  kMacCancelled = 0x1060,
};

class VELMORA_EXPORT CMacCardReader {
 public:
  CMacCardReader() = default;
  virtual ~CMacCardReader();
  CMacCardReader(const CMacCardReader&) = delete;
  CMacCardReader& operator=(const CMacCardReader&) = delete;

  int MacConnectCard();
  int MacDisConnectCard();
  int MacGetCardStatus();
  int MacTermAuth(const char* key, const char* b64Cryptogram);
  std::string MacGenRandom();
  std::string MacReadEF1001(int recN);
  int MacVerifyC7Pin(const char* pin) { return verifyPin(pin, 0xC7); }
  int MacVerifyC9Pin(const char* pin) { return verifyPin(pin, 0xC9); }
  int MacChangeC7Pin(const char* oldPin, const char* newPin) { return changePin(oldPin, newPin, 0xC7); }
  int MacChangeC9Pin(const char* oldPin, const char* newPin) { return changePin(oldPin, newPin, 0xC9); }
  int MacResetC7Pin(const char* newPin) { return resetPin(newPin, 0xC7); }
  int MacResetC9Pin(const char* newPin) { return resetPin(newPin, 0xC9); }

  // How Le is sent (see Transmit).
  enum class LeForm { None, Always, ByChoice };
  // One command with the 61xx/6Cxx follow-up: 0 for 9000, else the status
  // word or the PC/SC code. `le` is in/out (bytes asked, bytes received);
  // at most `responseSize` bytes reach `response`.
  int Transmit(BYTE ins, BYTE p1, BYTE p2, const BYTE* data, BYTE lc, LeForm form, bool askLe, BYTE& le,
               BYTE* response, size_t responseSize);

  BYTE m_bConnected = 0;
  std::string m_strReader;
  SCARDCONTEXT m_hContext = 0;
  LPSTR m_mszReaders = nullptr;
  SCARDHANDLE m_hCard = 0;
  DWORD m_dwProtocol = 0;
  LPCSCARD_IO_REQUEST m_pioSendPci = nullptr;
  DWORD m_dwDisconnectWaitMs = 500;

 protected:
  virtual LONG Exchange(const BYTE* command, DWORD length, BYTE* received, DWORD* receivedLength);

 private:
  int connect();
  int selectApplication();
  int selectFile(BYTE hi, BYTE lo);
  int verifyPin(const char* pin, BYTE file);
  int changePin(const char* oldPin, const char* newPin, BYTE file);
  int resetPin(const char* newPin, BYTE file);
  int verifyOnly(const char* pin, BYTE file);
  int writePin(const char* pin, BYTE file);
};

// The reader of JCICLib and the flat exports.
VELMORA_EXPORT CMacCardReader& macReader();

}  // namespace quennet
