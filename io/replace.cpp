#include "io/replace.h"

#include <fcntl.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// The new file a signal must remove: set and cleared with those signals blocked.
char* volatile signal_path = nullptr;

// Every signal whose default action ends the process, but SIGKILL and SIGSTOP.
bool ends_the_process(int s) {
  switch (s) {
    case SIGKILL:
    case SIGSTOP:
    case SIGCHLD:
    case SIGCONT:
    case SIGTSTP:
    case SIGTTIN:
    case SIGTTOU:
    case SIGURG:
    case SIGWINCH:
      return false;
    default:
      return true;
  }
}

void on_fatal_signal(int sig) {
  if (char* p = signal_path) unlink(p);
  // Then die of it, as the default action would have.
  std::signal(sig, SIG_DFL);
  raise(sig);
}

constexpr char suffix[] = ".kiv-XXXXXX";

// ".NAME.kiv-XXXXXX" beside target, NAME cut so that the whole fits NAME_MAX (not inside a
// UTF-8 character, when the name is UTF-8 there).
char* new_file_template(const char* target) {
  const char* slash = std::strrchr(target, '/');
  const std::size_t dir_len = slash != nullptr ? static_cast<std::size_t>(slash - target) + 1 : 0;
  const char* base = target + dir_len;
  std::size_t base_len = std::strlen(base);
  constexpr std::size_t room = NAME_MAX - 1 - (sizeof suffix - 1);
  if (base_len > room) {
    base_len = room;
    const auto at = [&](std::size_t i) { return static_cast<unsigned char>(base[i]); };
    std::size_t lead = base_len;
    while (lead > 0 && base_len - lead < 3 && (at(lead) & 0xC0) == 0x80) --lead;
    if (at(lead) >= 0xC0 && lead < base_len) base_len = lead;
  }
  char* path = static_cast<char*>(std::malloc(dir_len + 1 + base_len + sizeof suffix));
  if (path == nullptr) return nullptr;
  std::memcpy(path, target, dir_len);
  path[dir_len] = '.';
  std::memcpy(path + dir_len + 1, base, base_len);
  std::memcpy(path + dir_len + 1 + base_len, suffix, sizeof suffix);
  return path;
}

// A file's extended attribute names, one after another, each ending in NUL.
struct attribute_names {
  char* names = nullptr;
  std::size_t size = 0;
  ~attribute_names() { std::free(names); }
  bool has(const char* name) const {
    for (std::size_t at = 0; at < size; at += std::strlen(names + at) + 1)
      if (std::strcmp(names + at, name) == 0) return true;
    return false;
  }
};

// 0 or the error number; a file system without attributes has none.
int list_attributes(int fd, attribute_names& list) {
  for (;;) {
    const ssize_t size = flistxattr(fd, nullptr, 0);
    if (size < 0) return errno == ENOTSUP ? 0 : errno;
    if (size == 0) return 0;
    std::free(list.names);
    list.names = static_cast<char*>(std::malloc(static_cast<std::size_t>(size)));
    if (list.names == nullptr) return ENOMEM;
    const ssize_t got = flistxattr(fd, list.names, static_cast<std::size_t>(size));
    if (got >= 0) {
      list.size = static_cast<std::size_t>(got);
      return 0;
    }
    if (errno != ERANGE) return errno;  // grown meanwhile: again
  }
}

// An attribute's value into *value (grown as needed): its length, or -1 with errno.
ssize_t read_attribute(int fd, const char* name, char** value, std::size_t* cap) {
  for (;;) {
    const ssize_t len = fgetxattr(fd, name, nullptr, 0);
    if (len < 0) return -1;
    if (static_cast<std::size_t>(len) + 1 > *cap) {
      char* grown = static_cast<char*>(std::realloc(*value, static_cast<std::size_t>(len) + 1));
      if (grown == nullptr) {
        errno = ENOMEM;
        return -1;
      }
      *value = grown;
      *cap = static_cast<std::size_t>(len) + 1;
    }
    const ssize_t got = fgetxattr(fd, name, *value, *cap);
    if (got >= 0 || errno != ERANGE) return got;
  }
}

// Makes the extended attributes of `to` those of `from`: each copied, and each that
// `from` lacks removed (a directory's default ACL gives a new file one). With check, only
// compares: 0 when they are the same, EPERM when not. Otherwise 0 or the error number.
int match_attributes(int from, int to, bool check) {
  attribute_names wanted, had;
  if (int e = list_attributes(from, wanted); e != 0) return e;
  if (int e = list_attributes(to, had); e != 0) return e;
  char *value = nullptr, *other = nullptr;
  std::size_t cap = 0, other_cap = 0;
  int error = 0;
  for (std::size_t at = 0; error == 0 && at < wanted.size;
       at += std::strlen(wanted.names + at) + 1) {
    const char* name = wanted.names + at;
    const ssize_t len = read_attribute(from, name, &value, &cap);
    if (len < 0) {
      error = errno;
    } else if (check) {
      const ssize_t now = read_attribute(to, name, &other, &other_cap);
      if (now != len || std::memcmp(value, other, static_cast<std::size_t>(len)) != 0)
        error = EPERM;
    } else if (fsetxattr(to, name, value, static_cast<std::size_t>(len), 0) != 0) {
      error = errno;
    }
  }
  for (std::size_t at = 0; error == 0 && at < had.size; at += std::strlen(had.names + at) + 1) {
    const char* name = had.names + at;
    if (wanted.has(name)) continue;
    if (check || fremovexattr(to, name) != 0) error = check ? EPERM : errno;
  }
  std::free(value);
  std::free(other);
  return error;
}

void forget(replacement& r) {
  {
    fatal_signals_held held;
    signal_path = nullptr;
  }
  std::free(r.path);
  r.path = nullptr;
  r.fd = -1;
}

// A failure to keep the original's owner, group, attributes or mode: the new file goes.
replace_failure give_up(replacement& r, int error, int* out) {
  replace_abandon(r);
  *out = error;
  return error == ENOMEM ? replace_failure::create : replace_failure::keep;
}

}  // namespace

fatal_signals_held::fatal_signals_held() {
  sigset_t set;
  sigemptyset(&set);
  for (int s = 1; s <= SIGRTMAX; ++s)
    if (ends_the_process(s)) sigaddset(&set, s);
  sigprocmask(SIG_BLOCK, &set, &old_);
}

fatal_signals_held::~fatal_signals_held() { sigprocmask(SIG_SETMASK, &old_, nullptr); }

replace_failure replace_begin(replacement& r, const char* target, int source_fd,
                              const struct stat& original, int* error) {
  r.target = target;
  r.source_fd = source_fd;
  r.original = original;
  r.path = new_file_template(target);
  if (r.path == nullptr) {
    *error = ENOMEM;
    return replace_failure::create;
  }
  {
    fatal_signals_held held;
    r.fd = mkostemp(r.path, O_CLOEXEC);
    if (r.fd >= 0) signal_path = r.path;
  }
  if (r.fd < 0) {
    *error = errno;
    forget(r);
    return replace_failure::create;
  }
  // What cannot be kept is found before the text is written: the owner and group (a
  // folder others may write to must not quietly change who owns a file), and attributes
  // this process may not set.
  struct stat now;
  if (fstat(r.fd, &now) != 0) return give_up(r, errno, error);
  if ((now.st_uid != original.st_uid || now.st_gid != original.st_gid) &&
      fchown(r.fd, original.st_uid, original.st_gid) != 0)
    return give_up(r, errno, error);
  if (const int e = match_attributes(source_fd, r.fd, false)) return give_up(r, e, error);
  return replace_failure::none;
}

replace_failure replace_keep(replacement& r, int* error) {
  // After the text: writing clears the set-id bits and file capabilities, and the mode
  // sets an ACL's mask, so attributes first, then the mode, then a look at what stuck.
  if (const int e = match_attributes(r.source_fd, r.fd, false)) return give_up(r, e, error);
  if (fchmod(r.fd, r.original.st_mode & 07777) != 0) return give_up(r, errno, error);
  struct stat now;
  if (fstat(r.fd, &now) != 0) return give_up(r, errno, error);
  if ((now.st_mode & 07777) != (r.original.st_mode & 07777) || now.st_uid != r.original.st_uid ||
      now.st_gid != r.original.st_gid)
    return give_up(r, EPERM, error);
  if (const int e = match_attributes(r.source_fd, r.fd, true)) return give_up(r, e, error);
  return replace_failure::none;
}

int replace_sync(replacement& r) {
  int error = fsync(r.fd) == 0 ? 0 : errno;
  // A file system may report a failed write only when the file is closed.
  if (close(r.fd) != 0 && error == 0) error = errno;
  r.fd = -1;
  return error;
}

int replace_commit(replacement& r) {
  int error = 0;
  {
    fatal_signals_held held;
    if (rename(r.path, r.target) != 0) {
      error = errno;
      unlink(r.path);
    }
    signal_path = nullptr;
  }
  forget(r);
  return error;
}

void replace_abandon(replacement& r) {
  if (r.path == nullptr) return;
  {
    fatal_signals_held held;
    unlink(r.path);
    signal_path = nullptr;
  }
  if (r.fd >= 0) close(r.fd);
  forget(r);
}

int sync_directory(const char* dir) {
  const int fd = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return errno;
  const int error = fsync(fd) == 0 ? 0 : errno;
  close(fd);
  return error;
}

void remove_on_signals() {
  struct sigaction sa {};
  sa.sa_handler = on_fatal_signal;
  sigemptyset(&sa.sa_mask);
  for (int s = 1; s <= SIGRTMAX; ++s) {
    if (!ends_the_process(s)) continue;
    struct sigaction old {};
    // A signal the caller ignores stays ignored.
    if (sigaction(s, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) continue;
    sigaction(s, &sa, nullptr);
  }
}
