// A test-only replacement of the C heap and stream functions for this one
// test program: while armed it counts every heap allocation of the process
// (ours and the C library's), fails the Nth one (or every one from the Nth
// on), keeps the blocks allocated since it was armed and the streams
// opened since, and logs where each allocation came from. Linux/glibc only:
// the real functions are glibc's __libc_malloc family and the next fopen.
#ifndef VORLIN_TESTS_FAULT_ALLOC_INTERPOSER_H
#define VORLIN_TESTS_FAULT_ALLOC_INTERPOSER_H

#include <cstddef>
#include <vector>

enum class FailMode { kNone, kOnlyNth, kFromNth };

// Who asked for a block.
enum class AllocOrigin {
  kModule,   // code of this program, i.e. the module under test
  kFopen,    // the C library inside fopen (its FILE record)
  kLibrary,  // the C library elsewhere (stream buffers): it can do without
};

struct AllocEvent {
  AllocOrigin origin;
  int ordinal;  // 0-based count of events of the same origin before this one
  size_t size;
  bool failed;
};

struct FaultRun {
  std::vector<AllocEvent> events;  // every allocation while armed, in order
  long live_blocks;                // allocated while armed and not yet released
  long open_streams;               // fopen'ed while armed and not yet fclose'd
  bool overflowed;                 // more events or blocks than the tables hold
};

// Starts counting; allocation number n (1-based) fails, or every one from n on.
void fault_arm(FailMode mode, long n);
// Stops counting and returns what happened since fault_arm.
FaultRun fault_disarm();

// The failed event of a given origin and ordinal, if the run had one.
bool fault_failed(const FaultRun& run, AllocOrigin origin, int ordinal);

#endif  // VORLIN_TESTS_FAULT_ALLOC_INTERPOSER_H
