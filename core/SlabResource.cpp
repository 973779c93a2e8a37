#include "core/SlabResource.h"

#include <sys/mman.h>

#include <new>
#include <utility>

namespace sablewick {
namespace {

constexpr size_t kPage = 4096;

constexpr uintptr_t AlignUp(uintptr_t n, size_t alignment) {
  return (n + alignment - 1) & ~(uintptr_t{alignment} - 1);
}

void* MapAnonymous(size_t bytes) {
  void* p = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) throw std::bad_alloc();
  return p;
}

}  // namespace

SlabResource::~SlabResource() {
  if (spare_ != nullptr) Unmap(spare_);
  // A slab still in use stays mapped: whoever holds its records must not find them gone.
  if (current_ != nullptr && current_->live == 0) Unmap(current_);
}

SlabResource::Slab* SlabResource::NewSlab() {
  if (spare_ != nullptr) return std::exchange(spare_, nullptr);
  // A slab starts at a multiple of its size, so the slab of an allocation is found from its
  // address. The kernel places mappings next to each other, so the first try usually fits;
  // else a double-sized mapping is cut down to the aligned slab inside it.
  char* p = static_cast<char*>(MapAnonymous(kSlabSize));
  if (reinterpret_cast<uintptr_t>(p) % kSlabSize != 0) {
    ::munmap(p, kSlabSize);
    char* wide = static_cast<char*>(MapAnonymous(2 * kSlabSize));
    p = reinterpret_cast<char*>(AlignUp(reinterpret_cast<uintptr_t>(wide), kSlabSize));
    if (p > wide) ::munmap(wide, static_cast<size_t>(p - wide));
    char* end = wide + 2 * kSlabSize;
    if (end > p + kSlabSize) ::munmap(p + kSlabSize, static_cast<size_t>(end - (p + kSlabSize)));
  }
  ++slabs_;
  return new (p) Slab{0, sizeof(Slab)};
}

void SlabResource::Unmap(Slab* slab) {
  ::munmap(slab, kSlabSize);
  --slabs_;
}

void* SlabResource::do_allocate(size_t bytes, size_t alignment) {
  if (!kUsesSlabs || alignment > kPage) {
    return std::pmr::new_delete_resource()->allocate(bytes, alignment);
  }
  if (bytes > kLargest) {
    void* p = MapAnonymous(AlignUp(bytes, kPage));
    ++large_;
    return p;
  }
  if (bytes == 0) bytes = 1;
  if (current_ == nullptr) current_ = NewSlab();
  uintptr_t at = AlignUp(current_->used, alignment);
  if (at + bytes > kSlabSize) {
    // The rest of this slab stays unused; the slab goes when its last allocation does. A new
    // slab always has room: bytes and alignment are at most a quarter slab and a page.
    current_ = NewSlab();
    at = AlignUp(current_->used, alignment);
  }
  current_->used = static_cast<uint32_t>(at + bytes);
  ++current_->live;
  return reinterpret_cast<char*>(current_) + at;
}

void SlabResource::do_deallocate(void* p, size_t bytes, size_t alignment) {
  if (!kUsesSlabs || alignment > kPage) {
    std::pmr::new_delete_resource()->deallocate(p, bytes, alignment);
    return;
  }
  if (bytes > kLargest) {
    ::munmap(p, AlignUp(bytes, kPage));
    --large_;
    return;
  }
  Slab* slab = reinterpret_cast<Slab*>(reinterpret_cast<uintptr_t>(p) & ~uintptr_t{kSlabSize - 1});
  if (--slab->live != 0) return;
  // One empty slab is kept: the one allocations are carved from, else the first to empty.
  if (slab == current_) {
    slab->used = sizeof(Slab);
    if (spare_ != nullptr) {
      Unmap(spare_);
      spare_ = nullptr;
    }
  } else if (spare_ == nullptr && current_->live != 0) {
    slab->used = sizeof(Slab);
    spare_ = slab;
  } else {
    Unmap(slab);
  }
}

}  // namespace sablewick
