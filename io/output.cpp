#include "io/output.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace {

// Allocated once per process, when first needed: reserved statically, it would count
// against a data limit before main, where nothing can say why kiv died.
constexpr std::size_t standard_cap = std::size_t{1} << 17;
unsigned char* standard_buf = nullptr;
output_stream standard{1, nullptr, 0, 0, 0, 0, nullptr, nullptr};

// Into a pipe a write of at most PIPE_BUF bytes is never interleaved with another's; a
// socket is held to the same.
std::size_t line_cap_for(int fd, std::size_t cap) {
  struct stat st;
  if (fstat(fd, &st) == 0 && (S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode))) return PIPE_BUF;
  return cap;
}

// Writes all n bytes; false with out.error set by the first failure.
bool write_all(output_stream& out, const struct iovec* parts, int count) {
  struct iovec v[8];  // callers pass at most 4
  if (count > 8) count = 8;
  std::memcpy(v, parts, sizeof v[0] * static_cast<std::size_t>(count));
  int first = 0;
  while (first < count) {
    if (v[first].iov_len == 0) {
      ++first;
      continue;
    }
    ssize_t done;
    if (out.write_fn != nullptr)
      done = out.write_fn(out.cookie, v[first].iov_base, v[first].iov_len);
    else
      done = writev(out.fd, v + first, count - first);
    if (done < 0 && errno == EINTR) continue;
    if (done <= 0) {
      out.error = done < 0 && errno != 0 ? errno : EIO;
      return false;
    }
    for (auto left = static_cast<std::size_t>(done); left > 0 && first < count;) {
      const std::size_t take = left < v[first].iov_len ? left : v[first].iov_len;
      v[first].iov_base = static_cast<char*>(v[first].iov_base) + take;
      v[first].iov_len -= take;
      left -= take;
      if (v[first].iov_len == 0) ++first;
    }
  }
  return true;
}

}  // namespace

output_stream& standard_output() { return standard; }

bool reset_standard_output() {
  if (standard_buf == nullptr)
    standard_buf = static_cast<unsigned char*>(std::malloc(standard_cap + output_slack));
  if (standard_buf == nullptr) {
    standard = output_stream{1, nullptr, 0, 0, 0, 0, nullptr, nullptr};
    errno = ENOMEM;
    return false;
  }
  standard = output_on(1, standard_buf, standard_cap);
  standard.line_cap = line_cap_for(1, standard_cap);
  return true;
}

output_stream output_on(int fd, unsigned char* buf, std::size_t cap) {
  return output_stream{fd, buf, cap, 0, cap, 0, nullptr, nullptr};
}

bool out_flush(output_stream& out) {
  if (out.error != 0) return false;
  if (out.len == 0) return true;
  const struct iovec whole { out.buf, out.len };
  out.len = 0;
  return write_all(out, &whole, 1);
}

bool out_put(output_stream& out, const void* bytes, std::size_t n) {
  if (out.error != 0) return false;
  if (out.cap - out.len >= n) {
    std::memcpy(out.buf + out.len, bytes, n);
    out.len += n;
    return true;
  }
  if (!out_flush(out)) return false;
  if (n < out.cap) {
    std::memcpy(out.buf, bytes, n);
    out.len = n;
    return true;
  }
  const struct iovec whole { const_cast<void*>(bytes), n };
  return write_all(out, &whole, 1);
}

unsigned char* out_room(output_stream& out, std::size_t n) {
  if (out.error != 0) return nullptr;
  if (out.cap - out.len < n && !out_flush(out)) return nullptr;
  return out.buf + out.len;
}

bool out_line(output_stream& out, const struct iovec* parts, int count) {
  if (out.error != 0) return false;
  std::size_t n = 0;
  for (int i = 0; i < count; ++i) n += parts[i].iov_len;
  const std::size_t limit = out.line_cap < out.cap ? out.line_cap : out.cap;
  if (out.len + n > limit && !out_flush(out)) return false;
  if (n > limit) return write_all(out, parts, count);  // alone, in one write
  for (int i = 0; i < count; ++i) {
    std::memcpy(out.buf + out.len, parts[i].iov_base, parts[i].iov_len);
    out.len += parts[i].iov_len;
  }
  return true;
}
