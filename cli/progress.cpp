#include "cli/progress.h"

#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "cli/settings.h"

namespace {

struct progress_state {
  bool on = false;
  bool shown = false;
  bool same_terminal = false;  // standard output is the terminal too
  long long start_ms = 0, drawn_ms = 0;
  std::size_t files = 0, left_alone = 0, bytes = 0;
};
progress_state progress;

long long now_ms() {
  struct timespec t {};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<long long>(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

void put(const char* text, std::size_t len) {
  const int saved = errno;
  for (std::size_t done = 0; done < len;) {
    const ssize_t w = write(STDERR_FILENO, text + done, len - done);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) break;
    done += static_cast<std::size_t>(w);
  }
  errno = saved;
}

void maybe_draw() {
  if (!progress.on) return;
  const long long now = now_ms();
  // At most four times a second, whether the line was taken off meanwhile or not.
  if (now - progress.start_ms <= 1000 || now - progress.drawn_ms < 250) return;
  char line[160];
  const double mb = static_cast<double>(progress.bytes) / 1e6;
  const int n =
      std::snprintf(line, sizeof line, "\rkiv: %zu file%s done, %.1f MB, %zu left alone\033[K",
                    progress.files, progress.files == 1 ? "" : "s", mb, progress.left_alone);
  if (n > 0)
    put(line,
        static_cast<std::size_t>(n) < sizeof line ? static_cast<std::size_t>(n) : sizeof line - 1);
  progress.shown = true;
  progress.drawn_ms = now;
}

}  // namespace

void progress_start() {
  progress = progress_state{};
  if (quiet_last || isatty(STDERR_FILENO) != 1) return;
  progress.on = true;
  progress.start_ms = now_ms();
  struct stat out, err;
  progress.same_terminal = fstat(STDOUT_FILENO, &out) == 0 && fstat(STDERR_FILENO, &err) == 0 &&
                           S_ISCHR(out.st_mode) && out.st_rdev == err.st_rdev;
}

void progress_files(std::size_t files, std::size_t left_alone) {
  progress.files = files;
  progress.left_alone = left_alone;
  maybe_draw();
}

void progress_bytes(std::size_t read) {
  progress.bytes += read;
  maybe_draw();
}

std::size_t progress_bytes_read() { return progress.bytes; }

void progress_clear() {
  if (!progress.shown) return;
  put("\r\033[K", 4);
  progress.shown = false;
}

void progress_clear_for_output() {
  if (progress.same_terminal) progress_clear();
}

void progress_end() {
  progress_clear();
  progress.on = false;
}
