#include <iphlpapi.h>

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netpacket/packet.h>

#include <algorithm>
#include <string>
#include <cstring>
#include <vector>

namespace {

struct Adapter {
  unsigned index;
  std::string name;
  std::vector<BYTE> address;
  std::string ip, mask;
};

std::vector<Adapter> hardwareAdapters() {
  std::vector<Adapter> out;
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return out;
  for (ifaddrs* a = list; a; a = a->ifa_next) {
    if (!a->ifa_addr || a->ifa_addr->sa_family != AF_PACKET || (a->ifa_flags & IFF_LOOPBACK)) continue;
    auto* ll = reinterpret_cast<sockaddr_ll*>(a->ifa_addr);
    if (ll->sll_halen == 0) continue;
    Adapter ad{unsigned(ll->sll_ifindex), a->ifa_name, {ll->sll_addr, ll->sll_addr + ll->sll_halen}, {}, {}};
    for (ifaddrs* b = list; b; b = b->ifa_next) {
      if (b->ifa_addr && b->ifa_addr->sa_family == AF_INET && strcmp(b->ifa_name, a->ifa_name) == 0) {
        char buf[INET_ADDRSTRLEN];
        inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(b->ifa_addr)->sin_addr, buf, sizeof buf);
        ad.ip = buf;
        if (b->ifa_netmask) {
          inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(b->ifa_netmask)->sin_addr, buf, sizeof buf);
          ad.mask = buf;
        }
        break;
      }
    }
    out.push_back(std::move(ad));
  }
  freeifaddrs(list);
  std::stable_sort(out.begin(), out.end(), [](const Adapter& x, const Adapter& y) { return x.index < y.index; });
  return out;
}

void copyText(char* dst, size_t size, const std::string& src) {
  size_t n = std::min(src.size(), size - 1);
  memcpy(dst, src.data(), n);
  dst[n] = 0;
}

}  // namespace

DWORD GetAdaptersInfo(PIP_ADAPTER_INFO AdapterInfo, ULONG* SizePointer) {
  if (!SizePointer) return ERROR_INVALID_PARAMETER;
  std::vector<Adapter> adapters = hardwareAdapters();
  if (adapters.empty()) return ERROR_NO_DATA;
  const ULONG needed = ULONG(adapters.size() * sizeof(IP_ADAPTER_INFO));
  if (!AdapterInfo || *SizePointer < needed) {
    *SizePointer = needed;
    return ERROR_BUFFER_OVERFLOW;
  }
  memset(AdapterInfo, 0, needed);
  for (size_t i = 0; i < adapters.size(); ++i) {
    IP_ADAPTER_INFO& info = AdapterInfo[i];
    const Adapter& a = adapters[i];
    info.Next = i + 1 < adapters.size() ? &AdapterInfo[i + 1] : nullptr;
    info.ComboIndex = a.index;
    info.Index = a.index;
    copyText(info.AdapterName, sizeof info.AdapterName, a.name);
    copyText(info.Description, sizeof info.Description, a.name);
    info.AddressLength = UINT(std::min<size_t>(a.address.size(), MAX_ADAPTER_ADDRESS_LENGTH));
    memcpy(info.Address, a.address.data(), info.AddressLength);
    info.Type = a.address.size() == 6 ? MIB_IF_TYPE_ETHERNET : MIB_IF_TYPE_OTHER;
    copyText(info.IpAddressList.IpAddress.String, sizeof info.IpAddressList.IpAddress.String,
             a.ip.empty() ? "0.0.0.0" : a.ip);
    copyText(info.IpAddressList.IpMask.String, sizeof info.IpAddressList.IpMask.String,
             a.mask.empty() ? "0.0.0.0" : a.mask);
  }
  return ERROR_SUCCESS;
}
