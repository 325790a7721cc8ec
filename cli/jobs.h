// Workers for -j: processes forked at the start of an in-place run, each handed files
// through a socket of its own (the open file and its folder as descriptors, the names as
// bytes) and answering with what was done and what it would have said. A worker renames
// a file only when the coordinator says it is that file's turn, just after the line of
// the file before it went out, and writes its line itself: a signal leaves at most the
// file in hand without its line, as with one job. Processes, not threads: each has the converter's
// state to itself, and a signal reaches each alike.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

constexpr int jobs_most = 64;

// A file for a worker, or (go) the word that files id to last may be renamed.
struct job_task {
  std::uint32_t id;
  std::uint32_t last;  // go: the last file of the turn
  int fd;              // the file, open for reading
  int dir;             // its folder
  dev_t dir_dev;
  ino_t dir_ino;
  bool link;
  std::size_t prefix;    // of name (or resolved), the folder's part
  const char* name;      // as shown
  const char* base;      // the file's name in its folder
  const char* resolved;  // where a link led, or null
};

// What a worker did with a file, or (ready) that the file's new text is on disk and waits
// for its turn to be renamed.
struct job_result {
  std::uint32_t id;
  bool ready;
  bool said_out;  // the worker wrote its lines and messages itself, in its turn
  int status;     // the worker's status so far
  bool stop;      // the run must stop (out of memory)
  bool made;      // renamed over: the new file's device and inode follow
  dev_t dev;
  ino_t ino;
  std::size_t counts[5];  // converted, already, binary, left alone, failed
  std::uint64_t bytes;    // read of the file
  const char* said;       // its lines and messages, as a journal keeps them
  std::size_t said_len;
};

// A message on its way out, or the bytes of one coming in.
struct job_message {
  char* bytes = nullptr;
  std::size_t len = 0, sent = 0;
  int fds[2] = {-1, -1};  // sent with the first bytes
};

struct job_worker {
  pid_t pid = 0;
  int sock = -1;
  job_message* out = nullptr;  // a queue, oldest first
  std::size_t out_first = 0, out_count = 0, out_cap = 0;
  char* in = nullptr;  // bytes read and not yet taken
  std::size_t in_len = 0, in_cap = 0;
};

struct job_pool {
  int count = 0;
  job_worker worker[jobs_most];
  pid_t pid[jobs_most] = {};
  char* said = nullptr;  // the last result's text, until the next one
  std::size_t said_cap = 0;
};

// Forks n workers; each runs serve(sock, ctx) on its end of its socket and exits with
// what serve returns. 0, or the error number (no worker is left then).
int jobs_start(job_pool& pool, int n, int (*serve)(int sock, void* ctx), void* ctx);

// Queues a task, or the word that files id to last may be renamed (their lines written
// by the worker itself, as it renames them), for worker w: sent as the socket takes it,
// never waiting. The task's descriptors are copied: the caller keeps its own. 0 or the
// error number.
int jobs_send(job_pool& pool, int w, const job_task& task);
int jobs_go(job_pool& pool, int w, std::uint32_t id, std::uint32_t last);

// Sends what is queued as far as the sockets take it and takes in one message from any
// worker: its index, -1 when none has come (only without wait), or -2 with errno
// (EPIPE: a worker ended).
int jobs_pump(job_pool& pool, job_result& result, bool wait);

// No more tasks: each worker finishes what it holds and exits; waits for them. 0, or the
// status of a worker that did not end well (128 and its signal when one ended it).
int jobs_finish(job_pool& pool);

// On the worker's side, each call waiting as it must: the next message, its strings in
// buf (kept until the next call).
enum class job_word { task, go, end };
job_word job_next(int sock, job_task& task, char** buf, std::size_t* cap);
// Whether a message is waiting already.
bool job_waiting(int sock);
int job_answer(int sock, const job_result& result);
