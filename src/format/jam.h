// The on-disk records of a JAM base (revision 1), their little-endian decoding and
// encoding, the attribute bits, the subfield table and the JAM CRC.
#pragma once

#include <cstddef>
#include <cstdint>
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

// Calls visit(header, data) for each subfield of a block in order, until a subfield header
// is cut off by the block end or its data would reach past it. Positions never wrap.
template <class F> void for_each_subfield(const unsigned char *block, std::size_t len, F &&visit) {
    std::size_t pos = 0;
    while (len - pos >= SUBFIELD_HEADER_SIZE) {
        const subfield_header sf = decode_subfield_header(block + pos);
        if (sf.DatLen > len - pos - SUBFIELD_HEADER_SIZE)
            return;
        visit(sf, block + pos + SUBFIELD_HEADER_SIZE);
        pos += SUBFIELD_HEADER_SIZE + sf.DatLen;
    }
}

// One row of the subfield table: kind, DatLen limit (0 = none) and the label shown with -v.
struct sf_entry {
    uint16_t LoID;
    uint32_t limit;
    const char *name;
};
extern const sf_entry SF_TABLE[];
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
