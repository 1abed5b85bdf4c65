// The subfield walk of one message: every subfield header and its data, the limits of the
// known kinds, the -v lines, and what the message checks and the table need of them.
#include "analysis/scan.h"

#include <charconv>
#include <cstdio>

namespace {

// Keeps a name for the -v line, which ends it at its first NUL; control bytes become '.'.
void capture_text(char *out, const unsigned char *data, uint32_t len) {
    const std::size_t n = len < NAME_LEN ? len : NAME_LEN;
    for (std::size_t i = 0; i < n; ++i)
        out[i] = terminal_char(data[i]);
    out[n] = '\0';
}

bool ascii_digit(unsigned char c) {
    return c >= '0' && c <= '9';
}

// A UTC offset is an optional sign and four digits; only the bytes present are judged.
void check_tzutc(const unsigned char *data, uint32_t len, int index, scan_report &report) {
    const uint32_t start = (data[0] == '+' || data[0] == '-') ? 1 : 0;
    for (uint32_t p = start; p <= start + 3 && p < len; ++p)
        if (!ascii_digit(data[p])) {
            add_issue(report, "Msg[%d]: TZUTCINFO contains non-digit offset characters", index);
            return;
        }
}

void capture(const subfield_header &sf, const unsigned char *data, int index, sf_capture &cap,
             scan_report &report) {
    switch (sf.LoID) {
    case SF_SENDERNAME:
        if (cap.keep_names)
            capture_text(cap.from, data, sf.DatLen);
        cap.has_from = true;
        break;
    case SF_RECEIVERNAME:
        if (cap.keep_names)
            capture_text(cap.to, data, sf.DatLen);
        cap.has_to = true;
        break;
    case SF_MSGID:
        cap.has_msgid = true;
        cap.msgid_crc_calc = jam_crc_buf(data, sf.DatLen);
        break;
    case SF_REPLYID:
        cap.has_replyid = true;
        cap.reply_crc_calc = jam_crc_buf(data, sf.DatLen);
        break;
    case SF_ENCLOSEDFILE:
    case SF_ENCLOSEDFILEWALIAS:
    case SF_ENCLOSEDFILEWCARD:
    case SF_ENCLOSEDINDIRECTFILE:
        cap.has_file = true;
        break;
    case SF_ENCLOSEDFREQ:
        cap.has_freq = true;
        break;
    case SF_TZUTCINFO:
        if (sf.DatLen >= 4)
            check_tzutc(data, sf.DatLen, index, report);
        break;
    default:
        break;
    }
}

// The -v line "      SF[%d] %-22s len=%u\n" of a known subfield, put together by hand: a
// -v report holds millions of them, and parsing the printf format for each would take
// most of its time.
void print_subfield_line(int k, const char *name, uint32_t len) {
    char line[96];
    char *const end = line + sizeof line;
    char *p = line;
    const auto append = [&](const char *text) {
        for (; *text != '\0' && p < end; ++text)
            *p++ = *text;
    };
    append("      SF[");
    p = std::to_chars(p, end, k).ptr;
    append("] ");
    const char *const name_at = p;
    append(name);
    while (p - name_at < 22 && p < end)
        *p++ = ' ';
    append(" len=");
    p = std::to_chars(p, end, len).ptr;
    append("\n");
    std::fwrite(line, 1, static_cast<std::size_t>(p - line), stdout);
}

} // namespace

// A subfield header cut off by the block end, or data reaching past it, ends the walk;
// what was captured before stays.
void walk_subfields(const unsigned char *block, uint32_t len, int index, bool verbose,
                    sf_capture &cap, scan_report &report) {
    uint64_t pos = 0;
    for (int k = 0; pos < len; ++k) {
        if (pos + SUBFIELD_HEADER_SIZE > len) {
            add_issue(report, "Msg[%d]: SF[%d] header truncated at pos %u", index, k,
                      static_cast<uint32_t>(pos));
            return;
        }
        const subfield_header sf = decode_subfield_header(block + pos);
        const unsigned lo = sf.LoID;
        if (sf.HiID != 0 && verbose)
            std::printf("      SF[%d] LoID=%-5u: non-zero HiID=0x%04X (reserved)\n", k, lo,
                        static_cast<unsigned>(sf.HiID));
        if (pos + SUBFIELD_HEADER_SIZE + sf.DatLen > len) {
            add_issue(report, "Msg[%d]: SF[%d] LoID=%u DatLen=%u overruns subfield block", index, k,
                      lo, sf.DatLen);
            return;
        }
        if (const sf_entry *row = sf_lookup(sf.LoID)) {
            if (row->limit != 0 && sf.DatLen > row->limit)
                add_issue(report, "Msg[%d]: SF %s DatLen=%u exceeds limit %u", index, row->name,
                          sf.DatLen, row->limit);
            if (verbose)
                print_subfield_line(k, row->name, sf.DatLen);
        } else if (verbose) {
            std::printf("      SF[%d] LoID=%-5u (unknown)  len=%u\n", k, lo, sf.DatLen);
        }
        capture(sf, block + pos + SUBFIELD_HEADER_SIZE, index, cap, report);
        pos += SUBFIELD_HEADER_SIZE + sf.DatLen;
    }
}
