// Every counted file operation: the streams (jam_file) and renames. Each passes one counter,
// so that tests can make a chosen operation fail as a full disk or a dying drive would, or
// end the process there as a crash would; every failure is counted, so that a repair run
// that met one ends with status 1 whatever it printed.
#include "format/files.h"

#include "format/jam.h"
#include "format/lock.h"
#include "format/platform.h"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace {

uint64_t op_counter = 0;
uint64_t fail_at = 0;
bool fail_sticky = false;
uint64_t crash_at = 0;
uint64_t positioning_calls = 0;
uint64_t sync_calls = 0;
uint64_t failures = 0;
void (*before_open)(const std::string &) = nullptr;

// Begins one counted file operation. A pending interruption ends the run here, between two
// operations, so every record written so far is whole; at a test's crash point the process
// ends at once, as a kill -9 would end it. False, with errno EIO, when a test made this
// operation fail.
bool begin_counted_operation() {
    stop_if_interrupted();
    ++op_counter;
    if (op_counter == crash_at)
        std::_Exit(99);
    if (fail_at == 0 || op_counter < fail_at || (op_counter > fail_at && !fail_sticky))
        return true;
    errno = EIO;
    return false;
}

// Every failed open and every write-side failure passes here on its way back to the caller.
bool count_failure() {
    ++failures;
    return false;
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
    if (!begin_counted_operation())
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
    if (!begin_counted_operation())
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
    if (!begin_counted_operation() || !switch_direction(last_io::reading))
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
    if (!begin_counted_operation() || !switch_direction(last_io::writing)) {
        pos_ = -1;
        return count_failure();
    }
    if (std::fwrite(buf, 1, n, fp_) != n) {
        refine_stream_error();
        pos_ = -1;
        return count_failure();
    }
    pos_ += static_cast<int64_t>(n);
    return true;
}

std::size_t jam_file::read_at(int64_t offset, void *buf, std::size_t n) {
    int64_t got = !begin_counted_operation() ? -1 : ::read_at(fp_, offset, buf, n);
    for (int tries = 0; got < 0 && retry_locked_read(tries);)
        got = ::read_at(fp_, offset, buf, n);
    if (got < 0)
        throw read_error{path_, errno};
    return static_cast<std::size_t>(got);
}

bool jam_file::write_at(int64_t offset, const void *buf, std::size_t n) {
    const record_write marked;
    if (!begin_counted_operation() || !::write_at(fp_, offset, buf, n))
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
    if (!begin_counted_operation() || std::fflush(fp_) != 0)
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
    if (!begin_counted_operation() || std::fflush(fp_) != 0 || !set_stream_length(fp_, length))
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
    if (writable_ && !begin_counted_operation()) {
        let_go();
        errno = EIO;
        return count_failure();
    }
    const bool closed = let_go();
    if (stream_ok && closed)
        return true;
    return writable_ ? count_failure() : false;
}

bool rename_file(const std::string &from, const std::string &to) {
    const record_write marked;
    if (!begin_counted_operation())
        return count_failure();
    return rename_over(from, to) || count_failure();
}
