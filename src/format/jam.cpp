// Decoding and encoding of the JAM records, the subfield table, the JAM CRC and dates.
#include "format/jam.h"

#include <array>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <iterator>

fixed_header decode_fixed_header(const unsigned char *p) {
    fixed_header h;
    h.Signature = get_u32le(p);
    h.DateCreated = get_u32le(p + 4);
    h.ModCounter = get_u32le(p + 8);
    h.ActiveMsgs = get_u32le(p + 12);
    h.PasswordCRC = get_u32le(p + 16);
    h.BaseMsgNum = get_u32le(p + 20);
    std::memcpy(h.Reserved, p + 24, RESERVED_SIZE);
    return h;
}

void encode_fixed_header(const fixed_header &h, unsigned char *p) {
    put_u32le(p, h.Signature);
    put_u32le(p + 4, h.DateCreated);
    put_u32le(p + 8, h.ModCounter);
    put_u32le(p + 12, h.ActiveMsgs);
    put_u32le(p + 16, h.PasswordCRC);
    put_u32le(p + 20, h.BaseMsgNum);
    std::memcpy(p + 24, h.Reserved, RESERVED_SIZE);
}

msg_header decode_msg_header(const unsigned char *p) {
    msg_header h;
    h.Signature = get_u32le(p);
    h.Revision = get_u16le(p + 4);
    h.ReservedWord = get_u16le(p + 6);
    h.SubfieldLen = get_u32le(p + 8);
    h.TimesRead = get_u32le(p + 12);
    h.MSGIDcrc = get_u32le(p + 16);
    h.REPLYcrc = get_u32le(p + 20);
    h.ReplyTo = get_u32le(p + 24);
    h.Reply1st = get_u32le(p + 28);
    h.ReplyNext = get_u32le(p + 32);
    h.DateWritten = get_u32le(p + 36);
    h.DateReceived = get_u32le(p + 40);
    h.DateProcessed = get_u32le(p + 44);
    h.MessageNumber = get_u32le(p + 48);
    h.Attribute = get_u32le(p + 52);
    h.Attribute2 = get_u32le(p + 56);
    h.TxtOffset = get_u32le(p + 60);
    h.TxtLen = get_u32le(p + 64);
    h.PasswordCRC = get_u32le(p + 68);
    h.Cost = get_u32le(p + 72);
    return h;
}

void encode_msg_header(const msg_header &h, unsigned char *p) {
    put_u32le(p, h.Signature);
    put_u16le(p + 4, h.Revision);
    put_u16le(p + 6, h.ReservedWord);
    put_u32le(p + 8, h.SubfieldLen);
    put_u32le(p + 12, h.TimesRead);
    put_u32le(p + 16, h.MSGIDcrc);
    put_u32le(p + 20, h.REPLYcrc);
    put_u32le(p + 24, h.ReplyTo);
    put_u32le(p + 28, h.Reply1st);
    put_u32le(p + 32, h.ReplyNext);
    put_u32le(p + 36, h.DateWritten);
    put_u32le(p + 40, h.DateReceived);
    put_u32le(p + 44, h.DateProcessed);
    put_u32le(p + 48, h.MessageNumber);
    put_u32le(p + 52, h.Attribute);
    put_u32le(p + 56, h.Attribute2);
    put_u32le(p + 60, h.TxtOffset);
    put_u32le(p + 64, h.TxtLen);
    put_u32le(p + 68, h.PasswordCRC);
    put_u32le(p + 72, h.Cost);
}

subfield_header decode_subfield_header(const unsigned char *p) {
    return subfield_header{get_u16le(p), get_u16le(p + 2), get_u32le(p + 4)};
}

void encode_subfield_header(const subfield_header &h, unsigned char *p) {
    put_u16le(p, h.LoID);
    put_u16le(p + 2, h.HiID);
    put_u32le(p + 4, h.DatLen);
}

idx_record decode_idx_record(const unsigned char *p) {
    return idx_record{get_u32le(p), get_u32le(p + 4)};
}

void encode_idx_record(const idx_record &r, unsigned char *p) {
    put_u32le(p, r.UserCRC);
    put_u32le(p + 4, r.HdrOffset);
}

lastread_record decode_lastread_record(const unsigned char *p) {
    return lastread_record{get_u32le(p), get_u32le(p + 4), get_u32le(p + 8), get_u32le(p + 12)};
}

void encode_lastread_record(const lastread_record &r, unsigned char *p) {
    put_u32le(p, r.UserCRC);
    put_u32le(p + 4, r.UserID);
    put_u32le(p + 8, r.LastReadMsg);
    put_u32le(p + 12, r.HighReadMsg);
}

// The terminating row has no name; a lookup never matches it, so LoID 0xFFFF is unknown.
constexpr sf_entry SF_TABLE[] = {
    {0, SF_NAME_MAX, "OADDRESS"},
    {1, SF_NAME_MAX, "DADDRESS"},
    {2, SF_NAME_MAX, "SENDERNAME"},
    {3, SF_NAME_MAX, "RECEIVERNAME"},
    {4, SF_NAME_MAX, "MSGID"},
    {5, SF_NAME_MAX, "REPLYID"},
    {6, SF_NAME_MAX, "SUBJECT"},
    {7, 40, "PID"},
    {8, 1024, "TRACE"},
    {9, 255, "ENCLOSEDFILE"},
    {10, 512, "ENCLOSEDFILEWALIAS"},
    {11, 255, "ENCLOSEDFREQ"},
    {12, 255, "ENCLOSEDFILEWCARD"},
    {13, 255, "ENCLOSEDINDIRECTFILE"},
    {1000, 0, "EMBINDAT"},
    {2000, 255, "FTSKLUDGE"},
    {2001, 0, "SEENBY2D"},
    {2002, 0, "PATH2D"},
    {2003, 255, "FLAGS"},
    {2004, 5, "TZUTCINFO"},
    {0xFFFF, 0, nullptr},
};

// The lookup finds a row by its kind without a search; these hold it to the table.
static_assert(SF_TABLE[13].LoID == 13 && SF_TABLE[SF_ROW_EMBINDAT].LoID == 1000);
static_assert(SF_TABLE[SF_ROW_FTSKLUDGE].LoID == 2000 &&
              SF_TABLE[SF_ROW_FTSKLUDGE + 4].LoID == 2004);

uint32_t date_limit_now() {
    return static_cast<uint32_t>(std::time(nullptr)) + DATE_TOLERANCE;
}

namespace {

// Eight tables for the CRC over eight bytes at a time: table 0 is the classic byte table
// (reflected polynomial 0xEDB88320); table k advances a byte's remainder by k more zero
// bytes, so the eight lookups of one step can be combined with XOR.
using crc_tables = std::array<std::array<uint32_t, 256>, 8>;

constexpr crc_tables make_crc_tables() {
    crc_tables t{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t c = i;
        for (int k = 0; k < 8; ++k)
            c = (c & 1) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
        t[0][i] = c;
    }
    for (std::size_t k = 1; k < 8; ++k)
        for (std::size_t i = 0; i < 256; ++i)
            t[k][i] = (t[k - 1][i] >> 8) ^ t[0][t[k - 1][i] & 0xFF];
    return t;
}

constexpr crc_tables CRC_TABLES = make_crc_tables();

// Each byte as the CRC sees it: 'A'..'Z' folded to lower case, every other byte itself.
constexpr std::array<uint8_t, 256> make_fold_table() {
    std::array<uint8_t, 256> fold{};
    for (std::size_t b = 0; b < fold.size(); ++b)
        fold[b] = static_cast<uint8_t>(b >= 'A' && b <= 'Z' ? b + 0x20 : b);
    return fold;
}

constexpr std::array<uint8_t, 256> FOLD = make_fold_table();

uint32_t folded_u32le(const unsigned char *p) {
    return static_cast<uint32_t>(FOLD[p[0]]) | (static_cast<uint32_t>(FOLD[p[1]]) << 8) |
           (static_cast<uint32_t>(FOLD[p[2]]) << 16) | (static_cast<uint32_t>(FOLD[p[3]]) << 24);
}

} // namespace

uint32_t jam_crc_buf(const void *data, std::size_t len) {
    return jam_crc_continue(ALL_ONES, data, len);
}

uint32_t jam_crc_continue(uint32_t crc, const void *data, std::size_t len) {
    const auto *p = static_cast<const unsigned char *>(data);
    const crc_tables &t = CRC_TABLES;
    for (; len >= 8; p += 8, len -= 8) {
        const uint32_t lo = folded_u32le(p) ^ crc;
        const uint32_t hi = folded_u32le(p + 4);
        crc = t[7][lo & 0xFF] ^ t[6][(lo >> 8) & 0xFF] ^ t[5][(lo >> 16) & 0xFF] ^ t[4][lo >> 24] ^
              t[3][hi & 0xFF] ^ t[2][(hi >> 8) & 0xFF] ^ t[1][(hi >> 16) & 0xFF] ^ t[0][hi >> 24];
    }
    if (len >= 4) {
        const uint32_t w = folded_u32le(p) ^ crc;
        crc = t[3][w & 0xFF] ^ t[2][(w >> 8) & 0xFF] ^ t[1][(w >> 16) & 0xFF] ^ t[0][w >> 24];
        p += 4;
        len -= 4;
    }
    for (; len > 0; ++p, --len)
        crc = (crc >> 8) ^ t[0][(crc ^ FOLD[*p]) & 0xFF];
    return crc;
}

std::size_t put_ts(uint32_t t, char (&out)[TS_TEXT_SIZE]) {
    if (t == 0)
        return static_cast<std::size_t>(std::snprintf(out, sizeof out, "(not set)"));
    // Widen without sign extension: dates after 2038 stay in the future.
    const std::time_t when = static_cast<std::time_t>(static_cast<uint64_t>(t));
    std::tm tm{};
#ifdef _WIN32
    const bool ok = localtime_s(&tm, &when) == 0;
#else
    const bool ok = localtime_r(&when, &tm) != nullptr;
#endif
    if (!ok)
        return static_cast<std::size_t>(std::snprintf(out, sizeof out, "0x%08X", t));
    // "%Y-%m-%d %H:%M:%S" by hand: a -v report prints one for every message.
    char *p = std::to_chars(out, out + sizeof out, tm.tm_year + 1900).ptr;
    const int fields[] = {tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec};
    const char separators[] = {'-', '-', ' ', ':', ':'};
    for (std::size_t i = 0; i < std::size(fields); ++i) {
        *p++ = separators[i];
        *p++ = static_cast<char>('0' + fields[i] / 10);
        *p++ = static_cast<char>('0' + fields[i] % 10);
    }
    *p = '\0';
    return static_cast<std::size_t>(p - out);
}

std::string fmt_ts(uint32_t t) {
    char out[TS_TEXT_SIZE];
    return std::string(out, put_ts(t, out));
}
