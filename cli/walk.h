// Walking a tree for --recursive, by descriptors only: each folder opened from its parent
// by its name, never following a link, and checked to be the one the parent listed; at
// most walk_descriptors of them held, a deeper one reached again from the nearest held
// ancestor, a parent again through "..", each checked. Names are sorted by bytes,
// subfolders walked where their names fall, so two runs go in the same order; the names
// of the folders on the way down are held, each read once.
#pragma once

#include <sys/types.h>

constexpr int walk_descriptors = 8;

// What the walk hands its caller. Shown names are the operand's followed by the names
// below it, of any length, unescaped.
struct walk_hooks {
  void* ctx;
  // A regular file (as the listing says) in the folder open on dir (device and inode
  // given): its name there and its shown name.
  void (*file)(void* ctx, int dir, dev_t dev, ino_t ino, const char* name, const char* shown);
  // The folder's run of files has ended (a subfolder comes next, or its end).
  void (*leave)(void* ctx, int dir);
  // Passed over without being counted, with why: said with -v.
  void (*passed)(void* ctx, const char* shown, const char* why);
  // A folder that cannot be walked: left alone (why) or an error (why null).
  void (*trouble)(void* ctx, const char* shown, const char* why, int error);
  // True once the run must stop (out of memory, the report lost).
  bool (*stopped)(void* ctx);
};

// Names the walk never enters: version-control folders, whose files a conversion would
// destroy.
bool is_version_control(const char* name);

// The new files of a run that was cut short: ".NAME.kiv-XXXXXX".
bool is_new_file_name(const char* name);

// Walks the folder open on fd (which the walk takes over and closes), shown as shown.
// Names ending in backup_suffix (when not null) or "~" are passed over as backups.
void walk_tree(int fd, const char* shown, const char* backup_suffix, const walk_hooks& hooks);
