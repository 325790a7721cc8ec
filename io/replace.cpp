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

constexpr int fatal_signals[] = {SIGHUP,  SIGINT,  SIGQUIT, SIGTERM,
                                 SIGPIPE, SIGALRM, SIGUSR1, SIGUSR2};

void on_fatal_signal(int sig) {
  if (char* p = signal_path) unlink(p);
  // Then die of it, as the default action would have.
  std::signal(sig, SIG_DFL);
  raise(sig);
}

struct signals_held {
  sigset_t old;
  signals_held() {
    sigset_t set;
    sigemptyset(&set);
    for (const int s : fatal_signals) sigaddset(&set, s);
    sigprocmask(SIG_BLOCK, &set, &old);
  }
  ~signals_held() { sigprocmask(SIG_SETMASK, &old, nullptr); }
};

constexpr char suffix[] = ".kiv-XXXXXX";

// ".NAME.kiv-XXXXXX" beside target, NAME cut (at a character boundary, for UTF-8
// names) so that the whole fits NAME_MAX.
char* new_file_template(const char* target) {
  const char* slash = std::strrchr(target, '/');
  const std::size_t dir_len = slash != nullptr ? static_cast<std::size_t>(slash - target) + 1 : 0;
  const char* base = target + dir_len;
  std::size_t base_len = std::strlen(base);
  constexpr std::size_t room = NAME_MAX - 1 - (sizeof suffix - 1);
  if (base_len > room) {
    base_len = room;
    while (base_len > 0 && (static_cast<unsigned char>(base[base_len]) & 0xC0) == 0x80) --base_len;
  }
  char* path = static_cast<char*>(std::malloc(dir_len + 1 + base_len + sizeof suffix));
  if (path == nullptr) return nullptr;
  std::memcpy(path, target, dir_len);
  path[dir_len] = '.';
  std::memcpy(path + dir_len + 1, base, base_len);
  std::memcpy(path + dir_len + 1 + base_len, suffix, sizeof suffix);
  return path;
}

// Every extended attribute of one file onto another: 0 or the error number.
int copy_attributes(int from, int to) {
  ssize_t size = flistxattr(from, nullptr, 0);
  if (size < 0) return errno == ENOTSUP ? 0 : errno;
  if (size == 0) return 0;
  char* names = static_cast<char*>(std::malloc(static_cast<std::size_t>(size)));
  if (names == nullptr) return ENOMEM;
  size = flistxattr(from, names, static_cast<std::size_t>(size));
  int error = size < 0 ? errno : 0;
  char* value = nullptr;
  for (ssize_t at = 0; error == 0 && at < size; at += std::strlen(names + at) + 1) {
    const char* name = names + at;
    const ssize_t len = fgetxattr(from, name, nullptr, 0);
    if (len < 0) {
      error = errno;
      break;
    }
    char* grown = static_cast<char*>(std::realloc(value, static_cast<std::size_t>(len) + 1));
    if (grown == nullptr) {
      error = ENOMEM;
      break;
    }
    value = grown;
    const ssize_t got = fgetxattr(from, name, value, static_cast<std::size_t>(len));
    if (got < 0 || fsetxattr(to, name, value, static_cast<std::size_t>(got), 0) != 0) error = errno;
  }
  std::free(value);
  std::free(names);
  return error;
}

void forget(replacement& r) {
  {
    signals_held held;
    signal_path = nullptr;
  }
  std::free(r.path);
  r.path = nullptr;
  r.fd = -1;
}

}  // namespace

replace_failure replace_begin(replacement& r, const char* target, int source_fd,
                              const struct stat& original, int* error) {
  r.target = target;
  r.path = new_file_template(target);
  if (r.path == nullptr) {
    *error = ENOMEM;
    return replace_failure::create;
  }
  {
    signals_held held;
    r.fd = mkostemp(r.path, O_CLOEXEC);
    if (r.fd >= 0) signal_path = r.path;
  }
  if (r.fd < 0) {
    *error = errno;
    forget(r);
    return replace_failure::create;
  }
  // Owner and group first: a change of owner clears the set-id bits, which the mode then
  // puts back. A group-writable folder must not quietly change who owns a file.
  struct stat now;
  bool kept = fstat(r.fd, &now) == 0;
  if (kept && (now.st_uid != original.st_uid || now.st_gid != original.st_gid))
    kept = fchown(r.fd, original.st_uid, original.st_gid) == 0;
  *error = kept ? copy_attributes(source_fd, r.fd) : errno;
  if (kept && *error == 0 && fchmod(r.fd, original.st_mode & 07777) != 0) *error = errno;
  if (!kept || *error != 0) {
    const int e = *error;
    replace_abandon(r);
    *error = e;
    return e == ENOMEM ? replace_failure::create : replace_failure::keep;
  }
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
    signals_held held;
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
    signals_held held;
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
  for (const int s : fatal_signals) {
    struct sigaction old {};
    // A signal the caller ignores stays ignored.
    if (sigaction(s, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) continue;
    sigaction(s, &sa, nullptr);
  }
}
