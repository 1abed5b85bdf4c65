// Writes a large, healthy JAM base for the benchmark. The same arguments always give the
// same bytes, so a cached base can be compared with a fresh one.
//
//   make_bench_base [--textbook-crc | --random-ids | --crafted-ids | --scattered]
//                   <dir> <name> <messages> <users> [<seed>]
//
// --random-ids gives the users distinct random UserIDs of 2^24 and above; --crafted-ids
// gives them IDs of 2^24 and above that a table hashed by the top 32 bits of the ID times
// the 64-bit golden-ratio constant would put all into one run of 64 home slots.
// --scattered deletes every message but the last 25 and writes the headers to .JHR in a
// random order, so the index records point all over the file.
//
// --textbook-crc stores every MSGIDcrc and REPLYcrc as a program that uses the textbook
// CRC-32 writes them (complemented, no case folding), so each one is stale for the tool;
// everything else stays byte for byte as without the option.
//
// The base builder writes the fixed header and the .JLR; the messages are streamed to
// .JHR/.JDT/.JDX one at a time, because keeping half a million of them in memory would
// take gigabytes. Each message is still composed by the builder's test_message, so
// MSGIDcrc and REPLYcrc come out as the builder derives them.
#include "support/base_builder.h"

#include "format/files.h"
#include "format/jam.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <exception>
#include <random>
#include <string>
#include <unordered_set>
#include <vector>

namespace {

const char *const FIRST_NAMES[] = {"Alex",  "Boris", "Carla", "Dmitri", "Elena", "Frank",
                                   "Greta", "Hans",  "Ilona", "Jan",    "Kari",  "Lars",
                                   "Maria", "Nils",  "Olga",  "Peter",  "Rosa",  "Sven",
                                   "Tanja", "Uwe",   "Vera",  "Willem", "Yuri",  "Zoe"};
const char *const LAST_NAMES[] = {
    "Andersen", "Bauer",  "Castell",  "Dubois",    "Eriksson", "Fischer", "Gorbunov", "Hartmann",
    "Ivanov",   "Jensen", "Kowalski", "Lindqvist", "Moreau",   "Novak",   "Olsen",    "Petrov"};
constexpr uint32_t NAME_COUNT = std::size(FIRST_NAMES) * std::size(LAST_NAMES);

const char *const SUBJECTS[] = {"Modem init strings",
                                "Best BBS software?",
                                "Nodelist segment for net 5020",
                                "Echomail tossing problem",
                                "Old hardware for sale",
                                "Weekend point meeting",
                                "FidoNet history",
                                "Binkp behind NAT",
                                "Pascal vs C for doors",
                                "Squish or JAM?",
                                "Packer settings",
                                "Crashmail routing",
                                "Zone 2 policy question",
                                "Favourite text editor",
                                "Offline readers today",
                                "Backups and disk failures",
                                "Area fix commands",
                                "Time zone kludges",
                                "Dupes in the area",
                                "Charset trouble",
                                "Linux on a 486",
                                "Long file names in TIC",
                                "Retro computing corner",
                                "Mailer log analysis"};

const char *const WORDS[] = {
    "the",     "mailer", "node",    "echo",    "area",     "message", "base",    "I",
    "think",   "that",   "it",      "was",     "working",  "fine",    "until",   "we",
    "changed", "our",    "packer",  "and",     "then",     "every",   "night",   "poll",
    "failed",  "with",   "a",       "timeout", "so",       "please",  "check",   "your",
    "setup",   "again",  "because", "my",      "uplink",   "says",    "nothing", "arrived",
    "since",   "Monday", "maybe",   "the",     "nodelist", "is",      "old",     "or",
    "routing", "broke",  "this",    "weekend", "anyway",   "thanks",  "for",     "help"};

// What the generator decides about a message before anything is written: the thread
// links need the numbers of replies that come later in the file.
struct plan_entry {
    uint32_t reply_to = 0; // message numbers; 0 = none
    uint32_t reply_1st = 0;
    uint32_t reply_next = 0;
    uint16_t sender = 0;
    uint16_t receiver = 0; // NAME_COUNT stands for "All"
    uint16_t subject = 0;
    bool deleted = false;
    bool escaped = false;
};

struct random_source {
    std::mt19937_64 engine;
    explicit random_source(uint64_t seed) : engine(seed) {}
    // A value in [0, n); the engine's raw output keeps the bytes equal on every platform.
    uint32_t below(uint32_t n) { return static_cast<uint32_t>(engine() % n); }
    bool per_mille(uint32_t p) { return below(1000) < p; }
};

constexpr uint32_t FIRST_DATE = 1420070400; // 2015-01-01 00:00:00 UTC
constexpr uint32_t DATE_SPAN = 252460800;   // eight years
constexpr uint32_t BASE_MSG_NUM = 1;
constexpr std::size_t STREAM_BUFFER = 1 << 20;
constexpr uint16_t SF_SEENBY2D = 2001;
constexpr uint16_t SF_PATH2D = 2002;
constexpr uint32_t FIRST_HASHED_ID = uint32_t{1} << 24; // IDs from here on are hashed

std::string name_of(uint32_t n) {
    if (n >= NAME_COUNT)
        return "All";
    return std::string(FIRST_NAMES[n % std::size(FIRST_NAMES)]) + " " +
           LAST_NAMES[n / std::size(FIRST_NAMES)];
}

// Each name has a node of its own; "All" stands for the echo hub.
std::string node_of(uint32_t n) {
    if (n >= NAME_COUNT)
        return "5020/1";
    return std::to_string(5000 + n % 40) + "/" + std::to_string(100 + n * 7 % 900);
}
std::string address_of(uint32_t n) {
    return "2:" + node_of(n);
}

std::string msgid_of(uint32_t index, uint32_t sender, uint64_t seed) {
    char serial[9];
    std::snprintf(serial, sizeof serial, "%08x",
                  static_cast<uint32_t>((seed + index) * 0x9E3779B1u));
    return address_of(sender) + " " + serial;
}

const char *zone_of(uint32_t sender) {
    static const char *const ZONES[] = {"0100", "0200", "0000", "-0500", "0300", "+0100"};
    return ZONES[sender % std::size(ZONES)];
}

// The textbook CRC-32: reflected polynomial 0xEDB88320, seed and final complement
// 0xFFFFFFFF, the bytes as they are. Computed bit by bit: only the --textbook-crc base uses it.
uint32_t textbook_crc32(const std::string &s) {
    uint32_t crc = ALL_ONES;
    for (const char c : s) {
        const auto b = static_cast<unsigned char>(c);
        crc ^= b;
        for (int k = 0; k < 8; ++k)
            crc = (crc & 1) ? (crc >> 1) ^ 0xEDB88320u : crc >> 1;
    }
    return ~crc;
}

std::vector<plan_entry> make_plan(uint32_t messages, random_source &rnd) {
    std::vector<plan_entry> plan(messages);
    std::vector<uint32_t> last_reply(messages, 0); // index + 1 of the newest reply
    for (uint32_t i = 0; i < messages; ++i) {
        plan_entry &p = plan[i];
        p.sender = static_cast<uint16_t>(rnd.below(NAME_COUNT));
        p.receiver = static_cast<uint16_t>(rnd.per_mille(600) ? NAME_COUNT : rnd.below(NAME_COUNT));
        p.subject = static_cast<uint16_t>(rnd.below(std::size(SUBJECTS)));
        p.deleted = rnd.per_mille(20);
        p.escaped = rnd.per_mille(30);
        if (i == 0 || !rnd.per_mille(400))
            continue;
        // A reply to one of the last few hundred messages: siblings share the parent's
        // ReplyTo, the parent names its first reply, each reply names the next one.
        const uint32_t parent = i - 1 - rnd.below(i < 300 ? i : 300);
        const uint32_t own = BASE_MSG_NUM + i;
        p.reply_to = BASE_MSG_NUM + parent;
        p.receiver = plan[parent].sender;
        p.subject = plan[parent].subject;
        if (last_reply[parent] == 0)
            plan[parent].reply_1st = own;
        else
            plan[last_reply[parent] - 1].reply_next = own;
        last_reply[parent] = i + 1;
    }
    return plan;
}

// A text of about `length` bytes (200 to 2000) with CR line ends. Escaped texts stay
// 7-bit: line ends, umlauts and backslashes appear as \xx escapes.
std::string make_text(const plan_entry &p, uint32_t length, random_source &rnd) {
    const std::string eol = p.escaped ? "\\0D" : "\r";
    const std::string umlaut = p.escaped ? "\\E4" : "\xE4";
    const std::string who =
        p.receiver < NAME_COUNT ? FIRST_NAMES[p.receiver % std::size(FIRST_NAMES)] : "All";
    const std::string footer = eol + "--- cairngen 1.0" + eol + " * Origin: Bench Point (" +
                               address_of(p.sender) + ")" + eol;
    std::string text = "Hello " + who + "!" + eol + eol;
    std::size_t line = 0;
    for (;;) {
        std::string word = WORDS[rnd.below(std::size(WORDS))];
        if (rnd.per_mille(15))
            word += rnd.per_mille(500) ? umlaut : (p.escaped ? "\\5C" : "\\");
        const bool wrap = line + word.size() >= 70;
        const std::string piece = (wrap ? eol : line == 0 ? "" : " ") + word;
        if (text.size() + piece.size() + footer.size() > length)
            break;
        text += piece;
        line = wrap ? word.size() : line + piece.size();
    }
    return text + footer;
}

test_message make_message(const std::vector<plan_entry> &plan, uint32_t i, uint64_t seed,
                          bool textbook_crc, random_source &rnd) {
    const plan_entry &p = plan[i];
    test_message m;
    m.no_subfields();
    const std::string msgid = msgid_of(i, p.sender, seed);
    m.msgid(msgid);
    if (textbook_crc)
        m.hdr.MSGIDcrc = textbook_crc32(msgid);
    if (p.reply_to != 0) {
        const uint32_t parent = p.reply_to - BASE_MSG_NUM;
        const std::string replyid = msgid_of(parent, plan[parent].sender, seed);
        m.replyid(replyid);
        if (textbook_crc)
            m.hdr.REPLYcrc = textbook_crc32(replyid);
    }
    m.subfield(SF_PID, "cairngen 1.0");
    m.subfield(SF_OADDRESS, address_of(p.sender));
    m.subfield(SF_DADDRESS, address_of(p.receiver));
    m.from(name_of(p.sender));
    m.to(name_of(p.receiver));
    m.subject((p.reply_to != 0 ? "Re: " : "") + std::string(SUBJECTS[p.subject]));
    m.subfield(SF_TZUTCINFO, zone_of(p.sender));
    m.subfield(SF_FTSKLUDGE, "TID: cairngen 1.0");
    if (!p.escaped && rnd.per_mille(300))
        m.subfield(SF_FTSKLUDGE, "CHRS: LATIN-1 2");
    m.subfield(SF_SEENBY2D, "5020/1 5020/2 " + node_of(p.sender));
    if (rnd.per_mille(200))
        m.subfield(SF_SEENBY2D, "5030/1 5030/17 5030/44");
    m.subfield(SF_PATH2D, node_of(p.sender) + " 5020/1");

    const uint32_t step = std::max<uint32_t>(1, DATE_SPAN / static_cast<uint32_t>(plan.size()));
    m.hdr.DateWritten = FIRST_DATE + i * step + rnd.below(step);
    m.hdr.DateReceived = m.hdr.DateWritten + 60 + rnd.below(7200);
    m.hdr.DateProcessed = m.hdr.DateReceived + rnd.below(600);
    m.hdr.MessageNumber = BASE_MSG_NUM + i;
    m.links(p.reply_to, p.reply_1st, p.reply_next);
    if (p.deleted)
        m.deleted();
    if (p.escaped)
        m.attr(MSG_ESCAPED);
    m.body(make_text(p, 220 + rnd.below(1781), rnd));
    return m;
}

bool parse_number(const char *s, uint64_t max, uint64_t *out) {
    const char *end = s + std::strlen(s);
    auto [ptr, ec] = std::from_chars(s, end, *out);
    return ec == std::errc() && ptr == end && *out <= max;
}

bool write_or_complain(jam_file &f, const std::string &path, const void *data, std::size_t n) {
    if (f.write(data, n))
        return true;
    std::fprintf(stderr, "make_bench_base: cannot write %s: %s\n", path.c_str(),
                 std::strerror(errno));
    return false;
}

// Streams the messages after the fixed header the builder has written.
// The messages go to .JHR in the given order of their numbers; the index is kept in memory
// and written in number order at the end.
bool write_messages(const base_builder &b, const std::vector<plan_entry> &plan,
                    const std::vector<uint32_t> &order, uint64_t seed, bool textbook_crc,
                    random_source &rnd) {
    jam_file jhr, jdt, jdx;
    const std::string jhr_path = b.path(jam_ext::jhr), jdt_path = b.path(jam_ext::jdt),
                      jdx_path = b.path(jam_ext::jdx);
    if (!jhr.open(jhr_path, "r+b", STREAM_BUFFER) || !jhr.seek(FIXED_HEADER_SIZE) ||
        !jdt.open(jdt_path, "wb", STREAM_BUFFER) || !jdx.open(jdx_path, "wb", STREAM_BUFFER)) {
        std::fprintf(stderr, "make_bench_base: cannot open the base: %s\n", std::strerror(errno));
        return false;
    }
    uint64_t jhr_pos = FIXED_HEADER_SIZE, jdt_pos = 0;
    std::vector<unsigned char> index(plan.size() * IDX_RECORD_SIZE);
    for (const uint32_t i : order) {
        test_message m = make_message(plan, i, seed, textbook_crc, rnd);
        const std::string block = m.subfield_block();
        if (jhr_pos > UINT32_MAX || jdt_pos + m.text.size() > UINT32_MAX) {
            std::fprintf(stderr, "make_bench_base: base exceeds 4 GiB at message %u\n", i);
            return false;
        }
        m.hdr.SubfieldLen = static_cast<uint32_t>(block.size());
        m.hdr.TxtOffset = static_cast<uint32_t>(jdt_pos);
        m.hdr.TxtLen = static_cast<uint32_t>(m.text.size());
        unsigned char hdr[MSG_HEADER_SIZE];
        encode_msg_header(m.hdr, hdr);
        const std::string to = name_of(plan[i].receiver);
        encode_idx_record(
            idx_record{jam_crc_buf(to.data(), to.size()), static_cast<uint32_t>(jhr_pos)},
            &index[std::size_t{i} * IDX_RECORD_SIZE]);
        if (!write_or_complain(jhr, jhr_path, hdr, sizeof hdr) ||
            !write_or_complain(jhr, jhr_path, block.data(), block.size()) ||
            !write_or_complain(jdt, jdt_path, m.text.data(), m.text.size()))
            return false;
        jhr_pos += sizeof hdr + block.size();
        jdt_pos += m.text.size();
    }
    if (!write_or_complain(jdx, jdx_path, index.data(), index.size()))
        return false;
    // Flushed before closing: jam_file::close releases its stdio buffer before fclose.
    if (!jhr.flush() || !jdt.flush() || !jdx.flush() || !jhr.close() || !jdt.close() ||
        !jdx.close()) {
        std::fprintf(stderr, "make_bench_base: cannot close the base: %s\n", std::strerror(errno));
        return false;
    }
    return true;
}

// One record per user: distinct UserIDs, last-read marks inside the base.
std::vector<lastread_record> make_lastread(uint32_t users, uint32_t messages, uint64_t seed) {
    random_source rnd(seed ^ 0x4A4C52u); // its own stream: the user count leaves the messages alone
    std::vector<lastread_record> records(users);
    for (uint32_t u = 0; u < users; ++u) {
        std::string name = name_of(u % NAME_COUNT);
        if (u >= NAME_COUNT)
            name += ' ' + std::to_string(u / NAME_COUNT);
        const uint32_t high = messages == 0 ? 0 : BASE_MSG_NUM + rnd.below(messages);
        const uint32_t last = high == 0 ? 0 : high - rnd.below(std::min<uint32_t>(high, 200));
        records[u] = {jam_crc_buf(name.data(), name.size()), u + 1, last, high};
    }
    return records;
}

// Distinct random UserIDs of 2^24 and above.
void random_ids(std::vector<lastread_record> &records, uint64_t seed) {
    random_source rnd(seed ^ 0x1D5u);
    std::unordered_set<uint32_t> taken;
    for (lastread_record &r : records) {
        do
            r.UserID = FIRST_HASHED_ID + rnd.below(UINT32_MAX - FIRST_HASHED_ID);
        while (!taken.insert(r.UserID).second);
    }
}

// UserIDs of 2^24 and above whose product with the constant has 0..63 in bits 32..50: the
// home slot in any table of up to 2^19 slots lies in 0..63. The product's bits below 51
// step by the constant's for each next ID, so one addition finds the next candidate.
bool crafted_ids(std::vector<lastread_record> &records) {
    constexpr uint64_t GOLDEN = 0x9E3779B97F4A7C15u, MASK = (uint64_t{1} << 51) - 1;
    uint64_t product = uint64_t{FIRST_HASHED_ID} * GOLDEN & MASK;
    std::size_t n = 0;
    for (uint64_t id = FIRST_HASHED_ID; id <= UINT32_MAX && n < records.size(); ++id) {
        if (product >> 32 < 64)
            records[n++].UserID = static_cast<uint32_t>(id);
        product = (product + GOLDEN) & MASK;
    }
    return n == records.size();
}

// Every message but the last 25 deleted, and the order in which they go to .JHR shuffled.
std::vector<uint32_t> scatter(std::vector<plan_entry> &plan, uint64_t seed) {
    for (std::size_t i = 0; i + 25 < plan.size(); ++i)
        plan[i].deleted = true;
    std::vector<uint32_t> order(plan.size());
    for (uint32_t i = 0; i < order.size(); ++i)
        order[i] = i;
    random_source rnd(seed ^ 0x5C47u);
    for (uint32_t i = static_cast<uint32_t>(order.size()); i > 1; --i)
        std::swap(order[i - 1], order[rnd.below(i)]);
    return order;
}

} // namespace

int main(int argc, char **argv) {
    const char *option = argc > 1 && std::strncmp(argv[1], "--", 2) == 0 ? argv[1] : "";
    const bool textbook_crc = std::strcmp(option, "--textbook-crc") == 0;
    const bool random = std::strcmp(option, "--random-ids") == 0;
    const bool crafted = std::strcmp(option, "--crafted-ids") == 0;
    const bool scattered = std::strcmp(option, "--scattered") == 0;
    if (*option != '\0') {
        --argc;
        ++argv;
    }
    uint64_t messages = 0, users = 0, seed = 1;
    if ((argc != 5 && argc != 6) || !parse_number(argv[3], 2000000, &messages) ||
        !parse_number(argv[4], 10000000, &users) ||
        (argc == 6 && !parse_number(argv[5], UINT64_MAX, &seed)) ||
        (*option != '\0' && !textbook_crc && !random && !crafted && !scattered)) {
        std::fprintf(stderr, "usage: make_bench_base [--textbook-crc | --random-ids | "
                             "--crafted-ids | --scattered] <dir> <name> <messages> <users> "
                             "[<seed>]\n");
        return 1;
    }
    try {
        random_source rnd(seed);
        std::vector<plan_entry> plan = make_plan(static_cast<uint32_t>(messages), rnd);
        std::vector<uint32_t> order(plan.size());
        for (uint32_t i = 0; i < order.size(); ++i)
            order[i] = i;
        if (scattered)
            order = scatter(plan, seed);
        uint32_t live = 0;
        for (const plan_entry &p : plan)
            live += p.deleted ? 0 : 1;

        base_builder b(argv[1], argv[2]);
        b.fhdr.DateCreated = FIRST_DATE - 86400;
        b.fhdr.BaseMsgNum = BASE_MSG_NUM;
        b.active_msgs = live;
        b.lastread =
            make_lastread(static_cast<uint32_t>(users), static_cast<uint32_t>(messages), seed);
        if (random)
            random_ids(b.lastread, seed);
        if (crafted && !crafted_ids(b.lastread)) {
            std::fprintf(stderr, "make_bench_base: too many users for crafted IDs\n");
            return 1;
        }
        b.write();
        if (!write_messages(b, plan, order, seed, textbook_crc, rnd))
            return 1;
        std::printf("%s: %u messages (%u live), %u users\n", b.base().c_str(),
                    static_cast<uint32_t>(messages), live, static_cast<uint32_t>(users));
    } catch (const std::exception &e) {
        std::fprintf(stderr, "make_bench_base: %s\n", e.what());
        return 1;
    }
    return 0;
}
