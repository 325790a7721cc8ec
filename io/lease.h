// Read leases on the files being replaced: the kernel tells kiv, by a signal of its own,
// when another process opens the file for writing, which no check of sizes and times can
// see in time. kiv gives the lease back at once, so a writer never waits.
#pragma once

enum class lease_result {
  held,         // the lease is on; lease_broken tells whether a writer came since
  busy,         // the file is open for writing already (by another process)
  unavailable,  // not granted here (not the owner, a file system without leases, leases
                // turned off): the caller's own checks are all there is
};

// Takes a read lease on fd, open for reading only. At most lease_slots at once.
lease_result lease_take(int fd);
constexpr int lease_slots = 80;  // a batch of files and the one in hand

// Whether a writer opened the file since its lease was taken (false when none is held).
bool lease_broken(int fd);

// Gives the lease back, if one is held; closing fd does it too, but the slot stays taken
// until this is called.
void lease_release(int fd);

// The signal that announces a break: a real-time one, which never ends kiv.
int lease_signal();
