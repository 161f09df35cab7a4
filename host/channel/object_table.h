// The automation objects pages create with `new ActiveXObject(progId)`:
// one table per web process connection, each object named by a handle.
// Only this installation's own classes are created (setPageClasses), and of
// those only the ones that declare themselves safe for scripting, as a
// browser does: the object must accept INTERFACESAFE_FOR_UNTRUSTED_CALLER
// for IDispatch through IObjectSafety, or its class must be registered in
// the "safe for scripting" category.
#pragma once

#include <oleauto.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "channel/wire.h"

namespace velmora::channel {

// A class pages may create: its identifier and the module, by full path,
// that its registration must name. Pages create only these; anything else
// is refused before any library is loaded.
struct PageClass {
  CLSID clsid{};
  std::string module;
};

// Replaces the classes pages may create (none until it is called). The
// host names its own components' classes and the modules it has loaded.
void setPageClasses(std::vector<PageClass> classes);

class ObjectTable {
 public:
  // More objects than this on one connection is a page gone wrong.
  static constexpr size_t kMaxObjects = 4096;

  ObjectTable() = default;
  ~ObjectTable() { clear(); }
  ObjectTable(const ObjectTable&) = delete;
  ObjectTable& operator=(const ObjectTable&) = delete;

  // Answers Create, Member and Invoke with the reply payload; Release has
  // none (empty string). Anything else is not for this table.
  std::string answer(const Message& request);

  // Releases every object (the connection is gone).
  void clear();
  size_t size() const { return objects_.size(); }

 private:
  std::string create(const std::string& progId);
  std::string member(int32_t handle, const std::string& name);
  std::string invoke(int32_t handle, int32_t dispid, uint32_t flags, const std::vector<Value>& args);
  IDispatch* find(int32_t handle) const;

  std::map<int32_t, IDispatch*> objects_;
  int32_t next_ = 1;
};

}  // namespace velmora::channel
