#include "cli/in_place.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "cli/driver.h"
#include "cli/jobs.h"
#include "cli/journal.h"
#include "cli/names.h"
#include "cli/progress.h"
#include "cli/settings.h"
#include "cli/walk.h"
#include "cli/warn.h"
#include "codepages/detect.h"
#include "codepages/registry.h"
#include "convert/convert.h"
#include "convert/declarations.h"
#include "convert/repair_file.h"
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

// How the run went, as its last line says.
struct tally {
  std::size_t converted = 0, already = 0, binary = 0, left_alone = 0, failed = 0;
};

struct file_job;

// A file converted into its new file, which waits with others of its folder: the writes of
// a batch reach the disk together, each file's sync then finds its data there already.
// What one file's handling said and did, while it cannot yet go out: its turn comes
// after the files before it (in a worker: the coordinator orders them).
struct entry {
  std::uint32_t id = 0;
  journal said;
  tally counts;
  bool done = false;
  bool made = false;  // renamed over: the new file's device and inode
  dev_t dev = 0;
  ino_t ino = 0;
  int worker = -1;  // where it is being converted
  dev_t file_dev = 0;
  ino_t file_ino = 0;
  bool ready = false;       // its worker waits for its turn to rename it
  bool go = false;          // and was told it is
  std::uint64_t bytes = 0;  // read of it
};

struct queued {
  file_job* f;
  struct stat made;
  char pages[200];  // its line
  journal after;    // what the files after it said meanwhile
  entry* said;      // in a worker: the task's own record, else null
};
constexpr int batch_most = 64;
constexpr off_t batch_bytes = off_t{64} << 20;
struct batch {
  queued items[batch_most];
  int count = 0;
  int limit = 1;  // what the descriptors allow: two for each file
  off_t bytes = 0;
};

struct run_state {
  int status = 0;
  bool stop = false;
  code_page* given = nullptr;  // the -i page: detection rewrites input_page for every file
  file_set replaced;           // the files this run wrote, or with --dry-run would have
  tally counts;
  // The folder of the files in hand: held open for files given by name, one at a time, or
  // a walk's. Synced once a run of files in it ends, if a rename went into it.
  folder dir;
  bool dir_owned = false;    // opened here, not the walk's
  char* dir_path = nullptr;  // for its messages
  bool dir_renamed = false;
  bool dir_append_only = false;  // there a new file could be neither renamed nor removed
  batch waiting;  // converted files of that folder, for one sync each and then the renames
  // With -j: the workers (coordinator), or the socket to the coordinator (worker); the
  // record of the file in hand, and in the coordinator, of the files not yet said.
  job_pool pool;
  int outstanding[jobs_most] = {};
  int coordinator = -1;
  int filling = 0;    // the worker being handed files
  int turns_out = 0;  // files a worker was told to rename and say itself, not yet done
  entry* current = nullptr;
  entry* entries = nullptr;  // a ring of entries_most
  std::uint32_t first = 0, next = 0;
};
constexpr std::uint32_t entries_most = 4096;

void count(run_state& run, std::size_t tally::*field) {
  ++(run.counts.*field);
  if (run.current != nullptr) ++(run.current->counts.*field);
  const tally& c = run.counts;
  progress_files(c.converted + c.already + c.binary + c.left_alone + c.failed, c.left_alone);
}

// One file's handling: its names and what is open.
struct file_job {
  const char* name;  // as given, or as a walk shows it
  shown_name shown;
  char* resolved = nullptr;  // where a link leads
  char* dir_path = nullptr;  // the folder of the file itself, when found by name
  const char* base = "";     // its name there
  std::size_t prefix = 0;    // how much of the path, up to its last slash, names the folder
  int walk_dir = -1;         // in a walk: the folder it was found in, held by the walk
  dev_t walk_dev = 0;
  ino_t walk_ino = 0;
  bool own_dir = false;  // walk_dir is the job's own (a worker's copy)
  int dir = -1;          // the folder, once found: where the new file is made and renamed
  int fd = -1;
  bool leased = false;
  struct stat first {};
  replacement r;
  char* own = nullptr;               // name and base, when they are copies of the job's own
  const code_page* rival = nullptr;  // converted with --guess: the other page it may be in
  explicit file_job(const char* n) : name(n), shown(n) {}
  ~file_job() {
    replace_abandon(r);
    if (leased) lease_release(fd);
    if (fd >= 0) close(fd);
    std::free(resolved);
    std::free(dir_path);
    std::free(own);
    if (own_dir) close(walk_dir);
  }
};

// A job that may outlive the names it was given, waiting in a batch: name and base (a
// walk's, when not null) copied. Null when out of memory.
file_job* job_new(const char* name, const char* base = nullptr) {
  const std::size_t n = std::strlen(name) + 1, b = base != nullptr ? std::strlen(base) + 1 : 0;
  char* own = static_cast<char*>(std::malloc(n + b));
  void* mem = own != nullptr ? std::malloc(sizeof(file_job)) : nullptr;
  if (mem == nullptr) {
    std::free(own);
    return nullptr;
  }
  std::memcpy(own, name, n);
  if (base != nullptr) std::memcpy(own + n, base, b);
  auto* f = new (mem) file_job(own);
  f->own = own;
  if (base != nullptr) f->base = own + n;
  return f;
}

void job_free(file_job* f) {
  if (f == nullptr) return;
  f->~file_job();
  std::free(f);
}

// Frees the job it holds unless a batch took it.
struct job_holder {
  file_job* f;
  ~job_holder() { job_free(f); }
};

// While files wait in a batch, what the files after them say is kept, in order, for
// when the batch is done.
journal* capture = nullptr;
void capture_message(void*, const char* text, std::size_t len) {
  if (capture == nullptr || !journal_message(*capture, text, len)) report_text(text, len);
}
const message_sink capturing{nullptr, capture_message};
void capture_into(journal* j) {
  capture = j;
  set_message_sink(j != nullptr ? &capturing : nullptr);
}

// A name beside the file, in its folder, as the file's own is shown: its path but for the
// last name. Null when out of memory.
char* beside(const file_job& f, const char* name, const char* more = "") {
  const char* path = f.resolved != nullptr ? f.resolved : f.name;
  const std::size_t name_len = std::strlen(name), more_len = std::strlen(more);
  char* where = static_cast<char*>(std::malloc(f.prefix + name_len + more_len + 1));
  if (where == nullptr) return nullptr;
  std::memcpy(where, path, f.prefix);
  std::memcpy(where + f.prefix, name, name_len);
  std::memcpy(where + f.prefix + name_len, more, more_len + 1);
  return where;
}

void line(const file_job& f, const char* what, const char* more = nullptr) {
  const struct iovec parts[] = {{const_cast<char*>(f.shown.c_str()), f.shown.size()},
                                {const_cast<char*>(": "), 2},
                                {const_cast<char*>(what), std::strlen(what)},
                                {const_cast<char*>(more ? more : ""), more ? std::strlen(more) : 0},
                                {const_cast<char*>("\n"), 1}};
  if (capture != nullptr && journal_line(*capture, parts, 5)) return;
  output_stream& out = standard_output();
  progress_clear_for_output();
  // Each line out at once: the record of what was done keeps pace with the doing.
  if (out_line(out, parts, 5)) out_flush(out);
}

// Gives up on the file with a message: its new file removed, or named where it stays.
void give_up(run_state& run, file_job& f, const char* what) {
  run.status = status_failure;
  if (replace_abandon(f.r) == 0) return report("kiv: %s: %s\n", f.shown.c_str(), what);
  char* where = beside(f, f.r.name);
  {
    const shown_name shown_where(where != nullptr ? where : f.r.name);
    report("kiv: %s: %s; the new text is left in %s\n", f.shown.c_str(), what, shown_where.c_str());
  }
  std::free(where);
}

// Nothing to do: the file stays as it is, said only with -v.
void nothing_to_do(run_state& run, file_job& f, const char* what, const char* page = nullptr) {
  if (f.r.name[0] != '\0') {
    if (const int error = replace_abandon(f.r)) {
      count(run, &tally::failed);
      return give_up(run, f, std::strerror(error));
    }
  }
  count(run, std::strcmp(what, "binary") == 0 ? &tally::binary : &tally::already);
  if (verbose) line(f, what, page);
}

constexpr const char* cannot_keep = "owner, group or attributes cannot be kept";
constexpr const char* changed = "changed while being converted";

// No memory even for the file's job: said, and the run stops.
void out_of_memory(run_state& run, const char* name) {
  const shown_name shown(name);
  report("kiv: %s: %s\n", shown.c_str(), std::strerror(ENOMEM));
  count(run, &tally::failed);
  run.status = ENOMEM;
  run.stop = true;
}

void left_alone(run_state& run, file_job& f, const char* why) {
  count(run, &tally::left_alone);
  char what[4200];
  std::snprintf(what, sizeof what, "left alone: %s", why);
  give_up(run, f, what);
}

void failed(run_state& run, file_job& f, int error) {
  count(run, &tally::failed);
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
  static_cast<void>(run);
  return fstatat(f.dir, f.base, there, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(there->st_mode) &&
         there->st_dev == f.first.st_dev && there->st_ino == f.first.st_ino;
}

// The open file, and its name in its folder, still the file first opened, as it was then;
// and no writer came for it (where a lease tells).
bool unchanged(const run_state& run, const file_job& f) {
  // The name's file is the open one (same device and inode): one look serves for both.
  struct stat there;
  return !(f.leased && lease_broken(f.fd)) && still_there(run, f, &there) &&
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

void commit_batch(run_state& run);

// Ends the run of files in the folder held: synced if files were renamed into it, and
// closed if it was opened for them.
void drain(run_state& run);

void release_folder(run_state& run) {
  commit_batch(run);
  drain(run);
  if (run.dir.fd < 0) return;
  // A worker's folders are the coordinator's to sync.
  if (run.dir_renamed && run.coordinator < 0) {
    if (const int error = folder_sync(run.dir)) {
      const shown_name shown(run.dir_path);
      report("kiv: %s: cannot sync the directory: %s\n", shown.c_str(), std::strerror(error));
      if (run.status == 0) run.status = status_failure;
    }
  }
  if (run.dir_owned) folder_close(run.dir);
  run.dir = folder{};
  std::free(run.dir_path);
  run.dir_path = nullptr;
  run.dir_renamed = false;
}

// Holds the folder of a file named on the command line: the one held already when it is
// the same, else that one released and this one opened. One at a time: a run needs few
// descriptors.
int hold_folder(run_state& run, file_job& f) {
  // The same path is the same folder, as far as it matters: the file's name there is
  // checked against the file all the same.
  struct stat st;
  if (run.dir.fd >= 0 && run.dir_owned &&
      (std::strcmp(f.dir_path, run.dir_path) == 0 ||
       (stat(f.dir_path, &st) == 0 && st.st_dev == run.dir.dev && st.st_ino == run.dir.ino)))
    return 0;
  release_folder(run);
  if (const int error = folder_open(run.dir, f.dir_path)) return error;
  run.dir_append_only = folder_append_only(run.dir);
  run.dir_owned = true;
  run.dir_path = f.dir_path;
  f.dir_path = nullptr;
  return 0;
}

// The walk's folder of a file found in it (in a worker: the coordinator's), as the folder
// held.
int use_walk_folder(run_state& run, const file_job& f) {
  if (run.dir.fd >= 0 && run.dir.dev == f.walk_dev && run.dir.ino == f.walk_ino) return 0;
  release_folder(run);
  char* path = static_cast<char*>(std::malloc(f.prefix + 1));
  if (path == nullptr) return ENOMEM;
  std::memcpy(path, f.name, f.prefix);
  // Shown without its last slash, as a folder named on the command line is.
  path[f.prefix > 1 ? f.prefix - 1 : f.prefix] = '\0';
  if (const int error = folder_adopt(run.dir, f.walk_dir)) {
    std::free(path);
    return error;
  }
  run.dir_append_only = folder_append_only(run.dir);
  run.dir_owned = false;
  run.dir_path = path;
  return 0;
}

// The file's folder held, and its descriptor the job's: the walk's, or the one found for
// a name given.
int find_its_folder(run_state& run, file_job& f, bool link) {
  if (f.walk_dir >= 0) {
    if (const int error = use_walk_folder(run, f)) return error;
    f.dir = f.walk_dir;
    return 0;
  }
  if (const int error = find_folder(f, link)) return error;
  if (const int error = hold_folder(run, f)) return error;
  f.dir = run.dir.fd;
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
// reads look for one (but in UTF-16) and stop there. They also tell the progress line.
struct nul_watch {
  int fd;
  bool seen;
  bool look = true;          // for a NUL: in all but UTF-16
  declared_input* declared;  // what is read instead of fd, or null
};
ssize_t read_watching(void* cookie, void* bytes, std::size_t n) {
  auto* w = static_cast<nul_watch*>(cookie);
  const ssize_t got =
      w->declared != nullptr ? read_declared(w->declared, bytes, n) : read(w->fd, bytes, n);
  if (got > 0) progress_bytes(static_cast<std::size_t>(got));
  if (got > 0 && w->look && std::memchr(bytes, 0, static_cast<std::size_t>(got)) != nullptr) {
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
  input_stream in = input_on_file(f.fd, f.first.st_size);
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
    case detect_outcome::not_cyrillic:
      if (given != nullptr) break;
      left_alone(run, f, "8-bit text, not Cyrillic");
      return nullptr;
    case detect_outcome::letters:
      if (utf16_given || (single_byte_given && std::strcmp(found->name, "utf-8") == 0)) {
        nothing_to_do(run, f, "looks like ", found->name);
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
  return from;
}

// The new text's buffer, had once for the run.
constexpr std::size_t new_text_size = std::size_t{1} << 16;
unsigned char* new_text = nullptr;

ssize_t discard(void*, const void*, std::size_t n) { return static_cast<ssize_t>(n); }

// "1 line", "3 lines".
struct line_count {
  char text[32];
  explicit line_count(std::uint64_t n) {
    std::snprintf(text, sizeof text, "%ju line%s", static_cast<std::uintmax_t>(n),
                  n == 1 ? "" : "s");
  }
};

// Why a file is left alone after its conversion was tried, or null. Lines the rules would
// mend come first: they are what the other losses are likely made of.
const char* loss(const repair_counts& counts, const code_page* from, char (&why)[120]) {
  if (counts.lines > 0 && !repair) {
    std::snprintf(why, sizeof why, "%s in another page or double-encoded (--repair mends them)",
                  line_count(counts.lines).text);
  } else if (from == output_page && counts.invalid) {
    std::snprintf(why, sizeof why, "invalid bytes for %s", from->name);  // --lossy alike
  } else if (watch.invalid) {
    std::snprintf(why, sizeof why, "invalid bytes for %s (--lossy converts it)", from->name);
  } else if (watch.lacking) {
    std::snprintf(why, sizeof why, "characters %s lacks (--lossy converts it)", output_page->name);
  } else {
    return nullptr;
  }
  return why;
}

// One reading of the file from its start (past a BOM that a single-byte output page has
// no use for), converted into out under the repair rules.
struct conversion_pass {
  repair_counts counts;
  bool binary = false;  // a NUL
  int read_error = 0;
  bool declarations = false;  // a charset declaration rewritten
};
int convert_pass(const file_job& f, const code_page* from, output_stream& out,
                 conversion_pass& pass) {
  const off_t start = output_page->char_width == 1 ? bom_length(f.fd, from) : 0;
  // The head with its declarations rewritten is read as part of the text: the watch
  // proves the rest. A file already in the page keeps them.
  declared_input declared;
  const int declarations =
      keep_declarations || from == output_page
          ? 0
          : open_declared_input(declared, f.fd, start, from, output_page, f.first.st_size);
  if (declarations < 0) return errno;
  if (declarations == 0 && lseek(f.fd, start, SEEK_SET) != start) return errno;
  // Read as far as the file went when it was opened: if it grows, it changed, which the
  // last look before the rename sees.
  input_stream in = input_on_file(f.fd, declarations > 0 ? -1 : f.first.st_size - start);
  nul_watch nul{f.fd, false, from->char_width != 2, declarations > 0 ? &declared : nullptr};
  in.read_fn = read_watching;
  in.cookie = &nul;
  watch.invalid = watch.lacking = false;
  const int converted = repair_file(in, out, repair, pass.counts);
  out_flush(out);
  pass.binary = nul.seen;
  pass.read_error = in.error;
  pass.declarations = declarations > 0;
  return converted;
}

// The name an original is kept under with --backup, in its folder.
struct backup_name {
  char name[NAME_MAX + 1] = {};  // "" when the name would be too long
  char* shown = nullptr;         // beside the file, as messages show it
  bool made = false;
  char why[4096] = {};
  ~backup_name() { std::free(shown); }
};

bool name_backup(const file_job& f, backup_name& b) {
  const std::size_t base = std::strlen(f.base), suffix = std::strlen(backup_suffix);
  if (base + suffix <= NAME_MAX) {
    std::memcpy(b.name, f.base, base);
    std::memcpy(b.name + base, backup_suffix, suffix + 1);
  }
  return (b.shown = beside(f, f.base, backup_suffix)) != nullptr;
}

// Keeps the original under the backup name by a second link, just before the rename, so
// that it keeps its mode, owner, times and attributes; then the last check, which expects
// that link. Null, or why the file is left alone.
const char* make_backup(const run_state& run, const file_job& f, backup_name& b) {
  char* const why = b.why;
  constexpr std::size_t why_size = sizeof b.why;
  const shown_name shown(b.shown);
  const int dir = f.dir;
  struct stat st;
  int error = b.name[0] == '\0' ? ENAMETOOLONG : 0;
  if (error == 0 && dry_run) {
    if (fstatat(dir, b.name, &st, AT_SYMLINK_NOFOLLOW) != 0) return nullptr;
    error = EEXIST;
  }
  if (error == 0 && linkat(dir, f.base, dir, b.name, 0) != 0) error = errno;
  if (error == EEXIST) {
    std::snprintf(why, why_size, "backup %s exists", shown.c_str());
    return why;
  }
  if (error != 0) {
    std::snprintf(why, why_size, "backup %s cannot be made: %s", shown.c_str(),
                  std::strerror(error));
    return why;
  }
  b.made = true;
  struct stat now, there;
  const auto same = [&](const struct stat& x) {
    return x.st_dev == f.first.st_dev && x.st_ino == f.first.st_ino;
  };
  if (!(f.leased && lease_broken(f.fd)) && fstat(f.fd, &now) == 0 && same(now) &&
      now.st_size == f.first.st_size && now.st_nlink == f.first.st_nlink + 1 &&
      now.st_mtim.tv_sec == f.first.st_mtim.tv_sec &&
      now.st_mtim.tv_nsec == f.first.st_mtim.tv_nsec && still_there(run, f, &there) &&
      fstatat(dir, b.name, &st, AT_SYMLINK_NOFOLLOW) == 0 && same(st))
    return nullptr;
  unlinkat(dir, b.name, 0);
  b.made = false;
  return changed;
}

// The last name of a path, without the slashes after it, into name.
const char* last_name(const char* path, char (&name)[NAME_MAX + 1]) {
  std::size_t end = std::strlen(path);
  while (end > 1 && path[end - 1] == '/') --end;
  std::size_t start = end;
  while (start > 0 && path[start - 1] != '/') --start;
  const std::size_t len = end - start < NAME_MAX ? end - start : NAME_MAX;
  std::memcpy(name, path + start, len);
  name[len] = '\0';
  return name;
}

// A file of a batch, its text on disk: renamed over the original, with its line.
void rename_converted(run_state& run, file_job& f, const queued& q) {
  if (!unchanged(run, f)) return left_alone(run, f, changed);
  backup_name backup;
  if (backup_suffix != nullptr) {
    if (!name_backup(f, backup)) return failed(run, f, ENOMEM);
    // The backup and the rename go together: a signal between them would leave a backup
    // of a file not converted, one after them must not take the backup away.
    fatal_signals_held held;
    if (const char* why = make_backup(run, f, backup)) return left_alone(run, f, why);
    const bool noted = remove_on_signal(f.dir, backup.name);
    const int error = replace_commit(f.r);
    if (noted) keep_on_signal(backup.name);
    if (error != 0) {
      unlinkat(f.dir, backup.name, 0);
      return failed(run, f, error);
    }
  } else if (const int error = replace_commit(f.r)) {
    return failed(run, f, error);
  }
  run.dir_renamed = true;
  count(run, &tally::converted);
  if (reserve(run.replaced)) add(run.replaced, q.made.st_dev, q.made.st_ino);
  if (run.current != nullptr) {
    run.current->made = true;
    run.current->dev = q.made.st_dev;
    run.current->ino = q.made.st_ino;
  }
  // A signal from here to the line leaves the file converted without its line: said in
  // the manual, and better than a kiv that cannot be stopped while nobody reads.
  line(f, q.pages);
  if (f.leased && lease_broken(f.fd)) {
    report("kiv: %s: converted, but another process opened it for writing as it was replaced\n",
           f.shown.c_str());
    run.status = status_failure;
  }
}

// The batch done: each new file synced (its writeback began when it was written), then
// those whose sync worked renamed in order, each file's line and what came after it said
// in turn. No rename comes before its file's text is on disk.
void answer(run_state& run, entry* e, bool said_out = false);
bool tell_ready(run_state& run, const entry& e);
bool wait_turn(run_state& run, std::uint32_t id, std::uint32_t* granted);

void commit_batch(run_state& run) {
  batch& b = run.waiting;
  if (b.count == 0) return;
  capture_into(nullptr);
  int errors[batch_most];
  for (int i = 0; i < b.count; ++i) errors[i] = replace_sync(b.items[i].f->r);
  // In a worker every file of the batch now waits for its turn, which the coordinator
  // gives, to a run of files at a time: each renamed then, its line written at once by
  // the worker itself. Without a turn (the run ends) the rest go, their new files removed.
  const bool worker = run.coordinator >= 0;
  for (int i = 0; worker && !run.stop && i < b.count; ++i)
    if (!tell_ready(run, *b.items[i].said)) run.stop = true;
  bool granted_any = false;
  std::uint32_t granted = 0;
  for (int i = 0; i < b.count; ++i) {
    queued& q = b.items[i];
    if (worker && !run.stop && !(granted_any && q.said->id <= granted)) {
      granted_any = wait_turn(run, q.said->id, &granted);
      if (!granted_any) run.stop = true;
    }
    if (!run.stop && standard_output().error == 0) {
      if (worker) journal_replay(q.said->said);  // what it said before its rename
      run.current = q.said;
      if (errors[i] != 0)
        failed(run, *q.f, errors[i]);
      else
        rename_converted(run, *q.f, q);
      run.current = nullptr;
      if (worker) {
        answer(run, q.said, true);
        q.said = nullptr;
      }
      journal_replay(q.after);
    }
    // The record lost, nothing more is renamed: the lines are all that says which page
    // each file was taken for.
    if (standard_output().error != 0) run.stop = true;
    journal_free(q.after);
    if (q.said != nullptr) {
      journal_free(q.said->said);
      q.said->~entry();
      std::free(q.said);
    }
    job_free(q.f);
  }
  b.count = 0;
  b.bytes = 0;
}

// Whether a file waits in the batch: named again, it must be renamed first.
bool waiting(const run_state& run, const struct stat& st) {
  for (int i = 0; i < run.waiting.count; ++i) {
    const struct stat& first = run.waiting.items[i].f->first;
    if (first.st_dev == st.st_dev && first.st_ino == st.st_ino) return true;
  }
  for (std::uint32_t id = run.first; run.entries != nullptr && id != run.next; ++id) {
    const entry& e = run.entries[id % entries_most];
    if (!e.done && e.worker >= 0 && e.file_dev == st.st_dev && e.file_ino == st.st_ino) return true;
  }
  return false;
}

// Converts the file open on job->fd, found by name or in a walk. link: found through a
// symbolic link. *taken: the job waits in the batch, which frees it.
void dispatch(run_state& run, file_job& f, bool link);

void convert_opened(run_state& run, file_job* job, bool link, bool* taken) {
  file_job& f = *job;
  if (fstat(f.fd, &f.first) != 0) return failed(run, f, errno);
  if (!S_ISREG(f.first.st_mode)) return left_alone(run, f, "not a regular file");
  if (contains(run.replaced, f.first)) return nothing_to_do(run, f, "already ", output_page->name);
  if (f.first.st_nlink > 1) {
    // A rename would part the names into two different texts.
    char why[40];
    std::snprintf(why, sizeof why, "%ju hard links", static_cast<std::uintmax_t>(f.first.st_nlink));
    return left_alone(run, f, why);
  }
  if (run.pool.count > 0) return dispatch(run, f, link);
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

  code_page* const from = page_to_convert(run, f, run.given);
  if (from == nullptr) return;
  input_page = from;
  if (const int error = open_conversion()) return failed(run, f, error);
  if (!reserve(run.replaced)) return failed(run, f, ENOMEM);
  char why[120];
  // A file in the page already is read first: only lines to mend make a new file of it.
  if (from == output_page) {
    output_stream none = output_on(-1, new_text, new_text_size);
    none.write_fn = discard;
    conversion_pass check;
    if (const int error = convert_pass(f, from, none, check)) return failed(run, f, error);
    if (check.binary) return nothing_to_do(run, f, "binary");
    if (check.read_error != 0) return failed(run, f, check.read_error);
    if (const char* w = loss(check.counts, from, why)) return left_alone(run, f, w);
    if (check.counts.lines == 0) return nothing_to_do(run, f, "already ", output_page->name);
  }

  // Its folder, by descriptor from here on: nothing after the first open goes by a path.
  if (const int error = find_its_folder(run, f, link)) return failed(run, f, error);
  if (struct stat there; !still_there(run, f, &there)) return left_alone(run, f, changed);
  // There a new file could be neither renamed nor removed.
  if (run.dir_append_only) return left_alone(run, f, "the folder is append-only");

  output_stream out = output_on(-1, new_text, new_text_size);
  if (dry_run) {
    if (const int error = folder_writable(f.dir)) return failed(run, f, error);
    if (!could_keep_owner(f.first)) return left_alone(run, f, cannot_keep);
    out.write_fn = discard;
  } else {
    int error = 0;
    switch (
        replace_begin(f.r, f.dir, f.base, f.fd, f.first, made_owned_as(run.dir, f.first), &error)) {
      case replace_failure::none:
        break;
      case replace_failure::keep:
        return left_alone(run, f, cannot_keep);
      case replace_failure::create:
        return failed(run, f, error);
    }
    out.fd = f.r.fd;
  }

  conversion_pass done;
  if (const int error = convert_pass(f, from, out, done)) return failed(run, f, error);
  // A file that changed under kiv tells nothing certain about itself. (One that seems
  // fine is looked at once more, just before its rename.)
  const char* lost = loss(done.counts, from, why);
  if ((done.binary || done.read_error != 0 || out.error != 0 || lost != nullptr) &&
      !unchanged(run, f))
    return left_alone(run, f, changed);
  if (done.binary) return nothing_to_do(run, f, "binary");
  if (done.read_error != 0) return failed(run, f, done.read_error);
  if (out.error != 0) return failed(run, f, out.error);
  if (lost != nullptr) return left_alone(run, f, lost);

  char pages[200];
  const line_count mended(done.counts.lines);
  int at = from == output_page
               ? std::snprintf(pages, sizeof pages, "%s", from->name)
               : std::snprintf(pages, sizeof pages, "%s -> %s", from->name, output_page->name);
  if (f.rival != nullptr)
    at += std::snprintf(pages + at, sizeof pages - static_cast<std::size_t>(at), " (unsure: or %s)",
                        f.rival->name);
  std::snprintf(pages + at, sizeof pages - static_cast<std::size_t>(at), "%s%s%s%s",
                done.counts.lines > 0 ? ", " : "", done.counts.lines > 0 ? mended.text : "",
                done.counts.lines > 0 ? " repaired" : "",
                done.declarations ? ", charset declaration updated" : "");
  if (dry_run) {
    if (!unchanged(run, f)) return left_alone(run, f, changed);
    backup_name backup;
    if (backup_suffix != nullptr) {
      if (!name_backup(f, backup)) return failed(run, f, ENOMEM);
      if (const char* w = make_backup(run, f, backup)) return left_alone(run, f, w);
    }
    add(run.replaced, f.first.st_dev, f.first.st_ino);
    count(run, &tally::converted);
    return line(f, pages);
  }
  int error = 0;
  if (replace_keep(f.r, &error) != replace_failure::none)
    return error == ENOMEM ? failed(run, f, error) : left_alone(run, f, cannot_keep);
  if (keep_times) {
    const struct timespec times[2] = {f.first.st_atim, f.first.st_mtim};
    if (futimens(f.r.fd, times) != 0) return failed(run, f, errno);
  }
  batch& b = run.waiting;
  queued& q = b.items[b.count];
  q.made = f.r.made;
  // Its writeback starts now; its sync comes when the batch is written.
  sync_file_range(f.r.fd, 0, 0, SYNC_FILE_RANGE_WRITE);
  q.f = job;
  std::memcpy(q.pages, pages, sizeof pages);
  q.after = journal{};
  q.said = run.current;  // a worker's: the record it keeps for this file
  if (q.said != nullptr) q.said->bytes = progress_bytes_read() - q.said->bytes;
  ++b.count;
  b.bytes += q.made.st_size;
  *taken = true;
  if (q.said == nullptr) capture_into(&q.after);
  if (b.count >= b.limit || b.bytes >= batch_bytes) commit_batch(run);
}

// The coordinator's record of the files in turn: each file's entry is begun when the
// file is met and said when it and every file before it are done.
entry* begin_entry(run_state& run);
void emit_ready(run_state& run);

void receive_one(run_state& run);

// Ends the record of the file in hand, unless a worker has it.
void settle(run_state& run) {
  entry* e = run.current;
  if (e == nullptr) return;
  capture_into(nullptr);
  run.current = nullptr;
  if (e->worker < 0) e->done = true;
  emit_ready(run);
}

entry* begin_entry(run_state& run) {
  if (run.entries == nullptr) return nullptr;
  while (run.next - run.first == entries_most) receive_one(run);
  entry& e = run.entries[run.next % entries_most];
  e = entry{};
  e.id = run.next++;
  run.current = &e;
  capture_into(&e.said);
  return &e;
}

void show_progress(const run_state& run);

// Says what is done in turn; then, if the next file waits in a worker for its rename, tells
// that worker it is its turn: the line of the file before it is out.
void emit_ready(run_state& run) {
  while (run.first != run.next && run.entries[run.first % entries_most].done) {
    entry& e = run.entries[run.first % entries_most];
    journal_replay(e.said);
    journal_free(e.said);
    ++run.first;
  }
  if (standard_output().error != 0) run.stop = true;  // no record: no more renames
  if (run.first != run.next && !run.stop) {
    entry& head = run.entries[run.first % entries_most];
    if (head.ready && !head.go) {
      // The turn: the run of files that wait in the same worker, one after another.
      std::uint32_t last = head.id;
      for (; last + 1 != run.next; ++last) {
        const entry& n = run.entries[(last + 1) % entries_most];
        if (!n.ready || n.go || n.done || n.worker != head.worker) break;
      }
      for (std::uint32_t id = head.id; id - head.id <= last - head.id; ++id) {
        run.entries[id % entries_most].go = true;
        ++run.turns_out;
      }
      // The worker writes those lines itself: the progress line goes meanwhile.
      progress_clear_for_output();
      if (jobs_go(run.pool, head.worker, head.id, last) != 0) run.stop = true;
    }
  }
  if (run.turns_out == 0) show_progress(run);
}

// A worker gone: what it held is not done (its new files it removed, as a signal made it
// go), and nothing more is started.
void lost_worker(run_state& run, int error) {
  report("kiv: a job ended before its files were done: %s\n", std::strerror(error));
  run.status = status_failure;
  run.stop = true;
  for (std::uint32_t id = run.first; id != run.next; ++id) {
    entry& e = run.entries[id % entries_most];
    if (e.worker >= 0 && !e.done) {
      e.done = true;
      ++run.counts.failed;
    }
  }
  for (int k = 0; k < run.pool.count; ++k) run.outstanding[k] = 0;
  emit_ready(run);
}

// One worker's word taken in: a file whose turn it waits for, or one done, what it did
// counted and what it said kept for its turn.
void receive_one(run_state& run) {
  job_result r;
  const int w = jobs_pump(run.pool, r, true);
  if (w < 0) return lost_worker(run, errno);
  entry& e = run.entries[r.id % entries_most];
  if (r.ready) {
    e.ready = true;
    return emit_ready(run);
  }
  if (r.said_out) --run.turns_out;
  if (!journal_append(e.said, r.said, r.said_len)) report_text("kiv: Cannot allocate memory\n", 28);
  std::size_t tally::*fields[5] = {&tally::converted, &tally::already, &tally::binary,
                                   &tally::left_alone, &tally::failed};
  for (int k = 0; k < 5; ++k) run.counts.*fields[k] += r.counts[k];
  if (r.status != 0 && (run.status == 0 || r.status == ENOMEM)) run.status = r.status;
  if (r.stop) run.stop = true;
  if (r.made) {
    run.dir_renamed = true;
    if (reserve(run.replaced)) add(run.replaced, r.dev, r.ino);
  }
  progress_bytes(static_cast<std::size_t>(r.bytes));
  --run.outstanding[w];
  e.done = true;
  emit_ready(run);
}

// Every file handed out done. A run that stops waits no more: the workers, told nothing
// more, remove the new files they hold.
void drain(run_state& run) {
  for (;;) {
    int held = 0;
    for (int k = 0; k < run.pool.count; ++k) held += run.outstanding[k];
    if (held == 0 || run.stop) return;
    receive_one(run);
  }
}

// Hands the file, open and checked, to a worker. Never waits on a socket: what it cannot
// take yet is sent as it can, while the answers are read.
void dispatch(run_state& run, file_job& f, bool link) {
  if (const int error = find_its_folder(run, f, link)) return failed(run, f, error);
  // A worker is given a batch's worth in a row: one worker syncs and renames its batch
  // while the next writes its own, rather than all of them at once.
  int w = run.filling;
  while (!run.stop && run.outstanding[w] >= run.waiting.limit) {
    for (int k = 1; k <= run.pool.count && run.outstanding[w] >= run.waiting.limit; ++k)
      w = (run.filling + k) % run.pool.count;
    if (run.outstanding[w] >= run.waiting.limit) receive_one(run);
  }
  if (run.stop) return;
  run.filling = w;
  entry* e = run.current;
  job_task task{};
  task.id = e->id;
  task.fd = f.fd;
  task.dir = f.dir;
  task.dir_dev = run.dir.dev;
  task.dir_ino = run.dir.ino;
  task.link = link;
  task.prefix = f.prefix;
  task.name = f.name;
  task.base = f.base;
  task.resolved = f.resolved;
  if (const int error = jobs_send(run.pool, w, task)) return failed(run, f, error);
  e->worker = w;
  e->file_dev = f.first.st_dev;
  e->file_ino = f.first.st_ino;
  ++run.outstanding[w];
}

// A worker's answer for one file (said_out: its lines written already), its record then
// freed.
void answer(run_state& run, entry* e, bool said_out) {
  job_result r{};
  r.id = e->id;
  r.said_out = said_out;
  r.status = run.status;
  r.stop = run.stop;
  r.made = e->made;
  r.dev = e->dev;
  r.ino = e->ino;
  r.counts[0] = e->counts.converted;
  r.counts[1] = e->counts.already;
  r.counts[2] = e->counts.binary;
  r.counts[3] = e->counts.left_alone;
  r.counts[4] = e->counts.failed;
  r.bytes = e->bytes;
  r.said = e->said.bytes;
  r.said_len = e->said.len;
  if (job_answer(run.coordinator, r) != 0) run.stop = true;
  journal_free(e->said);
  e->~entry();
  std::free(e);
}

// A file handed to a worker, kept while the worker waits for another's turn.
struct handed {
  file_job* f;
  entry* e;
  bool link;
};
struct handed_queue {
  handed* items = nullptr;
  std::size_t first = 0, count = 0, cap = 0;
};
handed_queue handed_over;

// Takes a task in: its job and record made now, since the task's strings last only until
// the next message. False when out of memory (the run stops).
bool take_task(run_state& run, const job_task& t) {
  auto* e = static_cast<entry*>(std::malloc(sizeof(entry)));
  file_job* f = e != nullptr ? job_new(t.name, t.base) : nullptr;
  handed_queue& q = handed_over;
  if (f != nullptr && q.count == q.cap) {
    const std::size_t cap = q.cap == 0 ? 64 : 2 * q.cap;
    auto* grown = static_cast<handed*>(std::malloc(cap * sizeof(handed)));
    if (grown != nullptr) {
      for (std::size_t i = 0; i < q.count; ++i) grown[i] = q.items[(q.first + i) % q.cap];
      std::free(q.items);
      q.items = grown;
      q.first = 0;
      q.cap = cap;
    }
  }
  if (f == nullptr || q.count == q.cap ||
      (t.resolved != nullptr && (f->resolved = strdup(t.resolved)) == nullptr)) {
    job_free(f);
    std::free(e);
    close(t.fd);
    close(t.dir);
    run.status = ENOMEM;
    run.stop = true;
    return false;
  }
  new (e) entry;
  e->id = t.id;
  f->fd = t.fd;
  f->walk_dir = t.dir;
  f->own_dir = true;
  f->walk_dev = t.dir_dev;
  f->walk_ino = t.dir_ino;
  f->prefix = t.prefix;
  q.items[(q.first + q.count++) % q.cap] = handed{f, e, t.link};
  return true;
}

char* task_text = nullptr;  // the strings of the last message
std::size_t task_text_cap = 0;

// In a worker: file e's new text is on disk, and it waits for its turn.
bool tell_ready(run_state& run, const entry& e) {
  job_result r{};
  r.id = e.id;
  r.ready = true;
  r.status = run.status;
  return job_answer(run.coordinator, r) == 0;
}

// In a worker: the word that it is file id's turn to be renamed (and the files after it
// up to *granted), the tasks that come meanwhile kept for later. False when the
// coordinator is gone, or ended the run.
bool wait_turn(run_state& run, std::uint32_t id, std::uint32_t* granted) {
  for (;;) {
    job_task t{};
    switch (job_next(run.coordinator, t, &task_text, &task_text_cap)) {
      case job_word::go:
        if (t.id <= id && id <= t.last) {
          *granted = t.last;
          return true;
        }
        break;
      case job_word::task:
        if (!take_task(run, t)) return false;
        break;
      case job_word::end:
        return false;
    }
  }
}

// A worker: each file handed to it converted as the files of a walk are, its folder the
// coordinator's; a batch is done whenever no file is waiting to be handed over.
int serve(int sock, void* ctx) {
  const run_state& coordinator = *static_cast<const run_state*>(ctx);
  progress_end();
  end_with(nullptr, 0);
  auto* mem = static_cast<run_state*>(std::malloc(sizeof(run_state)));
  if (mem == nullptr) return ENOMEM;
  run_state& run = *new (mem) run_state;
  run.given = coordinator.given;
  run.coordinator = sock;
  run.waiting.limit = coordinator.waiting.limit;
  handed_queue& q = handed_over;
  while (!run.stop) {
    if (q.count == 0) {
      job_task t{};
      const job_word word = job_next(sock, t, &task_text, &task_text_cap);
      if (word == job_word::end) break;
      if (word != job_word::task || !take_task(run, t)) continue;
    }
    const handed h = q.items[q.first];
    q.first = (q.first + 1) % q.cap;
    --q.count;
    run.current = h.e;
    capture_into(&h.e->said);
    bool taken = false;
    h.e->bytes = progress_bytes_read();  // made what was read of it when it is done
    convert_opened(run, h.f, h.link, &taken);
    capture_into(nullptr);
    run.current = nullptr;
    // Taken, the file is the batch's, and its record may be gone already.
    if (!taken) {
      h.e->bytes = progress_bytes_read() - h.e->bytes;
      job_free(h.f);
      answer(run, h.e);
    }
    if (q.count == 0 && !job_waiting(sock)) commit_batch(run);
  }
  commit_batch(run);
  release_folder(run);
  // Told nothing more: what it holds is not renamed, its new files removed.
  for (; q.count > 0; --q.count, q.first = (q.first + 1) % q.cap) {
    job_free(q.items[q.first].f);
    q.items[q.first].e->~entry();
    std::free(q.items[q.first].e);
  }
  std::free(q.items);
  std::free(task_text);
  const int status = run.status;
  run.~run_state();
  std::free(mem);
  return status == ENOMEM ? ENOMEM : 0;
}

void show_progress(const run_state& run) {
  const tally& c = run.counts;
  progress_files(c.converted + c.already + c.binary + c.left_alone + c.failed, c.left_alone);
}

void convert_found(run_state& run, int dir, dev_t dev, ino_t ino, const char* name,
                   const char* shown);

// A walk's hooks: each file found is converted as one named on the command line would
// be, with the walk's folder as its own.
void walk_file(void* ctx, int dir, dev_t dev, ino_t ino, const char* name, const char* shown) {
  run_state& run = *static_cast<run_state*>(ctx);
  begin_entry(run);
  convert_found(run, dir, dev, ino, name, shown);
  settle(run);
  show_progress(run);
}

void convert_found(run_state& run, int dir, dev_t dev, ino_t ino, const char* name,
                   const char* shown) {
  job_holder held{job_new(shown, name)};
  if (held.f == nullptr) return out_of_memory(run, shown);
  file_job& f = *held.f;
  f.walk_dir = dir;
  f.walk_dev = dev;
  f.walk_ino = ino;
  f.prefix = std::strlen(shown) - std::strlen(name);
  // The listing said a regular file; the open decides, and follows no link.
  constexpr int flags = O_RDONLY | O_NOCTTY | O_NOFOLLOW | O_CLOEXEC;
  f.fd = openat(dir, name, flags | O_NONBLOCK);
  if (f.fd < 0 && errno == EWOULDBLOCK) f.fd = openat(dir, name, flags);
  if (f.fd < 0) {
    if (errno == ENOENT) return;  // gone since the listing: nothing was done to it
    return errno == ELOOP ? left_alone(run, f, changed) : failed(run, f, errno);
  }
  bool taken = false;
  convert_opened(run, held.f, false, &taken);
  if (taken) held.f = nullptr;
}

void walk_leave(void* ctx, int dir) {
  run_state& run = *static_cast<run_state*>(ctx);
  if (run.dir.fd == dir) release_folder(run);
}

void walk_passed(void* ctx, const char* shown, const char* why) {
  if (!verbose) return;
  run_state& run = *static_cast<run_state*>(ctx);
  begin_entry(run);
  const file_job f(shown);
  line(f, why);
  settle(run);
}

void walk_trouble(void* ctx, const char* shown, const char* why, int error) {
  run_state& run = *static_cast<run_state*>(ctx);
  begin_entry(run);
  file_job f(shown);
  if (why != nullptr)
    left_alone(run, f, why);
  else
    failed(run, f, error);
  settle(run);
}

bool walk_stopped(void* ctx) {
  return static_cast<run_state*>(ctx)->stop || standard_output().error != 0;
}

// A folder named on the command line: walked with -r, never when it is a version-control
// folder.
void walk_operand(run_state& run, file_job& f) {
  char last[NAME_MAX + 1];
  if (is_version_control(last_name(f.name, last))) {
    if (verbose) line(f, "version-control folder, not entered");
    return;
  }
  if (!recursive) return left_alone(run, f, "a directory (-r converts what it holds)");
  // A link to a folder walks that folder, as the open follows it.
  const int fd = open(f.name, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return failed(run, f, errno);
  release_folder(run);
  settle(run);  // the files met in the walk are said in turn after it
  const walk_hooks hooks{&run, walk_file, walk_leave, walk_passed, walk_trouble, walk_stopped};
  walk_tree(fd, f.name, backup_suffix, hooks);
  release_folder(run);
}

// A file named on the command line; a folder is walked with -r.
void convert_named(run_state& run, const char* name) {
  job_holder held{job_new(name)};
  if (held.f == nullptr) return out_of_memory(run, name);
  file_job& f = *held.f;
  struct stat st;
  bool link = false;
  for (;;) {
    if (lstat(name, &st) != 0) return failed(run, f, errno);
    // Only to pass over what is not a regular file without opening it: the open decides.
    link = S_ISLNK(st.st_mode);
    if (link && stat(name, &st) != 0) return failed(run, f, errno);
    // Named again while its conversion waits: done first, then this name looked at anew.
    if (!waiting(run, st)) break;
    commit_batch(run);
    drain(run);
  }
  if (S_ISDIR(st.st_mode)) return walk_operand(run, f);
  char last[NAME_MAX + 1];
  if (is_new_file_name(last_name(name, last)))
    return left_alone(run, f, "a new file of kiv (a run was cut short)");
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
  bool taken = false;
  convert_opened(run, held.f, link, &taken);
  if (taken) held.f = nullptr;
}

void convert_operand(run_state& run, const char* name) {
  begin_entry(run);
  convert_named(run, name);
  settle(run);
  show_progress(run);
}

// With -j 2 or more: the workers forked, the coordinator's record of files made. Where
// the descriptors are too few for them, the run is one job.
int start_jobs(run_state& run) {
  int n = jobs;
  if (n == 0) {
    cpu_set_t cpus;
    n = sched_getaffinity(0, sizeof cpus, &cpus) == 0 ? CPU_COUNT(&cpus) : 1;
  }
  if (n > jobs_most) n = jobs_most;
  struct rlimit files {};
  if (n < 2 || getrlimit(RLIMIT_NOFILE, &files) != 0 || files.rlim_cur < 64) return 0;
  // A worker holds three descriptors a file of its batch: the file, the new one, the
  // folder's copy.
  const rlim_t room = files.rlim_cur - 16 > 3 * batch_most ? 3 * batch_most : files.rlim_cur - 16;
  run.waiting.limit = static_cast<int>(room / 3);
  run.entries = static_cast<entry*>(std::calloc(entries_most, sizeof(entry)));
  if (run.entries == nullptr) return ENOMEM;
  if (const int error = jobs_start(run.pool, n, serve, &run)) {
    std::free(run.entries);
    run.entries = nullptr;
    return error;
  }
  end_with(run.pool.pid, run.pool.count);
  return 0;
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
  run.given = input_given ? input_page : nullptr;
  // Each file of a batch holds two descriptors until it is renamed; the rest of the run
  // needs at most 16 (the outputs, the walk's, a folder, a file in hand and its new one,
  // iconv's while it loads).
  struct rlimit files {};
  if (getrlimit(RLIMIT_NOFILE, &files) == 0) {
    const rlim_t room = files.rlim_cur > 16 + 2 * batch_most ? 2 * batch_most
                        : files.rlim_cur > 16                ? files.rlim_cur - 16
                                                             : 0;
    run.waiting.limit = room >= 4 ? static_cast<int>(room / 2) : 1;
  }
  if (const int error = start_jobs(run)) {
    report("kiv: cannot start %d jobs: %s\n", jobs, std::strerror(error));
    return error == ENOMEM ? ENOMEM : status_failure;
  }
  progress_start();
  for (int i = 0; i < count && !run.stop; ++i) {
    convert_operand(run, names[i]);
    if (standard_output().error != 0) break;  // the record of what was done is gone
  }
  // Until the folder's sync a crash may leave the old text in place, but never a part of
  // either.
  release_folder(run);
  if (run.pool.count > 0) {
    end_with(nullptr, 0);
    if (const int ended = jobs_finish(run.pool)) {
      if (ended > 128)
        report("kiv: a job was ended by signal %d\n", ended - 128);
      else
        report("kiv: a job ended with status %d\n", ended);
      if (run.status == 0) run.status = status_failure;
    }
    std::free(run.entries);
  }
  progress_end();
  const tally& c = run.counts;
  if (verbose || c.left_alone > 0 || c.failed > 0 || run.status != 0)
    report(
        "kiv: %zu %s, %zu already %s or without Russian letters, %zu binary, %zu left alone, "
        "%zu failed\n",
        c.converted, dry_run ? "to convert" : "converted", c.already, output_page->name, c.binary,
        c.left_alone, c.failed);
  std::free(run.replaced.slots);
  watch = conversion_watch{};
  return run.status;
}
