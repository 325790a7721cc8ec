// Helpers shared by the fuzz targets and the tests: input from memory in short pieces,
// output into memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "io/input.h"
#include "io/output.h"

// A fatal check: libFuzzer keeps the input that trips it. Straight to descriptor 2,
// which a target may have left as the only way to the terminal.
#define FUZZ_CHECK(cond)                                                  \
  do {                                                                    \
    if (!(cond)) {                                                        \
      dprintf(2, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
      std::abort();                                                       \
    }                                                                     \
  } while (0)

// Bytes in memory handed out in short pieces, the way a pipe or a slow device does; the
// piece sizes cycle through `sizes` (each plus one).
struct piece_source {
  const std::uint8_t* data;
  std::size_t size;
  const std::uint8_t* sizes;  // none: every read gets all it asks for
  std::size_t size_count;
  std::size_t fail_at = SIZE_MAX;   // reads fail with EIO from here on, like a bad disk's
  std::size_t max_read = SIZE_MAX;  // most bytes one read gives
  std::size_t pos = 0;
  std::size_t reads = 0;
};

// An input reading from src; may_wait makes it behave as a pipe (output is flushed before
// every read).
input_stream open_pieces(piece_source* src, bool may_wait);

// Output collected in memory; writes fail with ENOSPC once `room` bytes have gone out.
struct memory_sink {
  std::string bytes;
  std::size_t room = SIZE_MAX;
  unsigned char buf[1 << 16];
};
output_stream open_memory_output(memory_sink* sink, std::size_t cap = 1 << 12);
