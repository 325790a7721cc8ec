#include "cli/in_place.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cli/driver.h"
#include "cli/names.h"
#include "cli/settings.h"
#include "cli/warn.h"
#include "codepages/detect.h"
#include "codepages/registry.h"
#include "convert/convert.h"
#include "convert/span.h"
#include "io/input.h"
#include "io/output.h"
#include "io/replace.h"

namespace {

// Files and directories by device and inode, in a table that grows by doubling.
struct file_id {
  dev_t dev;
  ino_t ino;
  bool used;
};
struct file_set {
  file_id* slots = nullptr;
  std::size_t cap = 0;  // a power of two, or 0
  std::size_t count = 0;
};

std::size_t slot_of(const file_set& s, dev_t dev, ino_t ino) {
  std::size_t i = (static_cast<std::size_t>(ino) * 0x9E3779B97F4A7C15u ^ dev) & (s.cap - 1);
  while (s.slots[i].used && (s.slots[i].dev != dev || s.slots[i].ino != ino))
    i = (i + 1) & (s.cap - 1);
  return i;
}

bool contains(const file_set& s, const struct stat& st) {
  return s.cap > 0 && s.slots[slot_of(s, st.st_dev, st.st_ino)].used;
}

// Room for one more, so that adding cannot fail once a file has been replaced.
bool reserve(file_set& s) {
  if (2 * (s.count + 1) <= s.cap) return true;
  const std::size_t cap = s.cap == 0 ? 64 : 2 * s.cap;
  auto* slots = static_cast<file_id*>(std::calloc(cap, sizeof(file_id)));
  if (slots == nullptr) return false;
  file_set grown{slots, cap, s.count};
  for (std::size_t i = 0; i < s.cap; ++i)
    if (s.slots[i].used) grown.slots[slot_of(grown, s.slots[i].dev, s.slots[i].ino)] = s.slots[i];
  std::free(s.slots);
  s = grown;
  return true;
}

// Adds a file; false if it was there already.
bool add(file_set& s, dev_t dev, ino_t ino) {
  file_id& slot = s.slots[slot_of(s, dev, ino)];
  if (slot.used) return false;
  slot = file_id{dev, ino, true};
  ++s.count;
  return true;
}

struct run_state {
  int status = 0;
  bool stop = false;
  file_set replaced;  // the files this run wrote, or with --dry-run would have
  file_set dirs;      // the directories that received a rename, and their names
  char** dir_names = nullptr;
  std::size_t dir_count = 0;
  std::size_t dir_cap = 0;
};

// One file's handling: its names and what is open.
struct file_job {
  const char* name;  // as given
  shown_name shown;
  const char* path;  // the file itself: name, or where the link name leads
  char* resolved = nullptr;
  int fd = -1;
  struct stat first {};
  replacement r;
  const code_page* rival = nullptr;  // converted with --guess: the other page it may be in
  explicit file_job(const char* n) : name(n), shown(n), path(n) {}
  ~file_job() {
    replace_abandon(r);
    if (fd >= 0) close(fd);
    std::free(resolved);
  }
};

void line(const file_job& f, const char* what, const char* more = nullptr) {
  const struct iovec parts[] = {{const_cast<char*>(f.shown.c_str()), f.shown.size()},
                                {const_cast<char*>(": "), 2},
                                {const_cast<char*>(what), std::strlen(what)},
                                {const_cast<char*>(more ? more : ""), more ? std::strlen(more) : 0},
                                {const_cast<char*>("\n"), 1}};
  output_stream& out = standard_output();
  // Each line out at once: the record of what was done keeps pace with the doing.
  if (out_line(out, parts, 5)) out_flush(out);
}

// Nothing to do: the file stays as it is, said only with -v.
void nothing_to_do(const file_job& f, const char* what, const char* page = nullptr) {
  if (verbose) line(f, what, page);
}

constexpr const char* cannot_keep = "owner, group or attributes cannot be kept";

void left_alone(run_state& run, const file_job& f, const char* why) {
  report("kiv: %s: left alone: %s\n", f.shown.c_str(), why);
  run.status = status_failure;
}

void failed(run_state& run, const file_job& f, int error) {
  report("kiv: %s: %s\n", f.shown.c_str(), std::strerror(error));
  run.status = status_failure;
  if (error == ENOMEM) {  // nothing more can be counted on
    run.status = ENOMEM;
    run.stop = true;
  }
}

bool same_file_still(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
         a.st_nlink == b.st_nlink && a.st_mtim.tv_sec == b.st_mtim.tv_sec &&
         a.st_mtim.tv_nsec == b.st_mtim.tv_nsec && a.st_ctim.tv_sec == b.st_ctim.tv_sec &&
         a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}

// The open file and the path still the file first opened, as it was then.
bool unchanged(const file_job& f) {
  struct stat now, there;
  return fstat(f.fd, &now) == 0 && stat(f.path, &there) == 0 && same_file_still(f.first, now) &&
         same_file_still(f.first, there);
}

// Whether this process could give a new file the owner and group of one it can read, as
// --dry-run tells without making one.
bool could_keep_owner(const struct stat& st) {
  if (geteuid() == 0) return true;
  if (st.st_uid != geteuid()) return false;
  if (st.st_gid == getegid()) return true;
  gid_t groups[256];
  const int n = getgroups(256, groups);
  for (int i = 0; i < n; ++i)
    if (groups[i] == st.st_gid) return true;
  return false;
}

// A NUL anywhere makes a file binary, not only where detection reads: the conversion's
// reads look for one and stop there.
struct nul_watch {
  int fd;
  bool seen;
};
ssize_t read_watching(void* cookie, void* bytes, std::size_t n) {
  auto* w = static_cast<nul_watch*>(cookie);
  const ssize_t got = read(w->fd, bytes, n);
  if (got > 0 && std::memchr(bytes, 0, static_cast<std::size_t>(got)) != nullptr) {
    w->seen = true;
    errno = ECANCELED;
    return -1;
  }
  return got;
}

// The BOM a single-byte page has no use for: skipped, and so not counted as a loss.
off_t bom_length(int fd, const code_page* from) {
  unsigned char head[3];
  const ssize_t got = pread(fd, head, sizeof head, 0);
  if (std::strcmp(from->name, "utf-8") == 0)
    return got == 3 && head[0] == 0xEF && head[1] == 0xBB && head[2] == 0xBF ? 3 : 0;
  if (std::strcmp(from->name, "utf-16le") == 0)
    return got >= 2 && head[0] == 0xFF && head[1] == 0xFE ? 2 : 0;
  if (std::strcmp(from->name, "utf-16be") == 0)
    return got >= 2 && head[0] == 0xFE && head[1] == 0xFF ? 2 : 0;
  return 0;
}

// The page to convert from, or null with the file left alone as it says. given: the -i
// page, or null. Without -i, text that is not Cyrillic, or whose page detection is unsure
// of, is left alone: converted from a guess, it would be mojibake for good.
code_page* page_to_convert(run_state& run, file_job& f, code_page* given) {
  input_stream in = input_on(f.fd);
  unsigned char block[detect_block_size];
  detect_ctx ctx{code_pages, output_page, block, 0};
  float score = 0.0f;
  code_page* const found = detect_code_page(&ctx, in, standard_output(), false, &score);
  if (in.error != 0) {
    failed(run, f, in.error);
    return nullptr;
  }
  // With -i, a file that detection finds to be UTF-8 or UTF-16 is left alone unless it is
  // that page: converted from another one it would turn into mojibake, and a second run
  // would do it again. So is a file named UTF-16 that is not.
  const bool utf16_given = given != nullptr && given->char_width == 2;
  const bool single_byte_given = given != nullptr && given->char_width == 1;
  code_page* const from = given != nullptr ? given : found;
  switch (ctx.outcome) {
    case detect_outcome::no_hits:
      nothing_to_do(f, "no Russian letters");
      return nullptr;
    case detect_outcome::binary:
      if (utf16_given) break;  // UTF-16 has NULs
      nothing_to_do(f, "binary");
      return nullptr;
    case detect_outcome::utf16:
      if (given == nullptr || given == found) break;
      nothing_to_do(f, "looks like ", found->name);
      return nullptr;
    case detect_outcome::not_cyrillic:
      if (given != nullptr) break;
      left_alone(run, f, "8-bit text, not Cyrillic");
      return nullptr;
    case detect_outcome::letters:
      if (utf16_given || (single_byte_given && std::strcmp(found->name, "utf-8") == 0)) {
        nothing_to_do(f, "looks like ", found->name);
        return nullptr;
      }
      if (given != nullptr || ctx.rival == nullptr) break;
      if (!guess) {
        char why[96];
        std::snprintf(why, sizeof why, "unsure whether %s or %s (-i or --guess decides)",
                      found->name, ctx.rival->name);
        left_alone(run, f, why);
        return nullptr;
      }
      f.rival = ctx.rival;
      break;
  }
  if (from == output_page) {
    nothing_to_do(f, "already ", output_page->name);
    return nullptr;
  }
  return from;
}

// The new text's buffer, had once for the run.
constexpr std::size_t new_text_size = std::size_t{1} << 16;
unsigned char* new_text = nullptr;

ssize_t discard(void*, const void*, std::size_t n) { return static_cast<ssize_t>(n); }

// Remembers the directory of a file about to be renamed into it, once.
bool note_directory(run_state& run, const char* path) {
  const char* slash = std::strrchr(path, '/');
  const char* dir_of = slash == nullptr ? "." : slash == path ? "/" : path;
  const std::size_t len = slash == nullptr || slash == path ? 1 : slash - path;
  char* dir = static_cast<char*>(std::malloc(len + 1));
  if (dir == nullptr) return false;
  std::memcpy(dir, dir_of, len);
  dir[len] = '\0';
  struct stat st;
  // One it cannot see now is not synced: the rename into it is what would fail.
  if (stat(dir, &st) != 0 || contains(run.dirs, st)) {
    std::free(dir);
    return true;
  }
  if (run.dir_count == run.dir_cap) {
    const std::size_t cap = run.dir_cap == 0 ? 16 : 2 * run.dir_cap;
    auto** grown = static_cast<char**>(std::realloc(run.dir_names, cap * sizeof(char*)));
    if (grown != nullptr) {
      run.dir_names = grown;
      run.dir_cap = cap;
    }
  }
  if (run.dir_count == run.dir_cap || !reserve(run.dirs)) {
    std::free(dir);
    return false;
  }
  add(run.dirs, st.st_dev, st.st_ino);
  run.dir_names[run.dir_count++] = dir;
  return true;
}

void convert_one(run_state& run, const char* name, code_page* given) {
  file_job f(name);
  struct stat st;
  if (lstat(name, &st) != 0) return failed(run, f, errno);
  // A link is followed: the file it leads to is converted in its own directory, and the
  // link stays a link.
  if (S_ISLNK(st.st_mode)) {
    f.resolved = realpath(name, nullptr);
    if (f.resolved == nullptr) return failed(run, f, errno);
    f.path = f.resolved;
    if (stat(f.path, &st) != 0) return failed(run, f, errno);
  }
  if (contains(run.replaced, st)) return nothing_to_do(f, "already ", output_page->name);
  // Decided before opening, so that a FIFO is never opened; opened so that one that
  // takes its place cannot block kiv or become its terminal.
  if (!S_ISREG(st.st_mode)) return left_alone(run, f, "not a regular file");
  f.fd = open(f.path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (f.fd < 0) return failed(run, f, errno);
  if (fstat(f.fd, &f.first) != 0) return failed(run, f, errno);
  if (!S_ISREG(f.first.st_mode)) return left_alone(run, f, "not a regular file");
  if (f.first.st_dev != st.st_dev || f.first.st_ino != st.st_ino)
    return left_alone(run, f, "changed while being converted");
  if (f.first.st_nlink > 1) {
    // A rename would part the names into two different texts.
    char why[40];
    std::snprintf(why, sizeof why, "%ju hard links", static_cast<std::uintmax_t>(f.first.st_nlink));
    return left_alone(run, f, why);
  }

  code_page* const from = page_to_convert(run, f, given);
  if (from == nullptr) return;
  input_page = from;
  if (const int error = open_conversion()) return failed(run, f, error);
  if (!reserve(run.replaced)) return failed(run, f, ENOMEM);

  output_stream out = output_on(-1, new_text, new_text_size);
  if (dry_run) {
    if (!could_keep_owner(f.first))
      return left_alone(run, f, "owner, group or attributes cannot be kept");
    out.write_fn = discard;
  } else {
    int error = 0;
    switch (replace_begin(f.r, f.path, f.fd, f.first, &error)) {
      case replace_failure::none:
        break;
      case replace_failure::keep:
        return left_alone(run, f, cannot_keep);
      case replace_failure::create:
        return failed(run, f, error);
    }
    out.fd = f.r.fd;
  }

  const off_t start = output_page->char_width == 1 ? bom_length(f.fd, from) : 0;
  if (lseek(f.fd, start, SEEK_SET) != start) return failed(run, f, errno);
  input_stream in = input_on(f.fd);
  nul_watch nul{f.fd, false};
  if (from->char_width != 2) {
    in.read_fn = read_watching;
    in.cookie = &nul;
  }
  watch.invalid = watch.lacking = false;
  const int converted = convert_file(in, out);
  out_flush(out);
  if (converted != 0) return failed(run, f, converted);
  // A file that changed under kiv tells nothing certain about itself.
  if (!unchanged(f)) return left_alone(run, f, "changed while being converted");
  if (nul.seen) return nothing_to_do(f, "binary");
  if (in.error != 0) return failed(run, f, in.error);
  if (out.error != 0) return failed(run, f, out.error);
  if (watch.invalid || watch.lacking) {
    char why[80];
    if (watch.invalid)
      std::snprintf(why, sizeof why, "invalid bytes for %s (--lossy converts it)", from->name);
    else
      std::snprintf(why, sizeof why, "characters %s lacks (--lossy converts it)",
                    output_page->name);
    return left_alone(run, f, why);
  }

  struct stat made {};
  if (!dry_run) {
    int error = 0;
    if (replace_keep(f.r, &error) != replace_failure::none)
      return error == ENOMEM ? failed(run, f, error) : left_alone(run, f, cannot_keep);
    if (fstat(f.r.fd, &made) != 0) return failed(run, f, errno);
    if ((error = replace_sync(f.r)) != 0) return failed(run, f, error);
  }
  if (!unchanged(f)) return left_alone(run, f, "changed while being converted");
  char pages[96];
  std::snprintf(pages, sizeof pages, "%s -> %s", from->name, output_page->name);
  if (f.rival != nullptr)
    std::snprintf(pages, sizeof pages, "%s -> %s (unsure: or %s)", from->name, output_page->name,
                  f.rival->name);
  if (dry_run) {
    add(run.replaced, f.first.st_dev, f.first.st_ino);
    return line(f, pages);
  }
  if (!note_directory(run, f.path)) return failed(run, f, ENOMEM);
  // No file is converted without its line.
  fatal_signals_held held;
  if (const int error = replace_commit(f.r)) return failed(run, f, error);
  add(run.replaced, made.st_dev, made.st_ino);
  line(f, pages);
}

}  // namespace

int convert_in_place(char* const* names, int count) {
  run_state run;
  if (!dry_run) remove_on_signals();
  if (new_text == nullptr) {
    new_text = static_cast<unsigned char*>(std::malloc(new_text_size + output_slack));
    if (new_text == nullptr) {
      report("kiv: %s\n", std::strerror(ENOMEM));
      return ENOMEM;
    }
  }
  // Detection rewrites input_page for every file.
  code_page* const given = input_given ? input_page : nullptr;
  for (int i = 0; i < count && !run.stop; ++i) {
    convert_one(run, names[i], given);
    if (standard_output().error != 0) break;  // the record of what was done is gone
  }
  // Each directory once, after the last rename into it: until then a crash may leave the
  // old text in place, but never a part of either.
  for (std::size_t i = 0; i < run.dir_count; ++i) {
    if (const int error = sync_directory(run.dir_names[i])) {
      const shown_name shown(run.dir_names[i]);
      report("kiv: %s: cannot sync the directory: %s\n", shown.c_str(), std::strerror(error));
      if (run.status == 0) run.status = status_failure;
    }
    std::free(run.dir_names[i]);
  }
  std::free(run.dir_names);
  std::free(run.dirs.slots);
  std::free(run.replaced.slots);
  watch = conversion_watch{};
  return run.status;
}
