#include "common/block_pool.h"

#include <sys/mman.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <new>
#include <utility>
#include <vector>

namespace kalto {
namespace {

#if defined(__SANITIZE_ADDRESS__)
// The address checker guards only what the allocator hands out.
constexpr size_t kMappedFrom = SIZE_MAX;
#else
constexpr size_t kMappedFrom = BlockPool::kKeptFrom;
#endif

// Picture-sized blocks are mapped straight from the kernel: their pages start out zero and take
// memory only once written, so a texture that is made but never drawn (a converter idle on this
// frame path) costs nothing, and a zeroed block needs no pass over it. Smaller blocks come from
// the allocator.
struct BlockFree {
  size_t size = 0;
  void operator()(uint8_t* bytes) const {
    if (size >= kMappedFrom) {
      munmap(bytes, size);
    } else {
      ::operator delete(bytes, std::align_val_t{BlockPool::kAlignment});
    }
  }
};
using Block = std::unique_ptr<uint8_t[], BlockFree>;

Block Allocate(size_t size) {
  if (size >= kMappedFrom) {
    void* bytes = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return bytes == MAP_FAILED ? Block(nullptr, BlockFree{size}) : Block(static_cast<uint8_t*>(bytes), BlockFree{size});
  }
  return Block(static_cast<uint8_t*>(::operator new(std::max<size_t>(size, 1), std::align_val_t{BlockPool::kAlignment},
                                                    std::nothrow)),
               BlockFree{size});
}

// A mapped block is zeroed by handing its pages back: they read as zero and take memory again only
// where written, so a texture made and never drawn still costs nothing.
void Zero(uint8_t* bytes, size_t size) {
  if (size < kMappedFrom || madvise(bytes, size, MADV_DONTNEED) != 0) std::memset(bytes, 0, size);
}

class Kept {
 public:
  // Give runs in deleters and must not throw: the list never grows past what is reserved.
  Kept() { m_blocks.reserve(kKept); }

  Block Take(size_t size) {
    std::lock_guard lock(m_mutex);
    DropIdleLocked();
    for (auto it = m_blocks.begin(); it != m_blocks.end(); ++it) {
      if (it->size != size) continue;
      Block block = std::move(it->block);
      m_blocks.erase(it);
      return block;
    }
    return nullptr;
  }

  void Give(Block block, size_t size) {
    std::lock_guard lock(m_mutex);
    DropIdleLocked();
    // The oldest goes first: its size may no longer be in use.
    if (m_blocks.size() >= kKept) m_blocks.erase(m_blocks.begin());
    m_blocks.push_back({size, std::move(block), std::chrono::steady_clock::now()});
  }

 private:
  struct Entry {
    size_t size;
    Block block;
    std::chrono::steady_clock::time_point since;
  };
  // Blocks in use come back within a frame or two; one nobody took for this long is of a size
  // that went out of use (a frame now read in place, a path that changed) and only holds memory.
  void DropIdleLocked() {
    const auto cutoff = std::chrono::steady_clock::now() - BlockPool::kIdle;
    std::erase_if(m_blocks, [&](const Entry& e) { return e.since < cutoff; });
  }

  // A few pictures of each of a recording's two or three sizes are in flight at once.
  static constexpr size_t kKept = 8;
  std::mutex m_mutex;
  std::vector<Entry> m_blocks;
};

}  // namespace

std::shared_ptr<uint8_t> BlockPool::Take(size_t size, bool zeroed) {
  // Blocks released by other statics at exit still find it: each holds a reference.
  static const auto kept = std::make_shared<Kept>();
  Block block = size >= kKeptFrom ? kept->Take(size) : Block(nullptr, BlockFree{size});
  if (block) {
    if (zeroed) Zero(block.get(), size);
  } else {
    block = Allocate(size);
    if (!block) return nullptr;
    if (zeroed && size < kMappedFrom) std::memset(block.get(), 0, size);  // mapped pages are zero already
  }
  try {
    return std::shared_ptr<uint8_t>(block.release(), [kept = kept, size](uint8_t* p) {
      Block freed(p, BlockFree{size});
      if (size >= kKeptFrom) kept->Give(std::move(freed), size);
    });
  } catch (const std::bad_alloc&) {
    return nullptr;  // the deleter has already taken the block back
  }
}

}  // namespace kalto
