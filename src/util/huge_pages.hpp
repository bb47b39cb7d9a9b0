// Large arrays backed by 2 MB pages where the system allows it.
//
// Reading a million-leaf tree and comparing two fills a few hundred megabytes
// of fresh memory; with 4 kB pages the kernel's work per page fault (taking
// locks, charging the page, mapping it) is a large share of the run time.
// Asking for huge pages before the first touch makes one fault per 2 MB.
// The request is advice: where it cannot be met, pages stay small.
#pragma once

#include <sys/mman.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace cladorix {

// Below this, a buffer is not worth the advice.
inline constexpr size_t kHugePageMinBytes = size_t{4} << 20;

// Advises huge pages for the whole pages inside [data, data + bytes); call it
// before the memory is first written.
inline void advise_huge_pages(const void* data, size_t bytes) noexcept {
  if (bytes < kHugePageMinBytes) return;
  constexpr uintptr_t kPage = 4096;
  const auto begin = (reinterpret_cast<uintptr_t>(data) + kPage - 1) & ~(kPage - 1);
  const auto end = (reinterpret_cast<uintptr_t>(data) + bytes) & ~(kPage - 1);
  if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
}

// Reserves room for n elements (none written yet) and advises huge pages.
template <class T>
void reserve_huge(std::vector<T>& v, size_t n) {
  if (n <= v.capacity()) return;
  v.reserve(n);
  advise_huge_pages(v.data(), v.capacity() * sizeof(T));
}

// n elements left uninitialised, on huge pages where possible.
template <class T>
std::unique_ptr<T[]> huge_array(size_t n) {
  std::unique_ptr<T[]> a(new T[n]);
  advise_huge_pages(a.get(), n * sizeof(T));
  return a;
}

}  // namespace cladorix
