// The TaiMAC10 card channel: one exclusive PC/SC connection, the reader
// choice, application selection and command exchange with the 61xx/6Cxx
// follow-up. Every card command of the component passes through
// TransmitApdu.
#pragma once

#include <windows.h>
#include <winscard.h>

#include <string>

namespace strabel {

// Result codes of the card channel and the card operations.
enum : int {
  kMacNoApplication = 4097,
  kMacConnectFailed = 4098,
  kMacNotConnected = 4099,
  kMacCertMacLength = 4100,
  kMacCertMacKey = 4101,
  kMacCertMacValue = 4102,
  kMacEfIdLength = 4105,
  kMacNoBuffer = 4112,
  kMacBadLength = 4113,
  kMacUnknownKey = 4114,
  kMacNoContext = 4116,
  kMacListFailed = 4117,
  kMacNoReader = 4118,
  kMacEfIdNotHex = 4119,
  kMacStatusFailed = 4120,
  kMacPin6608 = 4128,
  kMacPin6620 = 4129,
  kMacAuth6608 = 4144,
  kMacAuth6620 = 4145,
  kMacAuth6600 = 4146,
  kMacSelectPin6620 = 4160,
  kMacUnlock6600 = 4176,
  kMacCancelled = 4192,
  kMacDisconnectFailed = 4353,
  kMacFreeFailed = 4354,
  kMacReleaseFailed = 4355,
  kMacDisconnected = 36864,
};

class VELMORA_EXPORT CTaiMacReader {
 public:
  CTaiMacReader() = default;
  virtual ~CTaiMacReader() = default;
  CTaiMacReader(const CTaiMacReader&) = delete;
  CTaiMacReader& operator=(const CTaiMacReader&) = delete;

  int Connect();
  int Disconnect();
  // The command's status: 0 for 9000, else SW1 * 256 + SW2 or the service's
  // code. `le` is in/out: the bytes asked for, then the bytes received;
  // at most `responseSize` of them are copied to `response`.
  int TransmitApdu(BYTE cla, BYTE ins, BYTE p1, BYTE p2, BYTE lc, BYTE& le, const BYTE* data, BYTE* response,
                   size_t responseSize);
  int SelectApplication();
  int SelectFile(BYTE hi, BYTE lo);
  void ReadAtr();

  BYTE m_bConnected = 0;
  LPSTR m_mszReaders = nullptr;
  LPCSCARD_IO_REQUEST m_pioSendPci = nullptr;
  DWORD m_dwActiveProtocol = 0;
  std::string m_strReader;
  SCARDHANDLE m_hCard = 0;
  SCARDCONTEXT m_hContext = 0;
  DWORD m_cbAtr = 0;
  BYTE m_atr[32] = {};
  // The pause after a disconnect, so the card can settle before the next connect.
  DWORD m_dwDisconnectWaitMs = 500;

 protected:
  // One exchange with the card (SCardTransmit on the connection).
  virtual LONG Exchange(const BYTE* command, DWORD length, BYTE* received, DWORD* receivedLength);
};

}  // namespace strabel
