// The JAM write lock: a write lock on the first byte of .JHR, which every program that
// updates a base takes before it writes. While it is held, every read and write of that
// file in this process goes through the lock's own stream, which the file layer hands out
// for the file's name: on Windows the lock binds the handle that took it, and where only
// classic fcntl locks exist, closing any other descriptor of the file would release it.
#pragma once

#include "format/platform.h"

#include <cstdio>
#include <functional>
#include <string>

// How long a repair waits for another program's lock, and a read refused by such a lock
// is retried.
constexpr int LOCK_WAIT_MS = 10000;

class base_lock {
  public:
    // busy: another program held the lock for the whole wait; unsupported: the file system
    // has no locks; failed: anything else, errno telling why.
    enum class outcome { locked, busy, unsupported, failed };

    base_lock() = default;
    ~base_lock();
    base_lock(const base_lock &) = delete;
    base_lock &operator=(const base_lock &) = delete;

    // Locks byte 0 of `path`, retrying while another program holds it, for at most
    // `wait_ms` milliseconds. `waiting` is told once when the lock is found busy, with the
    // holder's process id, or 0 where the system does not tell it.
    outcome acquire(const std::string &path, int wait_ms,
                    const std::function<void(long)> &waiting = {});
    void release();
    bool held() const { return stream_ != nullptr; }

  private:
    friend std::FILE *locked_stream(const std::string &path);
    std::FILE *stream_ = nullptr; // unbuffered, on the lock's own descriptor
    file_id id_;
};

// The stream of a lock this process holds on the file under `path`, or nullptr.
std::FILE *locked_stream(const std::string &path);
