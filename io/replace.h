// Replacing a file by a new text: the text is written to a new file beside it, in the same
// directory, and renamed over it only once whole, so that whatever happens the old text
// or the new one is in place, each complete. A signal that ends kiv removes the new file
// first.
#pragma once

#include <signal.h>
#include <sys/stat.h>

struct replacement {
  int fd = -1;           // the new file, open for writing
  char* path = nullptr;  // its name, beside the target: ".NAME.kiv-XXXXXX"
  const char* target = nullptr;
  int source_fd = -1;  // the original, open
  struct stat original {};
};

// What replace_begin could not do.
enum class replace_failure {
  none,
  create,  // the new file could not be made (errno in *error)
  keep,    // the owner, group or an extended attribute could not be kept
};

// Creates the new file beside target (a path to a regular file, not a link) and gives it
// the owner, group and extended attributes (ACLs included) of the file open on source_fd,
// whose status is original. On failure nothing is left behind.
replace_failure replace_begin(replacement& r, const char* target, int source_fd,
                              const struct stat& original, int* error);

// Once the text is written: the original's extended attributes and permission bits, set
// again and checked, since writing drops some. On failure the new file is removed.
replace_failure replace_keep(replacement& r, int* error);

// Makes the new file's contents durable and closes it: 0 or the error number.
int replace_sync(replacement& r);

// Renames the new file over the target: 0 or the error number (the new file is removed).
int replace_commit(replacement& r);

// Removes the new file, if there is one.
void replace_abandon(replacement& r);

// Makes the renames into a directory durable: 0 or the error number.
int sync_directory(const char* dir);

// From now on, every signal whose default action ends kiv removes a new file first.
void remove_on_signals();

// Holds back, while it lives, every signal that would end kiv: what must happen together
// (creating the new file and noting it, a rename and its record) is not cut in two.
class fatal_signals_held {
 public:
  fatal_signals_held();
  ~fatal_signals_held();
  fatal_signals_held(const fatal_signals_held&) = delete;
  fatal_signals_held& operator=(const fatal_signals_held&) = delete;

 private:
  sigset_t old_;
};
