#include "codepages/detect.h"

#include <cmath>
#include <cstdlib>
#include <cstring>

#include "cli/settings.h"
#include "cli/stream_io.h"
#include "codepages/registry.h"

pending_block* pending_head = nullptr;
pending_block* pending_tail = nullptr;

namespace {

constexpr unsigned char not_a_letter = 255;

// The block's score for one page. The order and precision of every operation is part of
// the answer: a one-ulp change moves results that sit near a threshold.
float block_score(const detect_ctx* ctx, const code_page* page, int n) {
  unsigned char map[256];
  std::memset(map, not_a_letter, sizeof map);
  for (int k = 0; k < n; ++k) map[page->letters[k]] = static_cast<unsigned char>(k);

  std::uint32_t count[256] = {};
  for (std::int32_t i = 0; i < ctx->block_len; ++i) ++count[map[ctx->block[i]]];

  float s = 0.0f;
  for (int k = 0; k < n; ++k) {
    const float share = ctx->block_len == 0
                            ? 0.0f
                            : static_cast<float>(count[k]) / static_cast<float>(ctx->block_len);
    const float weighted = share * letter_weights[k];
    const float factor = static_cast<float>(n - k) * static_cast<float>(n - k);
    const float term = factor * weighted;
    s = static_cast<float>(static_cast<double>(s) + std::sqrt(static_cast<double>(term)));
  }
  return s;
}

}  // namespace

code_page* score_block(detect_ctx* ctx, float* best_out) {
  code_page* chosen = ctx->fallback;
  float best = 0.0f;
  if (ctx->pages->name == nullptr) {
    *best_out = 0.0f;
    return chosen;
  }
  const int n = ctx->pages->letter_count;
  for (code_page* p = ctx->pages; p->name != nullptr; ++p) {
    const float t = block_score(ctx, p, n) + p->score_total;
    if (t > best) chosen = p;
    p->score_total = t;
    best = t > best ? t : best;
  }
  *best_out = best;
  return chosen;
}

bool below_passthrough_score(float score) { return static_cast<double>(score) < 0.78; }

code_page* detect_code_page(detect_ctx* ctx, std::FILE* input, std::FILE* output, bool echo,
                            float* score_out) {
  for (code_page* p = ctx->pages; p->name != nullptr; ++p) p->score_total = 0.0f;
  float score = 0.0f;
  int threshold = 20;
  for (;;) {
    ctx->block_len = static_cast<std::int32_t>(read_input(input, ctx->block, detect_block_size));
    input_page = score_block(ctx, &score);
    if (low_score_passthrough && below_passthrough_score(score)) score = 0.0f;
    if (echo && ctx->block_len > 0) {
      if (score == 0.0f) {
        if (!write_output(output, ctx->block, static_cast<std::size_t>(ctx->block_len))) break;
      } else if (!pending_append(ctx->block, ctx->block_len)) {
        return nullptr;
      }
    }
    // A failed read ends the input here, just as its end does.
    if (std::feof(input) || std::ferror(input)) break;
    if (score != 0.0f) threshold -= 3;
    if (score >= static_cast<float>(threshold)) break;
  }
  *score_out = input_page->score_total;
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
  if (p == nullptr) std::perror("kiv");
  return p;
}
