// Workers for -j: processes forked at the start of an in-place run, each handed files
// through a socket of its own (the open file and its folder as descriptors, the names as
// bytes) and answering with what was done and what it would have said. Processes, not
// threads: each has the converter's state to itself, and a signal reaches each alike.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

constexpr int jobs_most = 64;

// A file for a worker.
struct job_task {
  std::uint32_t id;
  int fd;   // the file, open for reading
  int dir;  // its folder
  dev_t dir_dev;
  ino_t dir_ino;
  bool dir_append_only;
  bool link;
  std::size_t prefix;    // of name (or resolved), the folder's part
  const char* name;      // as shown
  const char* base;      // the file's name in its folder
  const char* resolved;  // where a link led, or null
};

// What a worker did with it.
struct job_result {
  std::uint32_t id;
  int status;  // the worker's status so far
  bool stop;   // the run must stop (out of memory)
  bool made;   // renamed over: the new file's device and inode follow
  dev_t dev;
  ino_t ino;
  std::size_t counts[5];  // converted, already, binary, left alone, failed
  const char* said;       // its lines and messages, as a journal keeps them
  std::size_t said_len;
};

struct job_pool {
  int count = 0;
  pid_t pid[jobs_most] = {};
  int sock[jobs_most] = {};
  // The last result read: its text lives here until the next one.
  char* buf = nullptr;
  std::size_t cap = 0;
};

// Forks n workers; each runs serve(sock, ctx) on its end of its socket and exits with
// what serve returns. 0, or the error number (no worker is left then).
int jobs_start(job_pool& pool, int n, int (*serve)(int sock, void* ctx), void* ctx);

// Hands worker w a task; its descriptors are the worker's own copies from then on.
// 0 or the error number.
int jobs_send(job_pool& pool, int w, const job_task& task);

// Waits for a result from any worker: its index, or -1 with errno (EPIPE: a worker ended
// without answering).
int jobs_receive(job_pool& pool, job_result& result);

// No more tasks: each worker finishes what it holds and exits; waits for them. 0, or the
// status of a worker that did not end well.
int jobs_finish(job_pool& pool);

// On the worker's side: the next task (its strings in buf, kept until the next call),
// false at the end.
bool job_next(int sock, job_task& task, char** buf, std::size_t* cap);
// Whether a task is waiting already.
bool job_waiting(int sock);
int job_answer(int sock, const job_result& result);
