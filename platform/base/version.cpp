// File version records: read the version section of an ELF file.
#include <windows.h>

#include <elf.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "base/module_internal.h"

namespace {

bool readAt(int fd, off_t offset, void* buf, size_t len) {
  size_t done = 0;
  while (done < len) {
    ssize_t n = pread(fd, static_cast<char*>(buf) + done, len - done, offset + off_t(done));
    if (n <= 0) return false;
    done += size_t(n);
  }
  return true;
}

// Returns the contents of the version section, or an error code.
DWORD readVersionSection(LPCSTR fileName, std::vector<BYTE>& out) {
  if (!fileName || !*fileName) return ERROR_INVALID_PARAMETER;
  std::string path = velmora::platform::libraryFileName(fileName);
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno == ENOENT ? ERROR_FILE_NOT_FOUND : ERROR_ACCESS_DENIED;
  DWORD rc = ERROR_RESOURCE_DATA_NOT_FOUND;
  struct stat st{};
  Elf64_Ehdr eh{};
  if (fstat(fd, &st) == 0 && readAt(fd, 0, &eh, sizeof eh) && memcmp(eh.e_ident, ELFMAG, SELFMAG) == 0 &&
      eh.e_ident[EI_CLASS] == ELFCLASS64 && eh.e_shentsize == sizeof(Elf64_Shdr) && eh.e_shstrndx < eh.e_shnum &&
      eh.e_shoff + uint64_t(eh.e_shnum) * sizeof(Elf64_Shdr) <= uint64_t(st.st_size)) {
    std::vector<Elf64_Shdr> sh(eh.e_shnum);
    if (readAt(fd, off_t(eh.e_shoff), sh.data(), sh.size() * sizeof(Elf64_Shdr))) {
      const Elf64_Shdr& strtab = sh[eh.e_shstrndx];
      std::vector<char> names(strtab.sh_size + 1, 0);
      if (strtab.sh_offset + strtab.sh_size <= uint64_t(st.st_size) &&
          readAt(fd, off_t(strtab.sh_offset), names.data(), strtab.sh_size)) {
        for (const auto& s : sh) {
          if (s.sh_name >= strtab.sh_size || strcmp(names.data() + s.sh_name, VELMORA_VERSION_SECTION) != 0) continue;
          if (s.sh_type == SHT_NOBITS || s.sh_size < sizeof(VelmoraVersionBlock) || s.sh_size > 65536 ||
              s.sh_offset + s.sh_size > uint64_t(st.st_size))
            break;
          out.resize(s.sh_size);
          if (readAt(fd, off_t(s.sh_offset), out.data(), out.size())) rc = ERROR_SUCCESS;
          break;
        }
      }
    }
  }
  close(fd);
  return rc;
}

}  // namespace

DWORD GetFileVersionInfoSizeA(LPCSTR lptstrFilename, LPDWORD lpdwHandle) {
  if (lpdwHandle) *lpdwHandle = 0;
  std::vector<BYTE> data;
  DWORD rc = readVersionSection(lptstrFilename, data);
  if (rc != ERROR_SUCCESS) {
    SetLastError(rc);
    return 0;
  }
  return DWORD(data.size());
}

BOOL GetFileVersionInfoA(LPCSTR lptstrFilename, DWORD dwHandle, DWORD dwLen, LPVOID lpData) {
  if (!lpData) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::vector<BYTE> data;
  DWORD rc = readVersionSection(lptstrFilename, data);
  if (rc != ERROR_SUCCESS) {
    SetLastError(rc);
    return FALSE;
  }
  memcpy(lpData, data.data(), std::min<size_t>(dwLen, data.size()));
  if (dwLen < data.size()) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  return TRUE;
}

BOOL VerQueryValueA(LPCVOID pBlock, LPCSTR lpSubBlock, LPVOID* lplpBuffer, UINT* puLen) {
  if (!pBlock || !lpSubBlock || !lplpBuffer) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  auto* block = static_cast<const VelmoraVersionBlock*>(pBlock);
  if (strcmp(lpSubBlock, "\\") != 0 || block->wValueLength != sizeof(VS_FIXEDFILEINFO) ||
      block->Value.dwSignature != VS_FFI_SIGNATURE) {
    SetLastError(ERROR_RESOURCE_TYPE_NOT_FOUND);
    return FALSE;
  }
  *lplpBuffer = const_cast<VS_FIXEDFILEINFO*>(&block->Value);
  if (puLen) *puLen = sizeof(VS_FIXEDFILEINFO);
  return TRUE;
}
