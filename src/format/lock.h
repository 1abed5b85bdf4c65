// The JAM write lock: a write lock on the first byte of .JHR, which every program that
// updates a base takes before it writes. Held on one descriptor of its own, so that the
// streams the phases open and close on the same file do not release it.
#pragma once

#include <string>

class base_lock {
  public:
    enum class outcome { locked, busy, failed };

    base_lock() = default;
    ~base_lock();
    base_lock(const base_lock &) = delete;
    base_lock &operator=(const base_lock &) = delete;
    // Takes over the other lock and releases the one held before.
    base_lock &operator=(base_lock &&other) noexcept;

    // Locks byte 0 of `path`, retrying while another program holds it, for at most
    // `wait_ms` milliseconds. On `failed` errno tells why. A lock held before is
    // released only once the new one is taken, so the base is never left unlocked.
    outcome acquire(const std::string &path, int wait_ms);
    void release();
    bool held() const { return fd_ >= 0; }

  private:
    int fd_ = -1;
};
