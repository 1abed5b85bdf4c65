// File access for every phase: an RAII stream owner, sizes, existence, truncation and
// renames. Every open, read, write, flush, close, rename and truncate passes one counter,
// so that tests can make a chosen operation fail as a full disk or a dying drive would.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

// Fault injection for tests: the n-th counted operation from now on (n >= 1) fails with
// EIO, and with `sticky` every later one as well. n = 0 switches injection off.
void io_fail_at(uint64_t n, bool sticky);
// Counted operations since the last io_fail_at (or since the start of the process).
uint64_t io_op_count();

// A read that the system reports as failed, as opposed to one that reached the end of the
// file. Nothing may be judged or repaired on bytes that could not be read, so a read error
// ends the run (the driver reports it).
struct read_error {
    std::string path;
    int error;
};

// A buffered binary stream that closes itself. Positions are tracked so that a seek to
// where the stream already stands costs no system call.
class jam_file {
  public:
    jam_file() = default;
    ~jam_file();
    jam_file(const jam_file &) = delete;
    jam_file &operator=(const jam_file &) = delete;

    // Opens with an fopen mode ("rb", "wb", "r+b"); `buffer` sets the stdio buffer size.
    bool open(const std::string &path, const char *mode, std::size_t buffer = 0);
    // Reads up to n bytes; returns how many arrived before the end of the file. Throws
    // read_error when the system reports a failure.
    std::size_t read(void *buf, std::size_t n);
    bool read_exact(void *buf, std::size_t n) { return read(buf, n) == n; }
    // Writes all n bytes or reports failure.
    bool write(const void *buf, std::size_t n);
    bool seek(int64_t offset);
    bool flush();
    // Flushes and asks the system to put the data on the disk.
    bool sync();
    // Closes and reports whether the stream and the close went well. Closing a stream
    // that was only read from cannot lose data, so it is not a counted operation.
    bool close();

  private:
    enum class last_io { none, reading, writing };
    bool switch_direction(last_io next);

    std::FILE *fp_ = nullptr;
    std::string path_;
    bool writable_ = false;
    int64_t pos_ = -1; // -1: unknown, the next seek goes to the system
    last_io last_ = last_io::none;
    std::unique_ptr<char[]> buffer_;
};

// Size in bytes, or -1 when the path cannot be queried.
int64_t fsize(const std::string &path);
// Whether anything exists under the path.
bool file_exists(const std::string &path);
// Sets the length of an existing file: 0 on success, -1 with errno set on failure.
int portable_truncate(const std::string &path, int64_t length);
// Renames `from` over `to` in one step; false with errno set on failure.
bool rename_file(const std::string &from, const std::string &to);
// Removes a file; false when it could not be removed.
bool remove_file(const std::string &path);

// The error lines of failed opens and writes on standard error, with errno's reason.
void print_open_error(const std::string &path);
void print_write_error(const std::string &path);

struct fixed_header;
// Advances ModCounter in the copy (0xFFFFFFFF wraps to 0) and writes the copy to the start
// of .JHR. Prints an error line to stderr and returns false when that fails.
bool write_fhdr(const std::string &path, fixed_header &fhdr);
