// The automation interface identifiers and BSTR allocation.
//
// A BSTR points at UTF-16 characters; the 4 bytes before them hold the length
// in bytes (without the terminator) and a zero character follows them. As on
// 64-bit Windows the block starts 8 bytes before the characters (4 bytes of
// padding, then the length), so the characters are 8-byte aligned.
#include <oleauto.h>

#include <cstdlib>
#include <cstring>

extern "C" {
const IID IID_IUnknown = {0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
const IID IID_IDispatch = {0x00020400, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
const IID IID_NULL = {0x00000000, 0x0000, 0x0000, {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}};
}

namespace {

constexpr size_t kHeader = 8;      // padding + 4-byte length
constexpr size_t kTerminator = 4;  // a zero character, and room for an odd byte length
constexpr UINT kMaxBytes = 0x7FFFFFF0;

BSTR allocBytes(const void* data, UINT bytes) {
  if (bytes > kMaxBytes) return nullptr;
  auto* block = static_cast<unsigned char*>(std::malloc(kHeader + bytes + kTerminator));
  if (!block) return nullptr;
  const DWORD length = bytes;
  std::memset(block, 0, 4);
  std::memcpy(block + 4, &length, sizeof length);
  unsigned char* chars = block + kHeader;
  if (data)
    std::memcpy(chars, data, bytes);
  else
    std::memset(chars, 0, bytes);
  std::memset(chars + bytes, 0, kTerminator);
  return reinterpret_cast<BSTR>(chars);
}

unsigned char* blockOf(BSTR bstr) { return reinterpret_cast<unsigned char*>(bstr) - kHeader; }

}  // namespace

BSTR SysAllocString(const OLECHAR* psz) {
  if (!psz) return nullptr;
  size_t len = 0;
  while (psz[len]) ++len;
  if (len > kMaxBytes / sizeof(OLECHAR)) return nullptr;
  return allocBytes(psz, UINT(len * sizeof(OLECHAR)));
}

BSTR SysAllocStringLen(const OLECHAR* strIn, UINT ui) {
  if (ui > kMaxBytes / sizeof(OLECHAR)) return nullptr;
  return allocBytes(strIn, UINT(ui * sizeof(OLECHAR)));
}

BSTR SysAllocStringByteLen(LPCSTR psz, UINT len) { return allocBytes(psz, len); }

void SysFreeString(BSTR bstrString) {
  if (bstrString) std::free(blockOf(bstrString));
}

UINT SysStringByteLen(BSTR bstr) {
  if (!bstr) return 0;
  DWORD length;
  std::memcpy(&length, reinterpret_cast<unsigned char*>(bstr) - 4, sizeof length);
  return length;
}

UINT SysStringLen(BSTR pbstr) { return SysStringByteLen(pbstr) / sizeof(OLECHAR); }
