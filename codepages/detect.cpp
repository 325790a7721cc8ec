#include "codepages/detect.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "cli/settings.h"
#include "cli/warn.h"
#include "codepages/doubts.h"
#include "codepages/naming_rules.h"
#include "codepages/registry.h"
#include "codepages/utf16_binary.h"
#include "codepages/utf8_tally.h"
#include "io/input.h"
#include "io/output.h"

pending_block* pending_head = nullptr;
pending_block* pending_tail = nullptr;

namespace {

// For each page, the byte standing for each letter position, or -1 where the same byte
// stands again later in the row: a repeated byte counts at its later position only.
void index_page(const code_page* page, int n, std::int16_t* byte) {
  for (int k = 0; k < n; ++k) {
    byte[k] = page->letters[k];
    for (int later = k + 1; later < n; ++later)
      if (page->letters[later] == page->letters[k]) byte[k] = -1;
  }
}

// The built-in registry never changes, so its index is worked out once.
constexpr int builtin_pages = 6;
std::int16_t builtin_byte[builtin_pages][letter_positions];
bool builtin_indexed = false;

const std::int16_t (*builtin_index())[letter_positions] {
  if (!builtin_indexed) {
    for (int p = 0; p < builtin_pages; ++p)
      index_page(&code_pages[p], letter_positions, builtin_byte[p]);
    builtin_indexed = true;
  }
  return builtin_byte;
}

// The block's score for one page. The order and precision of every operation is part of
// the answer: a one-ulp change moves results that sit near a threshold. A letter that
// does not occur adds exactly nothing (the square root of 0), so it is skipped.
float block_score(const std::uint32_t* histogram, std::int32_t block_len, const std::int16_t* byte,
                  int n) {
  float s = 0.0f;
  for (int k = 0; k < n; ++k) {
    if (byte[k] < 0) continue;
    const std::uint32_t count = histogram[byte[k]];
    if (count == 0) continue;
    const float share = static_cast<float>(count) / static_cast<float>(block_len);
    const float weighted = share * letter_weights[k];
    const float factor = static_cast<float>(n - k) * static_cast<float>(n - k);
    const float term = factor * weighted;
    s = static_cast<float>(static_cast<double>(s) + std::sqrt(static_cast<double>(term)));
  }
  return s;
}

void count_block(const detect_ctx* ctx, std::uint32_t* histogram) {
  std::memset(histogram, 0, 256 * sizeof *histogram);
  // Held apart: the counts written might be the context, as far as the compiler knows.
  const unsigned char* const block = ctx->block;
  const auto len = static_cast<std::size_t>(ctx->block_len > 0 ? ctx->block_len : 0);
  // Eight bytes a load: a byte at a time, the loop ran up to a third slower, depending on
  // where on the stack the counts happened to lie.
  std::size_t i = 0;
  for (std::uint64_t x; i + 8 <= len; i += 8) {
    std::memcpy(&x, block + i, 8);
    for (int k = 0; k < 64; k += 8) ++histogram[x >> k & 0xFF];
  }
  for (; i < len; ++i) ++histogram[block[i]];
}

// score_block, given how often each byte stands in the block.
code_page* score_counts(detect_ctx* ctx, const std::uint32_t* histogram, float* best_out) {
  code_page* chosen = ctx->fallback;
  float best = 0.0f;
  if (ctx->pages->name == nullptr) {
    *best_out = 0.0f;
    return chosen;
  }
  int n = ctx->pages->letter_count;
  if (n > letter_positions) n = letter_positions;
  if (n < 0) n = 0;

  const bool builtin = ctx->pages == code_pages && n == letter_positions;
  int p = 0;
  for (code_page* page = ctx->pages; page->name != nullptr; ++page, ++p) {
    if (page->letters == nullptr) continue;  // never scored: its total stays 0
    std::int16_t own[letter_positions];
    const std::int16_t* byte = own;
    if (builtin && p < builtin_pages)
      byte = builtin_index()[p];
    else
      index_page(page, n, own);
    const float t = block_score(histogram, ctx->block_len, byte, n) + page->score_total;
    if (t > best) chosen = page;
    page->score_total = t;
    best = t > best ? t : best;
  }
  *best_out = best;
  return chosen;
}

}  // namespace

code_page* score_block(detect_ctx* ctx, float* best_out) {
  // One histogram of the block serves every page.
  std::uint32_t histogram[256];
  count_block(ctx, histogram);
  return score_counts(ctx, histogram, best_out);
}

bool below_passthrough_score(float score) { return static_cast<double>(score) < 0.78; }

code_page* detect_code_page(detect_ctx* ctx, input_stream& input, output_stream& output, bool echo,
                            float* score_out) {
  for (code_page* p = ctx->pages; p->name != nullptr; ++p) p->score_total = 0.0f;
  float score = 0.0f;
  int threshold = 20;
  utf8_tally tally;
  naming_tally names;
  if (naming_rules) naming_tally_start(names, ctx->pages);
  doubt_tally doubts;
  if (doubt_rules) doubt_tally_start(doubts, ctx->pages);
  std::uint32_t histogram[256];
  ctx->rival = nullptr;
  ctx->mid_line = false;
  for (bool first = true;; first = false) {
    ctx->block_len =
        static_cast<std::int32_t>(read_block(input, ctx->block, detect_block_size, output));
    const auto len = static_cast<std::size_t>(ctx->block_len);
    // Not 8-bit text: the whole input goes one way, from this block on.
    code_page* const utf16 = first ? utf16_page(ctx->pages, ctx->block, len) : nullptr;
    if (utf16 != nullptr || holds_nul(ctx->block, len)) {
      if (echo && len > 0 && !pending_append(ctx->block, ctx->block_len)) return nullptr;
      ctx->outcome = utf16 != nullptr ? detect_outcome::utf16 : detect_outcome::binary;
      input_page = utf16 != nullptr ? utf16 : ctx->fallback;
      *score_out = 0.0f;
      return input_page;
    }
    utf8_tally_add(tally, ctx->block, static_cast<std::size_t>(ctx->block_len));
    if (naming_rules) naming_tally_add(names, ctx->block, len);
    count_block(ctx, histogram);
    input_page = score_counts(ctx, histogram, &score);
    if (low_score_passthrough && below_passthrough_score(score)) score = 0.0f;
    if (echo && ctx->block_len > 0) {
      if (score == 0.0f) {
        if (!out_put(output, ctx->block, static_cast<std::size_t>(ctx->block_len))) break;
        ctx->mid_line = ctx->block[ctx->block_len - 1] != '\n';
      } else if (!pending_append(ctx->block, ctx->block_len)) {
        return nullptr;
      }
    }
    // A failed read ends the input here, just as its end does.
    if (input.eof || input.error != 0) break;
    if (score != 0.0f) threshold -= 3;
    if (score >= static_cast<float>(threshold)) break;
    // The last block waits for the page named: it is counted for that page alone.
    if (doubt_rules) doubt_tally_add(doubts, ctx->block, len, histogram);
  }
  // The letter scores see only the last byte of a UTF-8 letter; well-formedness decides.
  code_page* const by_letters = input_page;
  input_page = utf8_verdict(tally, ctx->pages, by_letters);
  if (naming_rules) input_page = naming_verdict(names, input_page);
  if (input_page == nullptr) {
    input_page = ctx->fallback;
    *score_out = 0.0f;
    ctx->outcome = detect_outcome::no_hits;
  } else {
    *score_out = input_page->score_total;
    // Named by well-formedness alone (UTF-8 whose letters utf-8 does not score, such as a
    // run of Ъ), or capitals whose page scores nothing (Ъ again): reported as the page it
    // is, not as no hits.
    if (input_page != by_letters && *score_out == 0.0f) *score_out = by_letters->score_total;
    ctx->outcome = *score_out == 0.0f ? detect_outcome::no_hits : detect_outcome::letters;
  }
  if (!doubt_rules) return input_page;
  // Where the bytes do not say Russian: never another page, only less.
  code_page* const named = ctx->outcome == detect_outcome::letters ? input_page : nullptr;
  doubt_tally_last(doubts, ctx->block, static_cast<std::size_t>(ctx->block_len), histogram, named);
  const doubt_answer said = doubt_verdict(doubts, names, named);
  switch (said.kind) {
    case doubt::none:
      break;
    case doubt::binary:
      ctx->outcome = detect_outcome::binary;
      input_page = ctx->fallback;
      *score_out = 0.0f;
      break;
    case doubt::not_cyrillic:
      ctx->outcome = detect_outcome::not_cyrillic;
      break;
    case doubt::unsure:
      ctx->rival = said.rival;
      break;
  }
  return input_page;
}

bool pending_append(const unsigned char* bytes, std::int32_t length) {
  auto* node = static_cast<pending_block*>(alloc_or_report(sizeof(pending_block)));
  if (node == nullptr) return false;
  node->bytes = static_cast<unsigned char*>(alloc_or_report(length > 0 ? length : 1));
  if (node->bytes == nullptr) {
    std::free(node);
    return false;
  }
  std::memcpy(node->bytes, bytes, static_cast<std::size_t>(length));
  node->length = length;
  node->next = nullptr;
  if (pending_tail == nullptr)
    pending_head = node;
  else
    pending_tail->next = node;
  pending_tail = node;
  return true;
}

void* alloc_or_report(std::size_t size) {
  void* p = std::malloc(size);
  if (p == nullptr) report_errno("kiv", errno);
  return p;
}
