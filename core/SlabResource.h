// Memory of its own for records that outlive a busy spell (the messages the store keeps), so
// that they never land among the spell's short-lived allocations on the heap: a freed record
// there pins its page until every neighbour is gone too, and the heap stays grown long after.
//
// Allocations are carved with a bump pointer from 64 KB slabs mapped from the kernel; each slab
// counts its live allocations and goes back to the kernel when the last one is freed (one empty
// slab is kept for the next spell). Records that are freed in about the order they were made
// (expiry) so hand back their memory slab by slab. An allocation larger than a quarter of a
// slab gets a mapping of its own. One thread only.
//
// Under AddressSanitizer every allocation goes to operator new instead, so that the sanitizer
// sees each record's bounds and lifetime.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory_resource>

namespace sablewick {

#if defined(__SANITIZE_ADDRESS__)
inline constexpr bool kAddressSanitizer = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
inline constexpr bool kAddressSanitizer = true;
#else
inline constexpr bool kAddressSanitizer = false;
#endif
#else
inline constexpr bool kAddressSanitizer = false;
#endif

class SlabResource : public std::pmr::memory_resource {
 public:
  static constexpr size_t kSlabSize = 64 * 1024;
  // Larger allocations are mapped one by one.
  static constexpr size_t kLargest = kSlabSize / 4;
  static constexpr bool kUsesSlabs = !kAddressSanitizer;

  SlabResource() = default;
  SlabResource(const SlabResource&) = delete;
  SlabResource& operator=(const SlabResource&) = delete;
  // Everything allocated must have been freed before.
  ~SlabResource() override;

  // Slabs mapped now (the kept empty one included), and allocations with a mapping of their
  // own; both 0 when allocations go to operator new.
  size_t Slabs() const { return slabs_; }
  size_t LargeMappings() const { return large_; }

 private:
  struct Slab {
    uint32_t live;  // allocations not yet freed
    uint32_t used;  // bytes carved so far, this header included
  };

  void* do_allocate(size_t bytes, size_t alignment) override;
  void do_deallocate(void* p, size_t bytes, size_t alignment) override;
  bool do_is_equal(const std::pmr::memory_resource& other) const noexcept override {
    return this == &other;
  }

  Slab* NewSlab();
  void Unmap(Slab* slab);

  Slab* current_ = nullptr;  // where allocations are carved
  Slab* spare_ = nullptr;    // an empty slab kept for reuse
  size_t slabs_ = 0;
  size_t large_ = 0;
};

}  // namespace sablewick
