// Heap accounting for the benchmark program: every C heap function is
// replaced by one that calls glibc's own and keeps the bytes in use (by
// malloc_usable_size) and their peak. C++ new and OpenCV's aligned
// allocations come through here too.
#include <malloc.h>

#include <atomic>
#include <cerrno>
#include <cstddef>

#include "bench_support.h"

extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* block, size_t size);
void* __libc_memalign(size_t alignment, size_t size);
void __libc_free(void* block);
}

namespace {

std::atomic<size_t> live{0};
std::atomic<size_t> peak{0};

void* counted(void* block) {
  if (block != nullptr) {
    size_t now = live.fetch_add(malloc_usable_size(block), std::memory_order_relaxed) +
                 malloc_usable_size(block);
    size_t high = peak.load(std::memory_order_relaxed);
    while (now > high && !peak.compare_exchange_weak(high, now, std::memory_order_relaxed)) {
    }
  }
  return block;
}

void uncount(void* block) {
  if (block != nullptr) {
    live.fetch_sub(malloc_usable_size(block), std::memory_order_relaxed);
  }
}

}  // namespace

size_t heap_live() { return live.load(std::memory_order_relaxed); }
size_t heap_peak() { return peak.load(std::memory_order_relaxed); }
void heap_reset_peak() { peak.store(live.load(std::memory_order_relaxed), std::memory_order_relaxed); }

extern "C" {

void* malloc(size_t size) { return counted(__libc_malloc(size)); }

void* calloc(size_t count, size_t size) { return counted(__libc_calloc(count, size)); }

void free(void* block) {
  uncount(block);
  __libc_free(block);
}

void* realloc(void* block, size_t size) {
  size_t before = block != nullptr ? malloc_usable_size(block) : 0;
  void* moved = __libc_realloc(block, size);
  if (moved == nullptr && size != 0) {
    return nullptr;  // failed: the old block is still there, and still counted
  }
  live.fetch_sub(before, std::memory_order_relaxed);
  return counted(moved);
}

void* memalign(size_t alignment, size_t size) { return counted(__libc_memalign(alignment, size)); }

void* aligned_alloc(size_t alignment, size_t size) {
  return counted(__libc_memalign(alignment, size));
}

int posix_memalign(void** out, size_t alignment, size_t size) {
  if (alignment < sizeof(void*) || (alignment & (alignment - 1)) != 0) {
    return EINVAL;
  }
  void* block = counted(__libc_memalign(alignment, size));
  if (block == nullptr) {
    return ENOMEM;
  }
  *out = block;
  return 0;
}

void* valloc(size_t size) { return counted(__libc_memalign(4096, size)); }

}  // extern "C"
