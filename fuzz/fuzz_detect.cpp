// Detection on arbitrary bytes, in conversion and report mode, with and without -l, on
// the built-in registry or on one whose letter tables come from the input; utf-8 is named
// only for bytes that are UTF-8, UTF-16 only for a first block that looks it, binary only
// for a NUL, a magic number or control bytes in what was read; the naming rules only move
// one single-byte page to another, as their whole-buffer form does, and count the same on
// bytes in any pieces, and so do the rules that withhold a page.
//
// Input: a flags byte, four piece sizes, then (with a registry of its own) 66 letter
// bytes per page and a letter count, then the text.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "cli/settings.h"
#include "codepages/detect.h"
#include "codepages/doubts.h"
#include "codepages/naming_rules.h"
#include "codepages/registry.h"
#include "codepages/utf8_tally.h"
#include "convert/convert.h"
#include "fuzz/doubts_oracle.h"
#include "fuzz/naming_oracle.h"
#include "fuzz/pieces.h"
#include "fuzz/utf8_oracle.h"

namespace {

constexpr int own_pages = 3;
code_page own_registry[own_pages + 1];
unsigned char own_letters[own_pages][letter_positions];

bool in_registry(const code_page* pages, const code_page* p) {
  for (const code_page* q = pages; q->name != nullptr; ++q)
    if (q == p) return true;
  return false;
}

// The UTF-16 rule on a first block, in its plainest form: "le", "be" or null.
const char* utf16_by_rule(const std::uint8_t* b, std::size_t n) {
  if (n >= 4 && b[0] == 0xFF && b[1] == 0xFE && b[2] == 0 && b[3] == 0) return nullptr;
  if (n >= 2 && b[0] == 0xFF && b[1] == 0xFE) return "le";
  if (n >= 2 && b[0] == 0xFE && b[1] == 0xFF) return "be";
  if (n / 2 < 16) return nullptr;
  for (const char* order : {"le", "be"}) {
    std::size_t text = 0;
    for (std::size_t i = 0; i + 1 < n; i += 2) {
      const unsigned u = order[0] == 'l' ? b[i] + 256u * b[i + 1] : 256u * b[i] + b[i + 1];
      if (u == 0) return nullptr;
      if ((u >= 9 && u <= 0x7E) || (u >= 0x400 && u <= 0x45F)) ++text;
    }
    if (text * 10 >= (n / 2) * 9) return order;
  }
  return nullptr;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 5) return 0;
  const std::uint8_t flags = data[0];
  const bool echo = flags & 1;
  const bool own = flags & 2;
  const bool may_wait = flags & 4;
  const std::uint8_t* sizes = data + 1;
  data += 5;
  size -= 5;

  code_page* pages = code_pages;
  if (own) {
    if (size < own_pages * letter_positions + 1) return 0;
    const auto count = static_cast<std::int8_t>(data[own_pages * letter_positions]);
    for (int p = 0; p < own_pages; ++p) {
      std::memcpy(own_letters[p], data + p * letter_positions, letter_positions);
      own_registry[p] = code_pages[p];
      own_registry[p].letters = own_letters[p];
      own_registry[p].letter_count = count;  // out of range on purpose at times
    }
    own_registry[own_pages] = code_page{};
    pages = own_registry;
    data += own_pages * letter_positions + 1;
    size -= own_pages * letter_positions + 1;
  }

  reset_settings();
  low_score_passthrough = flags & 8;
  output_page = &code_pages[(flags >> 4) % 6];

  piece_source src{data, size, sizes, 4};
  input_stream in = open_pieces(&src, may_wait);
  static memory_sink sink;
  sink.bytes.clear();
  output_stream out = open_memory_output(&sink, 64 + sizes[0] * 64u);

  unsigned char block[detect_block_size];
  detect_ctx ctx{pages, output_page, block, 0};
  float score = -1.0f;
  const code_page* page = detect_code_page(&ctx, in, out, echo, &score);
  FUZZ_CHECK(page != nullptr);
  FUZZ_CHECK(page == input_page);
  FUZZ_CHECK(in_registry(pages, page) || page == ctx.fallback);
  FUZZ_CHECK(!std::isnan(score) && score >= 0.0f);

  // UTF-16 exactly when the first block looks it (the built-in registry has the pages).
  const char* const utf16 = own ? nullptr : utf16_by_rule(data, std::min<std::size_t>(size, 512));
  FUZZ_CHECK((ctx.outcome == detect_outcome::utf16) == (utf16 != nullptr));
  if (utf16 != nullptr) FUZZ_CHECK(std::strcmp(page->name + 6, utf16) == 0);
  if (ctx.outcome == detect_outcome::utf16 || ctx.outcome == detect_outcome::binary)
    FUZZ_CHECK(score == 0.0f);
  // The page's total; 0 only with the fallback (no hits); utf-8 named by well-formedness
  // alone, or capitals whose page scores nothing (Ъ), have the best total.
  FUZZ_CHECK(score == page->score_total || score == 0.0f || std::strcmp(page->name, "utf-8") == 0 ||
             page->score_total == 0.0f);

  // What detection left in the input, read out after it.
  FUZZ_CHECK(out_flush(out));
  const std::string written = sink.bytes;
  std::string rest;
  for (input_span s; (s = read_span(in, nullptr, 0, out)).len > 0;)
    rest.append(reinterpret_cast<const char*>(s.bytes), s.len);
  FUZZ_CHECK(in.error == 0 && out.error == 0);

  std::string held;
  int held_blocks = 0;
  for (const pending_block* b = pending_head; b != nullptr; b = b->next, ++held_blocks) {
    FUZZ_CHECK(b->length > 0 && b->length <= detect_block_size);
    held.append(reinterpret_cast<const char*>(b->bytes), static_cast<std::size_t>(b->length));
  }
  pending_release();

  // What detection read is written, then held, in input order; the rest is still unread.
  const std::size_t read = size - rest.size();
  FUZZ_CHECK(std::memcmp(rest.data(), data + read, rest.size()) == 0);
  FUZZ_CHECK(rest.empty() || read % detect_block_size == 0);
  const std::string consumed = written + held;
  if (echo) {
    FUZZ_CHECK(consumed.size() == read);
    FUZZ_CHECK(std::memcmp(consumed.data(), data, read) == 0);
  } else {
    FUZZ_CHECK(consumed.empty());
  }
  FUZZ_CHECK(held_blocks <= 7);

  // Binary exactly for a NUL in what was read, in its last block (detection stops there),
  // or for the other signs of binary data in it.
  const std::string_view seen(reinterpret_cast<const char*>(data), read);
  const std::size_t nul = seen.find('\0');
  if (ctx.outcome != detect_outcome::utf16) {
    FUZZ_CHECK((ctx.outcome == detect_outcome::binary) ==
               (nul != std::string_view::npos || binary_by_oracle(seen)));
  }
  if (ctx.outcome == detect_outcome::binary) {
    FUZZ_CHECK(page == ctx.fallback);
    if (nul != std::string_view::npos)
      FUZZ_CHECK(nul / detect_block_size == (read - 1) / detect_block_size);
  }
  if (ctx.outcome == detect_outcome::utf16)
    FUZZ_CHECK(read == std::min<std::size_t>(size, detect_block_size));
  if (ctx.outcome == detect_outcome::utf16 || ctx.outcome == detect_outcome::binary)
    return 0;  // nothing was scored for them
  FUZZ_CHECK((ctx.outcome == detect_outcome::no_hits) == (score == 0.0f));
  const detect_outcome outcome = ctx.outcome;
  const code_page* const rival = ctx.rival;
  if (rival != nullptr) FUZZ_CHECK(outcome == detect_outcome::letters && rival != page);

  // utf-8 only for bytes that are UTF-8, counted over everything detection read; while
  // every total is 0 the fallback stands, whatever it is.
  bool scored = false;
  const code_page* utf8 = nullptr;
  for (const code_page* p = pages; p->name != nullptr; ++p) {
    scored = scored || p->score_total > 0.0f;
    if (std::strcmp(p->name, "utf-8") == 0) utf8 = p;
  }
  const utf8_counts n = count_utf8({reinterpret_cast<const char*>(data), read});
  if (scored && score > 0.0f && page == utf8) FUZZ_CHECK(n.invalid <= n.valid);
  if (score == 0.0f) FUZZ_CHECK(page == ctx.fallback);
  if (scored) FUZZ_CHECK(score > 0.0f || page == ctx.fallback);
  if (scored && utf8 != nullptr && n.valid > 0 && n.invalid * stray_share <= n.valid)
    FUZZ_CHECK(page == utf8);
  if (!scored) FUZZ_CHECK(page == ctx.fallback);

  // The same bytes without the rules: the same blocks written and held, the same totals.
  std::vector<float> totals;
  for (const code_page* p = pages; p->name != nullptr; ++p) totals.push_back(p->score_total);
  naming_rules = false;
  piece_source again{data, size, sizes, 4};
  input_stream in_off = open_pieces(&again, may_wait);
  static memory_sink sink_off;
  sink_off.bytes.clear();
  output_stream out_off = open_memory_output(&sink_off, 64 + sizes[0] * 64u);
  float score_off = -1.0f;
  code_page* const off = detect_code_page(&ctx, in_off, out_off, echo, &score_off);
  naming_rules = true;
  FUZZ_CHECK(off != nullptr && out_flush(out_off));
  std::string held_off;
  for (const pending_block* b = pending_head; b != nullptr; b = b->next)
    held_off.append(reinterpret_cast<const char*>(b->bytes), static_cast<std::size_t>(b->length));
  pending_release();
  FUZZ_CHECK(sink_off.bytes == written && held_off == held);
  for (std::size_t p = 0; p < totals.size(); ++p)
    FUZZ_CHECK(std::memcmp(&totals[p], &pages[p].score_total, sizeof(float)) == 0);
  FUZZ_CHECK((score_off == 0.0f) == (score == 0.0f));
  if (off != page) FUZZ_CHECK(takes_part(off) && takes_part(page) && score_off > 0.0f);

  // What the rules name, counted over the whole buffer at once, and counted in pieces.
  if (score_off > 0.0f) FUZZ_CHECK(page == naming_oracle(pages, seen, off));
  naming_tally t;
  naming_tally_start(t, pages);
  for (std::size_t at = 0, step, i = 0; at < read; at += step, ++i) {
    step = std::min<std::size_t>(read - at, 1 + sizes[i % 4]);
    naming_tally_add(t, data + at, step);
  }
  FUZZ_CHECK(naming_verdict(t, score_off > 0.0f ? off : nullptr) ==
             (score > 0.0f ? page : nullptr));

  // What the rules that withhold a page say, over the whole buffer and in pieces.
  const bool was_named =
      outcome == detect_outcome::letters || outcome == detect_outcome::not_cyrillic;
  code_page* const named = was_named ? const_cast<code_page*>(page) : nullptr;
  const doubt_answer want = doubt_oracle(pages, seen, named);
  FUZZ_CHECK((outcome == detect_outcome::not_cyrillic) == (want.kind == doubt::not_cyrillic));
  FUZZ_CHECK(rival == want.rival);
  doubt_tally d;
  doubt_tally_start(d, pages);
  for (std::size_t at = 0, step, i = 0; at < read; at += step, ++i) {
    step = std::min<std::size_t>(read - at, 1 + sizes[(i + 1) % 4]);
    doubt_tally_add(d, data + at, step);
  }
  const doubt_answer pieces = doubt_verdict(d, t, named);
  FUZZ_CHECK(pieces.kind == want.kind && pieces.rival == want.rival);
  return 0;
}
