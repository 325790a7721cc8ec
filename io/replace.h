// Replacing a file by a new text: the text is written to a new file beside it, in the same
// directory, and renamed over it only once whole, so that whatever happens the old text
// or the new one is in place, each complete. A signal that ends kiv removes the new file
// first.
#pragma once

#include <sys/stat.h>

struct replacement {
  int fd = -1;           // the new file, open for writing
  char* path = nullptr;  // its name, beside the target: ".NAME.kiv-XXXXXX"
  const char* target = nullptr;
};

// What replace_begin could not do.
enum class replace_failure {
  none,
  create,  // the new file could not be made (errno in *error)
  keep,    // the owner, group or an extended attribute could not be kept
};

// Creates the new file beside target (a path to a regular file, not a link) and gives it
// the owner, group, extended attributes (ACLs included) and permission bits of the file
// open on source_fd, whose status is original. On failure nothing is left behind.
replace_failure replace_begin(replacement& r, const char* target, int source_fd,
                              const struct stat& original, int* error);

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
