// File names as report lines and messages show them: a name can neither drive the
// terminal nor split a line. Its control characters (00-1F, 7F, and the C1 controls as
// UTF-8 writes them, C2 80-C2 9F) and backslashes become backslash escapes: \a \b \t \n
// \v \f \r and \\, three octal digits for the rest (\033; \302\233 for C2 9B). Every other
// byte is shown as it is.
#pragma once

#include <cstddef>

class shown_name {
 public:
  explicit shown_name(const char* name);
  ~shown_name();
  shown_name(const shown_name&) = delete;
  shown_name& operator=(const shown_name&) = delete;

  // The name itself when it needs no escape. When even a long escaped copy cannot be
  // allocated: as much of it as fits in small_, then "...".
  const char* c_str() const { return text_; }
  std::size_t size() const { return size_; }

 private:
  char small_[256];
  char* big_ = nullptr;
  const char* text_;
  std::size_t size_;
};
