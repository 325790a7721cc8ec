// UTF-8 well-formedness counted in its plainest form, over one whole buffer at a time:
// each lead byte is decoded with the bits it announces and the code point judged by value.
#pragma once

#include <cstdint>
#include <string_view>

struct utf8_counts {
  std::uint64_t valid = 0;    // well-formed sequences of 2 to 4 bytes
  std::uint64_t invalid = 0;  // bytes 80-FF outside them
};

// A sequence cut off by the end of the buffer counts nowhere, when some ending would make
// it well-formed.
inline utf8_counts count_utf8(std::string_view s) {
  utf8_counts n;
  const auto acceptable = [](std::uint32_t lo, std::uint32_t hi, int len) {
    const std::uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
    if (hi < least[len] || lo > 0x10FFFF) return false;
    return !(lo >= 0xD800 && hi <= 0xDFFF);
  };
  std::size_t i = 0;
  while (i < s.size()) {
    const auto c = static_cast<unsigned char>(s[i]);
    int len = 0;
    std::uint32_t cp = 0;
    if ((c & 0xE0) == 0xC0) {
      len = 2, cp = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
      len = 3, cp = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
      len = 4, cp = c & 0x07;
    } else {
      if (c >= 0x80) ++n.invalid;
      ++i;
      continue;
    }
    int k = 1;
    for (; k < len && i + k < s.size(); ++k) {
      const auto t = static_cast<unsigned char>(s[i + k]);
      if ((t & 0xC0) != 0x80) break;
      cp = cp << 6 | (t & 0x3F);
    }
    if (k == len && acceptable(cp, cp, len)) {
      ++n.valid;
      i += len;
      continue;
    }
    if (k < len && i + k == s.size()) {
      const int missing = 6 * (len - k);
      const std::uint32_t lo = cp << missing;
      if (acceptable(lo, lo | ((1u << missing) - 1), len)) break;
    }
    ++n.invalid;  // the lead; the bytes after it are judged on their own
    ++i;
  }
  return n;
}
