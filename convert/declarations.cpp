#include "convert/declarations.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "codepages/registry.h"

namespace {

// Who reads a declaration decides how the new name is spelled.
enum class readers { markup, editor };  // HTML, XML and CSS; Emacs, Python and Vim

struct page_spelling {
  const char* page;
  const char* markup;  // the encoding standard's names, which browsers and XML parsers know
  const char* editor;  // the names Emacs, Python and Vim all take; Emacs has no Mac page,
                       // Python and Vim take "mac-cyrillic"
};
const page_spelling spellings[] = {
    {"cp866", "IBM866", "cp866"},
    {"cp1251", "windows-1251", "cp1251"},
    {"koi8-r", "KOI8-R", "koi8-r"},
    {"iso-8859-5", "ISO-8859-5", "iso-8859-5"},
    {"mac-cyrillic", "x-mac-cyrillic", "mac-cyrillic"},
    {"utf-8", "UTF-8", "utf-8"},
};

const char* spelled(const code_page* page, readers who) {
  for (const page_spelling& s : spellings)
    if (std::strcmp(s.page, page->name) == 0) return who == readers::markup ? s.markup : s.editor;
  return page->name;
}

// The head as characters, one per code unit: ASCII as it is, anything else as 0x80, which
// no pattern matches. Declarations are ASCII in every page, in two-byte units in UTF-16.
struct head_text {
  unsigned char c[declaration_window];
  std::size_t n;   // units
  bool ends_file;  // nothing follows: a name at the very end is whole
};

bool blank(unsigned char c) { return c == ' ' || c == '\t'; }
bool space(unsigned char c) { return blank(c) || c == '\n' || c == '\r' || c == '\f'; }
unsigned char lower(unsigned char c) { return c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c; }

// Characters of a name: the encoding standard's labels have ':' too ("iso_8859-5:1988"),
// while to Vim it ends an option.
bool name_char(unsigned char c, readers who) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '_' || c == '.' || (c == ':' && who == readers::markup);
}

// word (lower case) at i, in any case.
bool at(const head_text& t, std::size_t i, const char* word) {
  for (; *word != '\0'; ++word, ++i)
    if (i >= t.n || lower(t.c[i]) != static_cast<unsigned char>(*word)) return false;
  return true;
}

struct found_name {
  std::size_t at, len;  // units
  readers who;
};
// Enough for any head: each takes a dozen units at least.
constexpr int found_max = 128;
struct found_names {
  found_name items[found_max];
  int count = 0;
};

// Keeps the names in order; one found twice (Vim's fileencoding= is Python's coding= too)
// is kept once.
void note(found_names& f, std::size_t at, std::size_t len, readers who) {
  if (len == 0 || f.count == found_max) return;
  int i = f.count;
  while (i > 0 && f.items[i - 1].at >= at) --i;
  if (i > 0 && f.items[i - 1].at + f.items[i - 1].len > at) return;
  if (i < f.count && at + len > f.items[i].at) return;
  for (int j = f.count; j > i; --j) f.items[j] = f.items[j - 1];
  f.items[i] = found_name{at, len, who};
  ++f.count;
}

// A quoted or attribute value [b, e) that is a name, but for blanks around it.
void note_value(const head_text& t, std::size_t b, std::size_t e, found_names& f) {
  while (b < e && space(t.c[b])) ++b;
  while (e > b && space(t.c[e - 1])) --e;
  for (std::size_t i = b; i < e; ++i)
    if (!name_char(t.c[i], readers::markup)) return;
  note(f, b, e - b, readers::markup);
}

struct attribute {
  std::size_t name, name_len, value, value_len;
};

// The attributes of a tag from i up to its '>' ("?>" for XML), as HTML reads them: the
// first of a name counts. False when the head ends first, the tag cut off.
constexpr int attributes_max = 16;
struct tag {
  attribute a[attributes_max];
  int count = 0;
};
bool read_tag(const head_text& t, std::size_t i, tag& g) {
  for (;;) {
    while (i < t.n && (space(t.c[i]) || t.c[i] == '/' || t.c[i] == '?')) ++i;
    if (i >= t.n) return false;
    if (t.c[i] == '>') return true;
    attribute a{i, 0, 0, 0};
    while (i < t.n && !space(t.c[i]) && t.c[i] != '=' && t.c[i] != '>' && t.c[i] != '/' &&
           t.c[i] != '?')
      ++i;
    a.name_len = i - a.name;
    while (i < t.n && space(t.c[i])) ++i;
    if (i < t.n && t.c[i] == '=') {
      ++i;
      while (i < t.n && space(t.c[i])) ++i;
      if (i >= t.n) return false;
      if (t.c[i] == '"' || t.c[i] == '\'') {
        const unsigned char quote = t.c[i++];
        a.value = i;
        while (i < t.n && t.c[i] != quote) ++i;
        if (i >= t.n) return false;
        a.value_len = i++ - a.value;
      } else {
        a.value = i;
        while (i < t.n && !space(t.c[i]) && t.c[i] != '>') ++i;
        if (i >= t.n) return false;
        a.value_len = i - a.value;
      }
    }
    if (a.name_len == 0) {  // a stray '=' or quote: passed over
      ++i;
      continue;
    }
    if (g.count < attributes_max) g.a[g.count++] = a;
  }
}

const attribute* find_attribute(const head_text& t, const tag& g, const char* name) {
  for (int k = 0; k < g.count; ++k)
    if (g.a[k].name_len == std::strlen(name) && at(t, g.a[k].name, name)) return &g.a[k];
  return nullptr;
}

// The name after "charset=" in a content attribute ("text/html; charset=koi8-r").
void note_content_charset(const head_text& t, const attribute& content, found_names& f) {
  const std::size_t end = content.value + content.value_len;
  for (std::size_t i = content.value; i + 7 <= end; ++i) {
    if (!at(t, i, "charset")) continue;
    std::size_t j = i + 7;
    while (j < end && space(t.c[j])) ++j;
    if (j >= end || t.c[j] != '=') continue;
    ++j;
    while (j < end && space(t.c[j])) ++j;
    if (j < end && (t.c[j] == '"' || t.c[j] == '\'')) {
      const unsigned char quote = t.c[j++];
      std::size_t k = j;
      while (k < end && t.c[k] != quote) ++k;
      if (k < end) note_value(t, j, k, f);
    } else {
      std::size_t k = j;
      while (k < end && !space(t.c[k]) && t.c[k] != ';') ++k;
      note_value(t, j, k, f);
    }
    return;
  }
}

// <meta charset=X> and <meta http-equiv="Content-Type" content="...; charset=X">,
// anywhere in the head.
void find_meta(const head_text& t, found_names& f) {
  for (std::size_t i = 0; i + 5 < t.n; ++i) {
    if (!at(t, i, "<meta") || !(space(t.c[i + 5]) || t.c[i + 5] == '/')) continue;
    tag g;
    if (!read_tag(t, i + 5, g)) return;
    if (const attribute* a = find_attribute(t, g, "charset"))
      note_value(t, a->value, a->value + a->value_len, f);
    const attribute* equiv = find_attribute(t, g, "http-equiv");
    const attribute* content = find_attribute(t, g, "content");
    if (equiv != nullptr && content != nullptr && equiv->value_len == 12 &&
        at(t, equiv->value, "content-type"))
      note_content_charset(t, *content, f);
  }
}

// <?xml version="1.0" encoding="X"?> at the very start.
void find_xml(const head_text& t, std::size_t start, found_names& f) {
  if (!at(t, start, "<?xml") || start + 5 >= t.n || !space(t.c[start + 5])) return;
  tag g;
  if (!read_tag(t, start + 5, g)) return;
  if (const attribute* a = find_attribute(t, g, "encoding"))
    if (a->value > 0 && (t.c[a->value - 1] == '"' || t.c[a->value - 1] == '\''))
      note_value(t, a->value, a->value + a->value_len, f);
}

// @charset "X"; at the very start.
void find_css(const head_text& t, std::size_t start, found_names& f) {
  if (!at(t, start, "@charset")) return;
  std::size_t i = start + 8;
  if (i >= t.n || !blank(t.c[i])) return;
  while (i < t.n && blank(t.c[i])) ++i;
  if (i >= t.n || (t.c[i] != '"' && t.c[i] != '\'')) return;
  const unsigned char quote = t.c[i++];
  const std::size_t b = i;
  while (i < t.n && t.c[i] != quote) ++i;
  std::size_t e = i + 1;
  while (e < t.n && blank(t.c[e])) ++e;
  if (e < t.n && t.c[e] == ';') note_value(t, b, i, f);
}

// The editor's name that starts at i, when it ends within the head: Emacs's
// "-*-coding:koi8-r-*-" leaves its "-*-" to the line.
void note_editor_name(const head_text& t, std::size_t i, std::size_t line_end, found_names& f) {
  std::size_t e = i;
  while (e < line_end && name_char(t.c[e], readers::editor)) ++e;
  if (e == t.n && !t.ends_file) return;
  if (e < line_end && t.c[e] == '*' && e > i && t.c[e - 1] == '-') --e;
  note(f, i, e - i, readers::editor);
}

// In a line [b, e): Python's "# ... coding: X" / "coding=X", Emacs's "-*- coding: X -*-"
// (the first of each), Vim's "vim: set fileencoding=X" and "vim: fenc=X".
void find_in_line(const head_text& t, std::size_t b, std::size_t e, found_names& f) {
  std::size_t first = b;
  while (first < e && (blank(t.c[first]) || t.c[first] == '\f')) ++first;
  const bool comment = first < e && t.c[first] == '#';
  bool emacs = false;
  for (std::size_t i = b; i + 6 < e; ++i) {
    if (at(t, i, "-*-")) emacs = true;
    if (!(comment || emacs) || !at(t, i, "coding") || (t.c[i + 6] != ':' && t.c[i + 6] != '='))
      continue;
    std::size_t j = i + 7;
    while (j < e && blank(t.c[j])) ++j;
    if (j < e && name_char(t.c[j], readers::editor)) {
      note_editor_name(t, j, e, f);
      break;
    }
  }
  for (std::size_t i = b; i + 4 <= e; ++i) {
    if (!at(t, i, "vim:") || (i > b && !blank(t.c[i - 1]))) continue;
    for (std::size_t j = i + 4; j < e; ++j) {
      if (!blank(t.c[j - 1]) && t.c[j - 1] != ':') continue;
      const std::size_t k = at(t, j, "fenc=") ? j + 5 : at(t, j, "fileencoding=") ? j + 13 : 0;
      if (k != 0 && k < e && name_char(t.c[k], readers::editor)) {
        note_editor_name(t, k, e, f);
        return;
      }
    }
    return;
  }
}

// The end of the line that starts at i: before "\n", "\r\n" or "\r".
std::size_t line_end(const head_text& t, std::size_t i) {
  while (i < t.n && t.c[i] != '\n' && t.c[i] != '\r') ++i;
  return i;
}
std::size_t next_line(const head_text& t, std::size_t e) {
  if (e < t.n && t.c[e] == '\r') ++e;
  if (e < t.n && t.c[e] == '\n') ++e;
  return e;
}

}  // namespace

int rewrite_declarations(const unsigned char* head, std::size_t len, const code_page* from,
                         const code_page* to, unsigned char* out, std::size_t* out_len) {
  if (len > declaration_window) len = declaration_window;
  std::memcpy(out, head, len);
  *out_len = len;
  if (from == to) return 0;

  const std::size_t width = static_cast<std::size_t>(code_unit(from));
  const bool big_endian = std::strcmp(from->name, "utf-16be") == 0;
  head_text t;
  t.n = len / width;
  t.ends_file = len < declaration_window;
  for (std::size_t i = 0; i < t.n; ++i) {
    unsigned unit = head[i * width];
    if (width == 2) unit = big_endian ? unit << 8 | head[i * 2 + 1] : unit | head[i * 2 + 1] << 8;
    t.c[i] = unit < 0x80 ? static_cast<unsigned char>(unit) : 0x80;
  }
  // "At the very start" is after a BOM.
  std::size_t start = 0;
  if (width == 2 && t.n > 0 &&
      (big_endian ? head[0] == 0xFE && head[1] == 0xFF : head[0] == 0xFF && head[1] == 0xFE))
    start = 1;
  if (std::strcmp(from->name, "utf-8") == 0 && len >= 3 && head[0] == 0xEF && head[1] == 0xBB &&
      head[2] == 0xBF)
    start = 3;

  found_names f;
  find_xml(t, start, f);
  find_css(t, start, f);
  find_meta(t, f);
  std::size_t b = start;
  for (int line = 0; line < 2 && b < t.n; ++line) {
    const std::size_t e = line_end(t, b);
    find_in_line(t, b, e, f);
    b = next_line(t, e);
  }

  // The old text around the names, each name that is not the output page's replaced.
  std::size_t n = 0, copied = 0;
  int replaced = 0;
  for (int k = 0; k < f.count; ++k) {
    const found_name& name = f.items[k];
    char typed[32] = "";
    if (name.len < sizeof typed) {
      for (std::size_t i = 0; i < name.len; ++i) typed[i] = static_cast<char>(t.c[name.at + i]);
      typed[name.len] = '\0';
      if (find_code_page(typed) == to) continue;
    }
    const char* now = spelled(to, name.who);
    const std::size_t now_len = std::strlen(now);
    const std::size_t before = name.at * width - copied;
    if (n + before + now_len * width + (len - (name.at + name.len) * width) > rewritten_head_max)
      break;  // cannot happen; kept as it was
    std::memcpy(out + n, head + copied, before);
    n += before;
    for (std::size_t i = 0; i < now_len; ++i) {
      if (width == 2 && big_endian) out[n++] = 0;
      out[n++] = static_cast<unsigned char>(now[i]);
      if (width == 2 && !big_endian) out[n++] = 0;
    }
    copied = (name.at + name.len) * width;
    ++replaced;
  }
  if (replaced == 0) return 0;
  std::memcpy(out + n, head + copied, len - copied);
  *out_len = n + len - copied;
  return replaced;
}

int open_declared_input(declared_input& in, int fd, std::size_t skip, const code_page* from,
                        const code_page* to, off_t size) {
  unsigned char head[declaration_window];
  std::size_t len = 0;
  // A file shorter than the window is read whole with one call, its size told.
  const std::size_t want = size >= 0 && static_cast<std::size_t>(size) < sizeof head
                               ? static_cast<std::size_t>(size)
                               : sizeof head;
  while (len < want) {
    const ssize_t got = pread(fd, head + len, sizeof head - len, static_cast<off_t>(len));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return -1;
    if (got == 0) break;
    len += static_cast<std::size_t>(got);
  }
  const int replaced = rewrite_declarations(head, len, from, to, in.head, &in.len);
  if (replaced == 0) return 0;
  if (lseek(fd, static_cast<off_t>(len), SEEK_SET) != static_cast<off_t>(len)) return -1;
  in.pos = skip < in.len ? skip : in.len;
  in.fd = fd;
  return replaced;
}

ssize_t read_declared(void* cookie, void* bytes, std::size_t n) {
  auto* in = static_cast<declared_input*>(cookie);
  if (in->pos == in->len) return read(in->fd, bytes, n);
  const std::size_t take = n < in->len - in->pos ? n : in->len - in->pos;
  std::memcpy(bytes, in->head + in->pos, take);
  in->pos += take;
  return static_cast<ssize_t>(take);
}
