#include "cli/journal.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "cli/progress.h"
#include "cli/warn.h"
#include "io/output.h"

namespace {

constexpr std::size_t head = 1 + sizeof(std::uint32_t);

char* room(journal& j, std::size_t n) {
  if (j.len + n > j.cap) {
    std::size_t cap = j.cap == 0 ? 256 : j.cap;
    while (cap < j.len + n) cap *= 2;
    char* grown = static_cast<char*>(std::realloc(j.bytes, cap));
    if (grown == nullptr) return nullptr;
    j.bytes = grown;
    j.cap = cap;
  }
  char* at = j.bytes + j.len;
  j.len += n;
  return at;
}

char* record(journal& j, char which, std::size_t len) {
  char* at = room(j, head + len);
  if (at == nullptr) return nullptr;
  at[0] = which;
  const auto n = static_cast<std::uint32_t>(len);
  std::memcpy(at + 1, &n, sizeof n);
  return at + head;
}

}  // namespace

bool journal_line(journal& j, const struct iovec* parts, int count) {
  std::size_t len = 0;
  for (int i = 0; i < count; ++i) len += parts[i].iov_len;
  char* at = record(j, 1, len);
  if (at == nullptr) return false;
  for (int i = 0; i < count; ++i) {
    std::memcpy(at, parts[i].iov_base, parts[i].iov_len);
    at += parts[i].iov_len;
  }
  return true;
}

bool journal_message(journal& j, const char* text, std::size_t len) {
  char* at = record(j, 2, len);
  if (at == nullptr) return false;
  std::memcpy(at, text, len);
  return true;
}

bool journal_append(journal& j, const char* records, std::size_t len) {
  if (len == 0) return true;
  char* at = room(j, len);
  if (at == nullptr) return false;
  std::memcpy(at, records, len);
  return true;
}

void journal_replay(journal& j) {
  output_stream& out = standard_output();
  for (std::size_t at = 0; at < j.len;) {
    std::uint32_t n;
    std::memcpy(&n, j.bytes + at + 1, sizeof n);
    char* text = j.bytes + at + head;
    if (j.bytes[at] == 1) {
      const struct iovec whole { text, n };
      progress_clear_for_output();
      if (out_line(out, &whole, 1)) out_flush(out);
    } else {
      report_text(text, n);
    }
    at += head + n;
  }
  j.len = 0;
}

void journal_free(journal& j) {
  std::free(j.bytes);
  j = journal{};
}
