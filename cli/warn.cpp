#include "cli/warn.h"

#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cli/progress.h"
#include "cli/settings.h"
#include "io/output.h"

namespace {

const message_sink* sink = nullptr;

void write_message(const char* buf, std::size_t total) {
  progress_clear();
  out_flush(standard_output());
  std::fflush(stderr);
  const int fd = fileno(stderr);
  for (std::size_t done = 0; done < total;) {
    const ssize_t w = write(fd, buf + done, total - done);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) break;  // nowhere left to say it
    done += static_cast<std::size_t>(w);
  }
}

// Formats prefix and message into one buffer and writes it with one write.
int say(const char* prefix, const char* format, va_list args) {
  const int saved_errno = errno;
  char small[1024];
  const std::size_t plen = std::strlen(prefix);
  va_list again;
  va_copy(again, args);
  const int n = std::vsnprintf(nullptr, 0, format, args);
  if (n < 0) {
    va_end(again);
    return n;
  }
  const std::size_t total = plen + static_cast<std::size_t>(n);
  char* buf = total < sizeof small ? small : static_cast<char*>(std::malloc(total + 1));
  if (buf == nullptr) {  // no memory for a long message: it still goes out, in pieces
    progress_clear();
    out_flush(standard_output());
    std::fputs(prefix, stderr);
    std::vfprintf(stderr, format, again);
    va_end(again);
    return n;
  }
  std::memcpy(buf, prefix, plen);
  std::vsnprintf(buf + plen, static_cast<std::size_t>(n) + 1, format, again);
  va_end(again);
  if (sink != nullptr)
    sink->put(sink->ctx, buf, total);
  else
    write_message(buf, total);
  if (buf != small) std::free(buf);
  errno = saved_errno;
  return n;
}

}  // namespace

int warn_verbose(const char* format, ...) {
  if (!verbose) return 0;
  va_list args;
  va_start(args, format);
  const int n = say("kiv: ", format, args);
  va_end(args);
  return n;
}

void report(const char* format, ...) {
  va_list args;
  va_start(args, format);
  say("", format, args);
  va_end(args);
}

void report_errno(const char* name, int error) { report("%s: %s\n", name, std::strerror(error)); }

void set_message_sink(const message_sink* s) { sink = s; }

void report_text(const char* text, std::size_t len) { write_message(text, len); }
