#include "common/block_pool.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <new>
#include <utility>
#include <vector>

namespace kalto {
namespace {

struct AlignedFree {
  void operator()(uint8_t* bytes) const { ::operator delete(bytes, std::align_val_t{BlockPool::kAlignment}); }
};
using Block = std::unique_ptr<uint8_t[], AlignedFree>;

class Kept {
 public:
  // Give runs in deleters and must not throw: the list never grows past what is reserved.
  Kept() { m_blocks.reserve(kKept); }

  Block Take(size_t size) {
    std::lock_guard lock(m_mutex);
    for (auto it = m_blocks.begin(); it != m_blocks.end(); ++it) {
      if (it->first != size) continue;
      Block block = std::move(it->second);
      m_blocks.erase(it);
      return block;
    }
    return nullptr;
  }

  void Give(Block block, size_t size) {
    std::lock_guard lock(m_mutex);
    // The oldest goes first: its size may no longer be in use.
    if (m_blocks.size() >= kKept) m_blocks.erase(m_blocks.begin());
    m_blocks.emplace_back(size, std::move(block));
  }

 private:
  // A few pictures of each of a recording's two or three sizes are in flight at once.
  static constexpr size_t kKept = 8;
  std::mutex m_mutex;
  std::vector<std::pair<size_t, Block>> m_blocks;
};

}  // namespace

std::shared_ptr<uint8_t> BlockPool::Take(size_t size, bool zeroed) {
  // Blocks released by other statics at exit still find it: each holds a reference.
  static const auto kept = std::make_shared<Kept>();
  Block block = size >= kKeptFrom ? kept->Take(size) : nullptr;
  if (!block) {
    block.reset(static_cast<uint8_t*>(::operator new(std::max<size_t>(size, 1), std::align_val_t{kAlignment},
                                                     std::nothrow)));
    if (!block) return nullptr;
  }
  if (zeroed) std::memset(block.get(), 0, size);
  try {
    return std::shared_ptr<uint8_t>(block.release(), [kept = kept, size](uint8_t* p) {
      Block freed(p);
      if (size >= kKeptFrom) kept->Give(std::move(freed), size);
    });
  } catch (const std::bad_alloc&) {
    return nullptr;  // the deleter has already taken the block back
  }
}

}  // namespace kalto
