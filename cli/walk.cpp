#include "cli/walk.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "cli/names.h"
#include "io/listing.h"

namespace {

// A folder on the way down: its names, read when it was entered, and the next to visit.
struct level {
  char* name = nullptr;  // in its parent; null for the top
  dev_t dev = 0;
  ino_t ino = 0;
  int fd = -1;                // -1 while not held
  std::size_t shown_len = 0;  // of the shown name up to this folder
  listing list;
  std::size_t next = 0;
};

struct walker {
  const walk_hooks& hooks;
  const char* suffix;
  char* suffix_why = nullptr;  // "ends in SUFFIX, passed over as a backup", escaped
  level* levels = nullptr;
  std::size_t depth = 0, cap = 0;
  char* shown = nullptr;
  std::size_t shown_cap = 0;
  int held = 0;
  bool out_of_memory = false;
};

constexpr int folder_flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

bool stopped(walker& w) { return w.out_of_memory || w.hooks.stopped(w.hooks.ctx); }

void out_of_memory(walker& w, const char* shown) {
  w.hooks.trouble(w.hooks.ctx, shown, nullptr, ENOMEM);
  w.out_of_memory = true;
}

// The shown name of an entry of folder k (or, with name null, of the folder), in w.shown.
bool show(walker& w, std::size_t k, const char* name) {
  const std::size_t at = w.levels[k].shown_len;
  if (name == nullptr) {
    w.shown[at] = '\0';
    return true;
  }
  const bool slash = at > 0 && w.shown[at - 1] != '/';
  const std::size_t len = std::strlen(name);
  const std::size_t need = at + slash + len + 1;
  if (need > w.shown_cap) {
    std::size_t cap = w.shown_cap * 2 > need ? w.shown_cap * 2 : need;
    char* grown = static_cast<char*>(std::realloc(w.shown, cap));
    if (grown == nullptr) return false;
    w.shown = grown;
    w.shown_cap = cap;
  }
  if (slash) w.shown[at] = '/';
  std::memcpy(w.shown + at + slash, name, len + 1);
  return true;
}

void close_level(walker& w, level& l) {
  if (l.fd < 0) return;
  close(l.fd);
  l.fd = -1;
  --w.held;
}

// Opens the folder l names from the folder open on parent (name: its name there, or
// ".."): the folder listed there, or -1 with the reason in *why or *error.
int open_checked(int parent, const char* name, const level& l, const char** why, int* error) {
  const int fd = openat(parent, name, folder_flags);
  struct stat st;
  if (fd < 0 || fstat(fd, &st) != 0) {
    *error = errno;
    if (fd >= 0) close(fd);
    // A link or a file where the folder was: replaced meanwhile.
    if (*error == ELOOP || *error == ENOTDIR) *why = "changed while being converted";
    return -1;
  }
  if (st.st_dev != l.dev || st.st_ino != l.ino) {
    close(fd);
    *why = "changed while being converted";
    return -1;
  }
  return fd;
}

// Folder k held again, reached name by name from the nearest held folder above it; each
// step checked. False, said, when some folder on the way changed.
bool reach(walker& w, std::size_t k) {
  if (w.levels[k].fd >= 0) return true;
  std::size_t from = k;
  while (w.levels[from].fd < 0) --from;  // the top is always held
  int parent = w.levels[from].fd;
  for (std::size_t m = from + 1; m <= k; ++m) {
    const char* why = nullptr;
    int error = 0;
    const int fd = open_checked(parent, w.levels[m].name, w.levels[m], &why, &error);
    // Only the folder asked for stays held: steps on the way go again.
    if (parent != w.levels[from].fd) close(parent);
    if (fd < 0) {
      show(w, m, nullptr);
      w.hooks.trouble(w.hooks.ctx, w.shown, why, error);
      return false;
    }
    parent = fd;
  }
  w.levels[k].fd = parent;
  ++w.held;
  return true;
}

// Room for one more folder: the highest one held below the top goes.
void make_room(walker& w) {
  if (w.held < walk_descriptors) return;
  for (std::size_t m = 1; m + 1 < w.depth; ++m)
    if (w.levels[m].fd >= 0) return close_level(w, w.levels[m]);
}

bool push(walker& w, const char* name, const struct stat& st, std::size_t shown_len) {
  if (w.depth == w.cap) {
    const std::size_t cap = w.cap == 0 ? 16 : 2 * w.cap;
    auto* grown = static_cast<level*>(std::realloc(w.levels, cap * sizeof(level)));
    if (grown == nullptr) return false;
    w.levels = grown;
    w.cap = cap;
  }
  level& l = w.levels[w.depth];
  l = level{};
  if (name != nullptr && (l.name = strdup(name)) == nullptr) return false;
  l.dev = st.st_dev;
  l.ino = st.st_ino;
  l.shown_len = shown_len;
  ++w.depth;
  return true;
}

// Leaves the deepest folder: its parent, if no longer held, is reached again through
// "..", checked, or else name by name from above.
void pop(walker& w) {
  level& l = w.levels[--w.depth];
  if (w.depth > 0 && l.fd >= 0 && w.levels[w.depth - 1].fd < 0) {
    const char* why = nullptr;
    int error = 0;
    level& parent = w.levels[w.depth - 1];
    parent.fd = open_checked(l.fd, "..", parent, &why, &error);
    if (parent.fd >= 0) ++w.held;
  }
  close_level(w, l);
  listing_free(l.list);
  std::free(l.name);
}

bool ends_with(const char* name, const char* end) {
  const std::size_t n = std::strlen(name), e = std::strlen(end);
  return n > e && std::memcmp(name + n - e, end, e) == 0;
}

// Lists folder k; false, said, when it cannot be.
bool list(walker& w, std::size_t k) {
  if (const int error = list_folder(w.levels[k].fd, w.levels[k].list)) {
    show(w, k, nullptr);
    w.hooks.trouble(w.hooks.ctx, w.shown, nullptr, error);
    if (error == ENOMEM) w.out_of_memory = true;
    return false;
  }
  return true;
}

// The next name of the deepest folder: handed on, passed over, or entered.
void visit(walker& w) {
  const std::size_t k = w.depth - 1;
  level& l = w.levels[k];
  const std::size_t i = l.next++;
  const char* name = listed_name(l.list, i);
  if (is_new_file_name(name)) return;  // a run cut short left it: not text
  if (!show(w, k, name)) return out_of_memory(w, name);
  const auto passed = [&](const char* why) { w.hooks.passed(w.hooks.ctx, w.shown, why); };
  if (w.suffix != nullptr && ends_with(name, w.suffix)) return passed(w.suffix_why);
  if (ends_with(name, "~")) return passed("ends in ~, passed over as a backup");
  const int fd = l.fd;
  unsigned char kind = listed_kind(l.list, i);
  struct stat st {};
  if (kind == DT_UNKNOWN || kind == DT_DIR) {
    if (fstatat(fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
      // Gone since the listing: nothing to say.
      if (errno != ENOENT) w.hooks.trouble(w.hooks.ctx, w.shown, nullptr, errno);
      return;
    }
    kind = S_ISDIR(st.st_mode)   ? DT_DIR
           : S_ISREG(st.st_mode) ? DT_REG
           : S_ISLNK(st.st_mode) ? DT_LNK
                                 : DT_UNKNOWN;
  }
  if (kind == DT_LNK) return passed("symbolic link, not followed");
  if (kind == DT_REG) return w.hooks.file(w.hooks.ctx, fd, l.dev, l.ino, name, w.shown);
  if (kind != DT_DIR) return passed("not a regular file");
  if (is_version_control(name)) return passed("version-control folder, not entered");
  make_room(w);
  if (!push(w, name, st, std::strlen(w.shown))) return out_of_memory(w, w.shown);
  const char* why = nullptr;
  int error = 0;
  level& child = w.levels[w.depth - 1];
  child.fd = open_checked(fd, name, child, &why, &error);
  if (child.fd < 0) {
    w.hooks.trouble(w.hooks.ctx, w.shown, why, error);
    return pop(w);
  }
  ++w.held;
  // The files so far are a run of their own.
  w.hooks.leave(w.hooks.ctx, fd);
  if (!list(w, w.depth - 1)) pop(w);
}

}  // namespace

bool is_version_control(const char* name) {
  static constexpr const char* folders[] = {".git", ".hg", ".svn", ".bzr", "CVS"};
  for (const char* f : folders)
    if (std::strcmp(name, f) == 0) return true;
  return false;
}

bool is_new_file_name(const char* name) {
  constexpr std::size_t tail = sizeof ".kiv-XXXXXX" - 1;
  const std::size_t n = std::strlen(name);
  if (name[0] != '.' || n < 2 + tail || std::memcmp(name + n - tail, ".kiv-", 5) != 0) return false;
  for (std::size_t i = n - 6; i < n; ++i) {
    const char c = name[i];
    if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'))) return false;
  }
  return true;
}

void walk_tree(int fd, const char* shown, const char* backup_suffix, const walk_hooks& hooks) {
  walker w{hooks, backup_suffix};
  struct stat st;
  const std::size_t len = std::strlen(shown);
  if (fstat(fd, &st) != 0) {
    hooks.trouble(hooks.ctx, shown, nullptr, errno);
    close(fd);
    return;
  }
  if (backup_suffix != nullptr) {
    const shown_name suffix(backup_suffix);
    constexpr char before[] = "ends in ", after[] = ", passed over as a backup";
    w.suffix_why = static_cast<char*>(std::malloc(sizeof before + suffix.size() + sizeof after));
    if (w.suffix_why != nullptr) {
      std::memcpy(w.suffix_why, before, sizeof before - 1);
      std::memcpy(w.suffix_why + sizeof before - 1, suffix.c_str(), suffix.size());
      std::memcpy(w.suffix_why + sizeof before - 1 + suffix.size(), after, sizeof after);
    }
  }
  if ((backup_suffix != nullptr && w.suffix_why == nullptr) || !push(w, nullptr, st, len) ||
      (w.shown = static_cast<char*>(std::malloc(len + 1))) == nullptr) {
    close(fd);
    out_of_memory(w, shown);
  } else {
    std::memcpy(w.shown, shown, len + 1);
    w.shown_cap = len + 1;
    w.levels[0].fd = fd;
    w.held = 1;
    // One folder at a time, deepest first, without recursion: a tree of any depth.
    if (list(w, 0)) {
      while (w.depth > 0 && !stopped(w)) {
        level& l = w.levels[w.depth - 1];
        if (l.next < l.list.count) {
          if (!reach(w, w.depth - 1)) {
            l.next = l.list.count;  // what it still holds cannot be reached
            continue;
          }
          visit(w);
          continue;
        }
        if (l.fd >= 0) w.hooks.leave(w.hooks.ctx, l.fd);
        pop(w);
      }
    }
    while (w.depth > 0) pop(w);
  }
  std::free(w.levels);
  std::free(w.shown);
  std::free(w.suffix_why);
}
