// Long runs of ASCII in the bytes detection reads: the counters that care for bytes
// 80-FF look at such a run's ends only, and take it in one step.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

// Whether the 32 bytes at p are all ASCII.
inline bool ascii_32(const unsigned char* p) {
  std::uint64_t x[4];
  std::memcpy(x, p, sizeof x);
  return ((x[0] | x[1] | x[2] | x[3]) & 0x8080808080808080u) == 0;
}

// Hands the bytes on in order: each run of ASCII that holds 32 bytes at a multiple of 32
// from the start, taken whole, to ascii(p, n); what lies between such runs to mixed(p, n),
// also when empty.
template <typename Mixed, typename Ascii>
void split_ascii_runs(const unsigned char* bytes, std::size_t size, Mixed&& mixed, Ascii&& ascii) {
  constexpr std::size_t word = 32;
  std::size_t i = 0;
  for (std::size_t w = 0; w + word <= size;) {
    if (!ascii_32(bytes + w)) {
      w += word;
      continue;
    }
    std::size_t first = w, end = w + word;
    while (first > i && bytes[first - 1] < 0x80) --first;
    while (end + word <= size && ascii_32(bytes + end)) end += word;
    while (end < size && bytes[end] < 0x80) ++end;
    mixed(bytes + i, first - i);
    ascii(bytes + first, end - first);
    i = w = end;
  }
  mixed(bytes + i, size - i);
}
