#include "codepages/utf8_tally.h"

#include <cstring>

#include "codepages/registry.h"

namespace {

// Opens a sequence at a lead byte; false for a byte that cannot lead one. The range of
// the second byte is what rules out overlong forms, surrogates and code points past
// U+10FFFF.
bool open_sequence(utf8_tally& t, unsigned char c) {
  t.low = 0x80;
  t.high = 0xBF;
  if (c >= 0xC2 && c <= 0xDF) {
    t.need = 2;
  } else if (c >= 0xE0 && c <= 0xEF) {
    t.need = 3;
    if (c == 0xE0) t.low = 0xA0;
    if (c == 0xED) t.high = 0x9F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    t.need = 4;
    if (c == 0xF0) t.low = 0x90;
    if (c == 0xF4) t.high = 0x8F;
  } else {
    return false;
  }
  t.have = 1;
  return true;
}

}  // namespace

void utf8_tally_add(utf8_tally& tally, const unsigned char* bytes, std::size_t size) {
  std::size_t i = 0;
  while (i < size) {
    if (tally.have == 0) {
      // Between sequences ASCII needs no look: skip it 32 bytes at a time, so that
      // detection reading a long ASCII input end to end costs next to nothing more.
      for (std::uint64_t w[4]; i + sizeof w <= size; i += sizeof w) {
        std::memcpy(w, bytes + i, sizeof w);
        if (((w[0] | w[1] | w[2] | w[3]) & 0x8080808080808080u) != 0) break;
      }
      while (i < size && bytes[i] < 0x80) ++i;
      if (i == size) break;
    }
    const unsigned char c = bytes[i++];
    if (tally.have != 0) {
      if (c >= tally.low && c <= tally.high) {
        tally.low = 0x80;
        tally.high = 0xBF;
        if (++tally.have == tally.need) {
          ++tally.valid;
          tally.have = 0;
        }
        continue;
      }
      // The open sequence breaks off: its bytes are invalid, and c may start afresh.
      tally.invalid += tally.have;
      tally.have = 0;
    }
    if (c >= 0x80 && !open_sequence(tally, c)) ++tally.invalid;
  }
}

code_page* utf8_verdict(const utf8_tally& tally, code_page* pages, code_page* chosen) {
  code_page* utf8 = nullptr;
  bool scored = false;
  for (code_page* p = pages; p->name != nullptr; ++p) {
    if (std::strcmp(p->name, "utf-8") == 0) utf8 = p;
    if (p->score_total > 0.0f) scored = true;
  }
  if (!scored || utf8 == nullptr) return chosen;
  // Well-formed throughout, or nearly: a few stray bytes (a cut or a pasted fragment) in
  // UTF-8 text, which 8-bit Russian text never comes close to.
  if (tally.valid > 0 && tally.invalid * stray_share <= tally.valid) return utf8;
  if (chosen != utf8 || tally.invalid <= tally.valid) return chosen;
  code_page* best = nullptr;
  for (code_page* p = pages; p->name != nullptr; ++p)
    if (p != utf8 && (best == nullptr || p->score_total > best->score_total)) best = p;
  // Bytes that neither are UTF-8 nor hold a letter of another page: no hits, as when
  // nothing scored, rather than a page picked on a tie of zeros.
  if (best == nullptr || best->score_total <= 0.0f) return nullptr;
  return best;
}
