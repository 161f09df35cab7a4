// Internals of the JCIC control shared by its object, its description and
// its registration.
#pragma once

#include <quennet/jcic_control.h>

#include "com/server.h"

namespace quennet::automation {

// Live objects, class factories and server locks of this module.
velmora::com::ModuleLock& moduleLock();

// Makes a JCIC object and answers `riid` of it (no aggregation).
HRESULT createJcic(IUnknown* outer, REFIID riid, void** ppv);

// The full path of this module, "" when it cannot be found.
std::string modulePath();

// IJCIC's type information from this module's own type library. The
// caller owns the reference; the description is not cached for the
// process, so nothing of it outlives the objects that use it.
HRESULT loadTypeInfo(ITypeInfo** out);

}  // namespace quennet::automation
