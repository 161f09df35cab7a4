// The WinSCard subset the components call, on pcsc-lite. Every function
// returns SCARD_S_SUCCESS or the smart-card service's code (the SCARD_*
// values of winerror.h, which pcsc-lite shares with Windows); none of them
// touches the thread's last error.
#pragma once

#include <windef.h>
#include <winerror.h>

typedef ULONG_PTR SCARDCONTEXT;
typedef SCARDCONTEXT* LPSCARDCONTEXT;
typedef ULONG_PTR SCARDHANDLE;
typedef SCARDHANDLE* LPSCARDHANDLE;

typedef struct _SCARD_IO_REQUEST {
  DWORD dwProtocol;
  DWORD cbPciLength;
} SCARD_IO_REQUEST, *PSCARD_IO_REQUEST, *LPSCARD_IO_REQUEST;
typedef const SCARD_IO_REQUEST* LPCSCARD_IO_REQUEST;

typedef struct {
  LPCSTR szReader;
  LPVOID pvUserData;
  DWORD dwCurrentState;
  DWORD dwEventState;
  DWORD cbAtr;
  BYTE rgbAtr[36];
} SCARD_READERSTATEA, *PSCARD_READERSTATEA, *LPSCARD_READERSTATEA;

#define SCARD_AUTOALLOCATE ((DWORD)-1)

#define SCARD_SCOPE_USER 0
#define SCARD_SCOPE_TERMINAL 1
#define SCARD_SCOPE_SYSTEM 2

#define SCARD_SHARE_EXCLUSIVE 1
#define SCARD_SHARE_SHARED 2
#define SCARD_SHARE_DIRECT 3

#define SCARD_PROTOCOL_UNDEFINED 0x00000000
#define SCARD_PROTOCOL_T0 0x00000001
#define SCARD_PROTOCOL_T1 0x00000002
#define SCARD_PROTOCOL_RAW 0x00010000
#define SCARD_PROTOCOL_Tx (SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1)

#define SCARD_LEAVE_CARD 0
#define SCARD_RESET_CARD 1
#define SCARD_UNPOWER_CARD 2
#define SCARD_EJECT_CARD 3

// Card states of SCardStatusA (Windows values).
#define SCARD_UNKNOWN 0
#define SCARD_ABSENT 1
#define SCARD_PRESENT 2
#define SCARD_SWALLOWED 3
#define SCARD_POWERED 4
#define SCARD_NEGOTIABLE 5
#define SCARD_SPECIFIC 6

// Reader states of SCardGetStatusChangeA.
#define SCARD_STATE_UNAWARE 0x00000000
#define SCARD_STATE_IGNORE 0x00000001
#define SCARD_STATE_CHANGED 0x00000002
#define SCARD_STATE_UNKNOWN 0x00000004
#define SCARD_STATE_UNAVAILABLE 0x00000008
#define SCARD_STATE_EMPTY 0x00000010
#define SCARD_STATE_PRESENT 0x00000020
#define SCARD_STATE_ATRMATCH 0x00000040
#define SCARD_STATE_EXCLUSIVE 0x00000080
#define SCARD_STATE_INUSE 0x00000100
#define SCARD_STATE_MUTE 0x00000200

#define MAX_ATR_SIZE 33

#ifdef __cplusplus
extern "C" {
#endif

VELMORA_EXPORT extern const SCARD_IO_REQUEST g_rgSCardT0Pci;
VELMORA_EXPORT extern const SCARD_IO_REQUEST g_rgSCardT1Pci;
VELMORA_EXPORT extern const SCARD_IO_REQUEST g_rgSCardRawPci;
#define SCARD_PCI_T0 (&g_rgSCardT0Pci)
#define SCARD_PCI_T1 (&g_rgSCardT1Pci)
#define SCARD_PCI_RAW (&g_rgSCardRawPci)

VELMORA_EXPORT LONG SCardEstablishContext(DWORD dwScope, LPCVOID pvReserved1, LPCVOID pvReserved2,
                                          LPSCARDCONTEXT phContext);
VELMORA_EXPORT LONG SCardReleaseContext(SCARDCONTEXT hContext);
VELMORA_EXPORT LONG SCardIsValidContext(SCARDCONTEXT hContext);
// mszGroups must be null. With *pcchReaders == SCARD_AUTOALLOCATE,
// mszReaders is a LPSTR* that receives a list to free with SCardFreeMemory.
VELMORA_EXPORT LONG SCardListReadersA(SCARDCONTEXT hContext, LPCSTR mszGroups, LPSTR mszReaders,
                                      LPDWORD pcchReaders);
VELMORA_EXPORT LONG SCardFreeMemory(SCARDCONTEXT hContext, LPCVOID pvMem);
VELMORA_EXPORT LONG SCardConnectA(SCARDCONTEXT hContext, LPCSTR szReader, DWORD dwShareMode,
                                  DWORD dwPreferredProtocols, LPSCARDHANDLE phCard, LPDWORD pdwActiveProtocol);
VELMORA_EXPORT LONG SCardDisconnect(SCARDHANDLE hCard, DWORD dwDisposition);
// Reader names and ATR go into caller buffers (no automatic allocation).
VELMORA_EXPORT LONG SCardStatusA(SCARDHANDLE hCard, LPSTR szReaderName, LPDWORD pcchReaderLen, LPDWORD pdwState,
                                 LPDWORD pdwProtocol, LPBYTE pbAtr, LPDWORD pcbAtrLen);
VELMORA_EXPORT LONG SCardTransmit(SCARDHANDLE hCard, LPCSCARD_IO_REQUEST pioSendPci, LPCBYTE pbSendBuffer,
                                  DWORD cbSendLength, LPSCARD_IO_REQUEST pioRecvPci, LPBYTE pbRecvBuffer,
                                  LPDWORD pcbRecvLength);
VELMORA_EXPORT LONG SCardGetStatusChangeA(SCARDCONTEXT hContext, DWORD dwTimeout,
                                          LPSCARD_READERSTATEA rgReaderStates, DWORD cReaders);

#ifdef __cplusplus
}
#endif
