#include "io/lease.h"

#include <fcntl.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>

namespace {

// The descriptors with a lease, and whether each was broken; -1 marks a free slot. Written
// by the handler too, so only sig_atomic_t.
struct lease_slot {
  volatile sig_atomic_t fd;
  volatile sig_atomic_t gone;
};
// Allocated when first needed: a run that takes none starts in less memory.
lease_slot* volatile slots = nullptr;
int signal_number = 0;

void on_break(int, siginfo_t* info, void*) {
  const int saved = errno;
  const int fd = info->si_fd;
  // Given back at once: the writer waits for nothing, and kiv knows.
  fcntl(fd, F_SETLEASE, F_UNLCK);
  if (lease_slot* const all = slots)
    for (int i = 0; i < lease_slots; ++i)
      if (all[i].fd == fd) all[i].gone = 1;
  errno = saved;
}

bool set_up() {
  if (slots != nullptr) return true;
  auto* all = static_cast<lease_slot*>(std::malloc(lease_slots * sizeof(lease_slot)));
  if (all == nullptr) return false;
  for (int i = 0; i < lease_slots; ++i) all[i].fd = -1;
  slots = all;
  signal_number = lease_signal();
  struct sigaction sa {};
  sa.sa_sigaction = on_break;
  sa.sa_flags = SA_SIGINFO | SA_RESTART;
  sigemptyset(&sa.sa_mask);
  return sigaction(signal_number, &sa, nullptr) == 0;
}

int slot_of(int fd) {
  if (slots == nullptr) return -1;
  for (int i = 0; i < lease_slots; ++i)
    if (slots[i].fd == fd) return i;
  return -1;
}

}  // namespace

int lease_signal() { return SIGRTMIN; }

lease_result lease_take(int fd) {
  if (!set_up()) return lease_result::unavailable;
  const int slot = slot_of(-1);
  if (slot < 0) return lease_result::unavailable;
  // The slot first: a break may come the moment the lease is on.
  slots[slot].gone = 0;
  slots[slot].fd = fd;
  if (fcntl(fd, F_SETSIG, signal_number) == 0 && fcntl(fd, F_SETLEASE, F_RDLCK) == 0)
    return lease_result::held;
  const int e = errno;
  slots[slot].fd = -1;
  return e == EAGAIN ? lease_result::busy : lease_result::unavailable;
}

bool lease_broken(int fd) {
  const int slot = slot_of(fd);
  return slot >= 0 && slots[slot].gone != 0;
}

void lease_release(int fd) {
  const int slot = slot_of(fd);
  if (slot < 0) return;
  fcntl(fd, F_SETLEASE, F_UNLCK);
  slots[slot].fd = -1;
}
