// Detection of an input's code page from 512-byte blocks, and the list of held blocks.
#pragma once

#include <cstddef>
#include <cstdint>

struct code_page;
struct input_stream;
struct output_stream;

constexpr int detect_block_size = 512;

// What detection found an input to be.
enum class detect_outcome {
  no_hits,       // no Russian letter: the fallback, with a score of 0
  letters,       // a page named by its letter totals (and the rules after them)
  utf16,         // utf-16le or utf-16be, from the first block
  binary,        // not UTF-16, and a NUL, a magic number or control bytes in what detection
                 // read: to be copied unchanged
  not_cyrillic,  // 8-bit text that the page named reads as no Russian: copied unchanged
};

struct detect_ctx {
  code_page* pages;      // first record of a registry, walked to its end record
  code_page* fallback;   // the answer while every total is 0
  unsigned char* block;  // detect_block_size bytes, owned by the caller
  std::int32_t block_len;
  detect_outcome outcome = detect_outcome::no_hits;  // set by detect_code_page
  code_page* rival = nullptr;  // letters: another page that reads the bytes nearly as
                               // well (unsure which), or null
  bool mid_line = false;       // what was written at once ends inside a line
};

// Blocks that detection read but did not write, oldest first; empty between inputs.
struct pending_block {
  unsigned char* bytes;
  std::int32_t length;
  pending_block* next;
};
extern pending_block* pending_head;
extern pending_block* pending_tail;

// Adds the block's letter-frequency score to every page's total; returns the page with
// the highest total (the earlier page on ties, the fallback while all are 0) and stores
// that total in *best_out.
code_page* score_block(detect_ctx* ctx, float* best_out);

// Reads blocks until the best total clears a threshold that falls with every scoring
// block, or the input ends. With echo, blocks read while nothing scored go to output at
// once (on their way before a read that may wait) and later ones are held in the pending
// list. A first block that is UTF-16, or a block with a NUL, ends detection at once and
// is held. Sets input_page, ctx->outcome and ctx->rival, and returns the page with its
// total in *score_out (0 for no hits and binary data); returns null when a block could not
// be held (out of memory). For binary data the page is the fallback; 8-bit text that is
// not Cyrillic keeps the page its letters named.
code_page* detect_code_page(detect_ctx* ctx, input_stream& input, output_stream& output, bool echo,
                            float* score_out);

// True when -l lets a block with this best total through unchanged.
bool below_passthrough_score(float score);

// Appends a private copy of the bytes to the pending list; false when out of memory.
bool pending_append(const unsigned char* bytes, std::int32_t length);

// malloc that reports a failure through perror("kiv").
void* alloc_or_report(std::size_t size);
