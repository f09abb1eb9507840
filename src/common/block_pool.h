#pragma once
// Memory blocks for pictures. Blocks of a picture's size come and go every frame; rather than
// return them to the allocator (and fault fresh, zeroed pages in for the next), the last few that
// fell free are kept (for a while) and handed out again for the same size. Aligned for vector
// loads.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>

namespace kalto {

class BlockPool {
 public:
  static constexpr size_t kAlignment = 64;
  // Smaller blocks go straight back to the allocator, which serves them well.
  static constexpr size_t kKeptFrom = 256 * 1024;
  // A kept block nobody took for this long goes back to the system.
  static constexpr std::chrono::milliseconds kIdle{1000};

  // A block of `size` bytes, returned to the pool when its last reference goes; its bytes are
  // undefined unless `zeroed`. Null when memory is short.
  static std::shared_ptr<uint8_t> Take(size_t size, bool zeroed);
};

}  // namespace kalto
