// Report lines put together by hand, for the -v listings that print millions of them:
// parsing a printf format for each line, and a write call into stdio for each, would take
// most of the time of such a run.
#pragma once

#include <charconv>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// Collects whole lines for standard output and hands them to stdio in blocks of about
// 64 KiB, so they stay in order with every printf. Whatever it holds is written when it is
// destroyed, also while an exception passes: the report then ends with the lines made before
// the failure, and the failure's own line follows them. Only one line buffer may be filled at
// a time, and nothing else may print while it holds lines.
class line_buffer {
  public:
    line_buffer() { text_.reserve(FLUSH_AT + LINE_ROOM); }
    line_buffer(const line_buffer &) = delete;
    line_buffer &operator=(const line_buffer &) = delete;
    ~line_buffer() { flush(); }

    // Text as printf's %s and %-Ns would print it: a negative width pads on the right.
    void text(std::string_view s, int width = 0);
    // A number as printf's %d, %u and %Nd / %-Nd print it.
    template <std::integral T> void number(T value, int width = 0) {
        char digits[24];
        const char *end = std::to_chars(digits, digits + sizeof digits, value).ptr;
        text(std::string_view(digits, static_cast<std::size_t>(end - digits)), width);
    }
    // As printf's "0x%0*X": "0x" and `digits` upper-case hex digits (at most 8).
    void hex(uint32_t value, int digits);
    // Ends the line; the lines held go out when they fill a block.
    void end_line();
    // Hands the lines held to stdio.
    void flush();

  private:
    static constexpr std::size_t FLUSH_AT = 65536;
    static constexpr std::size_t LINE_ROOM = 512;
    std::string text_;
};
