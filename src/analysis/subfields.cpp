// The subfield walk of one message: every subfield header and its data, the limits of the
// known kinds, the -v lines, and what the message checks and the table need of them.
#include "analysis/scan.h"

#include <cstring>

namespace {

// Keeps a name for the -v line up to its first NUL; control bytes become '.'.
void capture_text(char *out, const unsigned char *data, uint32_t len) {
    const std::size_t n = sf_text_len(data, len);
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
            RAISE_ISSUE(report, tzutc_non_digit, index);
            return;
        }
}

// Notes a MSGID or REPLYID by the CRC of its text.
void capture_id(uint16_t kind, uint32_t crc, sf_capture &cap) {
    if (kind == SF_MSGID) {
        cap.has_msgid = true;
        cap.msgid_crc_calc = crc;
    } else {
        cap.has_replyid = true;
        cap.reply_crc_calc = crc;
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
        if (sf.DatLen != 0)
            cap.user_crc = jam_crc_buf(data, sf_text_len(data, sf.DatLen));
        break;
    case SF_MSGID:
    case SF_REPLYID:
        capture_id(sf.LoID, jam_crc_buf(data, sf.DatLen), cap);
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

// The -v lines of a subfield:
//   "      SF[%d] LoID=%-5u: non-zero HiID=0x%04X (reserved)\n"
//   "      SF[%d] %-22s len=%u\n"                 (a known kind)
//   "      SF[%d] LoID=%-5u (unknown)  len=%u\n"
void start_subfield_line(line_buffer &lines, int k) {
    lines.text("      SF[");
    lines.number(k);
    lines.text("] ");
}

void print_reserved_hiid(line_buffer &lines, int k, unsigned lo, uint16_t hi) {
    start_subfield_line(lines, k);
    lines.text("LoID=");
    lines.number(lo, -5);
    lines.text(": non-zero HiID=");
    lines.hex(hi, 4);
    lines.text(" (reserved)");
    lines.end_line();
}

void print_known(line_buffer &lines, int k, const char *name, uint32_t len) {
    start_subfield_line(lines, k);
    lines.text(name, -22);
    lines.text(" len=");
    lines.number(len);
    lines.end_line();
}

void print_unknown(line_buffer &lines, int k, unsigned lo, uint32_t len) {
    start_subfield_line(lines, k);
    lines.text("LoID=");
    lines.number(lo, -5);
    lines.text(" (unknown)  len=");
    lines.number(len);
    lines.end_line();
}

// Whether the checks need the CRC of all of a subfield's data: a MSGID or REPLYID, whose
// stored CRC they compare.
bool is_id(const subfield_header &sf) {
    return sf.LoID == SF_MSGID || sf.LoID == SF_REPLYID;
}

// The bytes of a subfield's data the checks look at: all of an id that fits in one read
// window, and of any other kind at most the first SF_NAME_MAX.
uint32_t bytes_needed(const subfield_header &sf) {
    if (is_id(sf) && sf.DatLen <= READ_WINDOW)
        return sf.DatLen;
    return sf.DatLen < SF_NAME_MAX ? sf.DatLen : SF_NAME_MAX;
}

// The CRC of an id longer than a read window, read a window at a time, so that a header
// claiming a huge one costs no memory; false when the file ends before it.
template <class Fetch>
bool id_crc_in_pieces(Fetch &fetch, uint64_t at, uint32_t len, uint32_t &crc) {
    crc = ALL_ONES;
    for (uint32_t done = 0; done < len;) {
        const uint32_t n =
            len - done < READ_WINDOW ? len - done : static_cast<uint32_t>(READ_WINDOW);
        const unsigned char *piece = fetch(at + done, n);
        if (piece == nullptr)
            return false;
        crc = jam_crc_continue(crc, piece, n);
        done += n;
    }
    return true;
}

// A subfield header cut off by the block end, or data reaching past it, ends the walk;
// what was captured before stays. `fetch(pos, n)` gives n bytes at pos in the block, or
// null when the file ends before them; then the walk returns false.
template <class Fetch>
bool walk(Fetch fetch, uint32_t len, int index, line_buffer *lines, sf_capture &cap,
          scan_report &report) {
    for (subfield_cursor c{.block_len = len};;) {
        const sf_stop room = sf_header_room(c);
        if (room == sf_stop::end_of_block)
            return true;
        if (room == sf_stop::header_cut_off) {
            RAISE_ISSUE(report, subfield_header_truncated, index, c.number,
                        static_cast<uint32_t>(c.pos));
            return true;
        }
        const unsigned char *raw = fetch(c.pos, SUBFIELD_HEADER_SIZE);
        if (raw == nullptr)
            return false;
        const subfield_header sf = decode_subfield_header(raw);
        const unsigned lo = sf.LoID;
        if (sf.HiID != 0 && lines != nullptr)
            print_reserved_hiid(*lines, c.number, lo, sf.HiID);
        if (sf_data_room(c, sf) == sf_stop::data_past_block) {
            RAISE_ISSUE(report, subfield_overrun, index, c.number, lo, sf.DatLen);
            return true;
        }
        if (const sf_entry *row = sf_lookup(sf.LoID)) {
            if (row->limit != 0 && sf.DatLen > row->limit)
                RAISE_ISSUE(report, subfield_over_limit, index, row->name, sf.DatLen, row->limit);
            if (lines != nullptr)
                print_known(*lines, c.number, row->name, sf.DatLen);
        } else if (lines != nullptr) {
            print_unknown(*lines, c.number, lo, sf.DatLen);
        }
        if (is_id(sf) && sf.DatLen > READ_WINDOW) {
            uint32_t crc = ALL_ONES;
            if (!id_crc_in_pieces(fetch, sf_data_pos(c), sf.DatLen, crc))
                return false;
            capture_id(sf.LoID, crc, cap);
        } else {
            // Data of no length is never looked at; the header's bytes stand in for it.
            const uint32_t need = bytes_needed(sf);
            const unsigned char *data = need == 0 ? raw : fetch(sf_data_pos(c), need);
            if (data == nullptr)
                return false;
            capture(sf, data, index, cap, report);
        }
        sf_advance(c, sf);
    }
}

} // namespace

// A block that fits in one read window is read whole and walked where it lies; a larger
// one, which a header may claim up to 4 GiB long, is walked through the window a subfield
// at a time, so that memory stays flat whatever it claims.
bool walk_subfields(window_reader &headers, int64_t block_at, uint32_t len, int index,
                    line_buffer *lines, sf_capture &cap, scan_report &report) {
    if (len <= READ_WINDOW) {
        const unsigned char *block = headers.at(block_at, len);
        if (block == nullptr)
            return false;
        return walk([block](uint64_t pos, uint32_t) { return block + pos; }, len, index, lines, cap,
                    report);
    }
    return walk(
        [&headers, block_at](uint64_t pos, uint32_t n) {
            return headers.at(block_at + static_cast<int64_t>(pos), n);
        },
        len, index, lines, cap, report);
}
