// The file layer: counted stream operations with fault injection, and filesystem helpers.
#include "format/files.h"

#include "format/jam.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

namespace fs = std::filesystem;

namespace {

uint64_t op_counter = 0;
uint64_t fail_at = 0;
bool fail_sticky = false;

// Counts one operation and tells whether it is to fail.
bool injected_failure() {
    ++op_counter;
    if (fail_at == 0 || op_counter < fail_at)
        return false;
    if (op_counter > fail_at && !fail_sticky)
        return false;
    errno = EIO;
    return true;
}

bool set_errno(const std::error_code &ec) {
    errno = ec ? ec.value() : 0;
    return !ec;
}

} // namespace

void io_fail_at(uint64_t n, bool sticky) {
    op_counter = 0;
    fail_at = n;
    fail_sticky = sticky;
}

uint64_t io_op_count() { return op_counter; }

jam_file::~jam_file() {
    if (fp_ != nullptr)
        std::fclose(fp_);
}

bool jam_file::open(const std::string &path, const char *mode, std::size_t buffer) {
    if (injected_failure())
        return false;
    fp_ = std::fopen(path.c_str(), mode);
    if (fp_ == nullptr)
        return false;
    path_ = path;
    writable_ = std::strpbrk(mode, "wa+") != nullptr;
    if (buffer > 0) {
        buffer_ = std::make_unique<char[]>(buffer);
        std::setvbuf(fp_, buffer_.get(), _IOFBF, buffer);
    }
    pos_ = 0;
    last_ = last_io::none;
    return true;
}

// The C library wants a positioning call between reading and writing on one stream.
bool jam_file::switch_direction(last_io next) {
    if (last_ != last_io::none && last_ != next) {
        if (pos_ < 0 || !seek(pos_))
            return false;
    }
    last_ = next;
    return true;
}

std::size_t jam_file::read(void *buf, std::size_t n) {
    if (injected_failure() || !switch_direction(last_io::reading))
        throw read_error{path_, errno};
    const std::size_t got = std::fread(buf, 1, n, fp_);
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
    if (injected_failure() || !switch_direction(last_io::writing)) {
        pos_ = -1;
        return false;
    }
    if (std::fwrite(buf, 1, n, fp_) != n) {
        pos_ = -1;
        return false;
    }
    pos_ += static_cast<int64_t>(n);
    return true;
}

bool jam_file::seek(int64_t offset) {
    if (offset == pos_)
        return true;
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
    if (injected_failure())
        return false;
    return std::fflush(fp_) == 0;
}

bool jam_file::sync() {
    if (!flush())
        return false;
#ifdef _WIN32
    return _commit(_fileno(fp_)) == 0;
#else
    return fsync(fileno(fp_)) == 0;
#endif
}

bool jam_file::close() {
    std::FILE *fp = fp_;
    fp_ = nullptr;
    // The stdio buffer must outlive fclose, which still writes out what it holds.
    const std::unique_ptr<char[]> buffer = std::move(buffer_);
    if (fp == nullptr)
        return true;
    const bool stream_ok = std::ferror(fp) == 0;
    if (writable_ && injected_failure()) {
        std::fclose(fp);
        errno = EIO;
        return false;
    }
    const bool closed = std::fclose(fp) == 0;
    return stream_ok && closed;
}

int64_t fsize(const std::string &path) {
    std::error_code ec;
    const auto size = fs::file_size(path, ec);
    if (ec)
        return -1;
    return static_cast<int64_t>(size);
}

bool file_exists(const std::string &path) {
    std::error_code ec;
    return fs::exists(path, ec);
}

int portable_truncate(const std::string &path, int64_t length) {
    if (injected_failure())
        return -1;
    std::error_code ec;
    if (!fs::is_regular_file(path, ec)) {
        errno = ec ? ec.value() : ENOENT;
        return -1;
    }
    fs::resize_file(path, static_cast<std::uintmax_t>(length), ec);
    return set_errno(ec) ? 0 : -1;
}

bool rename_file(const std::string &from, const std::string &to) {
    if (injected_failure())
        return false;
    std::error_code ec;
    fs::rename(from, to, ec);
    return set_errno(ec);
}

bool remove_file(const std::string &path) {
    std::error_code ec;
    return fs::remove(path, ec) && !ec;
}

void print_open_error(const std::string &path) {
    std::fprintf(stderr, "  ERROR: cannot open %s: %s\n", path.c_str(), std::strerror(errno));
}

void print_write_error(const std::string &path) {
    std::fprintf(stderr, "  ERROR: write failed on %s: %s\n", path.c_str(), std::strerror(errno));
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
