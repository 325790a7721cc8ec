// A folder's names, read whole from its descriptor and sorted by bytes, so that two runs
// over the same tree go in the same order.
#pragma once

#include <cstddef>

struct listing {
  char* bytes = nullptr;  // for each name: its DT_* kind as one byte, the name, a NUL
  std::size_t used = 0, cap = 0;
  std::size_t* at = nullptr;  // where each name starts, in sorted order
  std::size_t count = 0, slots = 0;
};

// Reads the names of the folder open on fd (from its start; "." and ".." left out) and
// sorts them. 0 or the error number.
int list_folder(int fd, listing& list);

inline const char* listed_name(const listing& list, std::size_t i) {
  return list.bytes + list.at[i];
}
// DT_REG, DT_DIR, DT_LNK and so on; DT_UNKNOWN where the file system does not say.
inline unsigned char listed_kind(const listing& list, std::size_t i) {
  return static_cast<unsigned char>(list.bytes[list.at[i] - 1]);
}

void listing_free(listing& list);
