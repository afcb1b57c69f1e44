// Counts the process's calls of malloc, calloc and realloc, for measuring
// what a Python control step allocates: preloaded (LD_PRELOAD) into an
// interpreter run with PYTHONMALLOC=malloc, so that every Python object's
// memory comes through here too; kalvent_allocations() is read through
// ctypes.
#include <atomic>
#include <cstddef>

extern "C" {

void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* block, size_t size);

namespace {
std::atomic<unsigned long> allocations{0};
}

unsigned long kalvent_allocations() {
  return allocations.load(std::memory_order_relaxed);
}

void* malloc(size_t size) {
  allocations.fetch_add(1, std::memory_order_relaxed);
  return __libc_malloc(size);
}

void* calloc(size_t count, size_t size) {
  allocations.fetch_add(1, std::memory_order_relaxed);
  return __libc_calloc(count, size);
}

void* realloc(void* block, size_t size) {
  allocations.fetch_add(1, std::memory_order_relaxed);
  return __libc_realloc(block, size);
}
}
