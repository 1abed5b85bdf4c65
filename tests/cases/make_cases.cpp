// Writes the bases of the report cases, tests/cases/<name>/base.*, one short function per
// case. The expected reports are written by the case runner (see README.md), not here.
#include "support/base_builder.h"

#include <array>
#include <cstdio>
#include <filesystem>
#include <string>

namespace fs = std::filesystem;

namespace {

const fs::path SOURCE = CAIRNFIX_SOURCE_DIR;

// Copies the four files <from>.{jhr,jdt,jdx,jlr} of a base kept elsewhere in the tree.
void copy_base(const base_builder &b, const std::string &from) {
    for (const char *ext : {"jhr", "jdt", "jdx", "jlr"})
        fs::copy_file(SOURCE / (from + "." + ext), b.base() + "." + ext);
}

// A directory where a file belongs; git keeps it through the file inside.
void directory_at(const std::string &path) {
    fs::create_directory(path);
    write_file(path + "/keep", "");
}

std::string jhr_with_byte_inserted(const base_builder &b, std::size_t at, char c) {
    return b.bytes(jam_ext::jhr).insert(at, 1, c);
}

// ---- Healthy bases, real and built

void empty_base(base_builder &b) { b.write(); }

void new_area_without_texts(base_builder &b) { b.missing(jam_ext::jdt).write(); }

void real_cm_small(base_builder &b) { copy_base(b, "tests/data/cm-small/cm-small"); }
void real_cm_netmail(base_builder &b) { copy_base(b, "tests/data/cm-netmail/cm-netmail"); }
void real_jn_posted(base_builder &b) { copy_base(b, "tests/data/jn-posted/jn-posted"); }

// Its SubfieldLen counts 8 bytes too many per subfield: the walk breaks after 5 headers,
// and the index the tosser wrote, which reaches all 12, is kept.
void real_jn_amd64_posted(base_builder &b) {
    copy_base(b, "tests/data/jn-amd64-posted/jn-amd64-posted");
}

void demo_damaged(base_builder &b) {
    for (const char *ext : {"jhr", "jdt", "jdx", "jlr"})
        fs::copy_file(SOURCE / "examples/damaged" / (std::string("demo.") + ext),
                      b.base() + "." + ext);
}

// ---- The fixed header

// Signed "JAM ", created in 2106, ModCounter about to wrap, BaseMsgNum 0, ActiveMsgs 7 for
// one message, and an empty index.
void fixed_header_broken(base_builder &b) {
    b.fhdr = {.Signature = 0x204D414A, .DateCreated = ALL_ONES, .ModCounter = ALL_ONES};
    b.active_msgs = 7;
    b.add_message();
    b.index.emplace();
    b.write();
}

void jhr_too_small(base_builder &b) {
    b.write();
    b.set_bytes(jam_ext::jhr, b.bytes(jam_ext::jhr).substr(0, FIXED_HEADER_SIZE - 1));
}

// One byte too many in the reserved area: removing any byte up to offset 20 leaves
// BaseMsgNum 0, so the first removal that realigns is the zero at 21.
void byte_shift_extra_byte(base_builder &b) {
    b.add_message();
    b.add_message().to("Carol");
    b.write();
    b.set_bytes(jam_ext::jhr, jhr_with_byte_inserted(b, 100, 'U'));
}

// DateCreated lost a byte; an interrupted realignment left its temporary file behind.
void byte_shift_lost_byte(base_builder &b) {
    b.add_message();
    b.add_message().to("Carol");
    b.write();
    b.erase(jam_ext::jhr, 4, 1);
    write_file(b.path(jam_ext::jhr) + ".tmp", "half a header");
}

// A directory stands where the realigned copy would be written: the repair stops, and the
// analysis that follows names the shift.
void byte_shift_blocked(base_builder &b) {
    b.add_message();
    b.write();
    b.erase(jam_ext::jhr, 12, 1);
    directory_at(b.path(jam_ext::jhr) + ".tmp");
}

// ---- The companion files

// Index records inside, before and past the header area, a deleted slot, stray bytes; and
// last-read records with UserID 0, duplicates, HighReadMsg below LastReadMsg.
void index_and_lastread_records(base_builder &b) {
    b.add_message();
    b.add_message().to("Carol");
    b.write();
    const uint32_t end = static_cast<uint32_t>(b.bytes(jam_ext::jhr).size());
    b.index = std::vector<idx_record>{{0x11, 1024},      {0x22, end - 1},      {0, 1023},
                                      {0, end},          {0, 0x80000000},      {ALL_ONES, ALL_ONES},
                                      {1, ALL_ONES}};
    b.lastread = {{1, 0, 5, 5},       {2, 0, 6, 5}, {3, 7, 1, ALL_ONES},
                  {ALL_ONES, ALL_ONES, 9, 1}, {4, 7, 0, 0}};
    b.write();
    b.append(jam_ext::jdx, "12345");
    b.append(jam_ext::jlr, "!");
}

// The texts file, the index and the last-read file are gone; the headers point at texts.
void only_the_header_file(base_builder &b) {
    b.add_message();
    b.add_message().to("Carol").body("A second text.\r");
    b.missing(jam_ext::jdt).missing(jam_ext::jdx).missing(jam_ext::jlr).write();
}

void empty_index_beside_messages(base_builder &b) {
    b.add_message();
    b.add_message().to("Carol");
    b.index.emplace();
    b.write();
}

// Seven bytes of index and a bad signature after the last header: the cut leaves no record
// to keep, so even -r alone rebuilds the index from the headers found.
void index_without_whole_record(base_builder &b) {
    b.add_message().to("Amy");
    b.write();
    b.set_bytes(jam_ext::jdx, "1234567");
    b.append(jam_ext::jhr, std::string(MSG_HEADER_SIZE, 'x'));
}

// -r alone: an index with its records is kept, and the missing texts file is created
// under a lower-case name beside the upper-case header file.
void repair_alone_keeps_the_index(base_builder &b) {
    b.add_message().body("");
    b.upper(jam_ext::jhr).missing(jam_ext::jdt).write();
}

// -p after a walk that stopped early: the missing index is rebuilt from the headers found,
// no other file is created, and the index missing at the start leaves out the summary.
void walk_stops_index_missing(base_builder &b) {
    b.add_message();
    b.missing(jam_ext::jdx).missing(jam_ext::jlr).write();
    b.append(jam_ext::jhr, "JAM " + std::string(MSG_HEADER_SIZE - 4, '\0'));
}

void upper_case_extensions(base_builder &b) {
    b.add_message();
    b.lastread = {{1, 1, 1, 0}};
    for (const jam_ext e : {jam_ext::jhr, jam_ext::jdt, jam_ext::jdx, jam_ext::jlr})
        b.upper(e);
    b.write();
    b.append(jam_ext::jdx, "\x1A");
}

void lastread_is_a_directory(base_builder &b) {
    b.add_message();
    b.missing(jam_ext::jlr).write();
    directory_at(b.path(jam_ext::jlr));
}

void index_is_a_directory(base_builder &b) {
    b.add_message();
    b.missing(jam_ext::jdx).write();
    directory_at(b.path(jam_ext::jdx));
}

// ---- The header walk

// An editor saved the header file of an empty area with a newline.
void header_file_cut_short(base_builder &b) {
    b.write();
    b.append(jam_ext::jhr, "\r\n");
}

// Six messages, the first replied to by the fourth; a flipped bit makes the second one's
// subfield block reach past the end of .JHR, so the four headers after it go unexamined
// and the repairs that depend on all headers hold back.
void unreadable_subfield_block(base_builder &b) {
    b.add_message().links(0, 4, 0);
    for (int i = 1; i < 6; ++i)
        b.add_message().links(i == 3 ? 1 : 0, 0, 0);
    b.write();
    const std::size_t second = static_cast<std::size_t>(b.header_offset(1));
    b.put_u32(jam_ext::jhr, second + 8, b.get_u32(jam_ext::jhr, second + 8) + 0x8000);
}

// A subfield block may reach 65536 bytes past the end of .JHR: the header is recorded but
// its block is unread, and the walk counts as stopped there.
void subfield_block_at_the_limit(base_builder &b) {
    b.add_message();
    b.add_message().to("Carol").no_subfields().subfield_len = 65536;
    b.write();
}

// One byte more ends the walk at once.
void implausible_subfield_length(base_builder &b) {
    b.add_message();
    b.add_message().to("Carol").no_subfields().subfield_len = 65537;
    b.write();
}

// ---- One message at a time

// Subfield blocks: a header cut off, data past the block, a MSGID over its limit, a kind
// without a limit, time zone offsets with and without digits, also in a deleted message.
void subfield_blocks(base_builder &b) {
    b.add_message().no_subfields().subfields.push_back({SF_SUBJECT, 0, "Hiabc", 2});
    b.add_message().subfields = {{2001, 0, std::string(5000, 's'), {}},
                                 {SF_TZUTCINFO, 0, "-123", {}},
                                 {SF_TZUTCINFO, 0, "+01:0", {}},
                                 {SF_SUBJECT, 0, std::string(8, 'x'), 0xFFFFFFF8}};
    b.add_message().msgid(std::string(150, 'm')).subfield(SF_TZUTCINFO, "-0130");
    b.add_message().subfield(SF_TZUTCINFO, "UTC0").deleted();
    b.write();
}

// Revision 2, dates before 1980 and in 2106; a deleted message's dates are judged too.
void message_dates_and_revision(base_builder &b) {
    b.add_message().hdr.Revision = 2;
    test_message &dates = b.add_message();
    dates.hdr.DateWritten = 100;
    dates.hdr.DateReceived = ALL_ONES;
    dates.hdr.DateProcessed = PLAUSIBLE_MIN_TIME - 1;
    b.add_message().deleted().hdr.DateWritten = 1;
    b.write();
}

// Every attribute rule once, an attachment and a request with their subfields, and a
// deleted message whose attributes are not judged.
void attribute_rules(base_builder &b) {
    b.add_message().attr(0x04000000);
    b.add_message().attr(MSG_TYPENET);
    b.add_message().attr(MSG_FILEATTACH);
    b.add_message().attr(MSG_FILEREQUEST);
    b.add_message().attr(MSG_TRUNCFILE | MSG_KILLFILE);
    b.add_message().attr(MSG_ENCRYPT);
    b.add_message().attr(MSG_COMPRESS);
    b.add_message()
        .subfield(SF_ENCLOSEDFILE, "f.zip")
        .subfield(SF_ENCLOSEDFREQ, "NODELIST")
        .attr(MSG_FILEATTACH | MSG_FILEREQUEST | MSG_KILLFILE);
    b.add_message().deleted().attr(MSG_ENCRYPT | MSG_TYPENET);
    b.write();
}

// A text far past the end of .JDT, one overrunning it, one ending exactly at its end, and
// a deleted message's, which is not judged.
void texts_outside_the_text_file(base_builder &b) {
    b.add_message().body("Twelve bytes").text_at(0x80000000, 5);
    b.add_message().text_at(5, ALL_ONES);
    b.add_message().text_at(0, 25);
    b.add_message().deleted().text_at(9999, 5);
    b.write();
}

// Stale MSGID and REPLYID CRCs; a stored all-ones CRC is never compared, and a deleted
// message is left alone.
void stale_id_crcs(base_builder &b) {
    b.add_message().msgid("2:5020/1 1").replyid("x").hdr.MSGIDcrc = 1;
    b.messages[0].hdr.REPLYcrc = 2;
    b.add_message().msgid("2:5020/1 2").hdr.MSGIDcrc = ALL_ONES;
    b.add_message().msgid("d").deleted().hdr.MSGIDcrc = 4;
    b.write();
}

// Escaped texts: raw bytes, bad escapes, a backslash at the end of a text followed in the
// file by hex digits, and a text with more than five errors.
void escaped_texts(base_builder &b) {
    b.add_message().attr(MSG_ESCAPED).body(" ~\t\x7F\xE4");
    b.add_message().attr(MSG_ESCAPED).body("\\5C\\0d\\5G\\\\41");
    b.add_message().attr(MSG_ESCAPED).body("ab\\");
    b.add_message().attr(MSG_ESCAPED).body("4141ab\\4");
    b.add_message().attr(MSG_ESCAPED).body(std::string(20, '\x80'));
    b.add_message().attr(MSG_ESCAPED).body("Gr\\FC\\DFe\\0D");
    b.write();
}

// ---- Reply chains

// Messages #100 to #108 with links to no message, links that disagree, and #107 deleted:
// links to it are accepted, its own dangling links not checked.
void reply_chains(base_builder &b) {
    const std::vector<std::array<uint32_t, 3>> links = {
        {99, 1, 200}, {0, 102, 0}, {101, 0, 103}, {101, 0, 104}, {0, 105, 106},
        {105, 105, 0}, {0, 107, 0}, {5, 6, 7},     {107, 109, 107}};
    b.fhdr.BaseMsgNum = 100;
    for (const auto &l : links)
        b.add_message().links(l[0], l[1], l[2]);
    b.messages[7].deleted();
    b.write();
}

// ---- Repairs

// Everything the repairs fix at once: BaseMsgNum 0 (then link 3 names the deleted message
// and 40 none), ActiveMsgs, stale CRCs, a dangling link, an editor newline, stray bytes in
// both record files, a HighReadMsg behind LastReadMsg.
void repair_everything(base_builder &b) {
    b.fhdr.ModCounter = 100;
    b.fhdr.BaseMsgNum = 0;
    b.active_msgs = 9;
    b.add_message().links(0, 2, 40).msgid("2:5020/1 1").replyid("x").hdr.MSGIDcrc = 1;
    b.messages[0].hdr.REPLYcrc = 2;
    b.add_message().links(1, 0, 3).msgid("2:5020/1 2");
    b.add_message().links(77, 0, 0).msgid("d").deleted().hdr.MSGIDcrc = 4;
    b.lastread = {{1, 1, 2, 1}, {ALL_ONES, ALL_ONES, 2, 1}, {3, 3, 1, ALL_ONES}};
    b.write();
    b.append(jam_ext::jhr, "\r\n");
    b.append(jam_ext::jdx, "xyz");
    b.append(jam_ext::jlr, "!");
}

// ---- The summary table and the verbose report

// An index through every rule of the table: a deleted slot, long texts, two subjects, no
// date, no signature at the offset, an offset at the end of the file, a deleted header,
// subjects overrunning their block; then more rows than the table shows, numbered from a
// BaseMsgNum that wraps.
void summary_table(base_builder &b) {
    b.fhdr.BaseMsgNum = 0xFFFFFFF0u;
    b.add_message();
    b.add_message()
        .from("Sebastian Lindqvist-Montgomery")
        .to("Alexandra Featherstonehaugh")
        .subject("First")
        .subfield(SF_SUBJECT, std::string("0123456789").append(140, 'x'))
        .hdr.DateWritten = 0;
    b.add_message().no_subfields().from("").subfields.push_back({SF_SUBJECT, 0, "abc", 4u});
    b.add_message().no_subfields().from("Carol").subfields.push_back({SF_SUBJECT, 0, "", ~0u});
    b.add_message().deleted();
    b.write();
    const auto at = [&](int64_t offset) { return idx_record{0x12345678, static_cast<uint32_t>(offset)}; };
    b.index = std::vector<idx_record>{
        {ALL_ONES, ALL_ONES},       at(b.header_offset(0)),           at(b.header_offset(1)),
        at(b.header_offset(0) + 4), at(b.bytes(jam_ext::jhr).size()), at(b.header_offset(4)),
        at(b.header_offset(2)),     at(b.header_offset(3))};
    b.index->resize(40, at(b.header_offset(0)));
    b.write();
}

// BaseMsgNum 0 and an orphaned index: the table lists the base as the repairs left it.
void summary_after_repairs(base_builder &b) {
    b.fhdr.BaseMsgNum = 0;
    b.add_message();
    b.add_message().from("Carol");
    b.index = std::vector<idx_record>{{0, 5}, {0, 0x7FFFFFFF}};
    b.write();
}

// Every kind of -v line: records of both files, messages, known and unknown subfields, a
// reserved HiID, a reply to a deleted message.
void verbose_report(base_builder &b) {
    b.add_message().links(0, 2, 0).subfield(SF_PID, "cairn 1", 7).subfield(999, "?");
    b.add_message().deleted().links(1, 0, 0);
    b.add_message().links(2, 0, 0).from("Dora\x1B[2J");
    b.lastread = {{1, 1, 1, 3}, {ALL_ONES, ALL_ONES, 0, 0}};
    b.write();
}

struct case_def {
    const char *name;
    void (*make)(base_builder &);
    const char *args = nullptr; // the first run's options when not the repairing default
};

const case_def CASES[] = {
    {"empty-base", empty_base},
    {"new-area-without-texts", new_area_without_texts, "-r"},
    {"real-cm-small", real_cm_small},
    {"real-cm-small-verbose", real_cm_small, "-x -v"},
    {"real-cm-netmail", real_cm_netmail},
    {"real-jn-posted", real_jn_posted},
    {"real-jn-amd64-posted", real_jn_amd64_posted},
    {"demo-damaged", demo_damaged},
    {"fixed-header-broken", fixed_header_broken},
    {"jhr-too-small", jhr_too_small},
    {"byte-shift-extra-byte", byte_shift_extra_byte},
    {"byte-shift-extra-byte-analysed", byte_shift_extra_byte, "-x"},
    {"byte-shift-lost-byte", byte_shift_lost_byte, "-p -x"},
    {"byte-shift-blocked", byte_shift_blocked},
    {"index-and-lastread-records", index_and_lastread_records},
    {"only-the-header-file", only_the_header_file, "-r -x"},
    {"empty-index-beside-messages", empty_index_beside_messages, "-r -x"},
    {"index-without-whole-record", index_without_whole_record, "-r -x"},
    {"repair-alone-keeps-the-index", repair_alone_keeps_the_index, "-r -x"},
    {"walk-stops-index-missing", walk_stops_index_missing, "-p -x -s"},
    {"upper-case-extensions", upper_case_extensions},
    {"lastread-is-a-directory", lastread_is_a_directory},
    {"index-is-a-directory", index_is_a_directory, "-x"},
    {"header-file-cut-short", header_file_cut_short},
    {"unreadable-subfield-block", unreadable_subfield_block},
    {"subfield-block-at-the-limit", subfield_block_at_the_limit},
    {"implausible-subfield-length", implausible_subfield_length},
    {"subfield-blocks", subfield_blocks},
    {"message-dates-and-revision", message_dates_and_revision},
    {"attribute-rules", attribute_rules},
    {"texts-outside-the-text-file", texts_outside_the_text_file},
    {"stale-id-crcs", stale_id_crcs},
    {"escaped-texts", escaped_texts},
    {"reply-chains", reply_chains},
    {"repair-everything", repair_everything},
    {"summary-table", summary_table, "-x -s"},
    {"summary-after-repairs", summary_after_repairs},
    {"verbose-report", verbose_report, "-x -v -s"},
};

// Removes what an earlier generation wrote into a case folder, leaving the expected files.
void clear_case(const fs::path &dir) {
    fs::create_directories(dir);
    for (const auto &entry : fs::directory_iterator(dir)) {
        const std::string name = entry.path().filename().string();
        if (name.starts_with("base.") || name == "args")
            fs::remove_all(entry.path());
    }
}

} // namespace

// With names, only those cases are written; without, all of them.
int main(int argc, char **argv) {
    const fs::path root = SOURCE / "tests/cases";
    int written = 0;
    for (const case_def &c : CASES) {
        bool wanted = argc == 1;
        for (int i = 1; i < argc; ++i)
            wanted |= c.name == std::string(argv[i]);
        if (!wanted)
            continue;
        const fs::path dir = root / c.name;
        clear_case(dir);
        base_builder b(dir.string(), "base");
        c.make(b);
        if (c.args != nullptr)
            write_file((dir / "args").string(), std::string(c.args) + "\n");
        ++written;
    }
    std::printf("wrote %d case(s) into %s\n", written, root.string().c_str());
    return written == argc - 1 || argc == 1 ? 0 : 1;
}
