// Replacing a file by a new text: the text is written to a new file beside it, in the same
// folder, and renamed over it only once whole, so that whatever happens the old text or
// the new one is in place, each complete. Everything after the file's first open goes
// through descriptors: the folder's and the files'. A signal that ends kiv removes the new
// files first.
#pragma once

#include <limits.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/types.h>

// A folder new files are made in and renamed in, held open.
struct folder {
  int fd = -1;
  dev_t dev = 0;
  ino_t ino = 0;
  mode_t mode = 0;  // its mode and group: a set-group-id folder gives new files its group
  gid_t gid = 0;
  int sync_error = 0;  // why it cannot be synced, known when it was opened: reading it
                       // was refused, so it is held by path only
};

// Opens the folder at path: 0 or the error number.
int folder_open(folder& d, const char* path);

// The folder already open on fd (not owned), as folder_open would have it.
int folder_adopt(folder& d, int fd);

// Whether a new file made in the folder now belongs to the owner and group of st.
bool made_owned_as(const folder& d, const struct stat& st);

// Whether the folder is append-only: a new file made there could be neither renamed nor
// removed. False when the file system has no such flag.
bool folder_append_only(const folder& d);

// Makes the renames into the folder durable: 0 or the error number.
int folder_sync(const folder& d);

// Whether a new file could be made in the folder open on fd, as --dry-run tells without
// making one: 0, or the error number making it would give (EACCES, EROFS).
int folder_writable(int fd);

void folder_close(folder& d);

struct replacement {
  int dir = -1;                  // the folder (not owned)
  const char* target = nullptr;  // the file's name in it
  char name[NAME_MAX + 1] = {};  // the new file's there, ".NAME.kiv-XXXXXX"; "" when none
  int fd = -1;                   // the new file, open for writing
  int source_fd = -1;            // the original, open
  struct stat original {};
  bool attributes = false;  // either file had extended attributes when the new one was made
  struct stat made {};      // the new file, as replace_keep left it
};

// What replace_begin could not do.
enum class replace_failure {
  none,
  create,  // the new file could not be made (errno in *error)
  keep,    // the owner, group or an extended attribute could not be kept
};

// Creates the new file in the folder dir, beside target (a regular file there), and gives
// it the owner, group and extended attributes (ACLs included) of the file open on
// source_fd, whose status is original. owner_alike: the new file is foretold to be made
// with that owner and group already (replace_keep mends it if not). On failure the new
// file is removed again, unless that fails too: then r.name still names it (see
// replace_abandon).
replace_failure replace_begin(replacement& r, int dir, const char* target, int source_fd,
                              const struct stat& original, bool owner_alike, int* error);

// Once the text is written: the original's extended attributes and permission bits, set
// again and checked, since writing drops some. On failure the caller abandons the file.
replace_failure replace_keep(replacement& r, int* error);

// Makes the new file's contents durable and closes it: 0 or the error number.
int replace_sync(replacement& r);

// Renames the new file over the target: 0, or the error number (the new file is still
// there: abandon it). A signal that comes meanwhile removes the new file if it is not yet
// renamed, and finds nothing to remove if it is.
int replace_commit(replacement& r);

// Removes the new file, if there is one: 0, or the error number when it is still there
// (r.name names it then).
int replace_abandon(replacement& r);

// Another name a signal must remove while it is there (a backup link not yet kept by the
// rename): noted and forgotten with those signals held. False when no room is left.
bool remove_on_signal(int dir, const char* name);
void keep_on_signal(const char* name);

// Processes that a signal ending kiv ends too, with the same signal, and waits for: the
// workers, which remove their own new files. (Count 0: none.)
void end_with(const pid_t* pids, int count);

// From now on, every signal whose default action ends kiv removes the new files first.
// False when out of memory.
bool remove_on_signals();

// Holds back, while it lives, every signal that would end kiv: what must happen together
// (a new file and the note to remove it, a rename and the end of that note) is not cut in
// two.
class fatal_signals_held {
 public:
  fatal_signals_held();
  ~fatal_signals_held();
  fatal_signals_held(const fatal_signals_held&) = delete;
  fatal_signals_held& operator=(const fatal_signals_held&) = delete;

 private:
  sigset_t old_;
};
