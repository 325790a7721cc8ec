#include "io/replace.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/random.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "io/lease.h"

namespace {

// The new files a signal must remove, by folder and name: set and cleared with those
// signals blocked.
struct pending_file {
  volatile int dir;
  const char* volatile name;
};
constexpr int pending_slots = 256;
// Allocated with the handlers: a run that replaces nothing starts in less memory.
pending_file* volatile pending = nullptr;

// Every signal whose default action ends the process, but SIGKILL and SIGSTOP, and the
// one that announces a broken lease.
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
      return s != lease_signal();
  }
}

const pid_t* volatile others = nullptr;
volatile int other_count = 0;

void on_fatal_signal(int sig) {
  for (int i = 0; i < other_count; ++i) kill(others[i], sig);
  for (int i = 0; i < other_count; ++i) waitpid(others[i], nullptr, 0);
  if (pending_file* const p = pending)
    for (int i = 0; i < pending_slots; ++i)
      if (const char* name = p[i].name) unlinkat(p[i].dir, name, 0);
  // Then die of it, as the default action would have.
  std::signal(sig, SIG_DFL);
  raise(sig);
}

bool note_pending(int dir, const char* name) {
  if (pending == nullptr) return true;  // no handler to tell
  for (int i = 0; i < pending_slots; ++i) {
    if (pending[i].name != nullptr) continue;
    pending[i].dir = dir;
    pending[i].name = name;
    return true;
  }
  return false;
}

void forget_pending(const char* name) {
  if (pending == nullptr) return;
  for (int i = 0; i < pending_slots; ++i)
    if (pending[i].name == name) pending[i].name = nullptr;
}

constexpr char suffix[] = ".kiv-";
constexpr int random_letters = 6;

// Letters for a name no one can guess: from a generator the kernel seeds once a run (or,
// failing that, the clock and the process). O_EXCL makes a name that is taken harmless.
void random_name_letters(char* out) {
  static constexpr char letters[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  static std::uint64_t state = 0;
  if (state == 0 && getrandom(&state, sizeof state, GRND_NONBLOCK) != sizeof state) {
    struct timespec now {};
    clock_gettime(CLOCK_REALTIME, &now);
    state = static_cast<std::uint64_t>(now.tv_nsec) ^
            (static_cast<std::uint64_t>(now.tv_sec) << 30) ^
            (static_cast<std::uint64_t>(getpid()) << 12);
  }
  // splitmix64
  std::uint64_t x = (state += 0x9E3779B97F4A7C15u);
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9u;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBu;
  x ^= x >> 31;
  for (int i = 0; i < random_letters; ++i, x /= sizeof letters - 1)
    out[i] = letters[x % (sizeof letters - 1)];
}

// ".NAME.kiv-XXXXXX" into name, NAME cut so that the whole fits NAME_MAX (not inside a
// UTF-8 character, when the name is UTF-8 there).
void new_file_name(const char* target, char* name) {
  std::size_t base_len = std::strlen(target);
  constexpr std::size_t room = NAME_MAX - 1 - (sizeof suffix - 1) - random_letters;
  if (base_len > room) {
    base_len = room;
    const auto at = [&](std::size_t i) { return static_cast<unsigned char>(target[i]); };
    std::size_t lead = base_len;
    while (lead > 0 && base_len - lead < 3 && (at(lead) & 0xC0) == 0x80) --lead;
    if (at(lead) >= 0xC0 && lead < base_len) base_len = lead;
  }
  name[0] = '.';
  std::memcpy(name + 1, target, base_len);
  std::memcpy(name + 1 + base_len, suffix, sizeof suffix - 1);
  char* letters = name + 1 + base_len + sizeof suffix - 1;
  random_name_letters(letters);
  letters[random_letters] = '\0';
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
int match_attributes(int from, int to, bool check, bool* any = nullptr) {
  attribute_names wanted, had;
  if (int e = list_attributes(from, wanted); e != 0) return e;
  if (int e = list_attributes(to, had); e != 0) return e;
  if (any != nullptr) *any = wanted.size > 0 || had.size > 0;
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

// A failure to keep the original's owner, group, attributes or mode: the new file goes
// (or, if it cannot, stays named in r for the caller to say so).
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

int folder_open(folder& d, const char* path) {
  d = folder{};
  d.fd = open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (d.fd < 0 && errno == EACCES) {
    // Enough to make, rename and remove files in it; not to sync it, which says so.
    d.sync_error = EACCES;
    d.fd = open(path, O_PATH | O_DIRECTORY | O_CLOEXEC);
  }
  struct stat st;
  if (d.fd < 0 || fstat(d.fd, &st) != 0) {
    const int e = errno;
    folder_close(d);
    return e;
  }
  d.dev = st.st_dev;
  d.ino = st.st_ino;
  d.mode = st.st_mode;
  d.gid = st.st_gid;
  return 0;
}

int folder_adopt(folder& d, int fd) {
  d = folder{};
  struct stat st;
  if (fstat(fd, &st) != 0) return errno;
  d.fd = fd;
  d.dev = st.st_dev;
  d.ino = st.st_ino;
  d.mode = st.st_mode;
  d.gid = st.st_gid;
  return 0;
}

namespace {
// Asked once: a run does not change who it runs as. (Not a function's static, which
// would need the C++ runtime's guard.)
bool ids_known = false;
uid_t own_user = 0;
gid_t own_group = 0;
}  // namespace

bool made_owned_as(const folder& d, const struct stat& st) {
  if (!ids_known) {
    own_user = geteuid();
    own_group = getegid();
    ids_known = true;
  }
  const gid_t group = (d.mode & S_ISGID) != 0 ? d.gid : own_group;
  return own_user == st.st_uid && group == st.st_gid;
}

bool folder_append_only(const folder& d) {
  int flags = 0;
  if (ioctl(d.fd, FS_IOC_GETFLAGS, &flags) == 0) return (flags & FS_APPEND_FL) != 0;
  if (errno != EBADF) return false;  // ENOTTY, EOPNOTSUPP, EINVAL: no flags here
  // A folder held by path only takes no ioctl; statx tells the same.
  struct statx sx {};
  return statx(d.fd, "", AT_EMPTY_PATH, 0, &sx) == 0 &&
         (sx.stx_attributes_mask & STATX_ATTR_APPEND) != 0 &&
         (sx.stx_attributes & STATX_ATTR_APPEND) != 0;
}

int folder_sync(const folder& d) {
  if (d.sync_error != 0) return d.sync_error;
  return fsync(d.fd) == 0 ? 0 : errno;
}

int folder_writable(int fd) {
  struct statvfs fs {};
  if (fstatvfs(fd, &fs) == 0 && (fs.f_flag & ST_RDONLY) != 0) return EROFS;
  return faccessat(fd, ".", W_OK | X_OK, AT_EACCESS) == 0 ? 0 : errno;
}

void folder_close(folder& d) {
  if (d.fd >= 0) close(d.fd);
  d.fd = -1;
}

replace_failure replace_begin(replacement& r, int dir, const char* target, int source_fd,
                              const struct stat& original, bool owner_alike, int* error) {
  r.dir = dir;
  r.target = target;
  r.source_fd = source_fd;
  r.original = original;
  for (int tries = 0; r.fd < 0; ++tries) {
    new_file_name(target, r.name);
    fatal_signals_held held;
    r.fd = openat(dir, r.name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (r.fd >= 0 && !note_pending(dir, r.name)) {
      unlinkat(dir, r.name, 0);
      close(r.fd);
      r.fd = -1;
      errno = EMFILE;
    }
    if (r.fd < 0) {
      const int e = errno;
      r.name[0] = '\0';
      if (e == EEXIST && tries < 100) continue;  // a name taken: another
      *error = e;
      return replace_failure::create;
    }
  }
  // What cannot be kept is found before the text is written: the owner and group (a
  // folder others may write to must not quietly change who owns a file), and attributes
  // this process may not set.
  struct stat now;
  if (!owner_alike) {
    if (fstat(r.fd, &now) != 0) return give_up(r, errno, error);
    if ((now.st_uid != original.st_uid || now.st_gid != original.st_gid) &&
        fchown(r.fd, original.st_uid, original.st_gid) != 0)
      return give_up(r, errno, error);
  }
  if (const int e = match_attributes(source_fd, r.fd, false, &r.attributes))
    return give_up(r, e, error);
  return replace_failure::none;
}

replace_failure replace_keep(replacement& r, int* error) {
  // After the text: writing clears the set-id bits and file capabilities, and the mode
  // sets an ACL's mask, so attributes first, then the mode, then a look at what stuck.
  // Where neither file had any, writing gave none.
  if (r.attributes) {
    if (const int e = match_attributes(r.source_fd, r.fd, false)) return give_up(r, e, error);
  }
  if (fchmod(r.fd, r.original.st_mode & 07777) != 0) return give_up(r, errno, error);
  struct stat& now = r.made;
  if (fstat(r.fd, &now) != 0) return give_up(r, errno, error);
  // An owner foretold wrong (a file system that gives new files the folder's group):
  // given now, and the mode again, which a change of owner clears in part.
  if ((now.st_uid != r.original.st_uid || now.st_gid != r.original.st_gid) &&
      (fchown(r.fd, r.original.st_uid, r.original.st_gid) != 0 ||
       fchmod(r.fd, r.original.st_mode & 07777) != 0 || fstat(r.fd, &now) != 0))
    return give_up(r, errno, error);
  if ((now.st_mode & 07777) != (r.original.st_mode & 07777) || now.st_uid != r.original.st_uid ||
      now.st_gid != r.original.st_gid)
    return give_up(r, EPERM, error);
  if (r.attributes) {
    if (const int e = match_attributes(r.source_fd, r.fd, true)) return give_up(r, e, error);
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
  // Nothing to hold signals for: a signal after the rename finds the new name gone.
  if (renameat(r.dir, r.name, r.dir, r.target) != 0) return errno;
  forget_pending(r.name);
  r.name[0] = '\0';
  return 0;
}

int replace_abandon(replacement& r) {
  if (r.fd >= 0) close(r.fd);
  r.fd = -1;
  if (r.name[0] == '\0') return 0;
  fatal_signals_held held;
  const int error = unlinkat(r.dir, r.name, 0) != 0 && errno != ENOENT ? errno : 0;
  forget_pending(r.name);
  if (error == 0) r.name[0] = '\0';  // else it still names the file, for the caller to say
  return error;
}

void end_with(const pid_t* pids, int count) {
  other_count = 0;
  others = pids;
  other_count = count;
}

bool remove_on_signal(int dir, const char* name) { return note_pending(dir, name); }

void keep_on_signal(const char* name) { forget_pending(name); }

bool remove_on_signals() {
  if (pending == nullptr) {
    pending = static_cast<pending_file*>(std::calloc(pending_slots, sizeof(pending_file)));
    if (pending == nullptr) return false;
  }
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
  return true;
}
