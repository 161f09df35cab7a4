// Hash and HashFile: the component's own digests over a text or a file,
// as upper-case hexadecimal.
#include <windows.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "base/codepage_internal.h"
#include "frame/engines.h"
#include "services/digest.h"
#include "ui/dialogs.h"

namespace strabel {

namespace {

enum : int {
  kFileError = 1002,
  kFormatFailed = 5002,
  kWrongParameters = 5005,
  kCancelled = 5070,
  kFileNotFound = 5902,
};

constexpr long kAnsiText = 0x10;

// Bits 0-2 choose the algorithm; every value without a digest of its own is SHA-1.
DigestAlg algorithmOf(long flags) {
  switch (flags & 7) {
    case 1: return DigestAlg::MD5;
    case 3: return DigestAlg::SHA256;
    case 4: return DigestAlg::SHA512;
    default: return DigestAlg::SHA1;
  }
}

// Reads the file through one digest object in large pieces, so a large
// file costs no more memory than a small one. False when it cannot be
// opened or read, or holds nothing.
bool digestFile(const std::string& path, DigestAlg alg, std::vector<unsigned char>& out) {
  // Regular files only: a FIFO would block the open or the reads, and a
  // device such as /dev/zero never ends. O_NONBLOCK keeps the open itself
  // from waiting for a FIFO's writer; it does nothing to a regular file.
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) return false;
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    return false;
  }
  auto d = Digest::create(alg);
  std::vector<unsigned char> buffer(1u << 20);
  size_t total = 0;
  for (;;) {
    ssize_t n = read(fd, buffer.data(), buffer.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      close(fd);
      return false;
    }
    if (n == 0) break;
    d->update(buffer.data(), size_t(n));
    total += size_t(n);
  }
  close(fd);
  if (total == 0) return false;
  out.resize(d->size());
  d->final(out.data());
  return true;
}

WResult hexResult(CCapiCore& core, const std::vector<unsigned char>& digest) {
  std::string hex = toHexUpper(digest.data(), digest.size());
  if (hex.empty()) {
    core.fail(kFormatFailed);
    return std::u16string();
  }
  return std::u16string(hex.begin(), hex.end());
}

}  // namespace

WResult CCapiCore::Hash(const std::u16string& text, long flags) {
  begin(false, false);
  if (text.empty()) {
    fail(kWrongParameters);
    return std::u16string();
  }
  std::vector<unsigned char> d;
  if (flags & kAnsiText) {
    std::string ansi = velmora::platform::toNarrow(text, CP_ACP);
    d = digest(algorithmOf(flags), ansi.data(), ansi.size());
  } else {
    // The UTF-16LE code units as held, two bytes each.
    std::vector<unsigned char> bytes;
    bytes.reserve(2 * text.size());
    for (char16_t c : text) {
      bytes.push_back(static_cast<unsigned char>(c & 0xFF));
      bytes.push_back(static_cast<unsigned char>(c >> 8));
    }
    d = digest(algorithmOf(flags), bytes.data(), bytes.size());
  }
  return hexResult(*this, d);
}

WResult CCapiCore::HashFile(const std::u16string& fileName, long flags) {
  begin(false, false);
  if (hasNul(fileName)) {
    fail(kWrongParameters);
    return std::u16string();
  }
  std::string path = velmora::platform::toNarrow(fileName, CP_ACP);
  if (path.empty()) {
    velmora::ui::OpenFileParams params;
    params.title = m_nCodePage == 437 ? "Please select file" : "請選擇檔案";
    params.filter = "All Files (*.*)|*.*||";
    params.defaultExt = "*.*";
    params.flags = OFN_NOVALIDATE | OFN_HIDEREADONLY | OFN_OVERWRITEPROMPT;
    auto chosen = velmora::ui::openFileDialog(params);
    if (!chosen) {
      fail(kCancelled);
      return std::u16string();
    }
    path = velmora::platform::ansiFromUtf8(*chosen);  // dialogs answer in UTF-8
  }
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) {
    fail(kFileNotFound);
    return std::u16string();
  }
  std::vector<unsigned char> d;
  if (!digestFile(path, algorithmOf(flags), d)) {
    fail(kFileError);
    return std::u16string();
  }
  return hexResult(*this, d);
}

}  // namespace strabel
