// The Windows API subset this system calls, provided on Linux.
#pragma once

#include <windef.h>
#include <winerror.h>
#include <winbase.h>
#include <winnls.h>
#include <winreg.h>
#include <winver.h>
