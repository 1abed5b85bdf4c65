// Whole-file rewrites in place through a redo file, for the .JHR that other programs hold
// open and wait on: the file is overwritten, never replaced, and a crash at any instant
// leaves either the old file or a complete redo file that the next repair run copies in.
#include "format/files.h"
#include "format/platform.h"

#include <cerrno>
#include <vector>

namespace {

// Copies all of `in` over the start of `out`; returns the bytes copied, or -1 with errno
// set.
int64_t copy_over(jam_file &in, jam_file &out) {
    std::vector<unsigned char> chunk(COPY_CHUNK);
    int64_t at = 0;
    try {
        for (std::size_t got; (got = in.read_at(at, chunk.data(), chunk.size())) > 0;) {
            if (!out.write_at(at, chunk.data(), got))
                return -1;
            at += static_cast<int64_t>(got);
        }
    } catch (const read_error &e) {
        errno = e.error; // a redo file that cannot be read is a failed copy, kept for later
        return -1;
    }
    return at;
}

} // namespace

std::string redo_path(const std::string &target) {
    return target + ".realign";
}

rewrite_outcome rewrite_in_place(const std::string &target,
                                 const std::function<bool(jam_file &)> &fill) {
    // The redo file is one we make for ourselves: built under a temporary name and renamed
    // into place once it is on the disk, so that it is complete wherever it is found.
    if (!replace_whole_file(redo_path(target), fill, ""))
        return rewrite_outcome::untouched;
    return apply_redo(target) ? rewrite_outcome::done : rewrite_outcome::redo_kept;
}

bool apply_redo(const std::string &target) {
    const std::string redo = redo_path(target);
    jam_file in, out;
    // A link put under the redo file's name is never copied into the base.
    if (!in.open(redo, "rb", 0, false) || !out.open(target, "r+b"))
        return false;
    const int64_t length = copy_over(in, out);
    if (length < 0 || !out.set_length(length) || !out.sync() || !out.close())
        return false;
    in.close();
    // Only a realigned file that is whole on the disk lets the redo file go.
    if (!remove_file(redo))
        return false;
    sync_folder(redo);
    return true;
}
