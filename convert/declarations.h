// Charset declarations in a file's head (XML, CSS, HTML, Emacs, Python, Vim): a file
// converted to another page gets the name in each rewritten, so that it says what it now is.
#pragma once

#include <sys/types.h>

#include <cstddef>

struct code_page;

// How much of the original file is looked at: the first bytes, as browsers do.
constexpr std::size_t declaration_window = 1024;
// Room for a rewritten head: a name grows by 13 characters at most, within a declaration
// at least that long, but for the four the first two lines may hold.
constexpr std::size_t rewritten_head_max = 3 * declaration_window;

// Copies head, the first len bytes of a file in page from, into out (rewritten_head_max
// bytes) with the name in every declaration that does not name page to, by kiv's names
// and aliases in any case, replaced by to's name as the declaration's readers know it;
// nothing else changes. len < declaration_window means the file ends there. Sets
// *out_len and returns how many names were replaced (0 when from is to).
int rewrite_declarations(const unsigned char* head, std::size_t len, const code_page* from,
                         const code_page* to, unsigned char* out, std::size_t* out_len);

// A file's text as a read hook serves it (io/input.h read_fn): its rewritten head, then
// the rest of the file read from fd.
struct declared_input {
  unsigned char head[rewritten_head_max];
  std::size_t len = 0;  // of the rewritten head
  std::size_t pos = 0;  // served so far
  int fd = -1;
};

// Reads fd's head and rewrites its declarations. When some were, returns how many, with
// in serving the new head from skip on (skip: bytes at the start left out, such as a
// BOM) and fd placed after the old head; 0 leaves fd where it was; -1 with errno when
// reading failed.
int open_declared_input(declared_input& in, int fd, std::size_t skip, const code_page* from,
                        const code_page* to, off_t size = -1);

// The read hook: cookie is a declared_input.
ssize_t read_declared(void* cookie, void* bytes, std::size_t n);
