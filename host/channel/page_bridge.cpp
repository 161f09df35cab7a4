#include "channel/page_bridge.h"

#include <cmath>
#include <cstdint>
#include <vector>

namespace velmora::channel {

namespace {

// Automation codes the page sees as TypeError (wrong count or an argument
// that does not convert); everything else is a plain Error.
constexpr int32_t kBadParamCount = int32_t(0x8002000E);
constexpr int32_t kTypeMismatch = int32_t(0x80020005);
constexpr int32_t kOverflow = int32_t(0x8002000A);
constexpr int32_t kFail = int32_t(0x80004005);
constexpr int32_t kInvalidArg = int32_t(0x80070057);

// Runs in the frame's context before any page script, so the built-ins it
// keeps (Proxy, TypeError, Object.create, ...) are the real ones: a page
// that later replaces them or String.prototype cannot change how names are
// found or which errors are thrown. Name look-up is done by the host.
constexpr const char kBootstrap[] = R"JS((function (lookup, make, complete) {
  'use strict';
  const TE = TypeError, E = Error, P = Proxy, create = Object.create, define = Object.defineProperty;
  const rget = Reflect.get, rhas = Reflect.has;
  const thrower = function (typeError, message, number) {
    const e = typeError ? new TE(message) : new E(message);
    define(e, 'number', { value: number, writable: true, configurable: true });
    throw e;
  };
  const byName = create(null);
  const byId = create(null);
  const find = function (key) {
    if (typeof key !== 'string') return undefined;
    let f = byName[key];
    if (f === undefined) {
      const id = lookup(key);
      if (id < 0) thrower(false, 'Velmora is not reachable: the page bridge is closed.', -2147467259);
      f = id === 0 ? null : (byId[id] || (byId[id] = make(id, key, thrower)));
      byName[key] = f;
    }
    return f === null ? undefined : f;
  };
  const external = new P({}, {
    get: function (target, key, receiver) {
      const f = find(key);
      return f !== undefined ? f : rget(target, key, receiver);
    },
    has: function (target, key) { return find(key) !== undefined || rhas(target, key); },
  });
  define(globalThis, 'external', { value: external, enumerable: true, configurable: false, writable: false });
  if (complete) globalThis.addEventListener('load', function () { complete(); });
}))JS";

struct FrameRef {
  Transport* transport;
  std::string frame;
};

struct MethodRef {
  Transport* transport;
  int32_t id;
  std::string frame;
  JSCWeakValue* thrower;
};

void deleteFrameRef(gpointer p) { delete static_cast<FrameRef*>(p); }

void deleteMethodRef(gpointer p) {
  auto* ref = static_cast<MethodRef*>(p);
  g_object_unref(ref->thrower);
  delete ref;
}

bool isTypeError(int32_t code) { return code == kBadParamCount || code == kTypeMismatch || code == kOverflow; }

// Throws through the frame's own thrower so that the page gets a real
// TypeError (instanceof holds) with the automation code as `number`.
JSCValue* raise(JSCContext* ctx, MethodRef* ref, int32_t code, const std::string& message) {
  JSCValue* thrower = jsc_weak_value_get_value(ref->thrower);
  if (thrower) {
    JSCValue* r = jsc_value_function_call(thrower, G_TYPE_BOOLEAN, gboolean(isTypeError(code)), G_TYPE_STRING,
                                          message.c_str(), G_TYPE_DOUBLE, double(code), G_TYPE_NONE);
    if (r) g_object_unref(r);
    g_object_unref(thrower);
  } else {
    jsc_context_throw_with_name(ctx, isTypeError(code) ? "TypeError" : "Error", message.c_str());
  }
  return jsc_value_new_undefined(ctx);
}

// Script value -> channel value. Objects go as their string value, which is
// what the automation layer takes from a script object. False when the
// conversion threw (the exception is then pending in the context).
bool toChannel(JSCContext* ctx, JSCValue* v, Value& out) {
  if (jsc_value_is_undefined(v)) {
    out = Value::undefined();
  } else if (jsc_value_is_null(v)) {
    out = Value::null();
  } else if (jsc_value_is_boolean(v)) {
    out = Value::ofBool(jsc_value_to_boolean(v));
  } else if (jsc_value_is_number(v)) {
    const double d = jsc_value_to_double(v);
    // Whole numbers that fit go as 32-bit integers, as script engines pass
    // them to automation objects; the rest as doubles.
    if (std::isfinite(d) && d == std::trunc(d) && d >= INT32_MIN && d <= INT32_MAX && !(d == 0 && std::signbit(d)))
      out = Value::ofInt(int32_t(d));
    else
      out = Value::ofDouble(d);
  } else {
    gsize len = 0;
    GBytes* bytes = jsc_value_to_string_as_bytes(v);
    if (jsc_context_get_exception(ctx) || !bytes) {
      if (bytes) g_bytes_unref(bytes);
      return false;
    }
    const char* data = static_cast<const char*>(g_bytes_get_data(bytes, &len));
    out = Value::ofString(std::string(data ? data : "", len));
    g_bytes_unref(bytes);
  }
  return true;
}

JSCValue* toScript(JSCContext* ctx, const Value& v) {
  switch (v.type) {
    case Value::Type::Undefined: return jsc_value_new_undefined(ctx);
    case Value::Type::Null: return jsc_value_new_null(ctx);
    case Value::Type::Bool: return jsc_value_new_boolean(ctx, v.boolean);
    case Value::Type::Int: return jsc_value_new_number(ctx, v.integer);
    case Value::Type::Double: return jsc_value_new_number(ctx, v.number);
    case Value::Type::String: {
      GBytes* bytes = g_bytes_new(v.text.data(), v.text.size());
      JSCValue* s = jsc_value_new_string_from_bytes(ctx, bytes);
      g_bytes_unref(bytes);
      return s;
    }
  }
  return jsc_value_new_undefined(ctx);
}

JSCValue* callMethod(GPtrArray* args, gpointer data) {
  auto* ref = static_cast<MethodRef*>(data);
  JSCContext* ctx = jsc_context_get_current();
  jsc_context_clear_exception(ctx);

  std::vector<Value> values(args ? args->len : 0);
  for (guint i = 0; i < values.size(); ++i)
    if (!toChannel(ctx, static_cast<JSCValue*>(g_ptr_array_index(args, i)), values[i]))
      return jsc_value_new_undefined(ctx);  // the conversion's exception goes to the caller

  const std::string payload = encodeCall(ref->id, ref->frame, values);
  if (payload.size() > kMaxFrame) return raise(ctx, ref, kInvalidArg, "The arguments are too large for the bridge.");
  Message reply;
  if (!ref->transport->request(payload, reply))
    return raise(ctx, ref, kFail, "Velmora is not reachable: the page bridge is closed.");
  if (reply.kind == Kind::Result) return toScript(ctx, reply.value);
  if (reply.kind == Kind::Fault) return raise(ctx, ref, reply.code, reply.message);
  return raise(ctx, ref, kFail, "Velmora sent an answer the page bridge does not understand.");
}

// Dispatch identifier of a name: > 0 known, 0 unknown, -1 host unreachable.
int lookupName(const char* name, gpointer data) {
  auto* ref = static_cast<FrameRef*>(data);
  if (!name) return 0;
  Message reply;
  if (!ref->transport->request(encodeLookup(name), reply)) return -1;
  if (reply.kind != Kind::Result || reply.value.type != Value::Type::Int) return -1;
  return reply.value.integer > 0 ? reply.value.integer : 0;
}

JSCValue* makeMethod(int id, const char* name, JSCValue* thrower, gpointer data) {
  auto* ref = static_cast<FrameRef*>(data);
  JSCContext* ctx = jsc_value_get_context(thrower);
  auto* method = new MethodRef{ref->transport, id, ref->frame, jsc_weak_value_new(thrower)};
  return jsc_value_new_function_variadic(ctx, name, G_CALLBACK(callMethod), method, deleteMethodRef,
                                         JSC_TYPE_VALUE);
}

void documentComplete(gpointer data) {
  auto* ref = static_cast<FrameRef*>(data);
  ref->transport->notify(encodeComplete(ref->frame));
}

}  // namespace

bool installPageBridge(JSCContext* ctx, const std::string& frame, Transport* transport, bool reportLoad,
                       std::string* error) {
  JSCValue* boot = jsc_context_evaluate_with_source_uri(ctx, kBootstrap, -1, "velmora:page-bridge", 1);
  JSCValue* lookup = jsc_value_new_function(ctx, "lookup", G_CALLBACK(lookupName), new FrameRef{transport, frame},
                                            deleteFrameRef, G_TYPE_INT, 1, G_TYPE_STRING);
  JSCValue* make = jsc_value_new_function(ctx, "make", G_CALLBACK(makeMethod), new FrameRef{transport, frame},
                                          deleteFrameRef, JSC_TYPE_VALUE, 3, G_TYPE_INT, G_TYPE_STRING,
                                          JSC_TYPE_VALUE);
  JSCValue* complete = reportLoad ? jsc_value_new_function(ctx, "complete", G_CALLBACK(documentComplete),
                                                           new FrameRef{transport, frame}, deleteFrameRef,
                                                           G_TYPE_NONE, 0)
                                  : jsc_value_new_null(ctx);
  JSCValue* result = nullptr;
  if (boot && jsc_value_is_function(boot))
    result = jsc_value_function_call(boot, JSC_TYPE_VALUE, lookup, JSC_TYPE_VALUE, make, JSC_TYPE_VALUE, complete,
                                     G_TYPE_NONE);
  bool ok = result != nullptr;
  if (JSCException* ex = jsc_context_get_exception(ctx)) {
    ok = false;
    if (error) *error = jsc_exception_get_message(ex) ? jsc_exception_get_message(ex) : "exception";
    jsc_context_clear_exception(ctx);
  } else if (!ok && error) {
    *error = "the bridge script did not run";
  }
  for (JSCValue* v : {boot, lookup, make, complete, result})
    if (v) g_object_unref(v);
  return ok;
}

}  // namespace velmora::channel
