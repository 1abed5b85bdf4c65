// The JAM CRC, dates, the record layouts and the fixed-header write.
#include "format/files.h"
#include "format/jam.h"
#include "format/line_buffer.h"
#include "support/base_builder.h"
#include "support/runner.h"

#include <gtest/gtest.h>

#include <cinttypes>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>

TEST(Format, CrcAndDates) {
    EXPECT_EQ(jam_crc_buf("abc", 3), 0xCADBBE3Du);
    EXPECT_EQ(jam_crc_buf("ABC", 3), 0xCADBBE3Du);
    EXPECT_EQ(jam_crc_buf("", 0), 0xFFFFFFFFu);
    // Lengths around the eight-byte steps, capitals folded in the steps and in the tail.
    const char *id = "The Quick Brown Fox Jumps Over The Lazy Dog <MSGID 2:5020/1042 6f1e2c3a>";
    const std::pair<std::size_t, uint32_t> prefixes[] = {{7, 0x5ce658a5},  {8, 0x725b81dd},
                                                         {9, 0x22704d38},  {16, 0x20dbaefe},
                                                         {23, 0x151fceac}, {72, 0xbc22b7cb}};
    for (const auto &[n, crc] : prefixes) {
        EXPECT_EQ(jam_crc_buf(id, n), crc) << n;
        // Carried on in two pieces, split anywhere, the register ends where it ends in one.
        for (std::size_t cut : {std::size_t{1}, n / 2, n - 1})
            EXPECT_EQ(jam_crc_continue(jam_crc_buf(id, cut), id + cut, n - cut), crc) << n;
    }
    // Only A..Z fold: Latin-1 capitals 0xC0..0xDE keep their own CRC.
    for (unsigned char c = 0xC0, lower = 0xE0; c <= 0xDE; ++c, ++lower)
        EXPECT_NE(jam_crc_buf(&c, 1), jam_crc_buf(&lower, 1)) << int(c);
    // Dates are unsigned: the largest one is in 2106, not before 1970.
    EXPECT_EQ(fmt_ts(0), "(not set)");
    EXPECT_EQ(fmt_ts(0xFFFFFFFFu), "2106-02-07 06:28:15");
    // The hand-made date is strftime's, in the local time zone.
    for (const uint32_t t : {1u, 59u, 86399u, 951825599u, 1700000000u, 0x7FFFFFFFu, 0x80000000u}) {
        const std::time_t when = t;
        char expected[32];
        std::strftime(expected, sizeof expected, "%Y-%m-%d %H:%M:%S", std::localtime(&when));
        EXPECT_EQ(fmt_ts(t), expected) << t;
    }
}

// The -v lines are put together by hand; they must print exactly as their printf formats,
// in order, also across the blocks the buffer hands out.
TEST(Format, LineBufferPrintsAsPrintf) {
    std::string expected;
    char line[128];
    testing::internal::CaptureStdout();
    {
        line_buffer lines;
        for (const int64_t v : {int64_t{0}, int64_t{7}, int64_t{-7}, int64_t{1234}, int64_t{12345},
                                INT64_MAX, INT64_MIN}) {
            lines.number(v, 4);
            lines.text("|");
            lines.number(v, -8);
            lines.text("|");
            lines.number(v);
            lines.end_line();
            std::snprintf(line, sizeof line, "%4" PRId64 "|%-8" PRId64 "|%" PRId64 "\n", v, v, v);
            expected += line;
        }
        for (const uint32_t v : {0u, 0xABCDu, 0x80000000u, 0xFFFFFFFFu}) {
            lines.number(v, -6);
            lines.text(" ");
            lines.hex(v, 8);
            lines.text(" ");
            lines.hex(v & 0xFFFF, 4);
            lines.end_line();
            std::snprintf(line, sizeof line, "%-6u 0x%08X 0x%04X\n", v, v, v & 0xFFFF);
            expected += line;
        }
        for (const char *name : {"", "Alice", "a name longer than twenty-two bytes"}) {
            lines.text(name, -22);
            lines.text("|");
            lines.text(name, 6);
            lines.end_line();
            std::snprintf(line, sizeof line, "%-22s|%6s\n", name, name);
            expected += line;
        }
        for (int k = 0; k < 20000; ++k) {
            lines.text("      SF[");
            lines.number(k);
            lines.text("]");
            lines.end_line();
            std::snprintf(line, sizeof line, "      SF[%d]\n", k);
            expected += line;
        }
    }
    EXPECT_EQ(testing::internal::GetCapturedStdout(), expected);
}

TEST(Format, SubfieldKindsAreFoundDirectly) {
    for (const sf_entry *e = SF_TABLE; e->name != nullptr; ++e)
        EXPECT_EQ(sf_lookup(e->LoID), e) << e->name;
    for (const uint16_t unknown : {uint16_t{14}, uint16_t{999}, uint16_t{1001}, uint16_t{1999},
                                   uint16_t{2005}, uint16_t{0xFFFF}})
        EXPECT_EQ(sf_lookup(unknown), nullptr) << unknown;
}

// The walk says why it stopped; what came before the stop is visited, and a DatLen near
// 4 GiB does not wrap around to a position inside the block.
TEST(Format, SubfieldWalkStopsAndSaysWhy) {
    unsigned char block[64] = {};
    encode_subfield_header({SF_SENDERNAME, 0, 5}, block);
    std::memcpy(block + 8, "ab\0cd", 5);
    encode_subfield_header({SF_SUBJECT, 0, 0xFFFFFFFFu}, block + 13);
    const auto walk = [&block](uint32_t len, int &seen) {
        seen = 0;
        return for_each_subfield(
            block, len, [&seen](const subfield_header &, const unsigned char *) { ++seen; });
    };
    int seen = 0;
    EXPECT_EQ(walk(13, seen), sf_stop::end_of_block);
    EXPECT_EQ(seen, 1);
    EXPECT_EQ(walk(20, seen), sf_stop::header_cut_off);
    EXPECT_EQ(seen, 1);
    EXPECT_EQ(walk(64, seen), sf_stop::data_past_block);
    EXPECT_EQ(seen, 1);
    EXPECT_EQ(walk(0, seen), sf_stop::end_of_block);
    // A text ends at its first NUL and after SF_NAME_MAX bytes.
    EXPECT_EQ(sf_text_len(block + 8, 5), 2u);
    const std::string name(150, 'n');
    EXPECT_EQ(sf_text_len(reinterpret_cast<const unsigned char *>(name.data()), 150), SF_NAME_MAX);
}

// Every write of the fixed header advances ModCounter, wrapping to 0, even one that fails,
// and changes nothing after the fixed header.
TEST(Format, WriteFhdrAdvancesModCounter) {
    base_builder b;
    b.add_message();
    b.write();
    const std::string before = b.bytes(jam_ext::jhr);
    fixed_header fh = b.fhdr;
    fh.ModCounter = 0xFFFFFFFFu;
    ASSERT_TRUE(write_fhdr(b.path(jam_ext::jhr), fh));
    EXPECT_EQ(std::tuple(fh.ModCounter, b.get_u32(jam_ext::jhr, 8)), std::tuple(0u, 0u));
    EXPECT_EQ(b.bytes(jam_ext::jhr).substr(FIXED_HEADER_SIZE), before.substr(FIXED_HEADER_SIZE));
    EXPECT_EQ(capture_output([&] { return int(write_fhdr(b.dir() + "/none.jhr", fh)); }).status, 0);
    EXPECT_EQ(fh.ModCounter, 1u);
}

// Records written out byte by byte as JAM lays them down, not by the encoders: every field
// decodes from its own offset in little-endian order, and encoding gives the bytes back.
// The report cases' bases come from the encoders, so this holds them to the format.
TEST(Format, RecordsDecodeFromBytesWrittenByHand) {
    const unsigned char hdr[MSG_HEADER_SIZE] = {
        'J',  'A',  'M',  0,    0x01, 0x00, 0x02, 0x00, // Signature, Revision, ReservedWord
        0x03, 0x10, 0x20, 0x83, 0x04, 0x10, 0x20, 0x84, // SubfieldLen, TimesRead
        0x05, 0x10, 0x20, 0x85, 0x06, 0x10, 0x20, 0x86, // MSGIDcrc, REPLYcrc
        0x07, 0x10, 0x20, 0x87, 0x08, 0x10, 0x20, 0x88, // ReplyTo, Reply1st
        0x09, 0x10, 0x20, 0x89, 0x0A, 0x10, 0x20, 0x8A, // ReplyNext, DateWritten
        0x0B, 0x10, 0x20, 0x8B, 0x0C, 0x10, 0x20, 0x8C, // DateReceived, DateProcessed
        0x0D, 0x10, 0x20, 0x8D, 0x0E, 0x10, 0x20, 0x8E, // MessageNumber, Attribute
        0x0F, 0x10, 0x20, 0x8F, 0x10, 0x10, 0x20, 0x90, // Attribute2, TxtOffset
        0x11, 0x10, 0x20, 0x91, 0x12, 0x10, 0x20, 0x92, // TxtLen, PasswordCRC
        0x13, 0x10, 0x20, 0x93};                        // Cost
    const msg_header h = decode_msg_header(hdr);
    EXPECT_EQ(std::tuple(h.Signature, h.Revision, h.ReservedWord, h.SubfieldLen, h.TimesRead),
              std::tuple(JAM_SIGNATURE, 1, 2, 0x83201003u, 0x84201004u));
    EXPECT_EQ(std::tuple(h.MSGIDcrc, h.REPLYcrc, h.ReplyTo, h.Reply1st, h.ReplyNext),
              std::tuple(0x85201005u, 0x86201006u, 0x87201007u, 0x88201008u, 0x89201009u));
    EXPECT_EQ(std::tuple(h.DateWritten, h.DateReceived, h.DateProcessed, h.MessageNumber),
              std::tuple(0x8A20100Au, 0x8B20100Bu, 0x8C20100Cu, 0x8D20100Du));
    EXPECT_EQ(
        std::tuple(h.Attribute, h.Attribute2, h.TxtOffset, h.TxtLen, h.PasswordCRC, h.Cost),
        std::tuple(0x8E20100Eu, 0x8F20100Fu, 0x90201010u, 0x91201011u, 0x92201012u, 0x93201013u));
    unsigned char again[MSG_HEADER_SIZE];
    encode_msg_header(h, again);
    EXPECT_EQ(std::memcmp(again, hdr, sizeof hdr), 0);

    // A subfield header, an index record, a last-read record.
    const unsigned char sf[] = {0xD4, 0x07, 0x01, 0x80, 0x05, 0x00, 0x00, 0x01};
    const subfield_header s = decode_subfield_header(sf);
    EXPECT_EQ(std::tuple(s.LoID, s.HiID, s.DatLen), std::tuple(SF_TZUTCINFO, 0x8001, 0x01000005u));
    const unsigned char idx[] = {0xBF, 0x4E, 0x34, 0x0A, 0x00, 0x04, 0x00, 0x00};
    const idx_record i = decode_idx_record(idx);
    EXPECT_EQ(std::tuple(i.UserCRC, i.HdrOffset), std::tuple(0x0A344EBFu, 1024u));
    const unsigned char jlr[] = {1, 0, 0, 0, 2, 0, 0, 0, 3, 0, 0, 0, 0, 1, 0, 0};
    const lastread_record l = decode_lastread_record(jlr);
    EXPECT_EQ(std::tuple(l.UserCRC, l.UserID, l.LastReadMsg, l.HighReadMsg),
              std::tuple(1u, 2u, 3u, 256u));
}
