// Report lines put together by hand and written out in blocks.
#include "format/line_buffer.h"

#include <algorithm>
#include <cstdio>

void line_buffer::text(std::string_view s, int width) {
    const std::size_t pad = static_cast<std::size_t>(width < 0 ? -width : width);
    const std::size_t fill = s.size() < pad ? pad - s.size() : 0;
    if (width > 0)
        text_.append(fill, ' ');
    text_.append(s);
    if (width < 0)
        text_.append(fill, ' ');
}

void line_buffer::hex(uint32_t value, int digits) {
    static constexpr char DIGITS[] = "0123456789ABCDEF";
    char out[10] = {'0', 'x'};
    const int end = 2 + std::clamp(digits, 1, 8);
    for (int i = end - 1; i >= 2; --i) {
        out[i] = DIGITS[value & 0xF];
        value >>= 4;
    }
    text_.append(out, static_cast<std::size_t>(end));
}

void line_buffer::end_line() {
    text_.push_back('\n');
    if (text_.size() >= FLUSH_AT)
        flush();
}

// Through stdio, as every printf goes, so the lines keep their place among the others; a
// failed write shows in the check of standard output at the end of the run.
void line_buffer::flush() {
    if (!text_.empty())
        std::fwrite(text_.data(), 1, text_.size(), stdout);
    text_.clear();
}
