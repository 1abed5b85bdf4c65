// Names and whole files: sizes, kinds and identities of what stands under a name, the
// length of a file, leftovers of killed runs, and the replacement of a file we make
// ourselves through a temporary one.
#include "format/files.h"

#include "format/jam.h"
#include "format/platform.h"

#include <cerrno>
#include <filesystem>
#include <system_error>

namespace fs = std::filesystem;

int64_t fsize(const std::string &path) {
    std::error_code ec;
    const auto size = fs::file_size(system_path(path), ec);
    if (ec)
        return -1;
    return static_cast<int64_t>(size);
}

bool file_exists(const std::string &path) {
    std::error_code ec;
    return fs::exists(system_path(path), ec);
}

const char *special_file_kind(const std::string &path) {
    std::error_code ec;
    switch (fs::status(system_path(path), ec).type()) {
    case fs::file_type::directory:
        return "a directory";
    case fs::file_type::fifo:
        return "a FIFO";
    case fs::file_type::block:
    case fs::file_type::character:
        return "a device";
    case fs::file_type::socket:
        return "a socket";
    case fs::file_type::regular:
    case fs::file_type::not_found:
    case fs::file_type::none:
        return nullptr;
    default:
        return ec ? nullptr : "not a regular file";
    }
}

bool same_file(const std::string &a, const std::string &b) {
    file_id x, y;
    return identify_file(a, x) && identify_file(b, y) && x == y;
}

int portable_truncate(const std::string &path, int64_t length) {
    jam_file f;
    if (f.open(path, "r+b") && f.set_length(length) && f.close())
        return 0;
    return -1;
}

void remove_leftover(const std::string &path) {
    std::error_code ec;
    const fs::file_status st = fs::symlink_status(system_path(path), ec);
    if (ec || !fs::exists(st) || fs::is_directory(st))
        return;
    if (fs::remove(system_path(path), ec))
        error_line("  WARN: removed leftover %s\n", terminal_text(path).c_str());
}

bool remove_file(const std::string &path) {
    std::error_code ec;
    if (fs::remove(system_path(path), ec))
        return true;
    errno = ec ? ec.default_error_condition().value() : ENOENT;
    return false;
}

bool replace_whole_file(const std::string &target, const std::function<bool(jam_file &)> &fill,
                        const std::string &model) {
    const std::string tmp = target + ".tmp";
    remove_leftover(tmp);
    jam_file out;
    {
        // Created and noted in one step: an interruption never finds it unnoted.
        const record_write marked;
        if (!out.create_new(tmp, model))
            return false;
        note_temporary_file(tmp);
    }
    bool ok = fill(out) && out.sync();
    int error = errno;
    if (!out.close() && ok) {
        ok = false;
        error = errno;
    }
    const record_write marked;
    if (ok && !rename_file(tmp, target)) {
        ok = false;
        error = errno;
    }
    if (!ok)
        remove_file(tmp);
    forget_temporary_file(tmp);
    errno = error;
    return ok;
}
