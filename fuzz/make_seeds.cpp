// Writes the seed corpus: typical bases from the base builder and the example bases,
// each packed as one fuzz input.
#include "fuzz_input.h"
#include "support/base_builder.h"

#include <fstream>
#include <functional>
#include <iostream>

namespace {

fuzz_base pack(const base_builder &b) {
    fuzz_base f;
    const jam_ext exts[] = {jam_ext::jhr, jam_ext::jdt, jam_ext::jdx, jam_ext::jlr};
    for (int i = 0; i < 4; ++i)
        f.files[i] = b.bytes(exts[i]);
    return f;
}

void save(const std::string &dir, const std::string &name, const fuzz_base &f) {
    std::ofstream out(dir + "/" + name, std::ios::binary);
    const std::string bytes = join_input(f);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

} // namespace

int main(int argc, char **argv) {
    if (argc != 2) {
        std::cerr << "usage: make_seeds <corpus-dir>\n";
        return 1;
    }
    const std::string dir = argv[1];
    const std::pair<const char *, std::function<void(base_builder &)>> cases[] = {
        {"empty-base", [](base_builder &) {}},
        {"one-message", [](base_builder &b) { b.add_message(); }},
        {"thread",
         [](base_builder &b) {
             b.add_message().msgid("2:5020/1 00000001");
             b.add_message().msgid("2:5020/2 00000002").replyid("2:5020/1 00000001").links(1, 0, 3);
             b.add_message().replyid("2:5020/1 00000001").links(1, 0, 0);
             b.messages[0].links(0, 2, 0);
         }},
        {"deleted-and-escaped",
         [](base_builder &b) {
             b.add_message().deleted();
             b.add_message().attr(MSG_ESCAPED).body("caf\\E9 \x01 end\\");
             b.add_message().attr(MSG_FILEATTACH | MSG_KILLFILE).subfield(SF_ENCLOSEDFILE, "a.zip");
             b.add_message().subfield(SF_TZUTCINFO, "+01:0").subfield(7, "PID 1", 1);
         }},
        {"lastread",
         [](base_builder &b) {
             b.add_message();
             b.lastread = {{1, 1, 5, 3}, {2, 1, 0, 0}, {ALL_ONES, ALL_ONES, 0, 0}, {3, 0, 1, 1}};
         }},
        {"bad-links-and-crcs",
         [](base_builder &b) {
             b.fhdr.BaseMsgNum = 0;
             b.add_message().links(9, 7, 0).msgid("x");
             b.messages.back().hdr.MSGIDcrc = 1;
             b.add_message().links(0, 0, 1);
             b.active_msgs = 9;
         }},
    };
    for (const auto &[name, setup] : cases) {
        base_builder b;
        setup(b);
        b.write();
        save(dir, name, pack(b));
        if (std::string(name) == "one-message") {
            // The same base with one spurious byte in the fixed header and a stray index byte.
            b.insert(jam_ext::jhr, 9, "Q");
            b.append(jam_ext::jdx, "\n");
            save(dir, "shifted", pack(b));
        }
    }
    return 0;
}
