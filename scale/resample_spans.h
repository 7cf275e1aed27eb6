// Column bands and row strips of the fast resampler. A walk over spans of at
// most `size` items out of `total` (up to 2^31 - 1) takes each next start in
// 64 bits, so the step past the last span cannot wrap around.
#ifndef VORLIN_SCALE_RESAMPLE_SPANS_H
#define VORLIN_SCALE_RESAMPLE_SPANS_H

#include <cstdint>

struct Span {
  int32_t first;
  int32_t count;  // 0 once the walk is past the end
};

// The span after s; next_span({0, 0}, total, size) is the first one.
inline Span next_span(Span s, int32_t total, int32_t size) {
  const int64_t first = int64_t{s.first} + int64_t{s.count};
  const int64_t left = int64_t{total} - first;
  const int64_t count = left < size ? left : size;
  return {static_cast<int32_t>(first), static_cast<int32_t>(count > 0 ? count : 0)};
}

#endif  // VORLIN_SCALE_RESAMPLE_SPANS_H
