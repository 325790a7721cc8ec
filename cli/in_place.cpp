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
#include "io/lease.h"
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
  // The one folder held: where the last file was found. Synced once the files that follow
  // are in another (or at the end), if a rename went into it.
  folder dir;
  char* dir_path = nullptr;  // as it was opened, for its messages
  bool dir_renamed = false;
};

// One file's handling: its names and what is open.
struct file_job {
  const char* name;  // as given
  shown_name shown;
  char* resolved = nullptr;  // where a link leads
  char* dir_path = nullptr;  // the folder of the file itself
  const char* base = "";     // its name there
  std::size_t prefix = 0;    // how much of the path, up to its last slash, names the folder
  int fd = -1;
  bool leased = false;
  struct stat first {};
  replacement r;
  explicit file_job(const char* n) : name(n), shown(n) {}
  ~file_job() {
    replace_abandon(r);
    if (leased) lease_release(fd);
    if (fd >= 0) close(fd);
    std::free(resolved);
    std::free(dir_path);
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

// Gives up on the file with a message: its new file removed, or named where it stays.
void give_up(run_state& run, file_job& f, const char* what) {
  run.status = status_failure;
  if (replace_abandon(f.r) == 0) return report("kiv: %s: %s\n", f.shown.c_str(), what);
  // Named as the file is, in the same folder.
  const char* path = f.resolved != nullptr ? f.resolved : f.name;
  const std::size_t name_len = std::strlen(f.r.name);
  char* where = static_cast<char*>(std::malloc(f.prefix + name_len + 1));
  if (where != nullptr) {
    std::memcpy(where, path, f.prefix);
    std::memcpy(where + f.prefix, f.r.name, name_len + 1);
  }
  {
    const shown_name shown_where(where != nullptr ? where : f.r.name);
    report("kiv: %s: %s; the new text is left in %s\n", f.shown.c_str(), what, shown_where.c_str());
  }
  std::free(where);
}

// Nothing to do: the file stays as it is, said only with -v.
void nothing_to_do(run_state& run, file_job& f, const char* what, const char* page = nullptr) {
  if (f.r.name[0] != '\0') {
    if (const int error = replace_abandon(f.r)) return give_up(run, f, std::strerror(error));
  }
  if (verbose) line(f, what, page);
}

constexpr const char* cannot_keep = "owner, group or attributes cannot be kept";
constexpr const char* changed = "changed while being converted";

void left_alone(run_state& run, file_job& f, const char* why) {
  char what[160];
  std::snprintf(what, sizeof what, "left alone: %s", why);
  give_up(run, f, what);
}

void failed(run_state& run, file_job& f, int error) {
  give_up(run, f, std::strerror(error));
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

// The file's name in its folder is still the file first opened: a regular file of the same
// device and inode, not a link.
bool still_there(const run_state& run, const file_job& f, struct stat* there) {
  return fstatat(run.dir.fd, f.base, there, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(there->st_mode) &&
         there->st_dev == f.first.st_dev && there->st_ino == f.first.st_ino;
}

// The open file, and its name in its folder, still the file first opened, as it was then;
// and no writer came for it (where a lease tells).
bool unchanged(const run_state& run, const file_job& f) {
  struct stat now, there;
  return !(f.leased && lease_broken(f.fd)) && fstat(f.fd, &now) == 0 &&
         still_there(run, f, &there) && same_file_still(f.first, now) &&
         same_file_still(f.first, there);
}

// The folder of the file open gave, and its name there: for a link, where its text leads.
int find_folder(file_job& f, bool link) {
  const char* path = f.name;
  if (link) {
    f.resolved = realpath(f.name, nullptr);
    if (f.resolved == nullptr) return errno;
    path = f.resolved;
  }
  const char* slash = std::strrchr(path, '/');
  f.base = slash != nullptr ? slash + 1 : path;
  f.prefix = static_cast<std::size_t>(f.base - path);
  const std::size_t len = slash == nullptr ? 1
                          : slash == path  ? 1
                                           : static_cast<std::size_t>(slash - path);
  f.dir_path = static_cast<char*>(std::malloc(len + 1));
  if (f.dir_path == nullptr) return ENOMEM;
  std::memcpy(f.dir_path, slash == nullptr ? "." : path, len);
  f.dir_path[len] = '\0';
  return 0;
}

// Syncs the folder held, if files were renamed into it, and closes it.
void release_folder(run_state& run) {
  if (run.dir.fd < 0) return;
  if (run.dir_renamed) {
    if (const int error = folder_sync(run.dir)) {
      const shown_name shown(run.dir_path);
      report("kiv: %s: cannot sync the directory: %s\n", shown.c_str(), std::strerror(error));
      if (run.status == 0) run.status = status_failure;
    }
  }
  folder_close(run.dir);
  std::free(run.dir_path);
  run.dir_path = nullptr;
  run.dir_renamed = false;
}

// Holds the file's folder: the one held already when it is the same, else that one
// released and this one opened. One at a time: a run needs few descriptors.
int hold_folder(run_state& run, file_job& f) {
  struct stat st;
  if (run.dir.fd >= 0 && stat(f.dir_path, &st) == 0 && st.st_dev == run.dir.dev &&
      st.st_ino == run.dir.ino)
    return 0;
  release_folder(run);
  if (const int error = folder_open(run.dir, f.dir_path)) return error;
  run.dir_path = f.dir_path;
  f.dir_path = nullptr;
  return 0;
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
// page, or null.
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
      nothing_to_do(run, f, "no Russian letters");
      return nullptr;
    case detect_outcome::binary:
      if (utf16_given) break;  // UTF-16 has NULs
      nothing_to_do(run, f, "binary");
      return nullptr;
    case detect_outcome::utf16:
      if (given == nullptr || given == found) break;
      nothing_to_do(run, f, "looks like ", found->name);
      return nullptr;
    case detect_outcome::letters:
      if (!utf16_given && !(single_byte_given && std::strcmp(found->name, "utf-8") == 0)) break;
      nothing_to_do(run, f, "looks like ", found->name);
      return nullptr;
  }
  if (from == output_page) {
    nothing_to_do(run, f, "already ", output_page->name);
    return nullptr;
  }
  return from;
}

// The new text's buffer, had once for the run.
constexpr std::size_t new_text_size = std::size_t{1} << 16;
unsigned char* new_text = nullptr;

ssize_t discard(void*, const void*, std::size_t n) { return static_cast<ssize_t>(n); }

void convert_one(run_state& run, const char* name, code_page* given) {
  file_job f(name);
  struct stat st;
  if (lstat(name, &st) != 0) return failed(run, f, errno);
  // Only to pass over what is not a regular file without opening it: the open decides.
  const bool link = S_ISLNK(st.st_mode);
  if (link && stat(name, &st) != 0) return failed(run, f, errno);
  if (contains(run.replaced, st)) return nothing_to_do(run, f, "already ", output_page->name);
  if (!S_ISREG(st.st_mode)) return left_alone(run, f, "not a regular file");
  // By its own name, following a link as any program would, so that the kernel makes its
  // checks (permissions, links in sticky folders); so that a file that takes its place
  // can neither block kiv nor become its terminal.
  f.fd = open(name, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  // Another process's lease: its holder is told, and kiv waits for it as any reader would
  // (a signal still ends kiv there).
  if (f.fd < 0 && errno == EWOULDBLOCK) f.fd = open(name, O_RDONLY | O_NOCTTY | O_CLOEXEC);
  if (f.fd < 0) return failed(run, f, errno);
  if (fstat(f.fd, &f.first) != 0) return failed(run, f, errno);
  if (!S_ISREG(f.first.st_mode)) return left_alone(run, f, "not a regular file");
  if (contains(run.replaced, f.first)) return nothing_to_do(run, f, "already ", output_page->name);
  if (f.first.st_nlink > 1) {
    // A rename would part the names into two different texts.
    char why[40];
    std::snprintf(why, sizeof why, "%ju hard links", static_cast<std::uintmax_t>(f.first.st_nlink));
    return left_alone(run, f, why);
  }
  // Held to the rename: a writer that opens the file meanwhile is known at once.
  switch (lease_take(f.fd)) {
    case lease_result::busy:
      return left_alone(run, f, "open for writing by another process");
    case lease_result::held:
      f.leased = true;
      break;
    case lease_result::unavailable:
      break;
  }

  code_page* const from = page_to_convert(run, f, given);
  if (from == nullptr) return;
  input_page = from;
  if (const int error = open_conversion()) return failed(run, f, error);
  if (!reserve(run.replaced)) return failed(run, f, ENOMEM);

  // Its folder, by descriptor from here on: nothing after the first open goes by a path.
  if (const int error = find_folder(f, link)) return failed(run, f, error);
  if (const int error = hold_folder(run, f)) return failed(run, f, error);
  if (struct stat there; !still_there(run, f, &there)) return left_alone(run, f, changed);
  // There a new file could be neither renamed nor removed.
  if (folder_append_only(run.dir)) return left_alone(run, f, "the folder is append-only");

  output_stream out = output_on(-1, new_text, new_text_size);
  if (dry_run) {
    if (!could_keep_owner(f.first)) return left_alone(run, f, cannot_keep);
    out.write_fn = discard;
  } else {
    int error = 0;
    switch (replace_begin(f.r, run.dir.fd, f.base, f.fd, f.first, &error)) {
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
  if (!unchanged(run, f)) return left_alone(run, f, changed);
  if (nul.seen) return nothing_to_do(run, f, "binary");
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
  if (!unchanged(run, f)) return left_alone(run, f, changed);
  char pages[64];
  std::snprintf(pages, sizeof pages, "%s -> %s", from->name, output_page->name);
  if (dry_run) {
    add(run.replaced, f.first.st_dev, f.first.st_ino);
    return line(f, pages);
  }
  if (const int error = replace_commit(f.r)) return failed(run, f, error);
  run.dir_renamed = true;
  add(run.replaced, made.st_dev, made.st_ino);
  // A signal from here to the line leaves the file converted without its line: said in
  // the manual, and better than a kiv that cannot be stopped while nobody reads.
  line(f, pages);
  if (f.leased && lease_broken(f.fd)) {
    report("kiv: %s: converted, but another process opened it for writing as it was replaced\n",
           f.shown.c_str());
    run.status = status_failure;
  }
}

}  // namespace

int convert_in_place(char* const* names, int count) {
  run_state run;
  if (!dry_run && !remove_on_signals()) {
    report("kiv: %s\n", std::strerror(ENOMEM));
    return ENOMEM;
  }
  // Never read here: given back, a run needs no more than five descriptors (the file, its
  // folder, the new file and the two outputs).
  close(STDIN_FILENO);
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
  // Until the folder's sync a crash may leave the old text in place, but never a part of
  // either.
  release_folder(run);
  std::free(run.replaced.slots);
  watch = conversion_watch{};
  return run.status;
}
