// The shell's "open" verb on Linux: the desktop's default handler.
#pragma once

#include <windef.h>

#include <string>

namespace velmora::shell {

// Starts the desktop's default handler (xdg-open) for `target` and returns
// without waiting for it; false when it could not be started. The target
// is passed as one argument, never through a shell command line.
VELMORA_EXPORT bool openWithDefaultHandler(const std::string& target);

}  // namespace velmora::shell
