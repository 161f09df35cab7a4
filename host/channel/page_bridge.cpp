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
// How an object's member is invoked (the automation DISPATCH_* flags): a
// call as script engines make it, or a property read.
constexpr uint32_t kDispatchMethod = 1;
constexpr uint32_t kDispatchPropertyGet = 2;

// Runs in the frame's context before any page script, so the built-ins it
// keeps (Proxy, TypeError, Object.create, ...) are the real ones: a page
// that later replaces them or String.prototype cannot change how names are
// found or which errors are thrown. Name look-up is done by the host.
constexpr const char kBootstrap[] = R"JS((function (lookup, make, complete, axCreate, axMember, axMake, axGet, axRelease) {
  'use strict';
  const TE = TypeError, E = Error, P = Proxy, create = Object.create, define = Object.defineProperty;
  const rget = Reflect.get, rhas = Reflect.has, floor = Math.floor;
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

  // Automation objects: each lives in the host as long as its script
  // object does. Members are found by name once per spelling; a property
  // is read at once, a method is a function (which keeps its object).
  const W = 4294967296;
  const FR = typeof FinalizationRegistry === 'function' ? FinalizationRegistry : null;
  const gone = FR ? new FR(function (handle) { axRelease(handle); }) : null;
  const owner = Symbol('automation object');
  const objectFor = function (handle) {
    const members = create(null);
    const methods = create(null);
    const resolve = function (key) {
      let m = members[key];
      if (m === undefined) members[key] = m = axMember(handle, key, thrower);
      return m;
    };
    const proxy = new P(create(null), {
      get: function (target, key) {
        if (typeof key !== 'string') return undefined;
        const m = resolve(key);
        if (m === 0) return undefined;
        const kind = floor(m / W), id = (m - kind * W) | 0;
        if (kind === 2) return axGet(handle, id, thrower);
        let f = methods[key];
        if (f === undefined) {
          f = methods[key] = axMake(handle, id, key, thrower);
          define(f, owner, { value: proxy });
        }
        return f;
      },
      has: function (target, key) { return typeof key === 'string' && resolve(key) !== 0; },
      set: function () { thrower(false, "Object doesn't support this property or method", -2146827850); },
      defineProperty: function () { thrower(false, "Object doesn't support this property or method", -2146827850); },
    });
    if (gone) gone.register(proxy, handle);
    return proxy;
  };
  if (axCreate) {
    const ActiveXObject = function ActiveXObject(progId) {
      return objectFor(axCreate(progId === undefined ? '' : '' + progId, thrower));
    };
    define(globalThis, 'ActiveXObject', { value: ActiveXObject, writable: true, configurable: true, enumerable: false });
  }
}))JS";

struct FrameRef {
  Transport* transport;
  std::string frame;
};

// A method of window.external (handle 0) or of an automation object.
struct MethodRef {
  Transport* transport;
  int32_t handle;
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
JSCValue* raiseWith(JSCContext* ctx, JSCValue* thrower, int32_t code, const std::string& message) {
  if (thrower) {
    JSCValue* r = jsc_value_function_call(thrower, G_TYPE_BOOLEAN, gboolean(isTypeError(code)), G_TYPE_STRING,
                                          message.c_str(), G_TYPE_DOUBLE, double(code), G_TYPE_NONE);
    if (r) g_object_unref(r);
  } else {
    jsc_context_throw_with_name(ctx, isTypeError(code) ? "TypeError" : "Error", message.c_str());
  }
  return jsc_value_new_undefined(ctx);
}

JSCValue* raise(JSCContext* ctx, MethodRef* ref, int32_t code, const std::string& message) {
  JSCValue* thrower = jsc_weak_value_get_value(ref->thrower);
  JSCValue* r = raiseWith(ctx, thrower, code, message);
  if (thrower) g_object_unref(thrower);
  return r;
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

  const std::string payload = ref->handle ? encodeInvoke(ref->handle, ref->id, kDispatchMethod | kDispatchPropertyGet,
                                                         ref->frame, values)
                                         : encodeCall(ref->id, ref->frame, values);
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
  auto* method = new MethodRef{ref->transport, 0, id, ref->frame, jsc_weak_value_new(thrower)};
  return jsc_value_new_function_variadic(ctx, name, G_CALLBACK(callMethod), method, deleteMethodRef,
                                         JSC_TYPE_VALUE);
}

void documentComplete(gpointer data) {
  auto* ref = static_cast<FrameRef*>(data);
  ref->transport->notify(encodeComplete(ref->frame));
}

// ---- automation objects ----

constexpr int32_t kCannotCreate = int32_t(0x800A01AD);  // "Automation server can't create object"
constexpr double kMemberWord = 4294967296.0;

// ActiveXObject(progId): the new object's handle, or a thrown error.
double axCreate(const char* progId, JSCValue* thrower, gpointer data) {
  auto* ref = static_cast<FrameRef*>(data);
  JSCContext* ctx = jsc_context_get_current();
  Message reply;
  if (!ref->transport->request(encodeCreate(ref->frame, progId ? progId : ""), reply)) {
    raiseWith(ctx, thrower, kFail, "Velmora is not reachable: the page bridge is closed.");
    return 0;
  }
  if (reply.kind == Kind::Result && reply.value.type == Value::Type::Int && reply.value.integer > 0)
    return reply.value.integer;
  if (reply.kind == Kind::Fault) raiseWith(ctx, thrower, reply.code, reply.message);
  else raiseWith(ctx, thrower, kCannotCreate, "Automation server can't create object");
  return 0;
}

// A member of an object: 0 when there is none, else its kind (1 method,
// 2 property) times 2^32 plus its dispatch identifier as unsigned.
double axMember(int handle, const char* name, JSCValue* thrower, gpointer data) {
  auto* ref = static_cast<FrameRef*>(data);
  Message reply;
  if (!ref->transport->request(encodeMember(handle, name ? name : ""), reply)) {
    raiseWith(jsc_context_get_current(), thrower, kFail, "Velmora is not reachable: the page bridge is closed.");
    return 0;
  }
  if (reply.kind == Kind::Fault) {
    raiseWith(jsc_context_get_current(), thrower, reply.code, reply.message);
    return 0;
  }
  if (reply.kind != Kind::Found || reply.flags == 0) return 0;
  const double kind = (reply.flags & kMemberMethod) ? 1 : 2;
  return kind * kMemberWord + double(uint32_t(reply.dispid));
}

JSCValue* axMake(int handle, int id, const char* name, JSCValue* thrower, gpointer data) {
  auto* ref = static_cast<FrameRef*>(data);
  JSCContext* ctx = jsc_value_get_context(thrower);
  auto* method = new MethodRef{ref->transport, handle, id, ref->frame, jsc_weak_value_new(thrower)};
  return jsc_value_new_function_variadic(ctx, name, G_CALLBACK(callMethod), method, deleteMethodRef,
                                         JSC_TYPE_VALUE);
}

// Reads a property: what the object answers, or a thrown error.
JSCValue* axGet(int handle, int id, JSCValue* thrower, gpointer data) {
  auto* ref = static_cast<FrameRef*>(data);
  JSCContext* ctx = jsc_value_get_context(thrower);
  Message reply;
  if (!ref->transport->request(encodeInvoke(handle, id, kDispatchPropertyGet, ref->frame, {}), reply))
    return raiseWith(ctx, thrower, kFail, "Velmora is not reachable: the page bridge is closed.");
  if (reply.kind == Kind::Result) return toScript(ctx, reply.value);
  if (reply.kind == Kind::Fault) return raiseWith(ctx, thrower, reply.code, reply.message);
  return raiseWith(ctx, thrower, kFail, "Velmora sent an answer the page bridge does not understand.");
}

void axRelease(int handle, gpointer data) {
  auto* ref = static_cast<FrameRef*>(data);
  ref->transport->notify(encodeRelease(handle));
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
  auto native = [&](const char* name, GCallback fn, GType result, guint count, auto... types) {
    return jsc_value_new_function(ctx, name, fn, new FrameRef{transport, frame}, deleteFrameRef, result, count,
                                  types...);
  };
  JSCValue* create = native("axCreate", G_CALLBACK(axCreate), G_TYPE_DOUBLE, 2, G_TYPE_STRING, JSC_TYPE_VALUE);
  JSCValue* member =
      native("axMember", G_CALLBACK(axMember), G_TYPE_DOUBLE, 3, G_TYPE_INT, G_TYPE_STRING, JSC_TYPE_VALUE);
  JSCValue* makeObjectMethod = native("axMake", G_CALLBACK(axMake), JSC_TYPE_VALUE, 4, G_TYPE_INT, G_TYPE_INT,
                                      G_TYPE_STRING, JSC_TYPE_VALUE);
  JSCValue* get = native("axGet", G_CALLBACK(axGet), JSC_TYPE_VALUE, 3, G_TYPE_INT, G_TYPE_INT, JSC_TYPE_VALUE);
  JSCValue* release = native("axRelease", G_CALLBACK(axRelease), G_TYPE_NONE, 1, G_TYPE_INT);
  JSCValue* result = nullptr;
  if (boot && jsc_value_is_function(boot))
    result = jsc_value_function_call(boot, JSC_TYPE_VALUE, lookup, JSC_TYPE_VALUE, make, JSC_TYPE_VALUE, complete,
                                     JSC_TYPE_VALUE, create, JSC_TYPE_VALUE, member, JSC_TYPE_VALUE,
                                     makeObjectMethod, JSC_TYPE_VALUE, get, JSC_TYPE_VALUE, release, G_TYPE_NONE);
  bool ok = result != nullptr;
  if (JSCException* ex = jsc_context_get_exception(ctx)) {
    ok = false;
    if (error) *error = jsc_exception_get_message(ex) ? jsc_exception_get_message(ex) : "exception";
    jsc_context_clear_exception(ctx);
  } else if (!ok && error) {
    *error = "the bridge script did not run";
  }
  for (JSCValue* v : {boot, lookup, make, complete, create, member, makeObjectMethod, get, release, result})
    if (v) g_object_unref(v);
  return ok;
}

}  // namespace velmora::channel
