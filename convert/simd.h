// Vector versions of the table loops, chosen once per run from what the CPU has. Each
// converts chunks from the start of its input and stops at the first character it cannot
// do (a byte whose output is not what the kernel handles, a character it does not know);
// the scalar loop then takes it and hands back. The utf-8 Cyrillic and the AVX-512 UTF-16
// kernels take such a character from the pair's rows themselves, as the scalar loop would,
// and stop only where those lack it.
#pragma once

#include <cstddef>

struct page_pair;

enum class simd_path { scalar, avx2, avx512 };

// The path in use: the best this CPU has, unless forced.
simd_path simd_current();
// Whether this CPU can run a path.
bool simd_supported(simd_path path);
// Uses a path from now on (the tests run each in turn); false if the CPU lacks it.
bool simd_force(simd_path path);
const char* simd_name(simd_path path);

// Input bytes the kernels have converted in this process: the tests see that they work.
extern std::size_t simd_taken;

// Kernels; each returns the input bytes consumed and adds what it wrote to *produced.
// They may store up to 64 bytes past what they count. Absent paths return 0.
//
// Single-byte to single-byte: one output byte per input byte, and with AVX-512 the few
// that become two or three bytes too (at most 3 n bytes).
std::size_t simd_narrow(const page_pair& pair, const unsigned char* in, std::size_t n,
                        unsigned char* out, std::size_t* produced);
// Single-byte input, outputs of one to three bytes (to utf-8): at most 3 n bytes.
std::size_t simd_wide(const page_pair& pair, const unsigned char* in, std::size_t n,
                      unsigned char* out, std::size_t* produced);
// utf-8 made of ASCII and U+0400-U+047F to single bytes; never splits a character, and
// leaves a lead byte at the end of its input alone.
std::size_t simd_cyrillic(const page_pair& pair, const unsigned char* in, std::size_t n,
                          unsigned char* out, std::size_t* produced);
// UTF-16 (the pair's byte order) made of U+0000-U+007F and U+0400-U+047F, to single bytes
// or into utf-8: whole units only, never a surrogate; n is in bytes, and so is what it
// returns.
std::size_t simd_utf16(const page_pair& pair, const unsigned char* in, std::size_t n,
                       unsigned char* out, std::size_t* produced);
