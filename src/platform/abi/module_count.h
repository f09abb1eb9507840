#pragma once
#include <cstdint>

namespace kalto::abi {

// The module-wide count of live objects that DllCanUnloadNow consults: every implementation
// object, factory and asynchronous operation of the module holds one ModuleObject.
int64_t ModuleObjectCount() noexcept;
void ModuleObjectAdded() noexcept;
void ModuleObjectRemoved() noexcept;

// Counts its owner for as long as it lives; a copy is another object and counts again.
class ModuleObject {
 public:
  ModuleObject() noexcept { ModuleObjectAdded(); }
  ModuleObject(const ModuleObject&) noexcept { ModuleObjectAdded(); }
  ModuleObject& operator=(const ModuleObject&) noexcept { return *this; }
  ~ModuleObject() { ModuleObjectRemoved(); }
};

}  // namespace kalto::abi
