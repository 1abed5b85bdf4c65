// The JAM CRC, dates and the fixed-header write.
#include "format/files.h"
#include "format/jam.h"
#include "support/base_builder.h"
#include "support/runner.h"

#include <gtest/gtest.h>

TEST(Format, CrcAndDates) {
    EXPECT_EQ(jam_crc_buf("abc", 3), 0xCADBBE3Du);
    EXPECT_EQ(jam_crc_buf("ABC", 3), 0xCADBBE3Du);
    EXPECT_EQ(jam_crc_buf("", 0), 0xFFFFFFFFu);
    // Lengths around the eight-byte steps, capitals folded in the steps and in the tail.
    const char *id = "The Quick Brown Fox Jumps Over The Lazy Dog <MSGID 2:5020/1042 6f1e2c3a>";
    const std::pair<std::size_t, uint32_t> prefixes[] = {{7, 0x5ce658a5}, {8, 0x725b81dd},
                                                         {9, 0x22704d38}, {16, 0x20dbaefe},
                                                         {23, 0x151fceac}, {72, 0xbc22b7cb}};
    for (const auto &[n, crc] : prefixes)
        EXPECT_EQ(jam_crc_buf(id, n), crc) << n;
    // Only A..Z fold: Latin-1 capitals 0xC0..0xDE keep their own CRC.
    for (unsigned char c = 0xC0, lower = 0xE0; c <= 0xDE; ++c, ++lower)
        EXPECT_NE(jam_crc_buf(&c, 1), jam_crc_buf(&lower, 1)) << int(c);
    // Dates are unsigned: the largest one is in 2106, not before 1970.
    EXPECT_EQ(fmt_ts(0), "(not set)");
    EXPECT_EQ(fmt_ts(0xFFFFFFFFu), "2106-02-07 06:28:15");
}

TEST(Format, SubfieldKindsAreFoundDirectly) {
    for (const sf_entry *e = SF_TABLE; e->name != nullptr; ++e)
        EXPECT_EQ(sf_lookup(e->LoID), e) << e->name;
    for (const uint16_t unknown : {uint16_t{14}, uint16_t{999}, uint16_t{1001}, uint16_t{1999},
                                   uint16_t{2005}, uint16_t{0xFFFF}})
        EXPECT_EQ(sf_lookup(unknown), nullptr) << unknown;
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
