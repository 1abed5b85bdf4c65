// The escaped-text check: a MSG_ESCAPED text may hold printable 7-bit bytes and \xx escapes
// only; the first five offending bytes are reported.
#include "analysis/analysis.h"

#include <cstring>

namespace {

constexpr int MAX_ESCAPE_ERRORS = 5;

bool hex_digit(unsigned char c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
}

// Whether one of the eight bytes of `w` may be below 0x20, above 0x7E or a backslash. The
// three tests are the usual bytewise ones done on all eight bytes at once; a carry can
// make one say yes for a plain word, never no for a word that holds such a byte.
bool may_need_a_look(uint64_t w) {
    constexpr uint64_t ONES = 0x0101010101010101;
    constexpr uint64_t HIGH_BITS = 0x8080808080808080;
    const uint64_t below_space = (w - ONES * 0x20) & ~w;
    const uint64_t above_tilde = (w + ONES * (0x7F - 0x7E)) | w;
    const uint64_t b = w ^ (ONES * '\\');
    const uint64_t backslash = (b - ONES) & ~b;
    return ((below_space | above_tilde | backslash) & HIGH_BITS) != 0;
}

// The first byte at or after `pos` that is not plain printable text, skipped eight at a
// time; every escaped text is read whole, and most of its bytes are plain.
uint64_t skip_plain_words(const unsigned char *text, uint64_t pos, uint64_t length) {
    for (; pos + 8 <= length; pos += 8) {
        uint64_t w;
        std::memcpy(&w, text + pos, sizeof w);
        if (may_need_a_look(w))
            break;
    }
    return pos;
}

} // namespace

void check_escaped(window_reader *jdt, uint32_t offset, uint32_t length, int32_t msg_index,
                   scan_report &report) {
    if (length == 0 || jdt == nullptr)
        return;
    // A text that cannot be read whole is left alone: where it lies was judged already.
    const unsigned char *text = jdt->at(offset, length);
    if (text == nullptr)
        return;

    int errors = 0;
    uint64_t pos = 0;
    while ((pos = skip_plain_words(text, pos, length)) < length) {
        const unsigned char c = text[pos];
        if (c == '\\') {
            if (pos + 2 < length && hex_digit(text[pos + 1]) && hex_digit(text[pos + 2])) {
                pos += 3;
                continue;
            }
            // The bytes after a bad backslash are judged on their own.
            RAISE_ISSUE(report, bad_escape, msg_index, static_cast<uint32_t>(pos));
        } else if (c < 0x20 || c > 0x7E) {
            RAISE_ISSUE(report, escaped_byte_range, msg_index, static_cast<unsigned>(c),
                        static_cast<uint32_t>(pos));
        } else {
            ++pos;
            continue;
        }
        ++pos;
        if (++errors == MAX_ESCAPE_ERRORS) {
            RAISE_ISSUE(report, escape_errors_suppressed, msg_index);
            return;
        }
    }
}
