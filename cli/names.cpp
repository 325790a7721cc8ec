#include "cli/names.h"

#include <cstdlib>
#include <cstring>

namespace {

bool is_c1_lead(const unsigned char* s) { return s[0] == 0xC2 && s[1] >= 0x80 && s[1] <= 0x9F; }

// The byte as shown: itself, or its escape. Returns the length written to piece.
std::size_t show_byte(unsigned char c, bool escaped, char piece[4]) {
  if (!escaped) {
    piece[0] = static_cast<char>(c);
    return 1;
  }
  piece[0] = '\\';
  if (c == '\\' || (c >= '\a' && c <= '\r')) {
    piece[1] = c == '\\' ? '\\' : "abtnvfr"[c - '\a'];
    return 2;
  }
  piece[1] = static_cast<char>('0' + (c >> 6));
  piece[2] = static_cast<char>('0' + ((c >> 3) & 7));
  piece[3] = static_cast<char>('0' + (c & 7));
  return 4;
}

// Writes the shown form into dst while each whole piece fits in room; returns the length
// written, or with dst null the length of the whole shown form.
std::size_t show(const unsigned char* s, char* dst, std::size_t room) {
  std::size_t n = 0;
  for (bool c1_second = false; *s != 0; ++s) {
    const bool c1 = is_c1_lead(s);
    const bool escaped = c1 || c1_second || *s < 0x20 || *s == 0x7F || *s == '\\';
    c1_second = c1;
    char piece[4];
    const std::size_t len = show_byte(*s, escaped, piece);
    if (dst != nullptr) {
      if (room - n < len) break;
      std::memcpy(dst + n, piece, len);
    }
    n += len;
  }
  return n;
}

}  // namespace

shown_name::shown_name(const char* name) : text_(name), size_(std::strlen(name)) {
  const auto* s = reinterpret_cast<const unsigned char*>(name);
  const std::size_t need = show(s, nullptr, 0);
  if (need == size_) return;  // every escape is longer than its byte: none was needed
  char* dst = small_;
  if (need >= sizeof small_) big_ = dst = static_cast<char*>(std::malloc(need + 1));
  if (dst == nullptr) {
    constexpr char cut[] = "...";
    size_ = show(s, small_, sizeof small_ - sizeof cut);
    std::memcpy(small_ + size_, cut, sizeof cut);
    size_ += sizeof cut - 1;
    text_ = small_;
    return;
  }
  size_ = show(s, dst, need);
  dst[size_] = '\0';
  text_ = dst;
}

shown_name::~shown_name() { std::free(big_); }
