// The file layer every phase uses. Its rooms: counted_io.cpp (the counted operations: the
// RAII stream jam_file and renames, with fault and crash injection for tests),
// file_system.cpp (names, sizes, kinds, identities, whole-file replacement),
// in_place_rewrite.cpp (the .JHR rewritten in place through a redo file), records.cpp
// (records read through a window and written back in place), interruptions.cpp (signals
// and console events), error_lines.cpp (the lines on standard error); the operating
// system's own calls are in platform.cpp, the JAM lock in lock.cpp.
#pragma once

#include "format/memory.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

// Fault injection for tests: the n-th counted operation from now on (n >= 1) fails with
// EIO, and with `sticky` every later one as well. n = 0 switches injection off.
void io_fail_at(uint64_t n, bool sticky);
// Counted operations since the last io_fail_at (or since the start of the process).
uint64_t io_op_count();
// Crash test: the n-th counted operation from now on ends the process at once, with no
// clean-up at all, as a kill -9 or a power loss would. n = 0 switches it off.
void io_crash_at(uint64_t n);
// A test's hook called right before a stream is opened, to change what stands under the
// name in that instant; nullptr removes it.
void io_before_open(void (*hook)(const std::string &path));
// Calls that asked the system to put a file on the disk, for tests of the rule that a file
// is on the disk before the step that relies on it (a rename, a removal).
uint64_t io_sync_calls();
// Positioning calls the streams have made of the C library, for tests of the rule that a
// change between reading and writing on one stream always goes through one.
uint64_t io_positioning_calls();

// Failed opens, writes, flushes, closes, truncations, renames and creations since the
// process started. A repair run that adds to it ends with status 1, whatever it printed.
uint64_t failure_count();

// Interruptions of a repair run: once installed, SIGINT, SIGTERM, SIGHUP and SIGPIPE (on
// Windows every console event) end the run at once, or, while a record is being written,
// as soon as it is whole: the temporary files still noted are removed, one FATAL line is
// printed and the process ends as the signal would have ended it. SIGXFSZ is ignored, so
// a write past the file-size limit fails like any other.
void defer_interruptions();
// Ends the run now if an interruption is pending and no record is being written.
void stop_if_interrupted();
// Marks a record being written, for as long as it lives: an interruption meanwhile ends
// the run only when the last such mark goes. Every write-side file operation is marked.
class record_write {
  public:
    record_write();
    ~record_write();
    record_write(const record_write &) = delete;
    record_write &operator=(const record_write &) = delete;
};

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
    // Only regular files are opened (links followed unless `follow_links` is false). A stream that
    // writes without a buffer of its own is unbuffered: each write of a record is then one system
    // call, so an interruption or a crash can never leave part of a record on the disk.
    bool open(const std::string &path, const char *mode, std::size_t buffer = 0,
              bool follow_links = true);
    // Creates a new file for writing, mode 0600, and fails when anything, a link included,
    // already stands under the name: nothing is ever written through a name planted
    // beforehand. With a `model`, the file gets its owner, group and permission bits where
    // the system allows (one WARN line where it does not).
    bool create_new(const std::string &path, const std::string &model = "");
    // Reads up to n bytes; returns how many arrived before the end of the file. Throws
    // read_error when the system reports a failure.
    std::size_t read(void *buf, std::size_t n);
    bool read_exact(void *buf, std::size_t n) { return read(buf, n) == n; }
    // Writes all n bytes or reports failure.
    bool write(const void *buf, std::size_t n);
    bool seek(int64_t offset);
    // Whole-record access at a given offset, one system call each and no stdio buffer in
    // between, for repairs that visit many records: no seek around every record. A stream
    // is used either this way or through read/write/seek, not both.
    std::size_t read_at(int64_t offset, void *buf, std::size_t n);
    bool write_at(int64_t offset, const void *buf, std::size_t n);
    bool flush();
    // Flushes and asks the system to put the data on the disk.
    bool sync();
    // Cuts or extends the file to `length` bytes.
    bool set_length(int64_t length);
    // Closes and reports whether the stream and the close went well. Closing a stream
    // that was only read from cannot lose data, so it is not a counted operation.
    bool close();
    const std::string &path() const { return path_; }

  private:
    enum class last_io { none, reading, writing };
    bool switch_direction(last_io next);
    bool reposition(int64_t offset);
    void adopt(std::FILE *fp, const std::string &path, bool writable, std::size_t buffer);

    std::FILE *fp_ = nullptr;
    std::string path_;
    bool writable_ = false;
    bool borrowed_ = false; // the lock's own stream: flushed on close, never closed
    int64_t pos_ = -1;      // -1: unknown, the next seek goes to the system
    last_io last_ = last_io::none;
    std::unique_ptr<char[]> buffer_;
};

// Size in bytes, or -1 when the path cannot be queried.
int64_t fsize(const std::string &path);
// Whether anything exists under the path.
bool file_exists(const std::string &path);
// What stands under the path when it is not a regular file ("a directory", "a FIFO", ...),
// or nullptr for a regular file, a link to one, or nothing at all.
const char *special_file_kind(const std::string &path);
// Whether both names lead to one file (a link, a second name, a file system that ignores
// case): told by identity, never by name. False when either cannot be reached.
bool same_file(const std::string &a, const std::string &b);
// Sets the length of an existing file: 0 on success, -1 with errno set on failure.
int portable_truncate(const std::string &path, int64_t length);

// Temporary files this run creates are noted while they exist, so that an interruption
// removes them before the run ends.
void note_temporary_file(const std::string &path);
void forget_temporary_file(const std::string &path);
// Removes a file left under a temporary name by a run that was killed, or planted there
// (a link itself, never what it points to), with a WARN line.
void remove_leftover(const std::string &path);

// Renames `from` over `to` in one step, the new name put on the disk; false with errno set.
bool rename_file(const std::string &from, const std::string &to);
// Removes a file; false when it could not be removed.
bool remove_file(const std::string &path);

// Replaces the file `target` as a whole, for files we make ourselves (a backup, an index
// where there was none), so that a crash at any instant leaves either the old file or the
// new one: `fill` writes the new content into "<target>.tmp", which is created
// exclusively (a leftover under that name is removed first, with a WARN line), given
// `model`'s owner, group and permissions when `model` is not empty, put on the disk and
// renamed over `target`. On failure `target` is untouched, the temporary file is gone and
// errno tells why.
bool replace_whole_file(const std::string &target, const std::function<bool(jam_file &)> &fill,
                        const std::string &model);

// A rewrite of a whole base file in place, for the .JHR that other programs hold open and
// wait on: the file is never replaced, so it keeps its inode, owner, mode and links, and a
// program waiting for the lock gets it on the live file. `fill` writes the new content into
// the redo file, created exclusively as "<redo>.tmp" (mode 0600), put on the disk and
// renamed to redo_path(target) to mark it complete. The redo file is then copied over
// `target`, which is cut to the new length and put on the disk, and the redo file is
// removed. A crash before the redo file is complete leaves `target` as it was; one after
// it leaves a complete redo file, which apply_redo finishes.
std::string redo_path(const std::string &target);
enum class rewrite_outcome {
    done,
    untouched, // nothing of `target` was written; no redo file is left
    redo_kept  // the copy failed: `target` is mixed, the complete redo file stays
};
rewrite_outcome rewrite_in_place(const std::string &target,
                                 const std::function<bool(jam_file &)> &fill);
// Copies the complete redo file over `target`, cuts `target` to the redo file's length,
// puts it on the disk and removes the redo file; false with errno set, the redo file kept.
bool apply_redo(const std::string &target);

// Writes to standard error, like printf, after flushing standard output: the report is
// buffered, and its lines and the error lines stay in order when both go to one place.
[[gnu::format(printf, 1, 2)]] void error_line(const char *format, ...);

// The error lines of failed opens and writes on standard error, with errno's reason.
void print_open_error(const std::string &path);
void print_write_error(const std::string &path);

// How much a window_reader reads at once: enough that a read call costs little next to
// the copy of its bytes, and little enough that the bytes are still in the processor's
// cache when they are looked at.
constexpr std::size_t READ_WINDOW = std::size_t{128} << 10;

// Whole-file copies (a realignment, its redo file) go this much at a time, so memory stays
// flat whatever the size of the file.
constexpr std::size_t COPY_CHUNK = std::size_t{1} << 20;

// Reads a file through a window of its own, filled by positioned reads: a record inside
// the window is handed out where it lies, without a copy or a system call. Made for walks
// front to back; any other order works, only slower. A window of 0 reads what is asked for
// and no more.
class window_reader {
  public:
    explicit window_reader(jam_file &f, std::size_t window = READ_WINDOW)
        : f_(f), window_(window) {}
    // The n bytes at `offset`, valid until the next call; nullptr when the file ends
    // before them. Throws read_error when the system reports a failure.
    const unsigned char *at(int64_t offset, std::size_t n);

  private:
    jam_file &f_;
    std::size_t window_;
    std::vector<unsigned char, large_allocator<unsigned char>> buf_;
    int64_t start_ = 0;
    std::size_t filled_ = 0;
};

// Writes changed records back in place, one positioned write for all those that lie in one
// 4 KiB page of the file. The system copies a write into its page cache a 4 KiB page at a
// time and lets a kill end the process only between two pages, so a write inside one page
// lands whole or not at all, and every record in it with it. The bytes between the records
// of a batch are the file's own, taken from the window the records were read through, and
// go back unchanged. A record that crosses a page boundary is written on its own, and so is
// one staged out of file order.
class record_writer {
  public:
    record_writer(jam_file &f, window_reader &r) : f_(f), r_(r) {}
    // Stages the n bytes of the record at `offset` (the caller's own copy). What was staged
    // before is written first when the record cannot join it.
    void stage(int64_t offset, const unsigned char *bytes, std::size_t n);
    // Writes what is staged. A failed write gets its error line, and none of its records
    // is counted as written.
    void flush();
    // Records whose write succeeded.
    int64_t written() const { return written_; }

  private:
    jam_file &f_;
    window_reader &r_;
    std::vector<unsigned char> batch_; // the bytes to write at start_
    int64_t start_ = 0;
    int64_t records_ = 0;    // records in the batch
    int64_t staged_end_ = 0; // end of the furthest record staged so far
    int64_t written_ = 0;
};

struct msg_header;
// Reads the 76-byte message header at `offset`; false when the file ends before it.
bool read_msg_header(window_reader &r, int64_t offset, msg_header &h);

struct fixed_header;
// Advances ModCounter in the copy (0xFFFFFFFF wraps to 0) and writes the copy to the start
// of .JHR. Prints an error line to stderr and returns false when that fails.
bool write_fhdr(const std::string &path, fixed_header &fhdr);
