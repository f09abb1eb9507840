#include "platform/abi/module_count.h"

#include <atomic>

namespace kalto::abi {
namespace {

// Sequentially consistent: DllCanUnloadNow releases the factories on a zero it reads here, so a
// decrement must be seen together with everything the object did before it died.
std::atomic<int64_t> s_moduleObjects{0};

}  // namespace

int64_t ModuleObjectCount() noexcept { return s_moduleObjects.load(); }
void ModuleObjectAdded() noexcept { s_moduleObjects.fetch_add(1); }
void ModuleObjectRemoved() noexcept { s_moduleObjects.fetch_sub(1); }

}  // namespace kalto::abi
