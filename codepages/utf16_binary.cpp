#include "codepages/utf16_binary.h"

#include <cstring>

#include "codepages/registry.h"

namespace {

code_page* named(code_page* pages, const char* name) {
  for (code_page* p = pages; p->name != nullptr; ++p)
    if (std::strcmp(p->name, name) == 0) return p;
  return nullptr;
}

// ASCII text, with tab and line ends, and Russian letters.
bool is_text_unit(unsigned u) {
  return (u >= 0x0009 && u <= 0x007E) || (u >= 0x0400 && u <= 0x045F);
}

}  // namespace

code_page* utf16_page(code_page* pages, const unsigned char* block, std::size_t len) {
  code_page* const le = named(pages, "utf-16le");
  code_page* const be = named(pages, "utf-16be");
  if (len >= 2 && block[0] == 0xFF && block[1] == 0xFE)
    return len >= 4 && block[2] == 0 && block[3] == 0 ? nullptr : le;
  if (len >= 2 && block[0] == 0xFE && block[1] == 0xFF) return be;
  constexpr std::size_t least_units = 16;
  const std::size_t units = len / 2;
  if (units < least_units) return nullptr;
  std::size_t text_le = 0, text_be = 0;
  for (std::size_t i = 0; i < units; ++i) {
    const unsigned lo = block[2 * i], hi = block[2 * i + 1];
    if (lo == 0 && hi == 0) return nullptr;
    text_le += is_text_unit(hi << 8 | lo);
    text_be += is_text_unit(lo << 8 | hi);
  }
  if (10 * text_le >= 9 * units) return le;
  if (10 * text_be >= 9 * units) return be;
  return nullptr;
}

bool holds_nul(const unsigned char* bytes, std::size_t len) {
  return len > 0 && std::memchr(bytes, 0, len) != nullptr;
}
