// The on-disk records of a JAM base (revision 1), their little-endian decoding and
// encoding, the attribute bits, the subfield table and the JAM CRC.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

constexpr uint32_t JAM_SIGNATURE = 0x004D414A;     // "JAM\0" read as a little-endian u32
constexpr uint32_t PLAUSIBLE_MIN_TIME = 315532800; // 1980-01-01 00:00:00 UTC
constexpr uint32_t DATE_TOLERANCE = 86400;         // dates may lie one day in the future
constexpr uint32_t ALL_ONES = 0xFFFFFFFFu;         // "none" in CRC, index and lastread fields

constexpr std::size_t FIXED_HEADER_SIZE = 1024;
constexpr std::size_t RESERVED_SIZE = 1000;
constexpr std::size_t MSG_HEADER_SIZE = 76;
constexpr std::size_t SUBFIELD_HEADER_SIZE = 8;
constexpr std::size_t IDX_RECORD_SIZE = 8;
constexpr std::size_t LASTREAD_RECORD_SIZE = 16;

// Attribute bits that the checks look at.
constexpr uint32_t MSG_FILEREQUEST = 0x00001000;
constexpr uint32_t MSG_FILEATTACH = 0x00002000;
constexpr uint32_t MSG_TRUNCFILE = 0x00004000;
constexpr uint32_t MSG_KILLFILE = 0x00008000;
constexpr uint32_t MSG_ENCRYPT = 0x00080000;
constexpr uint32_t MSG_COMPRESS = 0x00100000;
constexpr uint32_t MSG_ESCAPED = 0x00200000;
constexpr uint32_t MSG_TYPELOCAL = 0x00800000;
constexpr uint32_t MSG_TYPEECHO = 0x01000000;
constexpr uint32_t MSG_TYPENET = 0x02000000;
constexpr uint32_t MSG_RESERVED_BITS = 0x1C000000;
constexpr uint32_t MSG_DELETED = 0x80000000;

// Subfield kinds named by the checks.
constexpr uint16_t SF_OADDRESS = 0;
constexpr uint16_t SF_DADDRESS = 1;
constexpr uint16_t SF_SENDERNAME = 2;
constexpr uint16_t SF_RECEIVERNAME = 3;
constexpr uint16_t SF_MSGID = 4;
constexpr uint16_t SF_REPLYID = 5;
constexpr uint16_t SF_SUBJECT = 6;
constexpr uint16_t SF_PID = 7;
constexpr uint16_t SF_ENCLOSEDFILE = 9;
constexpr uint16_t SF_ENCLOSEDFILEWALIAS = 10;
constexpr uint16_t SF_ENCLOSEDFREQ = 11;
constexpr uint16_t SF_ENCLOSEDFILEWCARD = 12;
constexpr uint16_t SF_ENCLOSEDINDIRECTFILE = 13;
constexpr uint16_t SF_FTSKLUDGE = 2000;
constexpr uint16_t SF_TZUTCINFO = 2004;

inline uint16_t get_u16le(const unsigned char *p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
inline uint32_t get_u32le(const unsigned char *p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
inline void put_u16le(unsigned char *p, uint16_t v) {
    p[0] = static_cast<unsigned char>(v);
    p[1] = static_cast<unsigned char>(v >> 8);
}
inline void put_u32le(unsigned char *p, uint32_t v) {
    p[0] = static_cast<unsigned char>(v);
    p[1] = static_cast<unsigned char>(v >> 8);
    p[2] = static_cast<unsigned char>(v >> 16);
    p[3] = static_cast<unsigned char>(v >> 24);
}

// The first 1024 bytes of .JHR.
struct fixed_header {
    uint32_t Signature = 0;
    uint32_t DateCreated = 0;
    uint32_t ModCounter = 0;
    uint32_t ActiveMsgs = 0;
    uint32_t PasswordCRC = 0;
    uint32_t BaseMsgNum = 0;
    unsigned char Reserved[RESERVED_SIZE] = {};
};

// A message header; its subfields follow it directly in .JHR.
struct msg_header {
    uint32_t Signature = 0;
    uint16_t Revision = 0;
    uint16_t ReservedWord = 0;
    uint32_t SubfieldLen = 0;
    uint32_t TimesRead = 0;
    uint32_t MSGIDcrc = 0;
    uint32_t REPLYcrc = 0;
    uint32_t ReplyTo = 0;
    uint32_t Reply1st = 0;
    uint32_t ReplyNext = 0;
    uint32_t DateWritten = 0;
    uint32_t DateReceived = 0;
    uint32_t DateProcessed = 0;
    uint32_t MessageNumber = 0;
    uint32_t Attribute = 0;
    uint32_t Attribute2 = 0;
    uint32_t TxtOffset = 0;
    uint32_t TxtLen = 0;
    uint32_t PasswordCRC = 0;
    uint32_t Cost = 0;
};

struct subfield_header {
    uint16_t LoID = 0;
    uint16_t HiID = 0;
    uint32_t DatLen = 0;
};

// One .JDX record; record i belongs to the i-th message header.
struct idx_record {
    uint32_t UserCRC = 0;
    uint32_t HdrOffset = 0;
};

// One .JLR record, one per user.
struct lastread_record {
    uint32_t UserCRC = 0;
    uint32_t UserID = 0;
    uint32_t LastReadMsg = 0;
    uint32_t HighReadMsg = 0;
};

fixed_header decode_fixed_header(const unsigned char *p);
void encode_fixed_header(const fixed_header &h, unsigned char *p);
msg_header decode_msg_header(const unsigned char *p);
void encode_msg_header(const msg_header &h, unsigned char *p);
subfield_header decode_subfield_header(const unsigned char *p);
void encode_subfield_header(const subfield_header &h, unsigned char *p);
idx_record decode_idx_record(const unsigned char *p);
void encode_idx_record(const idx_record &r, unsigned char *p);
lastread_record decode_lastread_record(const unsigned char *p);
void encode_lastread_record(const lastread_record &r, unsigned char *p);

// Only both leading fields all-ones mark a deleted or empty slot.
inline bool is_deleted_slot(const idx_record &r) {
    return (r.UserCRC & r.HdrOffset) == ALL_ONES;
}
inline bool is_deleted_slot(const lastread_record &r) {
    return (r.UserCRC & r.UserID) == ALL_ONES;
}

// One row of the subfield table: kind, DatLen limit (0 = none) and the label shown with -v.
struct sf_entry {
    uint16_t LoID;
    uint32_t limit;
    const char *name;
};
extern const sf_entry SF_TABLE[];
// The longest name, address, MSGID, REPLYID or subject a subfield may carry; a longer
// one is reported, and only this many bytes of it are shown or hashed.
constexpr uint32_t SF_NAME_MAX = 100;
// The largest subfield block the summary table reads for its texts.
constexpr uint32_t SF_SUMMARY_BLOCK_MAX = 65535;
// The largest subfield block trusted for the recipient name of an index record.
constexpr uint32_t SF_INDEXED_BLOCK_MAX = 131071;
// How far a subfield block may reach past the end of .JHR before its length is taken as
// garbage and the header scan stops; a shorter overreach is only an unreadable block.
constexpr int64_t SF_BLOCK_SLACK = 65536;
// Where the kinds above 13 stand in the table; kinds 0..13 stand at their own index.
constexpr std::size_t SF_ROW_EMBINDAT = 14;
constexpr std::size_t SF_ROW_FTSKLUDGE = 15; // followed by kinds 2001..2004
// The table row of a kind, or nullptr for a kind the table does not know.
inline const sf_entry *sf_lookup(uint16_t LoID) {
    if (LoID <= 13)
        return &SF_TABLE[LoID];
    if (LoID == 1000)
        return &SF_TABLE[SF_ROW_EMBINDAT];
    if (LoID >= 2000 && LoID <= 2004)
        return &SF_TABLE[SF_ROW_FTSKLUDGE + (LoID - 2000)];
    return nullptr;
}

// Why a subfield walk stopped, or `more` while it goes on.
enum class sf_stop : uint8_t { more, end_of_block, header_cut_off, data_past_block };

// A walk over a subfield block of `block_len` bytes: where the next subfield header starts
// and its number from 0. Positions are 64-bit so that header plus data never wrap.
struct subfield_cursor {
    uint32_t block_len = 0;
    uint64_t pos = 0;
    int number = 0;
};

// Whether a whole subfield header starts at the cursor: `more`, or the block ends there
// or cuts the header off.
inline sf_stop sf_header_room(const subfield_cursor &c) {
    if (c.pos >= c.block_len)
        return sf_stop::end_of_block;
    return c.pos + SUBFIELD_HEADER_SIZE > c.block_len ? sf_stop::header_cut_off : sf_stop::more;
}
// Whether the data of `sf`, the header at the cursor, lies inside the block.
inline sf_stop sf_data_room(const subfield_cursor &c, const subfield_header &sf) {
    return c.pos + SUBFIELD_HEADER_SIZE + sf.DatLen > c.block_len ? sf_stop::data_past_block
                                                                  : sf_stop::more;
}
// Where the data of the subfield at the cursor starts.
inline uint64_t sf_data_pos(const subfield_cursor &c) {
    return c.pos + SUBFIELD_HEADER_SIZE;
}
// Steps past `sf`, the subfield at the cursor, to the next header.
inline void sf_advance(subfield_cursor &c, const subfield_header &sf) {
    c.pos += SUBFIELD_HEADER_SIZE + sf.DatLen;
    ++c.number;
}

// Calls visit(header, data) for each subfield of a block held in memory, in order; returns
// why the walk stopped. What was visited before a cut-off header or an overrun stays.
template <class F> sf_stop for_each_subfield(const unsigned char *block, uint32_t len, F &&visit) {
    subfield_cursor c{.block_len = len};
    for (;;) {
        if (const sf_stop s = sf_header_room(c); s != sf_stop::more)
            return s;
        const subfield_header sf = decode_subfield_header(block + c.pos);
        if (const sf_stop s = sf_data_room(c, sf); s != sf_stop::more)
            return s;
        visit(sf, block + sf_data_pos(c));
        sf_advance(c, sf);
    }
}

// The bytes of a name, address, id or subject that count: at most SF_NAME_MAX of the
// data, ended by the first NUL among them.
inline std::size_t sf_text_len(const unsigned char *data, uint32_t len) {
    const std::size_t n = len < SF_NAME_MAX ? len : SF_NAME_MAX;
    const void *nul = std::memchr(data, 0, n);
    return nul != nullptr ? static_cast<std::size_t>(static_cast<const unsigned char *>(nul) - data)
                          : n;
}

// The i-th header of .JHR (from 0, deleted ones included) has number BaseMsgNum + i,
// in unsigned 32-bit arithmetic.
inline uint32_t msg_number(uint32_t base, uint64_t index) {
    return base + static_cast<uint32_t>(index);
}
// A BaseMsgNum of 0 is repaired to 1, the first number a base may give.
inline uint32_t repaired_base_msg_num(uint32_t base) {
    return base == 0 ? 1 : base;
}
// Whether link value n names one of the `count` headers found; its index goes to *index.
inline bool names_message(uint32_t n, uint32_t base, uint64_t count, uint64_t *index) {
    if (n < base || static_cast<uint64_t>(n - base) >= count)
        return false;
    *index = n - base;
    return true;
}

// The latest plausible date: now plus one day, in unsigned 32-bit arithmetic.
uint32_t date_limit_now();
// A date that is set and lies before 1980 or after `limit`.
inline bool implausible_date(uint32_t d, uint32_t limit) {
    return d != 0 && (d < PLAUSIBLE_MIN_TIME || d > limit);
}

// The JAM CRC as real bases store it: the reflected CRC-32 register (0xEDB88320, seed
// 0xFFFFFFFF) over the bytes with only 'A'..'Z' folded to lower case, not complemented.
// The empty buffer gives the seed.
uint32_t jam_crc_buf(const void *data, std::size_t len);
// The same register carried on over more bytes, for a text read in pieces:
// jam_crc_continue(jam_crc_buf(a), b) is the CRC of a followed by b.
uint32_t jam_crc_continue(uint32_t crc, const void *data, std::size_t len);

// "(not set)" for 0, else local time as "%Y-%m-%d %H:%M:%S" (the date is unsigned).
std::string fmt_ts(uint32_t t);
// The same text in `out`, NUL-terminated, for callers that print it for every message;
// returns its length.
constexpr std::size_t TS_TEXT_SIZE = 32;
std::size_t put_ts(uint32_t t, char (&out)[TS_TEXT_SIZE]);

// A byte of a name or subject as it is shown on a terminal: control bytes (below 0x20, and
// 0x7F) become '.', so a hostile base cannot clear the screen or forge report lines. NUL,
// which ends the text, and bytes from 0x80 up, which are code-page text, stay.
inline char terminal_char(unsigned char c) {
    return (c != 0 && (c < 0x20 || c == 0x7F)) ? '.' : static_cast<char>(c);
}

// A file name or any other text that did not come from this program (a base name built
// from folder entries, say), as it is shown on a terminal: control bytes become '.', and
// bytes from 0x80 up, UTF-8 or code-page text, stay.
inline std::string terminal_text(std::string text) {
    for (char &c : text)
        c = c == '\0' ? '.' : terminal_char(static_cast<unsigned char>(c));
    return text;
}

// The character shown for a byte in report lines: itself when printable, else '.'.
inline char display_char(unsigned char c) {
    return (c >= 0x20 && c <= 0x7E) ? static_cast<char>(c) : '.';
}
