// What a file's handling says, on standard output and standard error, kept in order until
// it is that file's turn: in place, the files after one that waits for its sync in a batch
// speak after it.
#pragma once

#include <sys/uio.h>

#include <cstddef>

struct journal {
  char* bytes = nullptr;  // records: which output (1 or 2), the length, the text
  std::size_t len = 0, cap = 0;
};

// Keeps a line for standard output, or a message for standard error; false when out of
// memory (nothing is kept then).
bool journal_line(journal& j, const struct iovec* parts, int count);
bool journal_message(journal& j, const char* text, std::size_t len);

// Appends records another journal kept (a worker's, sent whole).
bool journal_append(journal& j, const char* records, std::size_t len);

// Writes what was kept, in order, each line and message as it would have gone out, and
// empties the journal.
void journal_replay(journal& j);

void journal_free(journal& j);
