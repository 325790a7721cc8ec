#include "io/listing.h"

#include <dirent.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

template <typename T>
bool grow(T** p, std::size_t* cap, std::size_t need) {
  if (need <= *cap) return true;
  std::size_t n = *cap == 0 ? 64 : *cap;
  while (n < need) n *= 2;
  void* grown = std::realloc(*p, n * sizeof(T));
  if (grown == nullptr) return false;
  *p = static_cast<T*>(grown);
  *cap = n;
  return true;
}

// What the sort compares names in: qsort takes no context.
const char* sorting = nullptr;
int by_bytes(const void* a, const void* b) {
  return std::strcmp(sorting + *static_cast<const std::size_t*>(a),
                     sorting + *static_cast<const std::size_t*>(b));
}

}  // namespace

int list_folder(int fd, listing& list) {
  list.used = list.count = 0;
  if (lseek(fd, 0, SEEK_SET) != 0) return errno;
  alignas(8) char buf[8192];
  for (;;) {
    const ssize_t got = getdents64(fd, buf, sizeof buf);
    if (got < 0) return errno;
    if (got == 0) break;
    for (ssize_t at = 0; at < got;) {
      const auto* d = reinterpret_cast<const dirent64*>(buf + at);
      at += d->d_reclen;
      const char* name = d->d_name;
      if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'))) continue;
      const std::size_t len = std::strlen(name) + 1;
      if (!grow(&list.bytes, &list.cap, list.used + 1 + len) ||
          !grow(&list.at, &list.slots, list.count + 1))
        return ENOMEM;
      list.bytes[list.used] = static_cast<char>(d->d_type);
      std::memcpy(list.bytes + list.used + 1, name, len);
      list.at[list.count++] = list.used + 1;
      list.used += 1 + len;
    }
  }
  sorting = list.bytes;
  if (list.count > 1) std::qsort(list.at, list.count, sizeof *list.at, by_bytes);
  return 0;
}

void listing_free(listing& list) {
  std::free(list.bytes);
  std::free(list.at);
  list = listing{};
}
