// Repairing twice: whatever the damage, a second identical repair run finds nothing left to
// change. Many small bases are damaged at random from a fixed seed and repaired by the whole
// tool run in this process (a process per run would make the test slow); the second run may
// only advance ModCounter.
#include "support/base_builder.h"
#include "support/runner.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <random>

namespace {

// Every file of the base's directory with its bytes; the .JHR's ModCounter is blanked.
std::map<std::string, std::string> snapshot(const base_builder &b) {
    std::map<std::string, std::string> files;
    for (const auto &entry : std::filesystem::directory_iterator(b.dir()))
        files[entry.path().filename().string()] = read_file(entry.path().string());
    std::string &jhr = files[std::filesystem::path(b.path(jam_ext::jhr)).filename().string()];
    if (jhr.size() >= 12)
        jhr.replace(8, 4, 4, '\0');
    return files;
}

struct damage_maker {
    std::mt19937 rng{20240611}; // its raw values are the same on every platform

    uint32_t below(std::size_t n) { return static_cast<uint32_t>(rng() % n); }
    bool chance(uint32_t percent) { return below(100) < percent; }
    std::string noise(std::size_t n) {
        std::string s(n, '\0');
        for (char &c : s)
            c = static_cast<char>(below(256));
        return s;
    }

    // Up to six messages with links, IDs and last-read records, some of them already wrong.
    void build(base_builder &b) {
        const uint32_t count = below(7);
        b.fhdr.BaseMsgNum = chance(15) ? 0 : 1;
        if (chance(15))
            b.active_msgs = below(9);
        for (uint32_t i = 0; i < count; ++i) {
            const auto link = [&] { return chance(50) ? 0 : below(count + 3); };
            test_message &m = b.add_message().to(noise(below(4))).links(link(), link(), link());
            if (chance(40))
                m.msgid(std::to_string(i)).hdr.MSGIDcrc = chance(20) ? below(9) : m.hdr.MSGIDcrc;
            if (chance(30))
                m.replyid(noise(3));
            if (chance(20))
                m.deleted();
        }
        for (uint32_t i = chance(30) ? 1 + below(3) : 0; i > 0; --i)
            b.holes.push_back(below(count + 3)); // as a tosser's pack leaves them
        for (uint32_t i = below(4); i > 0; --i)
            b.lastread.push_back({below(9), below(3), below(5), below(5)});
        for (const jam_ext e : {jam_ext::jdt, jam_ext::jdx, jam_ext::jlr})
            if (chance(15))
                b.missing(e);
        b.write();
    }

    // One random damage to the written base; returns what was done, for a failure message.
    std::string damage(base_builder &b, bool &fixed_header_hit) {
        std::string jhr = b.bytes(jam_ext::jhr);
        const jam_ext companion = chance(50) ? jam_ext::jdx : jam_ext::jlr;
        switch (below(7)) {
        case 0: { // one bit of a message header or its subfields, or of the fixed header
            const bool fixed_part = jhr.size() <= 1024 || chance(20);
            const std::size_t at = fixed_part ? below(40) : 1024 + below(jhr.size() - 1024);
            if (fixed_part && fixed_header_hit)
                return "nothing"; // one damage to the fixed header per base, see below
            fixed_header_hit |= fixed_part;
            jhr[at] = static_cast<char>(jhr[at] ^ (1 << below(8)));
            b.set_bytes(jam_ext::jhr, jhr);
            return "bit flipped at .JHR " + std::to_string(at);
        }
        case 1:
            b.append(jam_ext::jhr, noise(1 + below(100)));
            return "bytes after the last header";
        case 2:
            if (!std::filesystem::exists(b.path(companion)))
                return "nothing";
            b.append(companion, noise(1 + below(20)));
            return "stray bytes in " + b.path(companion);
        case 3:
            b.remove(chance(50) ? jam_ext::jdt : companion);
            return "a file removed";
        case 4: { // a byte too many or too few near the start of the fixed header
            const std::size_t at = 4 + below(36);
            if (chance(50))
                jhr.insert(at, noise(1));
            else
                jhr.erase(at, 1);
            // A shift that a broken fixed header hides from the first run (a bad signature,
            // BaseMsgNum 0) is recognised by the second once the first has repaired those
            // fields; such bases are left out.
            const fixed_header h =
                decode_fixed_header(reinterpret_cast<const unsigned char *>(jhr.data()));
            if (fixed_header_hit || h.Signature != JAM_SIGNATURE || h.BaseMsgNum == 0)
                return "nothing";
            fixed_header_hit = true;
            b.set_bytes(jam_ext::jhr, jhr);
            return "fixed header shifted at " + std::to_string(at);
        }
        case 5: { // an index record swapped with another, pointed elsewhere, dropped or doubled
            std::string jdx = b.bytes(jam_ext::jdx);
            if (jdx.size() < 2 * IDX_RECORD_SIZE)
                return "nothing";
            const std::size_t j = 8 * below(jdx.size() / 8), k = 8 * below(jdx.size() / 8);
            const std::string record_k = jdx.substr(k, 8);
            const uint32_t kind = below(4);
            if (kind == 0)
                jdx.replace(k, 8, jdx.substr(j, 8)).replace(j, 8, record_k);
            else if (kind == 1)
                jdx.replace(
                    j + 4, 4,
                    le32(get_u32le(reinterpret_cast<const unsigned char *>(jdx.data() + j + 4)) +
                         1 + below(80)));
            else if (kind == 2)
                jdx.erase(j, 8);
            else
                jdx.insert(j, record_k);
            b.set_bytes(jam_ext::jdx, jdx);
            return "index record " + std::to_string(j / 8) + " damaged, kind " +
                   std::to_string(kind);
        }
        default: { // a message's SubfieldLen grown or shrunk
            if (b.messages.empty())
                return "nothing";
            const auto at = static_cast<std::size_t>(b.header_offset(below(b.messages.size())) + 8);
            if (at + 4 > jhr.size())
                return "nothing";
            const uint32_t old = b.get_u32(jam_ext::jhr, at);
            b.put_u32(jam_ext::jhr, at, chance(50) ? old + (1u << below(17)) : old / 2);
            return "SubfieldLen changed at " + std::to_string(at);
        }
        }
    }
};

} // namespace

// 500 bases; CAIRNFIX_REPAIR_TWICE_BASES sets fewer where the suite runs again on the same
// code (CI under the sanitizers and under Wine), for what those runs add.
TEST(RepairTwice, SecondRunChangesNothing) {
    const char *bases = std::getenv("CAIRNFIX_REPAIR_TWICE_BASES");
    const int count = bases != nullptr ? std::atoi(bases) : 500;
    damage_maker make;
    for (int n = 0; n < count; ++n) {
        base_builder b;
        make.build(b);
        const std::string built = b.bytes(jam_ext::jhr);
        std::string what;
        bool fixed_header_hit = false;
        for (uint32_t d = 1 + make.below(3); d > 0; --d)
            what += make.damage(b, fixed_header_hit) + "; ";
        const bool headers_as_built = b.bytes(jam_ext::jhr) == built;
        const bool pack = make.chance(70);
        const std::vector<std::string> args{pack ? "-rxp" : "-rx", b.base()};
        const run_result first = run_in_process(args);
        const auto repaired = snapshot(b);
        const run_result second = run_in_process(args);
        const std::string runs = "base " + std::to_string(n) + " " + args[0] + ": " + what +
                                 "\nfirst run:\n" + first.out + first.err + "\nsecond run:\n" +
                                 second.out + second.err;
        ASSERT_TRUE(snapshot(b) == repaired) << runs;
        // Whatever the index held, a pack over sound headers leaves none of its faults.
        if (pack && headers_as_built) {
            ASSERT_EQ(report_section(second.out, ".JDX Against Headers"), "") << runs;
        }
    }
}
