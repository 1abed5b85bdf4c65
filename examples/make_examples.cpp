// Writes the example bases: <dir>/healthy/demo.* (a small echomail area with one reply
// thread) and <dir>/damaged/demo.*, the same area with the faults a sysop meets in practice.
#include "support/base_builder.h"

#include <cstdio>
#include <filesystem>
#include <string>

namespace {

constexpr uint32_t CREATED = 1693555200; // 2023-09-01 08:00:00 UTC
constexpr uint32_t MOD_COUNTER = 1187;
constexpr std::size_t SPURIOUS_AT = 8; // right after DateCreated
constexpr uint32_t DANGLING_NEXT = 17; // a reply that was purged long ago

const std::string ORIGIN_MARKUS = " * Origin: Reinhardt's Point (2:5020/1042.7)\r";
const std::string ORIGIN_OLGA = " * Origin: Volga Station BBS (2:5030/723)\r";
const std::string ORIGIN_JAN = " * Origin: De Polder Node (2:280/464)\r";

// One echomail message as a tosser would store it: addresses, names, kludges as subfields.
test_message &post(base_builder &b, const char *oaddr, const char *from, const char *to,
                   const char *subject, const char *msgid, const char *pid, uint32_t written,
                   uint32_t processed) {
    test_message &m = b.add_message().no_subfields();
    m.subfield(SF_OADDRESS, oaddr).from(from).to(to).subject(subject).msgid(msgid);
    m.subfield(SF_PID, pid);
    m.hdr.DateWritten = written;
    m.hdr.DateReceived = processed;
    m.hdr.DateProcessed = processed;
    return m;
}

void add_thread(base_builder &b, bool damaged) {
    const std::string root_id = "2:5020/1042 65a1b2c3";
    const std::string olga_id = "2:5030/723 65a23a10";

    // #1: the question that starts the thread; Olga's answer is its first reply.
    post(b, "2:5020/1042.7", "Markus Reinhardt", "All", "Point software for a new Linux box?",
         root_id.c_str(), "GoldED+/LNX 1.1.5", 1705088527, 1705089510)
        .subfield(SF_TZUTCINFO, "0100")
        .subfield(2001 /* SEENBY2D */, "5020/1042 5030/723 280/464")
        .subfield(2002 /* PATH2D */, "5020/1042")
        .links(0, 2, 0)
        .body("Hi All!\r\rMy old DOS point finally died. Which tosser and editor do you\r"
              "run on Linux these days? JAM support is a must.\r\r"
              "Markus\r\r--- GoldED+/LNX 1.1.5\r" +
              ORIGIN_MARKUS);

    // #2: Olga's answer; Jan's answer (#3) is the next reply to #1, Markus' follow-up
    // (#4) the first reply to this one.
    test_message &olga =
        post(b, "2:5030/723", "Olga Petrova", "Markus Reinhardt",
             "Re: Point software for a new Linux box?", olga_id.c_str(), "hpt 1.9.0", 1705130144,
             1705131062)
            .replyid(root_id)
            .subfield(SF_TZUTCINFO, "0300")
            .links(1, 4, 3)
            .body("Hello Markus!\r\rhpt as tosser and GoldED+ as editor, both read and write\r"
                  "JAM. Binkd for the mailer.\r\rOlga\r\r--- hpt 1.9.0\r" +
                  ORIGIN_OLGA);
    if (damaged) // the CRC of an older MSGID that the editor left behind
        olga.hdr.MSGIDcrc = jam_crc_buf("2:5030/723 65a23a0f", 19);

    // #3: Jan's answer to #1.
    post(b, "2:280/464", "Jan de Vries", "Markus Reinhardt",
         "Re: Point software for a new Linux box?", "2:280/464 65a26bcb", "Golded+ 1.1.5-b20240101",
         1705143739, 1705144840)
        .replyid(root_id)
        .subfield(SF_TZUTCINFO, "0100")
        .links(1, 0, damaged ? DANGLING_NEXT : 0)
        .body("Hoi Markus,\r\rSame here, plus husky's htick for the file echos.\r\r"
              "Jan\r\r--- Golded+ 1.1.5-b20240101\r" +
              ORIGIN_JAN);

    // #4: Markus thanks Olga.
    post(b, "2:5020/1042.7", "Markus Reinhardt", "Olga Petrova",
         "Re: Point software for a new Linux box?", "2:5020/1042 65a2f03b", "GoldED+/LNX 1.1.5",
         1705177915, 1705178710)
        .replyid(olga_id)
        .subfield(SF_TZUTCINFO, "0100")
        .links(2, 0, 0)
        .body("Hello Olga!\r\rThanks, hpt is up and running. First mail went out tonight.\r\r"
              "Markus\r\r--- GoldED+/LNX 1.1.5\r" +
              ORIGIN_MARKUS);
}

void add_others(base_builder &b, bool damaged) {
    // #5: a test post that the sysop has killed.
    post(b, "2:5020/1042", "Sysop", "All", "test, please ignore", "2:5020/1042 65a3a311",
         "GoldED+/LNX 1.1.5", 1705222800, 1705223100)
        .deleted()
        .body("test\r");

    // #6: the monthly rules, stored 7-bit with escapes; in the damaged base one line end
    // was written as a raw CR.
    const std::string cr = "\\0D";
    post(b, "2:5020/1042", "Sysop", "All", "Echo rules (monthly posting)", "2:5020/1042 65a4c9e0",
         "GoldED+/LNX 1.1.5", 1705298400, 1705298403)
        .subfield(SF_TZUTCINFO, "0300")
        .attr(MSG_ESCAPED)
        .body("Welcome to the echo!" + cr + cr + "1. Stay on topic." + cr +
              "2. No binaries, no HTML." + (damaged ? std::string("\r") : cr) +
              "3. Gr\\FC\\DFe and hello in any language." + cr + cr + "--- GoldED+/LNX 1.1.5" + cr +
              " * Origin: Moscow Tech Hub (2:5020/1042)" + cr);
}

// Writes one base into <dir>/demo.*.
void write_base(const std::filesystem::path &dir, bool damaged) {
    std::filesystem::create_directories(dir);
    base_builder b(dir.string(), "demo");
    b.fhdr.DateCreated = CREATED;
    b.fhdr.ModCounter = MOD_COUNTER;
    add_thread(b, damaged);
    add_others(b, damaged);

    const uint32_t markus = jam_crc_buf("Markus Reinhardt", 16);
    const uint32_t sysop = jam_crc_buf("Sysop", 5);
    b.lastread = {{markus, 1, 4, damaged ? 2u : 4u}, {sysop, 2, 6, 6}};

    b.write();
    if (!damaged)
        return;
    b.append(jam_ext::jhr, "\n");                // an editor saved the file with a newline
    b.insert(jam_ext::jhr, SPURIOUS_AT, "\x0A"); // and one more inside the fixed header
    b.append(jam_ext::jdx, "\x1A");              // a DOS copy appended its end-of-file mark
}

} // namespace

int main(int argc, char **argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <examples-dir>\n", argv[0]);
        return 1;
    }
    const std::filesystem::path dir = argv[1];
    write_base(dir / "healthy", false);
    write_base(dir / "damaged", true);
    std::printf("wrote %s and %s\n", (dir / "healthy").string().c_str(),
                (dir / "damaged").string().c_str());
    return 0;
}
