// Writes the bases of the report cases, tests/cases/<name>/base.*, each from a short
// function that sets up its situation. The case runner writes the expected reports.
#include "support/base_builder.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <filesystem>
#include <map>
#include <string>

namespace fs = std::filesystem;

namespace {

// Copies the four files <from>.{jhr,jdt,jdx,jlr} of a base kept elsewhere in the tree.
void copy_base(const base_builder &b, const std::string &from) {
    for (const char *ext : {"jhr", "jdt", "jdx", "jlr"})
        fs::copy_file(CAIRNFIX_SOURCE_DIR "/" + from + "." + ext, b.base() + "." + ext);
}

// Packs a base as a tosser does: the deleted headers leave .JHR, and a hole takes the place
// of each one's .JDX record, so that no message changes its number. Links, MessageNumber
// fields and texts stay as they are.
void pack_like_a_tosser(const base_builder &b) {
    const std::string jhr = b.bytes(jam_ext::jhr);
    const auto *raw = reinterpret_cast<const unsigned char *>(jhr.data());
    std::string packed = jhr.substr(0, FIXED_HEADER_SIZE);
    std::map<uint32_t, uint32_t> new_offset; // all ones for a header removed
    for (std::size_t at = FIXED_HEADER_SIZE; at + MSG_HEADER_SIZE <= jhr.size();) {
        const msg_header h = decode_msg_header(raw + at);
        const std::size_t end = at + MSG_HEADER_SIZE + h.SubfieldLen;
        new_offset[static_cast<uint32_t>(at)] =
            (h.Attribute & MSG_DELETED) ? ALL_ONES : static_cast<uint32_t>(packed.size());
        if (!(h.Attribute & MSG_DELETED))
            packed += jhr.substr(at, end - at);
        at = end;
    }
    std::string index;
    for (idx_record r : index_records(b.bytes(jam_ext::jdx))) {
        if (!is_deleted_slot(r) && (r.HdrOffset = new_offset.at(r.HdrOffset)) == ALL_ONES)
            r.UserCRC = ALL_ONES;
        unsigned char out[IDX_RECORD_SIZE];
        encode_idx_record(r, out);
        index.append(reinterpret_cast<const char *>(out), sizeof out);
    }
    b.set_bytes(jam_ext::jhr, packed);
    b.set_bytes(jam_ext::jdx, index);
}

// A directory where a file belongs; git keeps it through the file inside.
void directory_at(const std::string &path) {
    fs::create_directory(path);
    write_file(path + "/keep", "");
}

// One byte too many in the reserved area: removing any byte up to offset 20 leaves
// BaseMsgNum 0, so the first removal that realigns is the zero at 21.
void extra_byte_in_reserved_area(base_builder &b) {
    b.add_message();
    b.add_message().to("Carol");
    b.write();
    b.insert(jam_ext::jhr, 100, "U");
}

void interrupted_realignment(base_builder &b) {
    b.add_message().from("Alice").to("Bob");
    b.add_message().from("Carol").to("Dave");
    b.write();
    const std::string realigned = b.bytes(jam_ext::jhr);
    b.insert(jam_ext::jhr, 6, "A");
    const std::string shifted = b.bytes(jam_ext::jhr);
    b.set_bytes(jam_ext::jhr, realigned.substr(0, 1100) + shifted.substr(1100));
    write_file(b.path(jam_ext::jhr) + ".realign", realigned);
}

// One message, and a stray byte after the last index record.
void stray_index_byte(base_builder &b) {
    b.add_message();
    b.write();
    b.append(jam_ext::jdx, "\x01");
}

// An empty base whose index has an upper-case extension.
void upper_case_index(base_builder &b) {
    b.upper(jam_ext::jdx).write();
}

// The packed base of add_packed_messages with its index as `damage` leaves it.
void packed_with_index(base_builder &b, void (*damage)(std::vector<idx_record> &)) {
    add_packed_messages(b);
    b.write();
    std::vector<idx_record> index = index_records(b.bytes(jam_ext::jdx));
    damage(index);
    b.index = index;
    b.write();
}

struct case_def {
    const char *name;
    const char *args; // the first run's arguments when not the default, <base> for its path
    void (*make)(base_builder &);
};

const case_def CASES[] = {
    // ---- The command line, first with no base under the name: -h and --help print the
    // usage even with a base name, --version one line, an unknown option (a long one too)
    // is an error; otherwise the banner shows what the options select (a later -a does not
    // undo -r, flags group) before the fatal stop for a missing .JHR.
    {"usage-help", "-h <base>", [](base_builder &) {}},
    {"usage-help-after-an-option", "-x --help <base>", [](base_builder &) {}},
    {"usage-version", "--version -q <base>", [](base_builder &) {}},
    {"usage-unknown-long-option", "--versions <base>", [](base_builder &) {}},
    {"usage-unknown-option", "-q <base>", [](base_builder &) {}},
    {"banner-missing-base", "-x -b <base>", [](base_builder &) {}},
    {"banner-repair-then-analyse", "-r -a <base>", [](base_builder &) {}},
    {"banner-analyse-then-repair", "-a -r <base>", [](base_builder &) {}},
    {"banner-grouped-flags", "-rp <base>", [](base_builder &) {}},
    {"banner-pack", "-p <base>", [](base_builder &) {}},
    // Options without a base name: an error, with the usage.
    {"usage-no-base-name", "-r", [](base_builder &) {}},
    // "--" ends the options, so the base name that follows may start with '-'.
    {"banner-double-dash-ends-the-options", "-- -<base>", [](base_builder &) {}},
    // A name ending in ".jhr" with no base under it is looked for as given.
    {"banner-file-name-of-a-missing-base", "<base>.jhr", [](base_builder &) {}},
    // A base with a stray index byte. What follows its name is named and ignored (an option
    // with a hint), so the run only analyses; -b alone says that there is nothing to back
    // up. Neither writes: the second run still finds the byte.
    {"banner-arguments-after-the-base-name", "<base> -r -b -v x -", stray_index_byte},
    {"banner-backup-without-repair", "-b <base>", stray_index_byte},
    // The name of any file of a base, under either case form of its extension, stands for
    // the base; a base whose own name ends in ".jhr", beside the base, is found under it.
    {"operand-header-file-name", "-x <base>.jhr", upper_case_index},
    {"operand-text-file-name", "-x <base>.jdt", upper_case_index},
    {"operand-upper-case-index-file-name", "-x <base>.JDX", upper_case_index},
    {"operand-lastread-file-name", "-x <base>.jlr", upper_case_index},
    {"operand-base-named-like-a-file", "-x <base>.jhr",
     [](base_builder &b) {
         b.write();
         base_builder(b.dir(), "base.jhr").write();
     }},
    // ---- Healthy bases, built and real (tests/data/README.md says where they come from)
    {"empty-base", nullptr, [](base_builder &b) { b.write(); }},
    {"new-area-without-texts", "-r <base>",
     [](base_builder &b) { b.missing(jam_ext::jdt).write(); }},
    {"real-cm-small", nullptr,
     [](base_builder &b) { copy_base(b, "tests/data/cm-small/cm-small"); }},
    {"real-cm-small-verbose", "-x -v <base>",
     [](base_builder &b) { copy_base(b, "tests/data/cm-small/cm-small"); }},
    {"real-cm-netmail", nullptr,
     [](base_builder &b) { copy_base(b, "tests/data/cm-netmail/cm-netmail"); }},
    {"real-jn-posted", nullptr,
     [](base_builder &b) { copy_base(b, "tests/data/jn-posted/jn-posted"); }},
    // jn-posted as a tosser's pack leaves it (16 records, 3 holes, 13 headers): every message
    // keeps its number, and three links now name removed messages.
    {"real-jn-posted-packed", nullptr,
     [](base_builder &b) {
         copy_base(b, "tests/data/jn-posted/jn-posted");
         pack_like_a_tosser(b);
     }},
    // Its SubfieldLen counts 8 bytes too many per subfield: the walk breaks after 5 headers,
    // and the index the tosser wrote, which reaches all 12, is kept.
    {"real-jn-amd64-posted", nullptr,
     [](base_builder &b) { copy_base(b, "tests/data/jn-amd64-posted/jn-amd64-posted"); }},
    {"demo-damaged", nullptr, [](base_builder &b) { copy_base(b, "examples/damaged/demo"); }},

    // ---- The fixed header
    // Signed "JAM ", created in 2106, ModCounter about to wrap, BaseMsgNum 0, ActiveMsgs 7
    // for one message, and an empty index.
    {"fixed-header-broken", nullptr,
     [](base_builder &b) {
         b.fhdr = {.Signature = 0x204D414A, .DateCreated = ALL_ONES, .ModCounter = ALL_ONES};
         b.active_msgs = 7;
         b.add_message();
         b.index.emplace();
         b.write();
     }},
    {"jhr-too-small", nullptr,
     [](base_builder &b) {
         b.write();
         b.set_bytes(jam_ext::jhr, b.bytes(jam_ext::jhr).substr(0, FIXED_HEADER_SIZE - 1));
     }},
    {"byte-shift-extra-byte", nullptr, extra_byte_in_reserved_area},
    {"byte-shift-extra-byte-analysed", "-x <base>", extra_byte_in_reserved_area},
    // DateCreated lost a byte; an interrupted realignment left its incomplete redo file.
    {"byte-shift-lost-byte", "-p -x <base>",
     [](base_builder &b) {
         b.add_message();
         b.add_message().to("Carol");
         b.write();
         b.erase(jam_ext::jhr, 4, 1);
         write_file(b.path(jam_ext::jhr) + ".realign.tmp", "half a header");
     }},
    // A directory stands where the redo file would be written: the repair stops, and the
    // analysis that follows names the shift.
    {"byte-shift-blocked", nullptr,
     [](base_builder &b) {
         b.add_message();
         b.write();
         b.erase(jam_ext::jhr, 12, 1);
         directory_at(b.path(jam_ext::jhr) + ".realign.tmp");
     }},
    // A realignment killed halfway through its copy: the front of the .JHR realigned, the
    // rest still shifted, the complete redo file beside it. A repair finishes the copy
    // first; an analysis names it.
    {"realignment-interrupted", nullptr, interrupted_realignment},
    {"realignment-interrupted-analysed", "-x <base>", interrupted_realignment},
    // The redo file no longer fits the .JHR: another program added a header after the crash.
    // The run stops before it writes anything, and both files stay for a person to compare.
    {"realignment-redo-no-longer-fits", "-r <base>",
     [](base_builder &b) {
         b.add_message();
         b.add_message().to("Carol");
         b.write();
         write_file(b.path(jam_ext::jhr) + ".realign", b.bytes(jam_ext::jhr));
         b.insert(jam_ext::jhr, 4, "A");
         b.append(jam_ext::jhr, std::string(MSG_HEADER_SIZE, 'x'));
     }},

    // ---- The companion files
    // Duplicate UserIDs among thousands of users, numbered from 1 or spread over the whole
    // range: the bitmap of small IDs and the table of large ones (from 2^24), which grows
    // many times over, find exactly the repeats, at the records where they repeat.
    {"duplicate-userids-many-users", "-x <base>",
     [](base_builder &b) {
         constexpr uint32_t LARGE = uint32_t{1} << 24;
         b.add_message();
         for (uint32_t id = 1; id <= 5000; ++id)
             b.lastread.push_back({id * 7, id, 1, 1});
         for (uint32_t k = 0; k < 5000; ++k)
             b.lastread.push_back({k, LARGE + k * 855'000u, 1, 1}); // up to 4290922216
         b.lastread[1234].UserID = 77;                              // as record 76
         b.lastread[4999].UserID = 4000;                            // as record 3999
         b.lastread[7000].UserID = LARGE + 17 * 855'000u;           // as record 5017
         b.lastread.push_back({0, 0xFFFFFFFFu, 1, 1});
         b.lastread.push_back({0, 0xFFFFFFFFu, 1, 1});
         b.lastread.push_back({0, LARGE - 1, 1, 1});
         b.lastread.push_back({0, LARGE, 1, 1}); // as record 5000
         b.lastread.push_back({0, LARGE - 1, 1, 1});
         b.write();
     }},
    // Index records inside, before and past the header area, a deleted slot, stray bytes;
    // last-read records with UserID 0, duplicates, HighReadMsg below LastReadMsg.
    {"index-and-lastread-records", nullptr,
     [](base_builder &b) {
         b.add_message();
         b.add_message().to("Carol");
         b.write();
         const auto end = static_cast<uint32_t>(b.bytes(jam_ext::jhr).size());
         b.index =
             std::vector<idx_record>{{0x11, 1024},    {0x22, end - 1},      {0, 1023},    {0, end},
                                     {0, 0x80000000}, {ALL_ONES, ALL_ONES}, {1, ALL_ONES}};
         b.lastread = {{1, 0, 5, 5},
                       {2, 0, 6, 5},
                       {3, 7, 1, ALL_ONES},
                       {ALL_ONES, ALL_ONES, 9, 1},
                       {4, 7, 0, 0}};
         b.write();
         b.append(jam_ext::jdx, "12345");
         b.append(jam_ext::jlr, "!");
     }},
    // The texts, the index and the last-read file are gone; the headers point at texts.
    {"only-the-header-file", "-r -x <base>",
     [](base_builder &b) {
         b.add_message();
         b.add_message().to("Carol").body("A second text.\r");
         b.missing(jam_ext::jdt).missing(jam_ext::jdx).missing(jam_ext::jlr).write();
     }},
    {"empty-index-beside-messages", "-r -x <base>",
     [](base_builder &b) {
         b.add_message();
         b.add_message().to("Carol");
         b.index.emplace();
         b.write();
     }},
    // A packed base: the three links that name removed messages go; the index and the
    // last-read records stay, and every header keeps its number.
    {"packed-base-keeps-every-number", nullptr,
     [](base_builder &b) {
         add_packed_messages(b);
         b.write();
     }},
    // The numbers follow the index records only while the index is sound: in the packed
    // base #10's Reply1st=16 names the last message by its record. A wrong UserCRC or one
    // more hole at the end leaves the index sound, and the rebuild keeps every record in its
    // place. A record pointing nowhere or into a header, or a message left out, makes it
    // unsound: the messages are numbered in .JHR order, #16 does not exist, and the rebuild
    // renumbers them.
    {"packed-index-wrong-usercrc", nullptr,
     [](base_builder &b) {
         packed_with_index(b, [](std::vector<idx_record> &x) { x[0].UserCRC = 7; });
     }},
    {"packed-index-one-more-hole", nullptr,
     [](base_builder &b) {
         packed_with_index(b, [](std::vector<idx_record> &x) { x.push_back({ALL_ONES, ALL_ONES}); });
     }},
    {"packed-index-hole-points-nowhere", nullptr,
     [](base_builder &b) {
         packed_with_index(b, [](std::vector<idx_record> &x) { x[3] = {0, 0x10}; });
     }},
    {"packed-index-leaves-a-message-out", nullptr,
     [](base_builder &b) {
         packed_with_index(b, [](std::vector<idx_record> &x) { x[4] = {ALL_ONES, ALL_ONES}; });
     }},
    {"packed-index-record-into-a-header", nullptr,
     [](base_builder &b) {
         packed_with_index(
             b, [](std::vector<idx_record> &x) { x.push_back({0, x[0].HdrOffset + 2}); });
     }},
    // Each index fault class raises one issue, however many records it holds: 700 messages
    // indexed backwards from the 100th, 50 records pointing one byte into a header, one
    // wrong UserCRC, so a large base with a scrambled index cannot fill the list.
    {"index-one-issue-per-fault-class", "-x <base>",
     [](base_builder &b) {
         for (int i = 0; i < 700; ++i)
             b.add_message().to("Reader " + std::to_string(i));
         b.write();
         std::vector<idx_record> index;
         for (std::size_t i = 700; i-- > 100;)
             index.push_back(b.derived_index(i));
         for (std::size_t i = 0; i < 50; ++i)
             index.push_back({0, static_cast<uint32_t>(b.header_offset(i) + 1)});
         index.front().UserCRC ^= 1;
         b.index = index;
         b.write();
     }},
    // After an early stop of the header walk the headers past it are unknown, so the index
    // record pointing into the first header is not judged: a bad signature after the last
    // header, and a first header cut short.
    {"index-not-judged-after-bad-signature", "-x <base>",
     [](base_builder &b) {
         b.add_message();
         b.index = std::vector<idx_record>{{1, static_cast<uint32_t>(FIXED_HEADER_SIZE + 10)}};
         b.write();
         b.append(jam_ext::jhr, std::string(MSG_HEADER_SIZE, 'x'));
     }},
    {"index-not-judged-after-cut-header", "-x <base>",
     [](base_builder &b) {
         b.add_message();
         b.index = std::vector<idx_record>{{1, static_cast<uint32_t>(FIXED_HEADER_SIZE + 10)}};
         b.write();
         b.set_bytes(jam_ext::jhr, b.bytes(jam_ext::jhr).substr(0, FIXED_HEADER_SIZE + 40));
     }},
    // Nor is an index without a whole record judged.
    {"index-not-judged-seven-bytes", "-x <base>",
     [](base_builder &b) {
         b.add_message();
         b.write();
         b.set_bytes(jam_ext::jdx, "1234567");
     }},
    // Seven bytes of index and a bad signature after the last header: the cut leaves no
    // record to keep, so even -r alone rebuilds the index from the headers found.
    {"index-without-whole-record", "-r -x <base>",
     [](base_builder &b) {
         b.add_message().to("Amy");
         b.write();
         b.set_bytes(jam_ext::jdx, "1234567");
         b.append(jam_ext::jhr, std::string(MSG_HEADER_SIZE, 'x'));
     }},
    // -r alone keeps an index with records, and creates the missing texts file under a
    // lower-case name beside the upper-case header file.
    {"repair-alone-keeps-the-index", "-r -x <base>",
     [](base_builder &b) {
         b.add_message().body("");
         b.upper(jam_ext::jhr).missing(jam_ext::jdt).write();
     }},
    // -p after a walk that stopped early: the missing index is rebuilt from the headers
    // found, no other file is created, and an index missing at the start means no summary.
    {"walk-stops-index-missing", "-p -x -s <base>",
     [](base_builder &b) {
         b.add_message();
         b.missing(jam_ext::jdx).missing(jam_ext::jlr).write();
         b.append(jam_ext::jhr, "JAM " + std::string(MSG_HEADER_SIZE - 4, '\0'));
     }},
    {"upper-case-extensions", nullptr,
     [](base_builder &b) {
         b.add_message();
         b.lastread = {{1, 1, 1, 0}};
         for (const jam_ext e : {jam_ext::jhr, jam_ext::jdt, jam_ext::jdx, jam_ext::jlr})
             b.upper(e);
         b.write();
         b.append(jam_ext::jdx, "\x1A");
     }},
    {"lastread-is-a-directory", nullptr,
     [](base_builder &b) {
         b.add_message();
         b.missing(jam_ext::jlr).write();
         directory_at(b.path(jam_ext::jlr));
     }},
    {"texts-is-a-directory", "-x <base>",
     [](base_builder &b) {
         b.add_message();
         b.missing(jam_ext::jdt).write();
         directory_at(b.path(jam_ext::jdt));
     }},
    {"index-is-a-directory", "-x <base>",
     [](base_builder &b) {
         b.add_message();
         b.missing(jam_ext::jdx).write();
         directory_at(b.path(jam_ext::jdx));
     }},
    // The same repaired: the directory is neither backed up nor rebuilt, and the repair
    // that could not write the index ends with status 1.
    {"index-is-a-directory-repair", nullptr,
     [](base_builder &b) {
         b.add_message();
         b.missing(jam_ext::jdx).write();
         directory_at(b.path(jam_ext::jdx));
     }},

    // ---- The index against the headers
    // A live message no record points at.
    {"index-misses-a-message", nullptr,
     [](base_builder &b) {
         for (const char *to : {"Amy", "Ben", "Cleo"})
             b.add_message().to(to);
         b.write();
         b.index = std::vector<idx_record>{b.derived_index(0), b.derived_index(2)};
         b.write();
     }},
    // Every header indexed, and one more record pointing ten bytes into a header.
    {"index-points-into-a-header", nullptr,
     [](base_builder &b) {
         for (const char *to : {"Amy", "Ben", "Cleo"})
             b.add_message().to(to);
         b.write();
         idx_record inside = b.derived_index(1);
         inside.HdrOffset += 10;
         b.index = std::vector<idx_record>{b.derived_index(0), b.derived_index(1),
                                           b.derived_index(2), inside};
         b.write();
     }},
    // Two records swapped, and the first one again at the end.
    {"index-out-of-order", nullptr,
     [](base_builder &b) {
         for (const char *to : {"Amy", "Ben", "Cleo"})
             b.add_message().to(to);
         b.write();
         b.index = std::vector<idx_record>{b.derived_index(0), b.derived_index(2),
                                           b.derived_index(1), b.derived_index(0)};
         b.write();
     }},
    // A UserCRC that is not the recipient's hides that message from its reader; a deleted
    // message's record is judged too.
    {"index-wrong-usercrc", nullptr,
     [](base_builder &b) {
         for (const char *to : {"Amy", "Ben", "Cleo"})
             b.add_message().to(to);
         b.messages[2].deleted();
         b.write();
         b.index =
             std::vector<idx_record>{b.derived_index(0), b.derived_index(1), b.derived_index(2)};
         b.index->at(1).UserCRC = 0x12345678;
         b.index->at(2).UserCRC = 0;
         b.write();
     }},
    // A real base's index damaged three ways: two records swapped, one moved ten bytes into
    // its header, another's UserCRC set to 0x12345678.
    {"real-cm-small-index-damaged", nullptr,
     [](base_builder &b) {
         copy_base(b, "tests/data/cm-small/cm-small");
         std::string jdx = b.bytes(jam_ext::jdx);
         std::swap_ranges(jdx.begin() + 3 * 8, jdx.begin() + 4 * 8, jdx.begin() + 4 * 8);
         b.set_bytes(jam_ext::jdx, jdx);
         b.put_u32(jam_ext::jdx, 7 * 8 + 4, b.get_u32(jam_ext::jdx, 7 * 8 + 4) + 10);
         b.put_u32(jam_ext::jdx, 12 * 8, 0x12345678);
     }},

    // ---- The header walk
    // An editor saved the header file of an empty area with a newline.
    {"header-file-cut-short", nullptr,
     [](base_builder &b) {
         b.write();
         b.append(jam_ext::jhr, "\r\n");
     }},
    // Six messages, the first replied to by the fourth; a flipped bit makes the second one's
    // subfield block reach past the end of .JHR, so the four headers after it go unexamined
    // and the repairs that need all headers hold back.
    {"unreadable-subfield-block", nullptr,
     [](base_builder &b) {
         b.add_message().links(0, 4, 0);
         for (int i = 1; i < 6; ++i)
             b.add_message().links(i == 3 ? 1 : 0, 0, 0);
         b.write();
         const auto second = static_cast<std::size_t>(b.header_offset(1));
         b.put_u32(jam_ext::jhr, second + 8, b.get_u32(jam_ext::jhr, second + 8) + 0x8000);
     }},
    // A subfield block may reach 65536 bytes past the end of .JHR: the header is recorded
    // but its block is unread, and the walk counts as stopped there. One byte more ends the
    // walk at once.
    {"subfield-block-at-the-limit", nullptr,
     [](base_builder &b) {
         b.add_message();
         b.add_message().to("Carol").no_subfields().subfield_len = 65536;
         b.write();
     }},
    {"implausible-subfield-length", nullptr,
     [](base_builder &b) {
         b.add_message();
         b.add_message().to("Carol").no_subfields().subfield_len = 65537;
         b.write();
     }},

    // ---- One message at a time
    // A subfield header cut off, data past the block, a MSGID over its limit, a kind without
    // a limit, time zone offsets with and without digits, also in a deleted message.
    {"subfield-blocks", nullptr,
     [](base_builder &b) {
         b.add_message().no_subfields().subfields.push_back({SF_SUBJECT, 0, "Hiabc", 2});
         b.add_message().subfields = {{2001, 0, std::string(5000, 's'), {}},
                                      {SF_TZUTCINFO, 0, "-123", {}},
                                      {SF_TZUTCINFO, 0, "+01:0", {}},
                                      {SF_SUBJECT, 0, std::string(8, 'x'), 0xFFFFFFF8}};
         b.add_message().msgid(std::string(150, 'm')).subfield(SF_TZUTCINFO, "-0130");
         b.add_message().subfield(SF_TZUTCINFO, "UTC0").deleted();
         b.add_message().subfield(SF_TZUTCINFO, "012x");
         b.write();
     }},
    // Revision 2, dates before 1980 and in 2106; a deleted message's dates are judged too.
    {"message-dates-and-revision", nullptr,
     [](base_builder &b) {
         b.add_message().hdr.Revision = 2;
         msg_header &dates = b.add_message().hdr;
         dates.DateWritten = 100;
         dates.DateReceived = ALL_ONES;
         dates.DateProcessed = PLAUSIBLE_MIN_TIME - 1;
         b.add_message().deleted().hdr.DateWritten = 1;
         b.write();
     }},
    // Every attribute rule once, an attachment and a request with their subfields, and a
    // deleted message whose attributes are not judged.
    {"attribute-rules", nullptr,
     [](base_builder &b) {
         for (const uint32_t bits : {0x04000000u, MSG_TYPENET, MSG_FILEATTACH, MSG_FILEREQUEST,
                                     MSG_TRUNCFILE | MSG_KILLFILE, MSG_ENCRYPT, MSG_COMPRESS})
             b.add_message().attr(bits);
         b.add_message()
             .subfield(SF_ENCLOSEDFILE, "f.zip")
             .subfield(SF_ENCLOSEDFREQ, "NODELIST")
             .attr(MSG_FILEATTACH | MSG_FILEREQUEST | MSG_KILLFILE);
         b.add_message().deleted().attr(MSG_ENCRYPT | MSG_TYPENET);
         b.write();
     }},
    // A text far past the end of .JDT, one overrunning it, one ending exactly at its end,
    // and a deleted message's, which is not judged.
    {"texts-outside-the-text-file", nullptr,
     [](base_builder &b) {
         b.add_message().body("Twelve bytes").text_at(0x80000000, 5);
         b.add_message().text_at(5, ALL_ONES);
         b.add_message().text_at(0, 25);
         b.add_message().deleted().text_at(9999, 5);
         b.add_message().text_at(0, 3); // then moved to start at the end of .JDT
         b.write();
         b.put_u32(jam_ext::jhr, static_cast<std::size_t>(b.header_offset(4)) + 60,
                   static_cast<uint32_t>(b.bytes(jam_ext::jdt).size()));
     }},
    // Stale MSGID and REPLYID CRCs; a stored all-ones CRC is never compared, and a deleted
    // message is left alone.
    {"stale-id-crcs", nullptr,
     [](base_builder &b) {
         b.add_message().msgid("2:5020/1 1").replyid("x").hdr.MSGIDcrc = 1;
         b.messages[0].hdr.REPLYcrc = 2;
         b.add_message().msgid("2:5020/1 2").hdr.MSGIDcrc = ALL_ONES;
         b.add_message().msgid("d").deleted().hdr.MSGIDcrc = 4;
         b.write();
     }},
    // Raw bytes, bad escapes, a backslash at the end of a text followed in the file by hex
    // digits, a text with more than five errors, and a good one.
    {"escaped-texts", nullptr,
     [](base_builder &b) {
         b.add_message().attr(MSG_ESCAPED).body(" ~\t\x7F\xE4");
         b.add_message().attr(MSG_ESCAPED).body("\\5C\\0d\\5G\\\\41");
         b.add_message().attr(MSG_ESCAPED).body("ab\\");
         b.add_message().attr(MSG_ESCAPED).body("4141ab\\4");
         b.add_message().attr(MSG_ESCAPED).body(std::string(20, '\x80'));
         b.add_message().attr(MSG_ESCAPED).body("Gr\\FC\\DFe\\0D");
         b.write();
     }},
    // Each fault at every position of the eight-byte words the check skips through: the
    // bytes 00, 1F, 7F, 80 and FF, then the edges of the printable range and a good escape
    // (plain text), then a backslash without two hex digits after it, at the end or before
    // "4G".
    {"escaped-text-every-position", "-x <base>",
     [](base_builder &b) {
         constexpr std::size_t LEN = 19;
         for (std::size_t p = 0; p < LEN; ++p) {
             for (const unsigned bad : {0x00u, 0x1Fu, 0x7Fu, 0x80u, 0xFFu}) {
                 std::string text(LEN, 'a');
                 text[p] = static_cast<char>(bad);
                 b.add_message().body(text).attr(MSG_ESCAPED);
             }
             std::string edges(LEN, ' ');
             edges[p] = '~';
             b.add_message().body(edges).attr(MSG_ESCAPED);
             if (p + 3 <= LEN) {
                 std::string good(LEN, 'a');
                 good.replace(p, 3, "\\e4");
                 b.add_message().body(good).attr(MSG_ESCAPED);
             }
             std::string bad(LEN, 'a');
             bad.replace(p, std::min<std::size_t>(3, LEN - p),
                         std::string("\\4G").substr(0, LEN - p));
             b.add_message().body(bad).attr(MSG_ESCAPED);
         }
         b.write();
     }},

    // ---- Reply chains and repairs
    // The exit status of a repair counts the issues printed before repairing, less a
    // corrected byte shift and the messages whose dangling reply links were set to 0; every
    // other repaired issue still counts. The README's table of exit statuses quotes these.
    {"status-dangling-link-repaired", "-rx <base>",
     [](base_builder &b) {
         b.add_message().links(0, 0, 7);
         b.write();
     }},
    {"status-dangling-link-analysed", "-x <base>",
     [](base_builder &b) {
         b.add_message().links(0, 0, 7);
         b.write();
     }},
    {"status-stale-msgid-crc-repaired", "-rx <base>",
     [](base_builder &b) {
         b.add_message().msgid("1:2/3 4").hdr.MSGIDcrc = 5;
         b.write();
     }},
    {"status-byte-shift-repaired", "-r <base>",
     [](base_builder &b) {
         b.add_message();
         b.write();
         b.insert(jam_ext::jhr, 8, "\n");
     }},
    {"status-dangling-link-and-stale-crc-in-one-message", "-rx <base>",
     [](base_builder &b) {
         b.add_message().links(0, 0, 7).msgid("1:2/3 4").hdr.MSGIDcrc = 5;
         b.write();
     }},
    {"status-dangling-links-in-two-messages-packed", "-px <base>",
     [](base_builder &b) {
         b.add_message().links(9, 0, 0);
         b.add_message().links(0, 8, 0);
         b.write();
     }},
    {"status-two-dangling-links-in-one-message", "-rx <base>",
     [](base_builder &b) {
         b.add_message().links(9, 0, 7);
         b.write();
     }},
    {"status-stray-index-byte-repaired", "-r <base>", stray_index_byte},
    // Messages #100 to #108 with links to no message and links that disagree; #107 is
    // deleted: links to it are accepted, its own dangling links not checked.
    {"reply-chains", nullptr,
     [](base_builder &b) {
         const std::vector<std::array<uint32_t, 3>> links = {
             {99, 1, 200},  {0, 102, 0}, {101, 0, 103}, {101, 0, 104},  {0, 105, 106},
             {105, 105, 0}, {0, 107, 0}, {5, 6, 7},     {107, 109, 107}};
         b.fhdr.BaseMsgNum = 100;
         for (const auto &l : links)
             b.add_message().links(l[0], l[1], l[2]);
         b.messages[7].deleted();
         b.write();
     }},
    // Everything the repairs fix at once: BaseMsgNum 0 (then link 3 names the deleted
    // message and 40 none), ActiveMsgs, stale CRCs, a dangling link, an editor newline,
    // stray bytes in both record files, a HighReadMsg behind LastReadMsg.
    {"repair-everything", nullptr,
     [](base_builder &b) {
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
     }},

    // ---- The summary table and the verbose report
    // An index through every rule of the table: a deleted slot, long texts, two subjects,
    // no date, no signature at the offset, an offset at the end of the file, a deleted
    // header, subjects overrunning their block; then more rows than the table shows,
    // numbered from a BaseMsgNum that wraps.
    {"summary-table", "-x -s <base>",
     [](base_builder &b) {
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
         // After a deleted slot: the defaults, the long texts, no signature, the end of the
         // file, the fixed header, the deleted header, the overrunning subjects; then the
         // defaults again.
         b.index = std::vector<idx_record>{{ALL_ONES, ALL_ONES}};
         const auto end = static_cast<int64_t>(b.bytes(jam_ext::jhr).size());
         for (const int64_t at :
              {b.header_offset(0), b.header_offset(1), b.header_offset(0) + 4, end, int64_t{0},
               b.header_offset(4), b.header_offset(2), b.header_offset(3)})
             b.index->push_back({0x12345678, static_cast<uint32_t>(at)});
         b.index->resize(40, b.index->at(1));
         b.write();
     }},
    // BaseMsgNum 0 and an orphaned index: the table lists the base as the repairs left it.
    {"summary-after-repairs", nullptr,
     [](base_builder &b) {
         b.fhdr.BaseMsgNum = 0;
         b.add_message();
         b.add_message().from("Carol");
         b.index = std::vector<idx_record>{{0, 5}, {0, 0x7FFFFFFF}};
         b.write();
     }},
    // Every kind of -v line: records of both files, messages, known and unknown subfields,
    // a reserved HiID, a reply to a deleted message. Names and a subject that would drive a
    // terminal (an escape sequence, a BEL, a line break with a forged report line, a DEL)
    // show these bytes as dots; the code-page letters of the subject stay as they are.
    {"verbose-report", "-x -v -s <base>",
     [](base_builder &b) {
         b.add_message().links(0, 2, 0).subfield(SF_PID, "cairn 1", 7).subfield(999, "?");
         b.add_message().deleted().links(1, 0, 0);
         b.add_message()
             .links(2, 0, 0)
             .from("Dora\x1B[2J\x07")
             .to("Bob\r\n  No issues detected.")
             .subject("Gr\xFC\xDF\x7F");
         b.lastread = {{1, 1, 1, 3}, {ALL_ONES, ALL_ONES, 0, 0}};
         b.write();
     }},
};

} // namespace

// Writes the named cases, or all of them; the expected files in their folders stay. The
// bases come out byte for byte the same each time.
int main(int argc, char **argv) {
    const std::vector<std::string> names(argv + 1, argv + argc);
    int written = 0;
    for (const case_def &c : CASES) {
        if (!names.empty() && std::find(names.begin(), names.end(), c.name) == names.end())
            continue;
        const fs::path dir = fs::path(CAIRNFIX_SOURCE_DIR "/tests/cases") / c.name;
        fs::create_directories(dir);
        for (const auto &entry : fs::directory_iterator(dir))
            if (entry.path().filename().string().starts_with("base.") ||
                entry.path().filename() == "args")
                fs::remove_all(entry.path());
        base_builder b(dir.string(), "base");
        c.make(b);
        if (c.args != nullptr)
            write_file((dir / "args").string(), std::string(c.args) + "\n");
        ++written;
    }
    std::printf("wrote %d case(s)\n", written);
    return names.empty() || written == static_cast<int>(names.size()) ? 0 : 1;
}
