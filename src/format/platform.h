// What the file layer needs of the operating system, in one place: opening a stream,
// positioned reads and writes, a file's length and identity, renames, and the descriptor
// of the JAM lock. Only the file layer and the lock use it, but for system_path, which every
// std::filesystem call on a name takes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>

// Names are UTF-8 everywhere in the tool, as they are on Linux. This is the name as the
// file system takes it. On Windows that is UTF-16 (the plain std::string constructor of a
// path would read the ANSI code page), and a name too long for the classic limit of 260
// characters is made absolute and given the \\?\ form, which every wide call accepts up
// to the length the file system allows; a name that has that form already is taken as
// given. Every std::filesystem call on a name the tool holds goes through here.
std::filesystem::path system_path(const std::string &path);

#ifdef _WIN32
// A UTF-16 text (a program argument) as UTF-8; an unpaired surrogate becomes U+FFFD.
std::string utf8_from_wide(const wchar_t *text);
#endif

// Sets aside a TZ value the C library would misread. Windows' runtime knows only the
// "EST5EDT" form: "Europe/Moscow" would print every date in UTC without a word, so such a
// value is dropped and the system's own zone is used. Nothing changes elsewhere.
void settle_time_zone();

// Opens a binary stream with an fopen mode ("rb", "r+b", "wb") on a regular file only:
// what was opened is checked, never the name before it, so nothing put under the name in
// between (a FIFO would block the open for ever) is used; EISDIR or EINVAL tell what else
// stood there. Without `follow_links` a link under the name is not followed (ELOOP). With
// `exclusive` the file is created new for writing, mode 0600, and nothing that already
// stands under the name, a link included, is opened. On failure errno tells why.
std::FILE *open_stream(const std::string &path, const char *mode, bool exclusive,
                       bool follow_links = true);

// Reads up to n bytes at `offset` of the stream's file, past its buffer and without moving
// its position; returns how many arrived, or -1 with errno set on a failure.
int64_t read_at(std::FILE *fp, int64_t offset, void *buf, std::size_t n);
// Writes all n bytes at `offset` in one call, past the stream's buffer; false with errno set.
bool write_at(std::FILE *fp, int64_t offset, const void *buf, std::size_t n);

// Sets the length of the stream's file; false with errno set on failure.
bool set_stream_length(std::FILE *fp, int64_t length);
// Asks the system to put the stream's file on the disk; false with errno set on failure.
bool sync_stream(std::FILE *fp);

// Gives the stream's new file the owner, group and permission bits of `model` where the
// system allows; false with errno set when the owner could not be given.
bool copy_owner_and_mode(const std::string &model, std::FILE *fp);

// Renames `from` over `to` in one step, the new name put on the disk; false with errno set.
bool rename_over(const std::string &from, const std::string &to);
// Puts the entries of the folder that holds `path` on the disk (best effort: not every
// file system syncs a folder), so that a removal or a rename survives a power loss.
void sync_folder(const std::string &path);
// Removes the name with one system call and no allocation on POSIX, where a signal handler
// calls it; a failure is ignored.
void remove_now(const std::string &path);

// What tells two files apart whatever their names: device and inode, or on Windows the
// volume serial number and the file index.
struct file_id {
    uint64_t device = 0;
    uint64_t index = 0;
    bool operator==(const file_id &) const = default;
};
// The identity of the file under `path` (links followed); false when it cannot be had.
bool identify_file(const std::string &path, file_id &id);
bool identify_stream(std::FILE *fp, file_id &id);

// A descriptor for the JAM lock: the regular file under `path`, open for reading and
// writing and shared with every other handle, or -1 with errno set. EBUSY tells that
// another program has the file open in a way that keeps us out for now (a Windows sharing
// violation), to be retried like a busy lock.
int open_lock_descriptor(const std::string &path);
// After a failed stream call, makes errno as precise as the tool's own calls make it (on
// Windows: a full disk reads as ENOSPC, another program's sharing as EBUSY).
void refine_stream_error();
// Whether the last failed read was refused by another program's byte-range lock: on
// Windows such locks are mandatory, and the read may succeed once the lock is released.
bool read_refused_by_lock();
