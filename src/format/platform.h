// What the file layer needs of the operating system, in one place: opening a stream,
// changing a file's length, renaming over a file, and on Windows the handles of the JAM
// locks this process holds. Only the file layer and the lock use it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

// Opens a binary stream with an fopen mode ("rb", "r+b", "wb"). With `exclusive` the file
// is created new for writing and nothing that already stands under the name, a link
// included, is opened. On failure errno tells why.
std::FILE *open_stream(const std::string &path, const char *mode, bool exclusive);

// Reads up to n bytes at `offset` of the stream's file, past its buffer and without moving
// its position; returns how many arrived, or -1 with errno set on a failure.
int64_t read_at(std::FILE *fp, int64_t offset, void *buf, std::size_t n);
// Writes all n bytes at `offset` in one call, past the stream's buffer; false with errno set.
bool write_at(std::FILE *fp, int64_t offset, const void *buf, std::size_t n);

// Sets the length of an existing file; false with errno set on failure.
bool set_file_length(const std::string &path, int64_t length);

// Renames `from` over `to` in one step, the new name put on the disk; false with errno set.
bool rename_over(const std::string &from, const std::string &to);

// A descriptor for the JAM lock, open for reading and writing and shared with every other
// handle, or -1 with errno set.
int open_lock_descriptor(const std::string &path);

#ifdef _WIN32
// Renames `from` over `to` while handles on `to` are open (POSIX semantics); false where
// the system cannot, which leaves both files as they were.
bool rename_over_open_file(const std::string &from, const std::string &to);

// A Windows byte-range lock binds the handle that took it: every other handle, this
// process's own included, can neither read nor write the locked byte. The lock announces
// its descriptor here, and every stream opened on the locked file then works through a
// duplicate of the lock's own handle.
void note_lock_taken(int fd);
void note_lock_released(int fd);
#endif
