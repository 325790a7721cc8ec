// UTF-16 text and binary data, recognised before any letter is scored: neither is 8-bit
// text, and scoring their bytes as letters turns them into garbage.
#pragma once

#include <cstddef>

struct code_page;

// The utf-16le or utf-16be page of `pages` when the first block detection reads starts
// with that page's BOM (FF FE 00 00 is UTF-32LE, not UTF-16), or, without one, holds at
// least 16 whole units, none of them 0000, and 90 % or more of them, read in one byte
// order (little-endian first), are 0009-007E or 0400-045F. Null otherwise, or when
// `pages` has no such page.
code_page* utf16_page(code_page* pages, const unsigned char* block, std::size_t len);

// True when the bytes hold a NUL: text that is not UTF-16 never does.
bool holds_nul(const unsigned char* bytes, std::size_t len);
