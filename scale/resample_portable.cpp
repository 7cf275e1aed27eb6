// The portable kernel set, plain C++ for any CPU and byte order; its 2-bit
// lookup tables serve the x86 sets too.
#include <cstring>

#include "resample_ops.h"

namespace {

// One pixel's N channels, byte by byte.
template <int N>
struct PortableOps {
  struct Vec {
    double c[4];  // N of them used
  };
  static Vec load(const uint8_t* p) {
    Vec v;
    for (int c = 0; c < N; ++c) v.c[c] = static_cast<double>(p[c]);
    return v;
  }
  static Vec splat(double d) {
    Vec v;
    for (int c = 0; c < N; ++c) v.c[c] = d;
    return v;
  }
  static Vec add(Vec a, Vec b) {
    for (int c = 0; c < N; ++c) a.c[c] = a.c[c] + b.c[c];
    return a;
  }
  static Vec mul(Vec a, Vec b) {
    for (int c = 0; c < N; ++c) a.c[c] = a.c[c] * b.c[c];
    return a;
  }
  static void store(double* h, Vec v) {
    for (int c = 0; c < N; ++c) h[c] = v.c[c];
  }
  static void blend_pixel(uint16_t* h, const uint8_t* p, uint32_t w) {
    for (int c = 0; c < N; ++c) {
      h[c] = static_cast<uint16_t>(p[c] * (w & 0xFFFFu) + p[N + c] * (w >> 16));
    }
  }
};

// The 2-bit source pixel at x: four a byte, the leftmost in the top bits.
inline uint32_t two_bit_at(const uint8_t* row, int32_t x) {
  const uint32_t u = static_cast<uint32_t>(x);  // never negative here
  return (static_cast<uint32_t>(row[u >> 2]) >> ((~u & 3u) << 1)) & 0x3u;
}

// A choice of pixels for one output byte from one source byte is a key of
// three bits an output pixel, 0 for none or 1 + its pixel in the source byte.
// Entry v: the chosen pixels of source byte v at their places in the output.
void fill_choice_table(uint8_t* table, uint32_t key) {
  for (uint32_t v = 0; v < 256; ++v) {
    uint32_t byte = 0;
    for (uint32_t q = 0; q < 4; ++q) {
      const uint32_t choice = (key >> (3 * q)) & 7u;
      if (choice != 0) {
        byte |= ((v >> (8 - 2 * choice)) & 3u) << (6 - 2 * q);
      }
    }
    table[v] = static_cast<uint8_t>(byte);
  }
}

// The choices of the four pixels x[0..3] from the three source bytes at
// first; false when one lies further on.
bool choices_of(const int32_t* x, uint32_t first, uint32_t keys[3]) {
  keys[0] = keys[1] = keys[2] = 0;
  for (uint32_t q = 0; q < 4; ++q) {
    const uint32_t m = static_cast<uint32_t>(x[q]) / 4 - first;
    if (m > 2) {
      return false;
    }
    keys[m] |= (1u + (static_cast<uint32_t>(x[q]) & 3u)) << (3 * q);
  }
  return true;
}

// Plans output byte k from its keys; false when every table is taken.
bool plan_table_byte(TwoBitPlan* plan, int32_t k, const uint32_t keys[3], int32_t* used) {
  for (int32_t m = 0; m < 3; ++m) {
    const uint32_t key = keys[m];
    if (plan->table_of[key] == 0xFF) {
      if (*used == kTwoBitTables) {
        return false;
      }
      fill_choice_table(plan->tables + 256 * *used, key);
      plan->table_of[key] = static_cast<uint8_t>((*used)++);
    }
    plan->table[3 * k + m] = static_cast<uint16_t>(256 * plan->table_of[key]);
    if (key != 0 && m >= plan->reach) {
      plan->reach = m + 1;
    }
  }
  return true;
}

template <int Reach>
void sample_by_tables(uint8_t* out, const uint8_t* row, const TwoBitPlan& plan) {
  const uint32_t* start = plan.start;
  const uint16_t* table = plan.table;
  const uint8_t* tables = plan.tables;
  for (int32_t k = 0; k < plan.table_bytes; ++k) {
    const uint8_t* b = row + start[k];
    const uint16_t* t = table + 3 * k;
    uint32_t byte = tables[t[0] + b[0]];
    if (Reach >= 2) byte |= tables[t[1] + b[1]];
    if (Reach == 3) byte |= tables[t[2] + b[2]];
    out[k] = static_cast<uint8_t>(byte);
  }
}

}  // namespace

// Plans output bytes from the left while each one's pixels lie within three
// source bytes inside the row and the tables last.
void plan_two_bit_portable(TwoBitPlan* plan, const int32_t* x0, int32_t count, int64_t row_bytes) {
  memset(plan->table_of, 0xFF, sizeof plan->table_of);
  memset(plan->tables, 0, 256);  // table 0 gives 0
  plan->table_of[0] = 0;
  plan->groups = 0;
  plan->reach = 1;
  int32_t used = 1;
  int32_t k = 0;
  for (; k < count / 4; ++k) {
    const int32_t* x = x0 + 4 * k;
    const uint32_t first = static_cast<uint32_t>(x[0]) / 4;
    uint32_t keys[3];
    if (first + int64_t{3} > row_bytes || !choices_of(x, first, keys) ||
        !plan_table_byte(plan, k, keys, &used)) {
      break;
    }
    plan->start[k] = first;
  }
  plan->table_bytes = k;
}

void sample_two_bit_portable(uint8_t* out, const uint8_t* row, const TwoBitPlan& plan,
                             const int32_t* x0, int32_t count) {
  switch (plan.reach) {
    case 1: sample_by_tables<1>(out, row, plan); break;
    case 2: sample_by_tables<2>(out, row, plan); break;
    default: sample_by_tables<3>(out, row, plan); break;
  }
  sample_two_bit_pixels(out, row, x0, 4 * plan.table_bytes, count);
}

// Bits past the last pixel stay 0.
void sample_two_bit_pixels(uint8_t* out, const uint8_t* row, const int32_t* x0, int32_t first,
                           int32_t count) {
  for (int32_t k = first; k < count; k += 4) {
    uint32_t byte = 0;
    for (int32_t q = 0; q < 4 && k + q < count; ++q) {
      byte |= two_bit_at(row, x0[k + q]) << (6 - 2 * q);
    }
    out[k / 4] = static_cast<uint8_t>(byte);
  }
}

const ResampleBlends kPortableBlends = {blend_columns_over<PortableOps>,
                                        blend_columns_sixteenths_over<PortableOps>,
                                        blend_rows_scalar, blend_rows_sixteenths_scalar};
