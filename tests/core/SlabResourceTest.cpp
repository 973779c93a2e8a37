#include "core/SlabResource.h"

#include <gtest/gtest.h>
#include <sys/mman.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

namespace sablewick {
namespace {

constexpr size_t kSlab = SlabResource::kSlabSize;

// Whether the page of p is mapped in this process.
bool IsMapped(const void* p) {
  unsigned char resident;
  void* page = reinterpret_cast<void*>(reinterpret_cast<uintptr_t>(p) & ~uintptr_t{4095});
  return ::mincore(page, 4096, &resident) == 0;
}

uintptr_t SlabOf(const void* p) {
  return reinterpret_cast<uintptr_t>(p) & ~uintptr_t{kSlab - 1};
}

struct Block {
  void* p;
  size_t size, alignment;
  unsigned char fill;
};

void Fill(const Block& b) {
  std::memset(b.p, b.fill, b.size);
}
bool Intact(const Block& b) {
  const auto* bytes = static_cast<const unsigned char*>(b.p);
  return std::all_of(bytes, bytes + b.size, [&](unsigned char c) { return c == b.fill; });
}

// Blocks of every size, small to larger than a slab, at every alignment: each keeps its bytes
// while the others are written and freed (first in first out, then out of order), and the
// memory of freed blocks serves new ones.
TEST(SlabResource, BlocksOfEverySizeKeepTheirBytesAndAlignment) {
  SlabResource memory;
  const size_t sizes[] = {0,
                          1,
                          7,
                          8,
                          24,
                          100,
                          1000,
                          4000,
                          SlabResource::kLargest,
                          SlabResource::kLargest + 1,
                          60000,
                          kSlab,
                          3 * kSlab + 5};
  const size_t alignments[] = {1, 8, 16, 64, 4096, 8192};
  std::vector<Block> blocks;
  unsigned char fill = 0;
  const auto allocate = [&](int rounds) {
    for (int round = 0; round < rounds; ++round) {
      for (size_t size : sizes) {
        for (size_t alignment : alignments) {
          Block b{memory.allocate(size, alignment), size, alignment, ++fill};
          ASSERT_EQ(reinterpret_cast<uintptr_t>(b.p) % alignment, 0u) << size << "/" << alignment;
          Fill(b);
          blocks.push_back(b);
        }
      }
    }
  };
  const auto release = [&](size_t i) {
    memory.deallocate(blocks[i].p, blocks[i].size, blocks[i].alignment);
    blocks.erase(blocks.begin() + static_cast<ptrdiff_t>(i));
  };
  const auto allIntact = [&] {
    return std::all_of(blocks.begin(), blocks.end(), [](const Block& b) { return Intact(b); });
  };

  allocate(3);
  ASSERT_TRUE(allIntact());
  for (size_t n = blocks.size() / 3; n > 0; --n) release(0);  // the oldest first
  EXPECT_TRUE(allIntact());
  allocate(1);
  EXPECT_TRUE(allIntact());
  // Every other one, then from the newest back.
  for (size_t i = 0; i < blocks.size(); ++i) release(i);
  EXPECT_TRUE(allIntact());
  allocate(1);
  EXPECT_TRUE(allIntact());
  while (!blocks.empty()) release(blocks.size() - 1);

  EXPECT_EQ(memory.LargeMappings(), 0u);
  EXPECT_LE(memory.Slabs(), 1u) << "only the slab to carve from is kept";
  if (!SlabResource::kUsesSlabs) {
    EXPECT_EQ(memory.Slabs(), 0u);
  }
}

// A slab goes back to the kernel when its last block is freed, in whatever order its blocks go;
// one empty slab is kept and serves the next slab needed; a large block has a mapping of its
// own, gone when the block is.
TEST(SlabResource, ASlabIsUnmappedWithItsLastBlockAndOneEmptySlabIsReused) {
  SlabResource memory;
  constexpr size_t kSize = 1000;
  std::vector<void*> blocks;
  std::vector<uintptr_t> slabs;  // in the order they were first used
  while (slabs.size() < 4) {
    blocks.push_back(memory.allocate(kSize, 8));
    const uintptr_t slab = SlabOf(blocks.back());
    if (slabs.empty() || slabs.back() != slab) slabs.push_back(slab);
  }
  if (!SlabResource::kUsesSlabs) {
    EXPECT_EQ(memory.Slabs(), 0u);  // every block on the heap, where the sanitizer sees it
    for (void* p : blocks) memory.deallocate(p, kSize, 8);
    return;
  }
  EXPECT_EQ(memory.Slabs(), 4u);
  const auto blocksOf = [&](uintptr_t slab) {
    std::vector<void*> of;
    for (void* p : blocks) {
      if (SlabOf(p) == slab) of.push_back(p);
    }
    return of;
  };
  const auto release = [&](const std::vector<void*>& which) {
    for (void* p : which) {
      memory.deallocate(p, kSize, 8);
      blocks.erase(std::find(blocks.begin(), blocks.end(), p));
    }
  };

  // The first slab empties in the order it filled: kept, as the one empty slab.
  std::vector<void*> first = blocksOf(slabs[0]);
  ASSERT_GT(first.size(), 50u);
  release(first);
  EXPECT_EQ(memory.Slabs(), 4u);
  EXPECT_TRUE(IsMapped(reinterpret_cast<void*>(slabs[0])));
  // The second from its newest block back: unmapped, an empty slab being kept already.
  std::vector<void*> second = blocksOf(slabs[1]);
  std::reverse(second.begin(), second.end());
  release(second);
  EXPECT_EQ(memory.Slabs(), 3u);
  EXPECT_FALSE(IsMapped(reinterpret_cast<void*>(slabs[1])));
  // The third with one block left over: it stays until that one goes too.
  std::vector<void*> third = blocksOf(slabs[2]);
  std::swap(third[third.size() / 2], third.back());
  void* last = third.back();  // one from the middle
  third.pop_back();
  release(third);
  EXPECT_TRUE(IsMapped(reinterpret_cast<void*>(slabs[2])));
  release({last});
  EXPECT_EQ(memory.Slabs(), 2u);
  EXPECT_FALSE(IsMapped(reinterpret_cast<void*>(slabs[2])));

  // The slab after the fourth is the kept empty one: no new mapping.
  while (SlabOf(blocks.back()) == slabs[3]) blocks.push_back(memory.allocate(kSize, 8));
  EXPECT_EQ(SlabOf(blocks.back()), slabs[0]);
  EXPECT_EQ(memory.Slabs(), 2u);

  void* large = memory.allocate(5 * kSlab, 16);
  EXPECT_EQ(memory.LargeMappings(), 1u);
  std::memset(large, 1, 5 * kSlab);
  memory.deallocate(large, 5 * kSlab, 16);
  EXPECT_EQ(memory.LargeMappings(), 0u);
  EXPECT_FALSE(IsMapped(large));

  release(std::vector<void*>(blocks));
  EXPECT_EQ(memory.Slabs(), 1u);
}

}  // namespace
}  // namespace sablewick
