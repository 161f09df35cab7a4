#pragma once

#include <windef.h>

#include <string>

namespace velmora::platform {

// The file name a library name stands for: "X.dll" -> "X.so", "X" -> "X.so".
VELMORA_EXPORT std::string libraryFileName(const std::string& name);

}  // namespace velmora::platform
