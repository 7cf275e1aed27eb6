// The interposed malloc, calloc, realloc, free, fopen and fclose; see
// alloc_interposer.h. Everything here must work without allocating: the
// tables are fixed arrays, and nothing is recorded while disarmed.

// Both fopen and fopen64 are replaced, so neither may be renamed to the
// other by the 64-bit file offset headers.
#undef _FILE_OFFSET_BITS

#include "alloc_interposer.h"

#include <dlfcn.h>
#include <link.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* block, size_t size);
void __libc_free(void* block);
}

namespace {

constexpr size_t kMaxEvents = 4096;
constexpr size_t kMaxBlocks = 4096;  // power of two: an open-addressing table
constexpr size_t kMaxStreams = 64;

bool armed = false;
FailMode mode = FailMode::kNone;
long fail_at = 0;
long count = 0;
int in_fopen = 0;
bool overflowed = false;

AllocEvent events[kMaxEvents];
size_t event_count = 0;
int ordinals[3] = {0, 0, 0};

// Blocks allocated while armed; a slot holds the block or a tombstone.
void* const kTombstone = reinterpret_cast<void*>(1);
void* blocks[kMaxBlocks];
long live_blocks = 0;

FILE* streams[kMaxStreams];
long open_streams = 0;

// The address range of this program's own code, found before arming.
uintptr_t text_start = 0;
uintptr_t text_end = 0;

int find_text(struct dl_phdr_info* info, size_t, void*) {
  // The first object is the program itself.
  for (int i = 0; i < info->dlpi_phnum; ++i) {
    const ElfW(Phdr)& ph = info->dlpi_phdr[i];
    if (ph.p_type == PT_LOAD && (ph.p_flags & PF_X) != 0) {
      text_start = info->dlpi_addr + ph.p_vaddr;
      text_end = text_start + ph.p_memsz;
      return 1;
    }
  }
  return 1;
}

size_t slot_of(void* block) {
  return (reinterpret_cast<uintptr_t>(block) >> 4) * 2654435761u & (kMaxBlocks - 1);
}

void remember(void* block) {
  for (size_t i = slot_of(block), n = 0; n < kMaxBlocks; i = (i + 1) & (kMaxBlocks - 1), ++n) {
    if (blocks[i] == nullptr || blocks[i] == kTombstone) {
      blocks[i] = block;
      ++live_blocks;
      return;
    }
  }
  overflowed = true;
}

void forget(void* block) {
  for (size_t i = slot_of(block), n = 0; n < kMaxBlocks; i = (i + 1) & (kMaxBlocks - 1), ++n) {
    if (blocks[i] == nullptr) return;  // not one of ours: allocated before arming
    if (blocks[i] == block) {
      blocks[i] = kTombstone;
      --live_blocks;
      return;
    }
  }
}

// Counts one allocation and says whether it is to fail.
bool count_and_decide(void* caller, size_t size) {
  ++count;
  AllocOrigin origin = in_fopen > 0 ? AllocOrigin::kFopen
                       : reinterpret_cast<uintptr_t>(caller) >= text_start &&
                               reinterpret_cast<uintptr_t>(caller) < text_end
                           ? AllocOrigin::kModule
                           : AllocOrigin::kLibrary;
  bool fail = (mode == FailMode::kOnlyNth && count == fail_at) ||
              (mode == FailMode::kFromNth && count >= fail_at);
  if (event_count < kMaxEvents) {
    events[event_count++] = {origin, ordinals[static_cast<int>(origin)]++, size, fail};
  } else {
    overflowed = true;
  }
  return fail;
}

using FopenFn = FILE* (*)(const char*, const char*);
using FcloseFn = int (*)(FILE*);
FopenFn real_fopen = nullptr;
FopenFn real_fopen64 = nullptr;
FcloseFn real_fclose = nullptr;

FILE* counted_fopen(FopenFn real, const char* path, const char* how) {
  ++in_fopen;
  FILE* file = real(path, how);
  --in_fopen;
  if (armed && file != nullptr) {
    for (FILE*& slot : streams) {
      if (slot == nullptr) {
        slot = file;
        ++open_streams;
        return file;
      }
    }
    overflowed = true;
  }
  return file;
}

}  // namespace

// Interposed for the whole process, so default visibility despite the
// project's hidden default.
#define INTERPOSED extern "C" __attribute__((visibility("default")))

INTERPOSED void* malloc(size_t size) {
  if (armed) {
    if (count_and_decide(__builtin_return_address(0), size)) {
      errno = ENOMEM;
      return nullptr;
    }
    void* block = __libc_malloc(size);
    if (block != nullptr) remember(block);
    return block;
  }
  return __libc_malloc(size);
}

INTERPOSED void* calloc(size_t n, size_t size) {
  if (armed) {
    if (count_and_decide(__builtin_return_address(0), n * size)) {
      errno = ENOMEM;
      return nullptr;
    }
    void* block = __libc_calloc(n, size);
    if (block != nullptr) remember(block);
    return block;
  }
  return __libc_calloc(n, size);
}

INTERPOSED void* realloc(void* old, size_t size) {
  if (armed) {
    if (count_and_decide(__builtin_return_address(0), size)) {
      errno = ENOMEM;
      return nullptr;  // the old block stays allocated, as with a real failure
    }
    void* block = __libc_realloc(old, size);
    if (block != nullptr) {
      if (old != nullptr) forget(old);
      remember(block);
    }
    return block;
  }
  return __libc_realloc(old, size);
}

INTERPOSED void free(void* block) {
  if (armed && block != nullptr) forget(block);
  __libc_free(block);
}

INTERPOSED FILE* fopen(const char* path, const char* how) {
  return counted_fopen(real_fopen, path, how);
}

INTERPOSED FILE* fopen64(const char* path, const char* how) {
  return counted_fopen(real_fopen64, path, how);
}

INTERPOSED int fclose(FILE* file) {
  if (armed) {
    for (FILE*& slot : streams) {
      if (slot == file) {
        slot = nullptr;
        --open_streams;
        break;
      }
    }
  }
  return real_fclose(file);
}

namespace {

// Resolved before main: dlsym may allocate, which must not happen armed.
__attribute__((constructor)) void resolve_real_functions() {
  real_fopen = reinterpret_cast<FopenFn>(dlsym(RTLD_NEXT, "fopen"));
  real_fopen64 = reinterpret_cast<FopenFn>(dlsym(RTLD_NEXT, "fopen64"));
  real_fclose = reinterpret_cast<FcloseFn>(dlsym(RTLD_NEXT, "fclose"));
  if (real_fopen == nullptr || real_fopen64 == nullptr || real_fclose == nullptr) abort();
  dl_iterate_phdr(find_text, nullptr);
  if (text_start == 0) abort();
}

}  // namespace

void fault_arm(FailMode how, long n) {
  mode = how;
  fail_at = n;
  count = 0;
  event_count = 0;
  ordinals[0] = ordinals[1] = ordinals[2] = 0;
  for (void*& slot : blocks) slot = nullptr;
  for (FILE*& slot : streams) slot = nullptr;
  live_blocks = 0;
  open_streams = 0;
  overflowed = false;
  armed = true;
}

FaultRun fault_disarm() {
  armed = false;
  FaultRun run;
  run.events.assign(events, events + event_count);
  run.live_blocks = live_blocks;
  run.open_streams = open_streams;
  run.overflowed = overflowed;
  return run;
}

bool fault_failed(const FaultRun& run, AllocOrigin origin, int ordinal) {
  for (const AllocEvent& e : run.events) {
    if (e.origin == origin && e.ordinal == ordinal) return e.failed;
  }
  return false;
}
