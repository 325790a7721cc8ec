#include "cli/jobs.h"

#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

struct task_head {
  std::uint32_t len;  // of the strings after it
  std::uint32_t id;
  std::uint64_t dir_dev, dir_ino, prefix;
  std::uint32_t name_len, base_len, resolved_len;  // resolved: ~0 for none
  std::uint8_t append_only, link;
};

struct result_head {
  std::uint32_t len;  // of the text after it
  std::uint32_t id;
  std::int32_t status;
  std::uint8_t stop, made;
  std::uint64_t dev, ino;
  std::uint64_t counts[5];
};

bool grow(char** buf, std::size_t* cap, std::size_t need) {
  if (need <= *cap) return true;
  std::size_t n = *cap == 0 ? 4096 : *cap;
  while (n < need) n *= 2;
  char* grown = static_cast<char*>(std::realloc(*buf, n));
  if (grown == nullptr) return false;
  *buf = grown;
  *cap = n;
  return true;
}

bool read_all(int fd, void* to, std::size_t n) {
  auto* p = static_cast<char*>(to);
  while (n > 0) {
    const ssize_t got = read(fd, p, n);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      if (got == 0) errno = EPIPE;
      return false;
    }
    p += got;
    n -= static_cast<std::size_t>(got);
  }
  return true;
}

bool write_all(int fd, const struct iovec* parts, int count) {
  struct iovec v[4];
  std::memcpy(v, parts, static_cast<std::size_t>(count) * sizeof *v);
  struct iovec* at = v;
  while (count > 0) {
    const ssize_t put = writev(fd, at, count);
    if (put < 0 && errno == EINTR) continue;
    if (put < 0) return false;
    auto left = static_cast<std::size_t>(put);
    while (count > 0 && left >= at->iov_len) {
      left -= at->iov_len;
      ++at;
      --count;
    }
    if (count > 0) {
      at->iov_base = static_cast<char*>(at->iov_base) + left;
      at->iov_len -= left;
    }
  }
  return true;
}

}  // namespace

int jobs_start(job_pool& pool, int n, int (*serve)(int sock, void* ctx), void* ctx) {
  const pid_t parent = getpid();
  pool.count = 0;
  for (int w = 0; w < n && w < jobs_most; ++w) {
    int ends[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) {
      const int e = errno;
      jobs_finish(pool);
      return e;
    }
    const pid_t pid = fork();
    if (pid < 0) {
      const int e = errno;
      close(ends[0]);
      close(ends[1]);
      jobs_finish(pool);
      return e;
    }
    if (pid == 0) {
      for (int k = 0; k < pool.count; ++k) close(pool.sock[k]);
      close(ends[0]);
      // Ended with the run: a worker whose parent is gone removes its new files and goes.
      prctl(PR_SET_PDEATHSIG, SIGTERM);
      if (getppid() != parent) _exit(1);
      _exit(serve(ends[1], ctx));
    }
    close(ends[1]);
    pool.pid[pool.count] = pid;
    pool.sock[pool.count] = ends[0];
    ++pool.count;
  }
  return 0;
}

int jobs_send(job_pool& pool, int w, const job_task& task) {
  const std::size_t name = std::strlen(task.name), base = std::strlen(task.base);
  const std::size_t resolved = task.resolved != nullptr ? std::strlen(task.resolved) : 0;
  task_head h{};
  h.len = static_cast<std::uint32_t>(name + base + resolved);
  h.id = task.id;
  h.dir_dev = task.dir_dev;
  h.dir_ino = task.dir_ino;
  h.prefix = task.prefix;
  h.name_len = static_cast<std::uint32_t>(name);
  h.base_len = static_cast<std::uint32_t>(base);
  h.resolved_len = task.resolved != nullptr ? static_cast<std::uint32_t>(resolved) : ~0u;
  h.append_only = task.dir_append_only;
  h.link = task.link;
  struct iovec parts[4] = {{&h, sizeof h},
                           {const_cast<char*>(task.name), name},
                           {const_cast<char*>(task.base), base},
                           {const_cast<char*>(task.resolved ? task.resolved : ""), resolved}};
  alignas(struct cmsghdr) char control[CMSG_SPACE(2 * sizeof(int))] = {};
  struct msghdr m {};
  m.msg_iov = parts;
  m.msg_iovlen = 4;
  m.msg_control = control;
  m.msg_controllen = sizeof control;
  struct cmsghdr* c = CMSG_FIRSTHDR(&m);
  c->cmsg_level = SOL_SOCKET;
  c->cmsg_type = SCM_RIGHTS;
  c->cmsg_len = CMSG_LEN(2 * sizeof(int));
  const int fds[2] = {task.fd, task.dir};
  std::memcpy(CMSG_DATA(c), fds, sizeof fds);
  // The descriptors go with the first bytes; the rest may follow in more writes.
  ssize_t put;
  do put = sendmsg(pool.sock[w], &m, MSG_NOSIGNAL);
  while (put < 0 && errno == EINTR);
  if (put < 0) return errno;
  auto left = static_cast<std::size_t>(put);
  int first = 0;
  while (first < 4 && left >= parts[first].iov_len) left -= parts[first++].iov_len;
  if (first < 4) {
    parts[first].iov_base = static_cast<char*>(parts[first].iov_base) + left;
    parts[first].iov_len -= left;
    if (!write_all(pool.sock[w], parts + first, 4 - first)) return errno;
  }
  return 0;
}

int jobs_receive(job_pool& pool, job_result& r) {
  struct pollfd p[jobs_most];
  for (int w = 0; w < pool.count; ++w) p[w] = {pool.sock[w], POLLIN, 0};
  int ready;
  do ready = poll(p, static_cast<nfds_t>(pool.count), -1);
  while (ready < 0 && errno == EINTR);
  if (ready < 0) return -1;
  for (int w = 0; w < pool.count; ++w) {
    if (p[w].revents == 0) continue;
    result_head h;
    if (!read_all(pool.sock[w], &h, sizeof h)) return -1;
    if (!grow(&pool.buf, &pool.cap, h.len + 1)) {
      errno = ENOMEM;
      return -1;
    }
    if (!read_all(pool.sock[w], pool.buf, h.len)) return -1;
    r.id = h.id;
    r.status = h.status;
    r.stop = h.stop != 0;
    r.made = h.made != 0;
    r.dev = static_cast<dev_t>(h.dev);
    r.ino = static_cast<ino_t>(h.ino);
    for (int k = 0; k < 5; ++k) r.counts[k] = static_cast<std::size_t>(h.counts[k]);
    r.said = pool.buf;
    r.said_len = h.len;
    return w;
  }
  errno = EPIPE;
  return -1;
}

int jobs_finish(job_pool& pool) {
  int status = 0;
  for (int w = 0; w < pool.count; ++w) close(pool.sock[w]);
  for (int w = 0; w < pool.count; ++w) {
    int ended = 0;
    while (waitpid(pool.pid[w], &ended, 0) < 0 && errno == EINTR) {
    }
    if (!WIFEXITED(ended) || WEXITSTATUS(ended) != 0)
      status = WIFEXITED(ended) ? WEXITSTATUS(ended) : 128 + WTERMSIG(ended);
  }
  pool.count = 0;
  std::free(pool.buf);
  pool.buf = nullptr;
  pool.cap = 0;
  return status;
}

bool job_next(int sock, job_task& task, char** buf, std::size_t* cap) {
  task_head h;
  alignas(struct cmsghdr) char control[CMSG_SPACE(2 * sizeof(int))] = {};
  struct iovec part {
    &h, sizeof h
  };
  struct msghdr m {};
  m.msg_iov = &part;
  m.msg_iovlen = 1;
  m.msg_control = control;
  m.msg_controllen = sizeof control;
  ssize_t got;
  do got = recvmsg(sock, &m, MSG_CMSG_CLOEXEC);
  while (got < 0 && errno == EINTR);
  if (got <= 0) return false;
  int fds[2] = {-1, -1};
  for (struct cmsghdr* c = CMSG_FIRSTHDR(&m); c != nullptr; c = CMSG_NXTHDR(&m, c))
    if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_RIGHTS)
      std::memcpy(fds, CMSG_DATA(c), sizeof fds);
  if (static_cast<std::size_t>(got) < sizeof h &&
      !read_all(sock, reinterpret_cast<char*>(&h) + got, sizeof h - static_cast<std::size_t>(got)))
    return false;
  const bool resolved = h.resolved_len != ~0u;
  const std::size_t strings = h.name_len + h.base_len + (resolved ? h.resolved_len : 0);
  if (!grow(buf, cap, strings + 3) || !read_all(sock, *buf, strings)) return false;
  // Each string ends in a NUL of its own.
  char* s = *buf;
  std::memmove(s + h.name_len + h.base_len + 2, s + h.name_len + h.base_len,
               resolved ? h.resolved_len : 0);
  std::memmove(s + h.name_len + 1, s + h.name_len, h.base_len);
  s[h.name_len] = '\0';
  s[h.name_len + 1 + h.base_len] = '\0';
  if (resolved) s[h.name_len + h.base_len + 2 + h.resolved_len] = '\0';
  task.id = h.id;
  task.fd = fds[0];
  task.dir = fds[1];
  task.dir_dev = static_cast<dev_t>(h.dir_dev);
  task.dir_ino = static_cast<ino_t>(h.dir_ino);
  task.prefix = static_cast<std::size_t>(h.prefix);
  task.dir_append_only = h.append_only != 0;
  task.link = h.link != 0;
  task.name = s;
  task.base = s + h.name_len + 1;
  task.resolved = resolved ? s + h.name_len + h.base_len + 2 : nullptr;
  return true;
}

bool job_waiting(int sock) {
  struct pollfd p {
    sock, POLLIN, 0
  };
  return poll(&p, 1, 0) > 0;
}

int job_answer(int sock, const job_result& r) {
  result_head h{};
  h.len = static_cast<std::uint32_t>(r.said_len);
  h.id = r.id;
  h.status = r.status;
  h.stop = r.stop;
  h.made = r.made;
  h.dev = r.dev;
  h.ino = r.ino;
  for (int k = 0; k < 5; ++k) h.counts[k] = r.counts[k];
  const struct iovec parts[2] = {{&h, sizeof h}, {const_cast<char*>(r.said), r.said_len}};
  return write_all(sock, parts, 2) ? 0 : errno;
}
