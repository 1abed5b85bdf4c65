// The JAM write lock on byte 0 of .JHR. On Linux an open-file-description lock, which
// conflicts with the classic fcntl locks of other programs but belongs to our descriptor,
// not to the process; elsewhere on POSIX a classic fcntl lock, kept because this process
// never closes another descriptor of the file while it holds it; on Windows a LockFileEx
// lock.
#include "format/lock.h"

#include "format/files.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <thread>
#include <vector>

#include <fcntl.h>
#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace {

// The locks this process holds (tests may hold several, on several bases).
std::vector<const base_lock *> held_locks;

#ifdef _WIN32
void close_descriptor(int fd) {
    _close(fd);
}

std::FILE *stream_on(int fd) {
    return _fdopen(fd, "r+b");
}

// 1: locked, 0: held by someone else, -1: other failure (ENOLCK where the file system has
// no locks).
int try_lock(int fd) {
    OVERLAPPED at{};
    const auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
    if (LockFileEx(handle, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at))
        return 1;
    const DWORD error = GetLastError();
    if (error == ERROR_LOCK_VIOLATION)
        return 0;
    errno = (error == ERROR_NOT_SUPPORTED || error == ERROR_INVALID_FUNCTION) ? ENOLCK : EIO;
    return -1;
}

// Windows does not tell who holds a byte-range lock.
long holder_of(int) {
    return 0;
}
#else
void close_descriptor(int fd) {
    ::close(fd);
}

std::FILE *stream_on(int fd) {
    return fdopen(fd, "r+b");
}

struct flock byte_zero() {
    struct flock fl {};
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    fl.l_start = 0;
    fl.l_len = 1;
    return fl;
}

int try_lock(int fd) {
    struct flock fl = byte_zero();
#ifdef F_OFD_SETLK
    const int cmd = F_OFD_SETLK;
#else
    const int cmd = F_SETLK;
#endif
    if (fcntl(fd, cmd, &fl) == 0)
        return 1;
    return (errno == EAGAIN || errno == EACCES) ? 0 : -1;
}

// A classic lock names its process; an open-file-description lock of another program
// shows as -1.
long holder_of(int fd) {
    struct flock fl = byte_zero();
    if (fcntl(fd, F_GETLK, &fl) == 0 && fl.l_type != F_UNLCK && fl.l_pid > 0)
        return static_cast<long>(fl.l_pid);
    return 0;
}
#endif

// Whether a failure to lock says that the file system has no locks at all.
bool without_locks(int error) {
#ifdef EOPNOTSUPP
    if (error == EOPNOTSUPP)
        return true;
#endif
#ifdef ENOTSUP
    if (error == ENOTSUP)
        return true;
#endif
    return error == ENOLCK;
}

bool past(std::chrono::steady_clock::time_point deadline) {
    return std::chrono::steady_clock::now() >= deadline;
}

} // namespace

base_lock::~base_lock() {
    release();
}

void base_lock::release() {
    if (stream_ == nullptr)
        return;
    held_locks.erase(std::remove(held_locks.begin(), held_locks.end(), this), held_locks.end());
    // Closing the lock's own descriptor releases the lock.
    std::fclose(stream_);
    stream_ = nullptr;
}

base_lock::outcome base_lock::acquire(const std::string &path, int wait_ms,
                                      const std::function<void(long)> &waiting) {
    release();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(wait_ms);
    bool told = false;
    int fd = -1;
    for (;;) {
        if (fd < 0)
            fd = open_lock_descriptor(path);
        if (fd < 0 && errno != EBUSY)
            return outcome::failed;
        const int r = fd < 0 ? 0 : try_lock(fd);
        if (r == 1)
            break;
        if (r < 0) {
            const int reason = errno;
            close_descriptor(fd);
            errno = reason;
            return without_locks(reason) ? outcome::unsupported : outcome::failed;
        }
        if (!told && waiting)
            waiting(fd < 0 ? 0 : holder_of(fd));
        told = true;
        if (past(deadline)) {
            if (fd >= 0)
                close_descriptor(fd);
            return outcome::busy;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        stop_if_interrupted();
    }
    std::FILE *stream = stream_on(fd);
    if (stream == nullptr || !identify_stream(stream, id_)) {
        const int reason = errno;
        if (stream != nullptr)
            std::fclose(stream);
        else
            close_descriptor(fd);
        errno = reason;
        return outcome::failed;
    }
    std::setvbuf(stream, nullptr, _IONBF, 0);
    stream_ = stream;
    held_locks.push_back(this);
    return outcome::locked;
}

std::FILE *locked_stream(const std::string &path) {
    if (held_locks.empty())
        return nullptr;
    file_id id;
    if (!identify_file(path, id))
        return nullptr;
    for (const base_lock *lock : held_locks)
        if (lock->id_ == id)
            return lock->stream_;
    return nullptr;
}
