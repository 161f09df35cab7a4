// window.external in a page: a script object whose methods are looked up
// without regard to case and called synchronously through a transport to
// the host. Runs in WebKit's web process (and in tests, in a plain
// JavaScriptCore context).
#pragma once

#include <jsc/jsc.h>

#include <string>

#include "channel/wire.h"

namespace velmora::channel {

// Carries requests to the host. `request` blocks until the reply arrives;
// false when the host cannot be reached.
class Transport {
 public:
  virtual ~Transport() = default;
  virtual bool request(const std::string& payload, Message& reply) = 0;
  // A message that gets no reply.
  virtual void notify(const std::string& payload) = 0;
};

// Defines `external` on the context's global object. `frame` is the
// address of the document the context belongs to; every call carries it.
// With `reportLoad`, the document's load event is reported to the host.
// False (with the reason in `error`) when the context refused the object.
bool installPageBridge(JSCContext* context, const std::string& frame, Transport* transport, bool reportLoad,
                       std::string* error = nullptr);

}  // namespace velmora::channel
