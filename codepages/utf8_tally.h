// UTF-8 well-formedness of the bytes detection reads, and the verdict it gives on the
// page the letter scores chose.
#pragma once

#include <cstddef>
#include <cstdint>

struct code_page;

// Counts over every byte added so far, in constant memory. A sequence still open at the
// end of one call goes on in the next; one still open when the bytes stop counts nowhere.
struct utf8_tally {
  std::uint64_t valid = 0;    // well-formed sequences of 2 to 4 bytes
  std::uint64_t invalid = 0;  // bytes 80-FF that belong to no well-formed sequence
  std::uint8_t have = 0;      // bytes of the open sequence seen so far; 0 when none is open
  std::uint8_t need = 0;      // its full length
  std::uint8_t low = 0x80;    // range of the byte it needs next
  std::uint8_t high = 0xBF;
};

void utf8_tally_add(utf8_tally& tally, const unsigned char* bytes, std::size_t size);

// At most one stray byte per this many well-formed sequences still makes utf-8.
constexpr std::uint64_t stray_share = 8;

// The page to report, given the registry after detection and the page its totals chose.
// While every total is 0 the chosen page stands. Otherwise text that is well-formed UTF-8
// throughout, or but for a stray byte in stray_share, is utf-8, whichever page its
// letters suggest; utf-8 chosen for bytes that are mostly not UTF-8 gives way to
// the best of the other pages (null when none of them scored: no hits after all); a few
// stray bytes in UTF-8 text change nothing.
code_page* utf8_verdict(const utf8_tally& tally, code_page* pages, code_page* chosen);
