#include "cli/warn.h"

#include <cstdarg>
#include <cstdio>

#include "cli/settings.h"

int warn_verbose(const char* format, ...) {
  if (!verbose) return 0;
  std::fputs("kiv: ", stderr);
  va_list args;
  va_start(args, format);
  const int n = std::vfprintf(stderr, format, args);
  va_end(args);
  std::fflush(stderr);
  return n;
}
