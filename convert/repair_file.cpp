#include "convert/repair_file.h"

#include <iconv.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "cli/settings.h"
#include "cli/warn.h"
#include "codepages/detect.h"
#include "codepages/registry.h"
#include "convert/convert.h"
#include "convert/repair.h"
#include "convert/span.h"
#include "convert/tables.h"
#include "io/input.h"
#include "io/output.h"

namespace {

// A line that does not lie whole in one span is gathered here: a window and the byte after
// it, with room in front for what the window before cut off of a character.
constexpr std::size_t carry_room = 8;
unsigned char* line_area = nullptr;

struct line_loop {
  output_stream& out;
  repair_counts& counts;
  page_pair& pair;       // the input page to the output page
  page_pair* text_pair;  // utf-8 to the output page, for mended lines; null without mend
  repair_state state;
  bool lost = false;        // the watch saw a loss: nothing more is converted
  bool line_fired = false;  // on a window of the line being read
  // Lines of the current span that nothing fired on, converted together.
  const unsigned char* run = nullptr;
  std::size_t run_len = 0;
  // The start of a character that the last converted window cut off.
  unsigned char carry[carry_room] = {};
  std::size_t carry_len = 0;
  std::size_t held = 0;       // bytes of a line in line_area
  bool unseen_start = false;  // the line began before the first byte seen here
};

unsigned char* area() { return line_area + carry_room; }

bool stopped(const line_loop& l) { return l.lost || l.out.error != 0; }

// A window of the line area converted as today, with the carry in front (only such a
// window follows one).
void convert_piece(line_loop& l, unsigned char* p, std::size_t len) {
  if (stopped(l)) return;
  if (l.carry_len > 0) {
    p -= l.carry_len;
    std::memcpy(p, l.carry, l.carry_len);
    len += l.carry_len;
    l.carry_len = 0;
  }
  const std::int32_t tail = convert_span(l.pair, p, len, true, l.out);
  if (tail == span_lost) l.lost = true;
  if (tail <= 0) return;
  const auto cut = static_cast<std::size_t>(tail);
  if (cut > carry_room) {
    // No page has characters this long; the bytes are kept rather than lost.
    out_put(l.out, p + len - cut, cut);
    return;
  }
  std::memcpy(l.carry, p + len - cut, cut);
  l.carry_len = cut;
}

void flush_run(line_loop& l) {
  // A run is whole lines, so nothing is carried into it.
  if (l.run_len > 0 && !stopped(l) &&
      convert_span(l.pair, l.run, l.run_len, true, l.out) == span_lost)
    l.lost = true;
  l.run = nullptr;
  l.run_len = 0;
}

// What a window cut off of a character, when the rest of it was mended: kept as it is.
void drop_carry(line_loop& l) {
  if (l.carry_len == 0 || stopped(l)) return;
  if (watch.on) {
    watch.invalid = true;
    l.lost = true;
    return;
  }
  out_put(l.out, l.carry, l.carry_len);
  l.carry_len = 0;
}

// A window of the span, or the one at the start of the line area.
void window(line_loop& l, const unsigned char* p, std::size_t len, bool in_area, bool line_ends) {
  const window_verdict v = l.unseen_start ? window_verdict{} : repair_text(l.state, p, len);
  l.line_fired |= v.fired;
  if (!v.fired && v.invalid) l.counts.invalid = true;
  if (v.fired && l.text_pair != nullptr) {
    flush_run(l);
    drop_carry(l);
    if (!stopped(l) && convert_span(*l.text_pair, v.text, v.len, true, l.out) == span_lost)
      l.lost = true;
  } else if (in_area) {
    flush_run(l);
    convert_piece(l, area(), len);
  } else {
    if (l.run == nullptr) l.run = p;
    l.run_len += len;
  }
  if (line_ends) {
    l.counts.lines += l.line_fired;
    l.line_fired = false;
    l.unseen_start = false;
  }
}

// The gathered line: whole, or its first window once it is longer than one.
void gathered(line_loop& l, bool complete) {
  unsigned char* const a = area();
  for (;;) {
    if (complete && l.held <= repair_window) {
      window(l, a, l.held, true, true);
      l.held = 0;
      return;
    }
    if (l.held <= repair_window) return;
    const std::size_t cut = window_cut(a);
    window(l, a, cut, true, false);
    std::memmove(a, a + cut, l.held - cut);
    l.held -= cut;
  }
}

void take_span(line_loop& l, const unsigned char* s, std::size_t len) {
  std::size_t at = 0;
  while (at < len) {
    const std::size_t left = len - at;
    if (l.held == 0) {
      const std::size_t look = left < repair_window ? left : repair_window;
      if (const void* nl = std::memchr(s + at, '\n', look)) {
        const std::size_t line = static_cast<const unsigned char*>(nl) - (s + at) + 1;
        window(l, s + at, line, false, true);
        at += line;
        continue;
      }
    }
    const std::size_t room = repair_window + 1 - l.held;
    std::size_t take = left < room ? left : room;
    const void* nl = std::memchr(s + at, '\n', take);
    if (nl != nullptr) take = static_cast<const unsigned char*>(nl) - (s + at) + 1;
    flush_run(l);
    std::memcpy(area() + l.held, s + at, take);
    l.held += take;
    at += take;
    gathered(l, nl != nullptr);
  }
  flush_run(l);
}

}  // namespace

bool repair_file_reserve() {
  if (line_area == nullptr)
    line_area = static_cast<unsigned char*>(std::malloc(carry_room + repair_window + 1));
  return line_area != nullptr && repair_reserve();
}

int repair_file(input_stream& in, output_stream& out, bool mend, repair_counts& counts,
                bool mid_line) {
  counts = repair_counts{};
  repair_state state;
  if (!repair_start(state, input_page) || open_conversion() != 0) return convert_file(in, out);
  if (!repair_file_reserve()) {
    pending_release();
    report_errno("kiv", ENOMEM);
    return ENOMEM;
  }
  page_pair* text_pair = nullptr;
  if (mend) {
    text_pair = pair_for(find_code_page("utf-8"), output_page);
    if (text_pair == nullptr || text_pair->kind == pair_kind::unavailable) {
      const int e = text_pair == nullptr ? ENOMEM : text_pair->open_errno;
      report("kiv: cannot convert from utf-8 to %s: %s\n", output_page->name, std::strerror(e));
      text_pair = nullptr;
    }
  }
  page_pair& pair = *pair_for(input_page, output_page);
  reset_pair(pair);
  line_loop l{out, counts, pair, text_pair, state};
  l.unseen_start = mid_line;

  // After a loss the rules go on to the end: the lines they would mend are counted.
  const auto going = [&] { return out.error == 0 && !(l.lost && mend); };
  for (const pending_block* b = pending_head; b != nullptr && going(); b = b->next)
    take_span(l, b->bytes, static_cast<std::size_t>(b->length));
  pending_release();
  while (going()) {
    const input_span s = read_span(in, nullptr, 0, out);
    if (s.len == 0) break;  // the end, or a failed read
    take_span(l, s.bytes, s.len);
  }
  if (l.held > 0 && out.error == 0) window(l, area(), l.held, true, true);

  if (watch.on && !l.lost && l.carry_len > 0 && in.error == 0) watch.invalid = true;  // cut short
  if (out.error == 0 && !l.lost) {
    if (pair.cd != reinterpret_cast<iconv_t>(-1)) {
      if (unsigned char* room = out_room(out, 64)) {
        char* o = reinterpret_cast<char*>(room);
        std::size_t left = 64;
        iconv(pair.cd, nullptr, nullptr, &o, &left);
        out.len += 64 - left;
      }
    }
    // The input ended inside a character: its bytes are kept as they are.
    out_put(out, l.carry, l.carry_len);
  }
  return 0;
}
