// The escaped-text check: a MSG_ESCAPED text may hold printable 7-bit bytes and \xx escapes
// only; the first five offending bytes are reported.
#include "analysis/analysis.h"

#include <cctype>

namespace {

constexpr int MAX_ESCAPE_ERRORS = 5;

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
    while (pos < length) {
        const unsigned char c = text[pos];
        if (c == '\\') {
            if (pos + 2 < length && std::isxdigit(text[pos + 1]) && std::isxdigit(text[pos + 2])) {
                pos += 3;
                continue;
            }
            // The bytes after a bad backslash are judged on their own.
            add_issue(report, "Msg[%d]: MSG_ESCAPED: bad escape at text pos %u", msg_index,
                      static_cast<uint32_t>(pos));
        } else if (c < 0x20 || c > 0x7E) {
            add_issue(report, "Msg[%d]: MSG_ESCAPED: byte 0x%02X at pos %u outside 7-bit range",
                      msg_index, static_cast<unsigned>(c), static_cast<uint32_t>(pos));
        } else {
            ++pos;
            continue;
        }
        ++pos;
        if (++errors == MAX_ESCAPE_ERRORS) {
            add_issue(report, "Msg[%d]: further escaped-text errors suppressed", msg_index);
            return;
        }
    }
}
