// Network adapters (GetAdaptersInfo), with the SDK's record layout. On Linux
// the list holds the hardware interfaces in the kernel's order; loopback
// and interfaces without a hardware address are left out.
#pragma once

#include <windef.h>
#include <winerror.h>

#define MAX_ADAPTER_NAME_LENGTH 256
#define MAX_ADAPTER_DESCRIPTION_LENGTH 128
#define MAX_ADAPTER_ADDRESS_LENGTH 8
#define MIB_IF_TYPE_OTHER 1
#define MIB_IF_TYPE_ETHERNET 6
#define ERROR_BUFFER_OVERFLOW 111L
#define ERROR_NO_DATA 232L

typedef struct {
  char String[4 * 4];
} IP_ADDRESS_STRING, IP_MASK_STRING;

typedef struct _IP_ADDR_STRING {
  struct _IP_ADDR_STRING* Next;
  IP_ADDRESS_STRING IpAddress;
  IP_MASK_STRING IpMask;
  DWORD Context;
} IP_ADDR_STRING;

typedef struct _IP_ADAPTER_INFO {
  struct _IP_ADAPTER_INFO* Next;
  DWORD ComboIndex;
  char AdapterName[MAX_ADAPTER_NAME_LENGTH + 4];
  char Description[MAX_ADAPTER_DESCRIPTION_LENGTH + 4];
  UINT AddressLength;
  BYTE Address[MAX_ADAPTER_ADDRESS_LENGTH];
  DWORD Index;
  UINT Type;
  UINT DhcpEnabled;
  IP_ADDR_STRING* CurrentIpAddress;
  IP_ADDR_STRING IpAddressList;
  IP_ADDR_STRING GatewayList;
  IP_ADDR_STRING DhcpServer;
  BOOL HaveWins;
  IP_ADDR_STRING PrimaryWinsServer;
  IP_ADDR_STRING SecondaryWinsServer;
  int64_t LeaseObtained;
  int64_t LeaseExpires;
} IP_ADAPTER_INFO, *PIP_ADAPTER_INFO;

WINBASEAPI DWORD GetAdaptersInfo(PIP_ADAPTER_INFO AdapterInfo, ULONG* SizePointer);
