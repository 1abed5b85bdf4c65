// Records, the subfield table, the JAM CRC, dates and the file primitives.
#include "format/files.h"
#include "format/jam.h"
#include "support/base_builder.h"

#include <gtest/gtest.h>

#include <cstring>

TEST(JamCrc, MatchesWhatRealBasesStore) {
    EXPECT_EQ(jam_crc_buf("abc", 3), 0xCADBBE3Du);
    EXPECT_EQ(jam_crc_buf("ABC", 3), 0xCADBBE3Du);
    EXPECT_EQ(jam_crc_buf("", 0), 0xFFFFFFFFu);
    // Only A..Z fold: Latin-1 capitals 0xC0..0xDE keep their own CRC.
    for (int c = 0xC0; c <= 0xDE; ++c) {
        const unsigned char upper = static_cast<unsigned char>(c);
        const unsigned char lower = static_cast<unsigned char>(c + 0x20);
        EXPECT_NE(jam_crc_buf(&upper, 1), jam_crc_buf(&lower, 1)) << c;
    }
    // The length counts, not a terminator.
    EXPECT_NE(jam_crc_buf("a\0b", 3), jam_crc_buf("a", 1));
}

TEST(FmtTs, UnsignedDatesInUtc) {
    EXPECT_EQ(fmt_ts(0), "(not set)");
    EXPECT_EQ(fmt_ts(1709316300), "2024-03-01 18:05:00");
    EXPECT_EQ(fmt_ts(315532800), "1980-01-01 00:00:00");
    EXPECT_EQ(fmt_ts(0xFFFFFFFFu), "2106-02-07 06:28:15");
}

TEST(Records, RoundTripThroughBytes) {
    unsigned char raw[FIXED_HEADER_SIZE];
    for (std::size_t i = 0; i < sizeof raw; ++i)
        raw[i] = static_cast<unsigned char>(i * 7 + 3);
    unsigned char again[FIXED_HEADER_SIZE];
    encode_fixed_header(decode_fixed_header(raw), again);
    EXPECT_EQ(std::memcmp(raw, again, sizeof raw), 0);
    encode_msg_header(decode_msg_header(raw), again);
    EXPECT_EQ(std::memcmp(raw, again, MSG_HEADER_SIZE), 0);

    const msg_header h = decode_msg_header(raw);
    EXPECT_EQ(h.Revision, get_u16le(raw + 4));
    EXPECT_EQ(h.SubfieldLen, get_u32le(raw + 8));
    EXPECT_EQ(h.Cost, get_u32le(raw + 72));
    const fixed_header f = decode_fixed_header(raw);
    EXPECT_EQ(f.BaseMsgNum, get_u32le(raw + 20));
    EXPECT_EQ(f.Reserved[999], raw[1023]);

    const unsigned char sig[4] = {'J', 'A', 'M', 0};
    EXPECT_EQ(get_u32le(sig), JAM_SIGNATURE);
    const unsigned char bad[4] = {'J', 'A', 'M', ' '};
    EXPECT_NE(get_u32le(bad), JAM_SIGNATURE);
}

TEST(Records, DeletedSlotsNeedBothFieldsAllOnes) {
    EXPECT_TRUE(is_deleted_slot(idx_record{ALL_ONES, ALL_ONES}));
    EXPECT_FALSE(is_deleted_slot(idx_record{ALL_ONES, 0x400}));
    EXPECT_FALSE(is_deleted_slot(idx_record{1, ALL_ONES}));
    EXPECT_TRUE(is_deleted_slot(lastread_record{ALL_ONES, ALL_ONES, 5, 6}));
    EXPECT_FALSE(is_deleted_slot(lastread_record{ALL_ONES, 7, 5, 6}));
}

TEST(SubfieldTable, LookupAndLimits) {
    ASSERT_NE(sf_lookup(2004), nullptr);
    EXPECT_STREQ(sf_lookup(2004)->name, "TZUTCINFO");
    EXPECT_EQ(sf_lookup(2004)->limit, 5u);
    EXPECT_STREQ(sf_lookup(0)->name, "OADDRESS");
    EXPECT_EQ(sf_lookup(2001)->limit, 0u); // SEENBY2D has no limit
    EXPECT_EQ(sf_lookup(0xFFFF), nullptr); // the terminating row never matches
    EXPECT_EQ(sf_lookup(14), nullptr);
}

TEST(MessageNumbers, PositionsAndLinks) {
    uint64_t index = 0;
    EXPECT_EQ(msg_number(100, 2), 102u);
    EXPECT_EQ(msg_number(0xFFFFFFFFu, 2), 1u); // wraps
    EXPECT_TRUE(names_message(102, 100, 3, &index));
    EXPECT_EQ(index, 2u);
    EXPECT_FALSE(names_message(99, 100, 3, &index));
    EXPECT_FALSE(names_message(103, 100, 3, &index));
    EXPECT_FALSE(names_message(1, 0xFFFFFFFFu, 3, &index)); // never below the base
}

TEST(Dates, PlausibleRange) {
    EXPECT_FALSE(implausible_date(0, 1000));
    EXPECT_TRUE(implausible_date(PLAUSIBLE_MIN_TIME - 1, 0xFFFFFFFFu));
    EXPECT_FALSE(implausible_date(PLAUSIBLE_MIN_TIME, 0xFFFFFFFFu));
    EXPECT_FALSE(implausible_date(400000000, 400000000));
    EXPECT_TRUE(implausible_date(400000001, 400000000));
}

TEST(FilePrimitives, WriteFhdrAdvancesModCounterAndWraps) {
    base_builder b;
    b.add_message();
    b.write();
    const std::string before = b.bytes(jam_ext::jhr);
    fixed_header fh = b.fhdr;
    fh.ModCounter = 0xFFFFFFFFu;
    ASSERT_TRUE(write_fhdr(b.path(jam_ext::jhr), fh));
    EXPECT_EQ(fh.ModCounter, 0u);
    EXPECT_EQ(b.get_u32(jam_ext::jhr, 8), 0u);
    ASSERT_TRUE(write_fhdr(b.path(jam_ext::jhr), fh));
    EXPECT_EQ(b.get_u32(jam_ext::jhr, 8), 1u);
    // Only the fixed header changes.
    EXPECT_EQ(b.bytes(jam_ext::jhr).substr(FIXED_HEADER_SIZE), before.substr(FIXED_HEADER_SIZE));

    fixed_header missing = b.fhdr;
    EXPECT_FALSE(write_fhdr(b.dir() + "/nothing.jhr", missing));
    EXPECT_EQ(missing.ModCounter, 1u); // advanced even though the write failed
}

TEST(FilePrimitives, SizesTruncationAndInjectedFaults) {
    base_builder b;
    b.write();
    const std::string jhr = b.path(jam_ext::jhr);
    EXPECT_EQ(fsize(jhr), 1024);
    EXPECT_EQ(fsize(b.dir() + "/none"), -1);
    EXPECT_EQ(portable_truncate(jhr, 1000), 0);
    EXPECT_EQ(fsize(jhr), 1000);
    EXPECT_EQ(portable_truncate(b.dir() + "/none", 0), -1);

    // The second counted operation fails once: open succeeds, the write does not.
    io_fail_at(2, false);
    jam_file f;
    ASSERT_TRUE(f.open(jhr, "r+b"));
    EXPECT_FALSE(f.write("x", 1));
    EXPECT_TRUE(f.seek(0));
    EXPECT_TRUE(f.write("y", 1));
    EXPECT_TRUE(f.close());
    io_fail_at(0, false);
    EXPECT_EQ(read_file(jhr)[0], 'y');
}
