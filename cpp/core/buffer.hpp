// Uninitialised storage for large working copies that the caller fills completely before
// reading: no zero pass is spent on them, and on Linux the kernel is asked for transparent
// huge pages (a 64 MiB copy then takes tens of page faults instead of sixteen thousand).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <new>
#include <utility>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace velmora::core {

template <class T>
class RawBuffer {
 public:
  RawBuffer() = default;
  explicit RawBuffer(std::size_t n) { resize(n); }

  // n elements of unspecified value; the previous contents are discarded. Raises
  // std::bad_alloc when memory runs out.
  void resize(std::size_t n) {
    if (n == n_) return;
    p_.reset();
    n_ = 0;
    if (n == 0) return;
    if (n > SIZE_MAX / sizeof(T) - kHuge) throw std::bad_alloc();
    const std::size_t bytes = n * sizeof(T);
    void* p = nullptr;
    if (bytes >= 2 * kHuge) {
      const std::size_t rounded = (bytes + kHuge - 1) / kHuge * kHuge;
      p = std::aligned_alloc(kHuge, rounded);
#if defined(__linux__) && defined(MADV_HUGEPAGE)
      if (p != nullptr) ::madvise(p, rounded, MADV_HUGEPAGE);  // advice only: failure is fine
#endif
    } else {
      p = std::malloc(bytes);
    }
    if (p == nullptr) throw std::bad_alloc();
    p_.reset(static_cast<T*>(p));
    n_ = n;
  }

  T* data() noexcept { return p_.get(); }
  const T* data() const noexcept { return p_.get(); }
  std::size_t size() const noexcept { return n_; }
  void swap(RawBuffer& other) noexcept {
    p_.swap(other.p_);
    std::swap(n_, other.n_);
  }

 private:
  static constexpr std::size_t kHuge = std::size_t{1} << 21;
  struct Free {
    void operator()(T* p) const noexcept { std::free(p); }
  };
  std::unique_ptr<T, Free> p_;
  std::size_t n_ = 0;
};

}  // namespace velmora::core
