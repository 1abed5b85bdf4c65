// How a fuzz input becomes the four files of a base: a 13-byte head with the lengths of
// .JHR, .JDT and .JDX (little-endian u32, clamped to what is left) and a flag byte
// (bits 0-3: file missing, bits 4-7: upper-case extension, in the order JHR JDT JDX JLR),
// then the file bytes; whatever follows .JDX is the .JLR.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Where output is thrown away.
#ifdef _WIN32
inline constexpr char NULL_DEVICE[] = "NUL";
#else
inline constexpr char NULL_DEVICE[] = "/dev/null";
#endif

struct fuzz_base {
    std::string files[4]; // JHR, JDT, JDX, JLR
    bool missing[4] = {};
    bool upper[4] = {};
};

fuzz_base split_input(const uint8_t *data, std::size_t size);
std::string join_input(const fuzz_base &base);
// Writes the files as <dir>/b.<ext>, removing what a previous input left there.
void write_base(const std::string &dir, const fuzz_base &base);
