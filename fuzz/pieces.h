// Helpers shared by the fuzz targets.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

// A fatal check: libFuzzer keeps the input that trips it. Straight to descriptor 2,
// which a target may have left as the only way to the terminal.
#define FUZZ_CHECK(cond)                                                  \
  do {                                                                    \
    if (!(cond)) {                                                        \
      dprintf(2, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
      std::abort();                                                       \
    }                                                                     \
  } while (0)

// Bytes in memory read through a stream that hands them out in short pieces, the way a
// pipe or a slow device does; the piece sizes cycle through `sizes` (each plus one).
struct piece_source {
  const std::uint8_t* data;
  std::size_t size;
  const std::uint8_t* sizes;  // none: every read gets all it asks for
  std::size_t size_count;
  std::size_t fail_at = SIZE_MAX;  // reads fail with EIO from here on, like a bad disk's
  std::size_t pos = 0;
  std::size_t reads = 0;
  bool closed = false;
};

std::FILE* open_pieces(piece_source* src, bool unbuffered);
