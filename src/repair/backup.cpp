// The backup taken before a repair run writes anything: every file of the base, under each
// case form of its extension, copied byte for byte to "<file>.bak".
#include "format/files.h"
#include "repair/repair.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <vector>

namespace {

// Both case forms are tried: on a case-sensitive file system they can be two files.
const char *const EXTENSIONS[] = {"jhr", "jdt", "jdx", "jlr", "JHR", "JDT", "JDX", "JLR"};
constexpr std::size_t COPY_BUFFER = 65536;

// Copies `from` to `to`. The copy is built under a temporary name and renamed into place,
// so a backup on disk is always complete, and an old backup that is a link, or another
// name of the file itself, is replaced and never written through. The copy gets the
// owner, group and permissions of its original: a private netmail base stays private.
bool copy_file(const std::string &from, const std::string &to, std::vector<unsigned char> &buf) {
    jam_file in;
    if (!in.open(from, "rb"))
        return false;
    return replace_whole_file(
        to,
        [&](jam_file &out) {
            try {
                std::size_t got = 0;
                while ((got = in.read(buf.data(), buf.size())) > 0)
                    if (!out.write(buf.data(), got))
                        return false;
                return true;
            } catch (const read_error &e) {
                errno = e.error; // here a read error is a failed backup, not the end of the run
                return false;
            }
        },
        from);
}

} // namespace

void remove_backup_leftovers(const run_context &ctx) {
    for (const char *ext : EXTENSIONS)
        remove_leftover(ctx.options.base_name + "." + ext + ".bak.tmp");
}

bool run_backup(run_context &ctx) {
    std::printf("\nBacking up...\n");
    std::vector<unsigned char> buffer(COPY_BUFFER);
    bool copied = false;
    // The files copied so far and their copies: where the file system ignores case, or a
    // link gives a file a second name, one file is found under two names and is copied
    // once, and no copy may replace another one made in this run.
    std::vector<std::string> sources, backups;
    const auto one_of = [](const std::vector<std::string> &files, const std::string &path) {
        return std::any_of(files.begin(), files.end(),
                           [&](const std::string &f) { return same_file(f, path); });
    };
    // The backups an earlier run left, noted before this run writes its own.
    std::vector<std::string> earlier;
    for (const char *ext : EXTENSIONS)
        if (file_exists(ctx.options.base_name + "." + ext + ".bak"))
            earlier.emplace_back(ext);
    for (const char *ext : EXTENSIONS) {
        const std::string source = ctx.options.base_name + "." + ext;
        const std::string shown = terminal_text(source);
        if (!file_exists(source) || one_of(sources, source))
            continue;
        // Nothing is ever read from or written to such a name, so there is nothing to keep.
        if (const char *kind = special_file_kind(source)) {
            error_line("  WARN: not backed up: %s is %s\n", shown.c_str(), kind);
            continue;
        }
        const std::string backup = source + ".bak";
        const bool replaces = std::find(earlier.begin(), earlier.end(), ext) != earlier.end();
        if (one_of(backups, backup) || !copy_file(source, backup, buffer)) {
            error_line("  ERROR: backup failed: %s\nBackup failed.\n", shown.c_str());
            return false;
        }
        std::printf("  Backed up: %s\n", shown.c_str());
        if (replaces)
            error_line("  WARN: replaced the backup of an earlier run: %s.bak\n", shown.c_str());
        sources.push_back(source);
        backups.push_back(backup);
        copied = true;
    }
    // The .JHR was there when the run began; finding no file at all is a failure too.
    if (!copied)
        error_line("Backup failed.\n");
    return copied;
}
