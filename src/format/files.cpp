// The file layer: counted stream operations with fault injection, and filesystem helpers.
#include "format/files.h"

#include "format/jam.h"
#include "format/lock.h"
#include "format/platform.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <thread>
#include <vector>

namespace fs = std::filesystem;

namespace {

uint64_t op_counter = 0;
uint64_t fail_at = 0;
bool fail_sticky = false;
uint64_t crash_at = 0;
uint64_t positioning_calls = 0;
uint64_t sync_calls = 0;
uint64_t failures = 0;
void (*before_open)(const std::string &) = nullptr;

// Counts one operation and tells whether it is to fail. A pending interruption ends the
// run here, between two operations, so every record written so far is whole.
bool injected_failure() {
    stop_if_interrupted();
    ++op_counter;
    if (op_counter == crash_at)
        std::_Exit(99);
    if (fail_at == 0 || op_counter < fail_at)
        return false;
    if (op_counter > fail_at && !fail_sticky)
        return false;
    errno = EIO;
    return true;
}

} // namespace

void io_fail_at(uint64_t n, bool sticky) {
    op_counter = 0;
    fail_at = n;
    fail_sticky = sticky;
}

uint64_t io_op_count() {
    return op_counter;
}

void io_crash_at(uint64_t n) {
    op_counter = 0;
    crash_at = n;
}

void io_before_open(void (*hook)(const std::string &path)) {
    before_open = hook;
}

uint64_t io_sync_calls() {
    return sync_calls;
}

uint64_t io_positioning_calls() {
    return positioning_calls;
}

uint64_t failure_count() {
    return failures;
}

// Every failed open and every write-side failure passes here on its way back to the caller.
bool count_failure() {
    ++failures;
    return false;
}

jam_file::~jam_file() {
    if (fp_ != nullptr && !borrowed_)
        std::fclose(fp_);
}

void jam_file::adopt(std::FILE *fp, const std::string &path, bool writable, std::size_t buffer) {
    fp_ = fp;
    path_ = path;
    writable_ = writable;
    if (borrowed_) {
        // The lock's stream is unbuffered and shared: its buffering is not ours to set.
    } else if (buffer > 0) {
        buffer_ = std::make_unique<char[]>(buffer);
        std::setvbuf(fp_, buffer_.get(), _IOFBF, buffer);
    } else if (writable) {
        std::setvbuf(fp_, nullptr, _IONBF, 0);
    }
    // A stream on a locked file may share the lock's handle, and with it a file position
    // that another stream moved: the position is set, not assumed.
    pos_ = -1;
    last_ = last_io::none;
}

bool jam_file::open(const std::string &path, const char *mode, std::size_t buffer,
                    bool follow_links) {
    if (injected_failure())
        return count_failure();
    if (before_open != nullptr)
        before_open(path);
    // The file this process holds locked is reached through the lock's own stream.
    std::FILE *fp = locked_stream(path);
    borrowed_ = fp != nullptr;
    if (fp == nullptr)
        fp = open_stream(path, mode, false, follow_links);
    if (fp == nullptr)
        return count_failure();
    adopt(fp, path, std::strpbrk(mode, "wa+") != nullptr, buffer);
    return seek(0) || count_failure();
}

bool jam_file::create_new(const std::string &path, const std::string &model) {
    const record_write marked;
    if (injected_failure())
        return count_failure();
    std::FILE *fp = open_stream(path, "wb", true);
    if (fp == nullptr)
        return count_failure();
    borrowed_ = false;
    adopt(fp, path, true, 0);
    if (!model.empty() && !copy_owner_and_mode(model, fp))
        error_line("  WARN: cannot give %s the owner and group of %s: %s\n",
                   terminal_text(path).c_str(), terminal_text(model).c_str(), std::strerror(errno));
    return seek(0) || count_failure();
}

// The C library wants a positioning call between reading and writing on one stream, even
// when the position does not change.
bool jam_file::switch_direction(last_io next) {
    if (last_ != last_io::none && last_ != next) {
        if (pos_ < 0 || !reposition(pos_))
            return false;
    }
    last_ = next;
    return true;
}

namespace {

constexpr int RETRY_MS = 100;

// Whether a failed read is worth another try: another program's byte-range lock refused
// it (on Windows such a lock keeps every other handle out of its bytes), and the wait for
// that lock is not over. Once it is, errno says EBUSY, which the driver reports as a
// locked base.
bool retry_locked_read(int &tries) {
    if (errno != EACCES || !read_refused_by_lock())
        return false;
    if (++tries > LOCK_WAIT_MS / RETRY_MS) {
        errno = EBUSY;
        return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(RETRY_MS));
    stop_if_interrupted();
    return true;
}

} // namespace

std::size_t jam_file::read(void *buf, std::size_t n) {
    if (injected_failure() || !switch_direction(last_io::reading))
        throw read_error{path_, errno};
    const int64_t start = pos_;
    std::size_t got = std::fread(buf, 1, n, fp_);
    for (int tries = 0; got < n && std::ferror(fp_) && start >= 0 && retry_locked_read(tries);) {
        std::clearerr(fp_);
        if (!reposition(start + static_cast<int64_t>(got)))
            break;
        got += std::fread(static_cast<char *>(buf) + got, 1, n - got, fp_);
    }
    if (got < n) {
        if (std::ferror(fp_))
            throw read_error{path_, errno};
        pos_ = -1; // clears EOF on the next seek
    } else {
        pos_ += static_cast<int64_t>(n);
    }
    return got;
}

bool jam_file::write(const void *buf, std::size_t n) {
    const record_write marked;
    if (injected_failure() || !switch_direction(last_io::writing) ||
        std::fwrite(buf, 1, n, fp_) != n) {
        pos_ = -1;
        return count_failure();
    }
    pos_ += static_cast<int64_t>(n);
    return true;
}

std::size_t jam_file::read_at(int64_t offset, void *buf, std::size_t n) {
    int64_t got = injected_failure() ? -1 : ::read_at(fp_, offset, buf, n);
    for (int tries = 0; got < 0 && retry_locked_read(tries);)
        got = ::read_at(fp_, offset, buf, n);
    if (got < 0)
        throw read_error{path_, errno};
    return static_cast<std::size_t>(got);
}

bool jam_file::write_at(int64_t offset, const void *buf, std::size_t n) {
    const record_write marked;
    if (injected_failure() || !::write_at(fp_, offset, buf, n))
        return count_failure();
    return true;
}

bool jam_file::seek(int64_t offset) {
    return offset == pos_ || reposition(offset);
}

bool jam_file::reposition(int64_t offset) {
    ++positioning_calls;
#ifdef _WIN32
    const bool ok = _fseeki64(fp_, offset, SEEK_SET) == 0;
#else
    const bool ok = fseeko(fp_, static_cast<off_t>(offset), SEEK_SET) == 0;
#endif
    pos_ = ok ? offset : -1;
    if (ok)
        last_ = last_io::none;
    return ok;
}

bool jam_file::flush() {
    const record_write marked;
    if (injected_failure() || std::fflush(fp_) != 0)
        return writable_ ? count_failure() : false;
    return true;
}

bool jam_file::sync() {
    const record_write marked;
    if (!flush())
        return false;
    ++sync_calls;
    return sync_stream(fp_) || count_failure();
}

bool jam_file::set_length(int64_t length) {
    const record_write marked;
    if (injected_failure() || std::fflush(fp_) != 0 || !set_stream_length(fp_, length))
        return count_failure();
    return true;
}

bool jam_file::close() {
    const record_write marked; // what the stream still holds goes out now
    std::FILE *fp = fp_;
    fp_ = nullptr;
    // The stdio buffer must outlive fclose, which still writes out what it holds.
    const std::unique_ptr<char[]> buffer = std::move(buffer_);
    if (fp == nullptr)
        return true;
    const bool stream_ok = std::ferror(fp) == 0;
    // The lock's stream stays open for the next user: its descriptor holds the lock.
    const auto let_go = [&] {
        if (!borrowed_)
            return std::fclose(fp) == 0;
        const bool flushed = std::fflush(fp) == 0;
        std::clearerr(fp);
        return flushed;
    };
    if (writable_ && injected_failure()) {
        let_go();
        errno = EIO;
        return count_failure();
    }
    const bool closed = let_go();
    if (stream_ok && closed)
        return true;
    return writable_ ? count_failure() : false;
}

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

bool rename_file(const std::string &from, const std::string &to) {
    const record_write marked;
    if (injected_failure())
        return count_failure();
    return rename_over(from, to) || count_failure();
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

void error_line(const char *format, ...) {
    std::fflush(stdout);
    va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
}

void print_open_error(const std::string &path) {
    // A name that holds no regular file is refused before the system is asked, so errno
    // would not tell why.
    if (const char *kind = special_file_kind(path))
        error_line("  ERROR: cannot open %s: not a regular file (%s)\n",
                   terminal_text(path).c_str(), kind);
    else
        error_line("  ERROR: cannot open %s: %s\n", terminal_text(path).c_str(),
                   std::strerror(errno));
}

void print_write_error(const std::string &path) {
    error_line("  ERROR: write failed on %s: %s\n", terminal_text(path).c_str(),
               std::strerror(errno));
}

const unsigned char *window_reader::at(int64_t offset, std::size_t n) {
    if (offset >= start_ && static_cast<uint64_t>(offset - start_) + n <= filled_)
        return buf_.data() + (offset - start_);
    const std::size_t want = std::max(window_, n);
    if (buf_.size() < want)
        buf_.resize(want);
    start_ = offset;
    filled_ = f_.read_at(offset, buf_.data(), want);
    return filled_ >= n ? buf_.data() : nullptr;
}

namespace {

constexpr int64_t PAGE_SIZE = 4096;

int64_t page_of(int64_t offset) {
    return offset / PAGE_SIZE;
}

} // namespace

void record_writer::stage(int64_t offset, const unsigned char *bytes, std::size_t n) {
    const int64_t end = offset + static_cast<int64_t>(n);
    const bool one_page = page_of(offset) == page_of(end - 1);
    // A record before the furthest one staged is out of file order: the window's bytes
    // around it may predate a write of this run, so it cannot share one.
    const bool in_order = offset >= staged_end_;
    const int64_t batch_end = start_ + static_cast<int64_t>(batch_.size());
    const unsigned char *between = nullptr;
    if (records_ > 0 && in_order && one_page && page_of(offset) == page_of(start_))
        between = r_.at(batch_end, static_cast<std::size_t>(offset - batch_end));
    if (between != nullptr) {
        batch_.insert(batch_.end(), between, between + (offset - batch_end));
    } else {
        flush();
        start_ = offset;
    }
    batch_.insert(batch_.end(), bytes, bytes + n);
    ++records_;
    staged_end_ = std::max(staged_end_, end);
    if (!one_page || !in_order)
        flush();
}

void record_writer::flush() {
    if (records_ == 0)
        return;
    if (f_.write_at(start_, batch_.data(), batch_.size()))
        written_ += records_;
    else
        print_write_error(f_.path());
    batch_.clear();
    records_ = 0;
}

bool read_msg_header(window_reader &r, int64_t offset, msg_header &h) {
    const unsigned char *raw = r.at(offset, MSG_HEADER_SIZE);
    if (raw == nullptr)
        return false;
    h = decode_msg_header(raw);
    return true;
}

bool write_fhdr(const std::string &path, fixed_header &fhdr) {
    fhdr.ModCounter = fhdr.ModCounter == ALL_ONES ? 0 : fhdr.ModCounter + 1;
    jam_file f;
    if (!f.open(path, "r+b")) {
        print_open_error(path);
        return false;
    }
    unsigned char image[FIXED_HEADER_SIZE];
    encode_fixed_header(fhdr, image);
    if (!f.write(image, sizeof image) || !f.close()) {
        print_write_error(path);
        return false;
    }
    return true;
}
