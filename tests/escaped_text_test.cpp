// The escaped-text check, with each fault placed at every position of the eight-byte words
// the check skips through.
#include "support/base_builder.h"
#include "support/runner.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

TEST(EscapedText, EveryFaultIsFoundWhereverItLies) {
    base_builder b;
    std::vector<std::string> expected;
    int index = 0;
    char line[128];
    const auto add = [&](const std::string &text) {
        b.add_message().body(text).attr(MSG_ESCAPED);
        return index++;
    };
    constexpr std::size_t LEN = 19;
    for (std::size_t p = 0; p < LEN; ++p) {
        for (const unsigned bad : {0x00u, 0x1Fu, 0x7Fu, 0x80u, 0xFFu}) {
            std::string text(LEN, 'a');
            text[p] = static_cast<char>(bad);
            const int i = add(text);
            std::snprintf(line, sizeof line,
                          "Msg[%d]: MSG_ESCAPED: byte 0x%02X at pos %zu outside 7-bit range", i,
                          bad, p);
            expected.emplace_back(line);
        }
        // The edges of the printable range are plain text.
        std::string edges(LEN, ' ');
        edges[p] = '~';
        add(edges);
        if (p + 3 <= LEN) {
            std::string good(LEN, 'a');
            good.replace(p, 3, "\\e4");
            add(good);
        }
        // A backslash without two hex digits after it: at the end, or before "4G".
        std::string bad(LEN, 'a');
        bad.replace(p, std::min<std::size_t>(3, LEN - p), std::string("\\4G").substr(0, LEN - p));
        const int i = add(bad);
        std::snprintf(line, sizeof line, "Msg[%d]: MSG_ESCAPED: bad escape at text pos %zu", i, p);
        expected.emplace_back(line);
    }
    b.write();
    const run_result r = run_cairnfix({b.base()});
    EXPECT_EQ(issue_texts(r.out), expected) << r.out;
}
