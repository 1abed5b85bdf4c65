// The JAM write lock on byte 0 of .JHR. On Linux an open-file-description lock, which
// conflicts with the classic fcntl locks of other programs but belongs to our own
// descriptor, not to the process; on Windows a LockFileEx lock, which the file layer then
// reads and writes through.
#include "format/lock.h"

#include "format/files.h"
#include "format/platform.h"

#include <cerrno>
#include <chrono>
#include <thread>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

namespace {

#ifdef _WIN32
void close_descriptor(int fd) {
    note_lock_released(fd);
    _close(fd);
}

// 1: locked, 0: held by someone else, -1: other failure.
int try_lock(int fd) {
    OVERLAPPED at{};
    const auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
    if (LockFileEx(handle, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at))
        return 1;
    if (GetLastError() == ERROR_LOCK_VIOLATION)
        return 0;
    errno = EIO;
    return -1;
}
#else
void close_descriptor(int fd) {
    ::close(fd);
}

int try_lock(int fd) {
    struct flock fl {};
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    fl.l_start = 0;
    fl.l_len = 1;
#ifdef F_OFD_SETLK
    const int cmd = F_OFD_SETLK;
#else
    const int cmd = F_SETLK; // per process: no phase may close another descriptor early
#endif
    if (fcntl(fd, cmd, &fl) == 0)
        return 1;
    return (errno == EAGAIN || errno == EACCES) ? 0 : -1;
}
#endif

} // namespace

base_lock::~base_lock() {
    release();
}

base_lock &base_lock::operator=(base_lock &&other) noexcept {
    if (this != &other) {
        release();
        fd_ = other.fd_;
        other.fd_ = -1;
    }
    return *this;
}

void base_lock::release() {
    if (fd_ >= 0)
        close_descriptor(fd_);
    fd_ = -1;
}

base_lock::outcome base_lock::acquire(const std::string &path, int wait_ms) {
    const int fd = open_lock_descriptor(path);
    if (fd < 0)
        return outcome::failed;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(wait_ms);
    for (;;) {
        const int r = try_lock(fd);
        if (r == 1)
            break;
        const int saved = errno;
        if (r < 0 || std::chrono::steady_clock::now() >= deadline) {
            close_descriptor(fd);
            errno = saved;
            return r < 0 ? outcome::failed : outcome::busy;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        stop_if_interrupted();
    }
#ifdef _WIN32
    note_lock_taken(fd);
#endif
    release();
    fd_ = fd;
    return outcome::locked;
}
