// An allocator for containers that live on the heap as a rule and in a memory resource of
// their own by exception (a message kept for a while). Without a resource it allocates as
// std::allocator does, with no call through the resource interface and nothing to look up when
// a container is made, so the common case costs what a plain container costs.
//
// As std::pmr::polymorphic_allocator: a copy of a container goes to the heap unless it is given
// a resource, and assignment keeps the target's allocator.
#pragma once

#include <cstddef>
#include <memory>
#include <memory_resource>

namespace sablewick {

template <class T>
class ResourceAllocator {
 public:
  using value_type = T;

  ResourceAllocator() noexcept = default;
  ResourceAllocator(std::pmr::memory_resource* resource) noexcept  // NOLINT: as pmr's
      : resource_(resource) {}
  template <class U>
  ResourceAllocator(const ResourceAllocator<U>& other) noexcept  // NOLINT: rebinding
      : resource_(other.Resource()) {}

  T* allocate(size_t n) {
    if (resource_ == nullptr) return std::allocator<T>().allocate(n);
    return static_cast<T*>(resource_->allocate(n * sizeof(T), alignof(T)));
  }
  void deallocate(T* p, size_t n) noexcept {
    if (resource_ == nullptr) {
      std::allocator<T>().deallocate(p, n);
    } else {
      resource_->deallocate(p, n * sizeof(T), alignof(T));
    }
  }
  ResourceAllocator select_on_container_copy_construction() const { return {}; }

  // Null for the heap.
  std::pmr::memory_resource* Resource() const { return resource_; }

  template <class U>
  friend bool operator==(const ResourceAllocator& a, const ResourceAllocator<U>& b) noexcept {
    return a.resource_ == b.Resource();
  }

 private:
  std::pmr::memory_resource* resource_ = nullptr;
};

}  // namespace sablewick
