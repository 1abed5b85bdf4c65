// The backup taken before a repair run writes anything: every file of the base, under each
// case form of its extension, copied byte for byte to "<file>.bak".
#include "format/files.h"
#include "repair/repair.h"

#include <cstdio>
#include <vector>

namespace {

// Both case forms are tried: on a case-sensitive file system they can be two files.
const char *const EXTENSIONS[] = {"jhr", "jdt", "jdx", "jlr", "JHR", "JDT", "JDX", "JLR"};
constexpr std::size_t COPY_BUFFER = 65536;

// Copies `from` to `to` and puts the copy on the disk. A failed copy removes what it wrote,
// so that a backup on disk is always complete.
bool copy_file(const std::string &from, const std::string &to, std::vector<unsigned char> &buf) {
    jam_file in, out;
    if (!in.open(from, "rb") || !out.open(to, "wb"))
        return false;
    bool ok = true;
    try {
        std::size_t got = 0;
        while (ok && (got = in.read(buf.data(), buf.size())) > 0)
            ok = out.write(buf.data(), got);
    } catch (const read_error &) {
        ok = false; // here a read error is a failed backup, not the end of the run
    }
    ok = ok && out.sync();
    const bool out_closed = out.close();
    if (ok && out_closed)
        return true;
    remove_file(to);
    return false;
}

} // namespace

bool run_backup(run_context &ctx) {
    std::printf("\nBacking up...\n");
    std::vector<unsigned char> buffer(COPY_BUFFER);
    bool copied = false;
    for (const char *ext : EXTENSIONS) {
        const std::string source = ctx.options.base_name + "." + ext;
        if (!file_exists(source))
            continue;
        if (!copy_file(source, source + ".bak", buffer)) {
            std::fprintf(stderr, "  ERROR: backup failed: %s\nBackup failed.\n", source.c_str());
            return false;
        }
        std::printf("  Backed up: %s\n", source.c_str());
        copied = true;
    }
    // The .JHR was there when the run began; finding no file at all is a failure too.
    if (!copied)
        std::fprintf(stderr, "Backup failed.\n");
    return copied;
}
