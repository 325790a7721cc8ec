#include "cli/jobs.h"

#include <fcntl.h>
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

constexpr std::uint8_t word_task = 0, word_go = 1;

struct task_head {
  std::uint32_t len;  // of the strings after it
  std::uint32_t id, last;
  std::uint64_t dir_dev, dir_ino, prefix;
  std::uint32_t name_len, base_len, resolved_len;  // resolved: ~0 for none
  std::uint8_t word, link;
};

struct result_head {
  std::uint32_t len;  // of the text after it
  std::uint32_t id;
  std::int32_t status;
  std::uint8_t ready, said_out, stop, made;
  std::uint64_t dev, ino, bytes;
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

void close_message(job_message& m) {
  for (int& fd : m.fds) {
    if (fd >= 0) close(fd);
    fd = -1;
  }
  std::free(m.bytes);
  m = job_message{};
}

// Queues a message of len bytes (and copies of the descriptors, when given) for w.
int queue(job_worker& w, const void* head, std::size_t head_len, const char* const* parts,
          const std::size_t* lens, int count, const int* fds) {
  if (w.out_count == w.out_cap) {
    const std::size_t cap = w.out_cap == 0 ? 16 : 2 * w.out_cap;
    auto* grown = static_cast<job_message*>(std::malloc(cap * sizeof(job_message)));
    if (grown == nullptr) return ENOMEM;
    for (std::size_t i = 0; i < w.out_count; ++i) grown[i] = w.out[(w.out_first + i) % w.out_cap];
    std::free(w.out);
    w.out = grown;
    w.out_first = 0;
    w.out_cap = cap;
  }
  job_message m;
  std::size_t len = head_len;
  for (int i = 0; i < count; ++i) len += lens[i];
  m.bytes = static_cast<char*>(std::malloc(len));
  if (m.bytes == nullptr) return ENOMEM;
  std::memcpy(m.bytes, head, head_len);
  for (int i = 0, at = static_cast<int>(head_len); i < count; at += static_cast<int>(lens[i++]))
    std::memcpy(m.bytes + at, parts[i], lens[i]);
  m.len = len;
  for (int i = 0; fds != nullptr && i < 2; ++i) {
    m.fds[i] = fcntl(fds[i], F_DUPFD_CLOEXEC, 3);
    if (m.fds[i] < 0) {
      const int e = errno;
      close_message(m);
      return e;
    }
  }
  w.out[(w.out_first + w.out_count++) % w.out_cap] = m;
  return 0;
}

// Sends what the socket takes of w's queue, never waiting. False when the worker is gone.
bool flush(job_worker& w) {
  while (w.out_count > 0) {
    job_message& m = w.out[w.out_first];
    struct iovec part {
      m.bytes + m.sent, m.len - m.sent
    };
    struct msghdr h {};
    h.msg_iov = &part;
    h.msg_iovlen = 1;
    alignas(struct cmsghdr) char control[CMSG_SPACE(2 * sizeof(int))] = {};
    if (m.sent == 0 && m.fds[0] >= 0) {
      h.msg_control = control;
      h.msg_controllen = sizeof control;
      struct cmsghdr* c = CMSG_FIRSTHDR(&h);
      c->cmsg_level = SOL_SOCKET;
      c->cmsg_type = SCM_RIGHTS;
      c->cmsg_len = CMSG_LEN(2 * sizeof(int));
      std::memcpy(CMSG_DATA(c), m.fds, sizeof m.fds);
    }
    const ssize_t put = sendmsg(w.sock, &h, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (put < 0 && errno == EINTR) continue;
    if (put < 0) return errno == EAGAIN || errno == EWOULDBLOCK;
    if (m.sent == 0)
      for (int& fd : m.fds) {  // the worker has its own copies now
        if (fd >= 0) close(fd);
        fd = -1;
      }
    m.sent += static_cast<std::size_t>(put);
    if (m.sent < m.len) return true;
    close_message(m);
    w.out_first = (w.out_first + 1) % w.out_cap;
    --w.out_count;
  }
  return true;
}

// A whole message from w's bytes into r, if they hold one.
bool take(job_pool& pool, job_worker& w, job_result& r) {
  result_head h;
  if (w.in_len < sizeof h) return false;
  std::memcpy(&h, w.in, sizeof h);
  if (w.in_len < sizeof h + h.len) return false;
  if (!grow(&pool.said, &pool.said_cap, h.len + 1)) return false;
  std::memcpy(pool.said, w.in + sizeof h, h.len);
  w.in_len -= sizeof h + h.len;
  std::memmove(w.in, w.in + sizeof h + h.len, w.in_len);
  r.id = h.id;
  r.ready = h.ready != 0;
  r.said_out = h.said_out != 0;
  r.status = h.status;
  r.stop = h.stop != 0;
  r.made = h.made != 0;
  r.dev = static_cast<dev_t>(h.dev);
  r.ino = static_cast<ino_t>(h.ino);
  r.bytes = h.bytes;
  for (int k = 0; k < 5; ++k) r.counts[k] = static_cast<std::size_t>(h.counts[k]);
  r.said = pool.said;
  r.said_len = h.len;
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
      for (int k = 0; k < pool.count; ++k) close(pool.worker[k].sock);
      close(ends[0]);
      // Ended with the run: a worker whose parent is gone removes its new files and goes.
      prctl(PR_SET_PDEATHSIG, SIGTERM);
      if (getppid() != parent) _exit(1);
      _exit(serve(ends[1], ctx));
    }
    close(ends[1]);
    pool.worker[pool.count] = job_worker{};
    pool.worker[pool.count].pid = pid;
    pool.worker[pool.count].sock = ends[0];
    pool.pid[pool.count] = pid;
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
  h.word = word_task;
  h.link = task.link;
  const char* parts[3] = {task.name, task.base, task.resolved != nullptr ? task.resolved : ""};
  const std::size_t lens[3] = {name, base, resolved};
  const int fds[2] = {task.fd, task.dir};
  job_worker& wk = pool.worker[w];
  if (const int e = queue(wk, &h, sizeof h, parts, lens, 3, fds)) return e;
  return flush(wk) ? 0 : EPIPE;
}

int jobs_go(job_pool& pool, int w, std::uint32_t id, std::uint32_t last) {
  task_head h{};
  h.id = id;
  h.last = last;
  h.word = word_go;
  job_worker& wk = pool.worker[w];
  if (const int e = queue(wk, &h, sizeof h, nullptr, nullptr, 0, nullptr)) return e;
  return flush(wk) ? 0 : EPIPE;
}

int jobs_pump(job_pool& pool, job_result& r, bool wait) {
  for (;;) {
    for (int w = 0; w < pool.count; ++w)
      if (take(pool, pool.worker[w], r)) return w;
    struct pollfd p[jobs_most];
    for (int w = 0; w < pool.count; ++w)
      p[w] = {pool.worker[w].sock,
              static_cast<short>(POLLIN | (pool.worker[w].out_count > 0 ? POLLOUT : 0)), 0};
    int ready;
    do ready = poll(p, static_cast<nfds_t>(pool.count), wait ? -1 : 0);
    while (ready < 0 && errno == EINTR);
    if (ready < 0) return -2;
    if (ready == 0) return -1;
    for (int w = 0; w < pool.count; ++w) {
      job_worker& wk = pool.worker[w];
      if ((p[w].revents & POLLOUT) != 0 && !flush(wk)) {
        errno = EPIPE;
        return -2;
      }
      if ((p[w].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
      if (!grow(&wk.in, &wk.in_cap, wk.in_len + 65536)) {
        errno = ENOMEM;
        return -2;
      }
      const ssize_t got = recv(wk.sock, wk.in + wk.in_len, 65536, MSG_DONTWAIT);
      if (got > 0) wk.in_len += static_cast<std::size_t>(got);
      if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR)) {
        if (take(pool, wk, r)) return w;
        errno = EPIPE;
        return -2;
      }
    }
  }
}

int jobs_finish(job_pool& pool) {
  int status = 0;
  for (int w = 0; w < pool.count; ++w) {
    job_worker& wk = pool.worker[w];
    close(wk.sock);
    for (std::size_t i = 0; i < wk.out_count; ++i)
      close_message(wk.out[(wk.out_first + i) % wk.out_cap]);
    std::free(wk.out);
    std::free(wk.in);
  }
  for (int w = 0; w < pool.count; ++w) {
    int ended = 0;
    while (waitpid(pool.worker[w].pid, &ended, 0) < 0 && errno == EINTR) {
    }
    if (!WIFEXITED(ended) || WEXITSTATUS(ended) != 0)
      status = WIFEXITED(ended) ? WEXITSTATUS(ended) : 128 + WTERMSIG(ended);
  }
  pool.count = 0;
  std::free(pool.said);
  pool.said = nullptr;
  pool.said_cap = 0;
  return status;
}

job_word job_next(int sock, job_task& task, char** buf, std::size_t* cap) {
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
  if (got <= 0) return job_word::end;
  int fds[2] = {-1, -1};
  for (struct cmsghdr* c = CMSG_FIRSTHDR(&m); c != nullptr; c = CMSG_NXTHDR(&m, c))
    if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_RIGHTS)
      std::memcpy(fds, CMSG_DATA(c), sizeof fds);
  if (static_cast<std::size_t>(got) < sizeof h &&
      !read_all(sock, reinterpret_cast<char*>(&h) + got, sizeof h - static_cast<std::size_t>(got)))
    return job_word::end;
  task.id = h.id;
  task.last = h.last;
  if (h.word == word_go) return job_word::go;
  const bool resolved = h.resolved_len != ~0u;
  const std::size_t strings = h.name_len + h.base_len + (resolved ? h.resolved_len : 0);
  if (!grow(buf, cap, strings + 3) || !read_all(sock, *buf, strings)) return job_word::end;
  // Each string ends in a NUL of its own.
  char* s = *buf;
  std::memmove(s + h.name_len + h.base_len + 2, s + h.name_len + h.base_len,
               resolved ? h.resolved_len : 0);
  std::memmove(s + h.name_len + 1, s + h.name_len, h.base_len);
  s[h.name_len] = '\0';
  s[h.name_len + 1 + h.base_len] = '\0';
  if (resolved) s[h.name_len + h.base_len + 2 + h.resolved_len] = '\0';
  task.fd = fds[0];
  task.dir = fds[1];
  task.dir_dev = static_cast<dev_t>(h.dir_dev);
  task.dir_ino = static_cast<ino_t>(h.dir_ino);
  task.prefix = static_cast<std::size_t>(h.prefix);
  task.link = h.link != 0;
  task.name = s;
  task.base = s + h.name_len + 1;
  task.resolved = resolved ? s + h.name_len + h.base_len + 2 : nullptr;
  return job_word::task;
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
  h.ready = r.ready;
  h.said_out = r.said_out;
  h.stop = r.stop;
  h.made = r.made;
  h.dev = r.dev;
  h.ino = r.ino;
  h.bytes = r.bytes;
  for (int k = 0; k < 5; ++k) h.counts[k] = r.counts[k];
  const struct iovec parts[2] = {{&h, sizeof h}, {const_cast<char*>(r.said), r.said_len}};
  return write_all(sock, parts, 2) ? 0 : errno;
}
