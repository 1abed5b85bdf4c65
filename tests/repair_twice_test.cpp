// Repairing twice: whatever the damage, a second identical repair run finds nothing left to
// change. Many small bases are damaged at random from a fixed seed and repaired by the whole
// tool run in this process (a process per run would make the test slow); the second run may
// only advance ModCounter.
#include "support/base_builder.h"
#include "support/runner.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <random>

namespace {

constexpr int BASES = 800;
constexpr std::size_t MOD_COUNTER = 8; // offset of ModCounter in the fixed header

// Every file of the base's directory with its bytes; the .JHR's ModCounter is blanked.
std::map<std::string, std::string> snapshot(const base_builder &b) {
    std::map<std::string, std::string> files;
    for (const auto &entry : std::filesystem::directory_iterator(b.dir()))
        files[entry.path().filename().string()] = read_file(entry.path().string());
    const std::string jhr = std::filesystem::path(b.path(jam_ext::jhr)).filename().string();
    if (files.count(jhr) && files[jhr].size() >= MOD_COUNTER + 4)
        files[jhr].replace(MOD_COUNTER, 4, 4, '\0');
    return files;
}

// The files that differ, each with the first offset where it does; empty when none.
std::string changes(const std::map<std::string, std::string> &before,
                    const std::map<std::string, std::string> &after) {
    std::string out;
    std::map<std::string, std::string> all = before;
    all.insert(after.begin(), after.end());
    for (const auto &[name, bytes] : all) {
        const auto b = before.find(name), a = after.find(name);
        if (b == before.end() || a == after.end()) {
            out += name + (b == before.end() ? " created; " : " removed; ");
            continue;
        }
        const auto [x, y] =
            std::mismatch(b->second.begin(), b->second.end(), a->second.begin(), a->second.end());
        if (x != b->second.end() || y != a->second.end())
            out += name + " changed at " + std::to_string(x - b->second.begin()) + "; ";
    }
    return out;
}

class damage_maker {
  public:
    explicit damage_maker(uint32_t seed) : rng_(seed) {}

    // The raw generator is used because it gives the same values on every platform.
    uint32_t any() { return static_cast<uint32_t>(rng_()); }
    uint32_t below(uint32_t n) { return any() % n; }
    bool chance(uint32_t percent) { return below(100) < percent; }
    std::string noise(std::size_t n) {
        std::string s(n, '\0');
        for (char &c : s)
            c = static_cast<char>(below(256));
        return s;
    }

    // A small base of up to six messages with links, IDs and last-read records, some of
    // them already wrong.
    void build(base_builder &b) {
        const uint32_t count = below(7);
        if (chance(15))
            b.fhdr.BaseMsgNum = 0;
        if (chance(15))
            b.active_msgs = below(9);
        if (chance(10))
            b.fhdr.ModCounter = ALL_ONES;
        const auto link = [&] { return chance(50) ? 0 : below(count + 3); };
        for (uint32_t i = 0; i < count; ++i) {
            test_message &m = b.add_message().to(noise(below(4))).links(link(), link(), link());
            if (chance(40))
                m.msgid("2:5020/1 " + std::to_string(i));
            if (chance(30))
                m.replyid("2:5020/2 " + std::to_string(i));
            if (chance(20))
                m.hdr.MSGIDcrc = below(3) == 0 ? ALL_ONES : any();
            if (chance(20))
                m.deleted();
        }
        for (uint32_t i = below(4); i > 0; --i)
            b.lastread.push_back({any(), below(3), below(5), below(5)});
        if (chance(20))
            b.missing(jam_ext::jdt);
        if (chance(20))
            b.missing(jam_ext::jlr);
        if (chance(15))
            b.missing(jam_ext::jdx);
        b.write();
    }

    // One random damage to a written base; returns what was done, for the failure message.
    std::string damage(base_builder &b) {
        const auto size_of = [&](jam_ext e) { return b.bytes(e).size(); };
        const auto exists = [&](jam_ext e) { return std::filesystem::exists(b.path(e)); };
        const uint32_t kind = below(10);
        const std::size_t jhr = size_of(jam_ext::jhr);
        switch (kind) {
        case 0:
        case 1: { // one byte of a message header or its subfields, or of the fixed header
            const bool fixed_part = jhr <= 1024 || chance(20);
            if (fixed_part && shifted_)
                return "nothing";
            fixed_header_hit_ |= fixed_part;
            const std::size_t at = fixed_part ? below(40) : 1024 + below(jhr - 1024);
            std::string bytes = b.bytes(jam_ext::jhr);
            bytes[at] = static_cast<char>(bytes[at] ^ (1 << below(8)));
            b.set_bytes(jam_ext::jhr, bytes);
            return "bit flipped at .JHR " + std::to_string(at);
        }
        case 2:
            b.append(jam_ext::jhr, noise(1 + below(100)));
            return "bytes after the last header";
        case 3:
        case 4: {
            const jam_ext e = kind == 3 ? jam_ext::jdx : jam_ext::jlr;
            if (!exists(e))
                return "nothing";
            b.append(e, noise(1 + below(20)));
            return kind == 3 ? "stray .JDX bytes" : "stray .JLR bytes";
        }
        case 5: {
            const jam_ext e = static_cast<jam_ext>(1 + below(3));
            b.remove(e);
            return "file removed: " + std::to_string(static_cast<int>(e));
        }
        case 6: {
            if (!exists(jam_ext::jdx))
                return "nothing";
            const std::string jdx = b.bytes(jam_ext::jdx);
            b.set_bytes(jam_ext::jdx, jdx.substr(0, below(static_cast<uint32_t>(jdx.size()) + 1)));
            return ".JDX cut short";
        }
        case 7: { // a byte too many or too few near the start of the fixed header
            // A shift that a broken fixed header hides from the first run (a bad signature,
            // BaseMsgNum 0) is recognised by the second once the first has repaired those
            // fields; such bases are left out.
            const std::size_t at = 4 + below(36);
            std::string bytes = b.bytes(jam_ext::jhr);
            if (chance(50))
                bytes.insert(at, noise(1));
            else
                bytes.erase(at, 1);
            const fixed_header h =
                decode_fixed_header(reinterpret_cast<const unsigned char *>(bytes.data()));
            if (fixed_header_hit_ || h.Signature != JAM_SIGNATURE || h.BaseMsgNum == 0)
                return "nothing";
            shifted_ = true;
            b.set_bytes(jam_ext::jhr, bytes);
            return "fixed header shifted at " + std::to_string(at);
        }
        case 8: { // a message's SubfieldLen grown or shrunk
            if (b.messages.empty())
                return "nothing";
            const std::size_t at = static_cast<std::size_t>(
                b.header_offset(below(static_cast<uint32_t>(b.messages.size()))) + 8);
            if (at + 4 > jhr)
                return "nothing";
            const uint32_t old = b.get_u32(jam_ext::jhr, at);
            b.put_u32(jam_ext::jhr, at, chance(50) ? old + (1u << below(17)) : old / 2);
            return "SubfieldLen changed at " + std::to_string(at);
        }
        default: { // a record of the index pointing somewhere else
            const std::size_t jdx = exists(jam_ext::jdx) ? size_of(jam_ext::jdx) : 0;
            if (jdx < IDX_RECORD_SIZE)
                return "nothing";
            b.put_u32(jam_ext::jdx, below(static_cast<uint32_t>(jdx / 8)) * 8 + 4,
                      chance(50) ? any() : 1024 + below(static_cast<uint32_t>(jhr)));
            return "index record changed";
        }
        }
    }

    void next_base() { shifted_ = fixed_header_hit_ = false; }

  private:
    std::mt19937 rng_;
    bool shifted_ = false, fixed_header_hit_ = false;
};

} // namespace

TEST(RepairTwice, SecondRunChangesNothing) {
    damage_maker make(20240611);
    for (int n = 0; n < BASES; ++n) {
        base_builder b;
        make.next_base();
        make.build(b);
        std::string what;
        for (uint32_t d = 1 + make.below(3); d > 0; --d)
            what += make.damage(b) + "; ";
        // Most bases are packed, the others repaired in place only.
        const std::vector<std::string> args =
            make.chance(70) ? std::vector<std::string>{"-r", "-x", "-p", b.base()}
                            : std::vector<std::string>{"-r", "-x", b.base()};
        const run_result first = run_in_process(args);
        const auto repaired = snapshot(b);
        const run_result second = run_in_process(args);
        const std::string changed = changes(repaired, snapshot(b));
        ASSERT_EQ(changed, "") << "base " << n << (args.size() == 4 ? " -p: " : ": ") << what
                               << "\nfirst run:\n"
                               << first.out << first.err << "\nsecond run:\n"
                               << second.out << second.err;
    }
}
