// The operating-system side of the file layer: POSIX calls on Linux, Win32 calls on
// Windows, where a byte-range lock is mandatory and an open file can be renamed over only
// when every handle on it shares delete access.
#ifdef _WIN32
// Renames with POSIX semantics need the declarations of Windows 10.
#undef _WIN32_WINNT
#define _WIN32_WINNT 0x0A000002
#endif

#include "format/platform.h"

#include <cerrno>
#include <filesystem>
#include <system_error>

#include <fcntl.h>
#ifdef _WIN32
#include <algorithm>
#include <io.h>
#include <vector>
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace fs = std::filesystem;

#ifdef _WIN32

namespace {

// Descriptors of the JAM locks held by this process (two only while one moves to a new
// file).
std::vector<int> lock_descriptors;

void set_errno_from_win32() {
    switch (GetLastError()) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
        errno = ENOENT;
        break;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
        errno = EEXIST;
        break;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
        errno = EACCES;
        break;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
        errno = ENOSPC;
        break;
    default:
        errno = EIO;
        break;
    }
}

bool same_file(HANDLE a, HANDLE b) {
    BY_HANDLE_FILE_INFORMATION x{}, y{};
    return GetFileInformationByHandle(a, &x) && GetFileInformationByHandle(b, &y) &&
           x.dwVolumeSerialNumber == y.dwVolumeSerialNumber &&
           x.nFileIndexHigh == y.nFileIndexHigh && x.nFileIndexLow == y.nFileIndexLow;
}

// A handle on `path` that shares reading, writing and deletion with every other one, so
// that the realigned header file can be renamed over the old one while handles on it are
// open. A file this process holds locked is reached through a duplicate of the lock's own
// handle, the only one that may touch the locked byte.
HANDLE open_handle(const std::string &path, DWORD access, DWORD disposition) {
    HANDLE h =
        CreateFileA(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        set_errno_from_win32();
        return h;
    }
    for (const int fd : lock_descriptors) {
        const auto locked = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
        if (!same_file(h, locked))
            continue;
        CloseHandle(h);
        if (!DuplicateHandle(GetCurrentProcess(), locked, GetCurrentProcess(), &h, 0, FALSE,
                             DUPLICATE_SAME_ACCESS)) {
            set_errno_from_win32();
            return INVALID_HANDLE_VALUE;
        }
        break;
    }
    return h;
}

// A C descriptor owning the handle; the handle is closed when that fails.
int descriptor_for(HANDLE h, int flags) {
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), flags | _O_BINARY);
    if (fd < 0) {
        CloseHandle(h);
        errno = EIO;
    }
    return fd;
}

} // namespace

std::FILE *open_stream(const std::string &path, const char *mode, bool exclusive) {
    const char m = mode[0];
    const bool update = mode[1] == '+' || (mode[1] != '\0' && mode[2] == '+');
    DWORD access = GENERIC_READ;
    DWORD disposition = OPEN_EXISTING;
    int flags = _O_RDONLY;
    if (m == 'w') {
        access = GENERIC_WRITE;
        disposition = exclusive ? CREATE_NEW : CREATE_ALWAYS;
        flags = _O_WRONLY;
    } else if (update) {
        access = GENERIC_READ | GENERIC_WRITE;
        flags = _O_RDWR;
    }
    const HANDLE h = open_handle(path, access, disposition);
    if (h == INVALID_HANDLE_VALUE)
        return nullptr;
    const int fd = descriptor_for(h, flags);
    if (fd < 0)
        return nullptr;
    std::FILE *fp = _fdopen(fd, mode);
    if (fp == nullptr)
        _close(fd);
    return fp;
}

// A handle with an offset in its request ignores its file position; synchronous handles
// still move it, which nothing here relies on.
int64_t read_at(std::FILE *fp, int64_t offset, void *buf, std::size_t n) {
    const auto h = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(fp)));
    auto *p = static_cast<char *>(buf);
    std::size_t done = 0;
    while (done < n) {
        OVERLAPPED at{};
        const uint64_t pos = static_cast<uint64_t>(offset) + done;
        at.Offset = static_cast<DWORD>(pos);
        at.OffsetHigh = static_cast<DWORD>(pos >> 32);
        DWORD got = 0;
        const DWORD want = static_cast<DWORD>(std::min<std::size_t>(n - done, 1u << 30));
        if (!ReadFile(h, p + done, want, &got, &at)) {
            if (GetLastError() == ERROR_HANDLE_EOF)
                break;
            set_errno_from_win32();
            return -1;
        }
        if (got == 0)
            break;
        done += got;
    }
    return static_cast<int64_t>(done);
}

bool write_at(std::FILE *fp, int64_t offset, const void *buf, std::size_t n) {
    const auto h = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(fp)));
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(static_cast<uint64_t>(offset));
    at.OffsetHigh = static_cast<DWORD>(static_cast<uint64_t>(offset) >> 32);
    DWORD put = 0;
    if (WriteFile(h, buf, static_cast<DWORD>(n), &put, &at) && put == n)
        return true;
    set_errno_from_win32();
    return false;
}

bool set_file_length(const std::string &path, int64_t length) {
    const HANDLE h = open_handle(path, GENERIC_WRITE, OPEN_EXISTING);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    LARGE_INTEGER at{};
    at.QuadPart = length;
    const bool ok = SetFilePointerEx(h, at, nullptr, FILE_BEGIN) && SetEndOfFile(h);
    if (!ok)
        set_errno_from_win32();
    CloseHandle(h);
    return ok;
}

// With POSIX semantics the name passes to the new file even while handles on the old one
// are open, each sharing delete access.
bool rename_over_open_file(const std::string &from, const std::string &to) {
    const int wide_len = MultiByteToWideChar(CP_ACP, 0, to.c_str(), -1, nullptr, 0);
    if (wide_len <= 0)
        return false;
    const std::size_t size =
        sizeof(FILE_RENAME_INFO) + sizeof(WCHAR) * static_cast<std::size_t>(wide_len);
    std::vector<unsigned char> buffer(size);
    auto *info = reinterpret_cast<FILE_RENAME_INFO *>(buffer.data());
    info->Flags = FILE_RENAME_FLAG_REPLACE_IF_EXISTS | FILE_RENAME_FLAG_POSIX_SEMANTICS;
    info->RootDirectory = nullptr;
    info->FileNameLength =
        static_cast<DWORD>(sizeof(WCHAR) * static_cast<std::size_t>(wide_len - 1));
    MultiByteToWideChar(CP_ACP, 0, to.c_str(), -1, info->FileName, wide_len);
    const HANDLE h = CreateFileA(from.c_str(), DELETE | SYNCHRONIZE,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                 OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    const bool ok = SetFileInformationByHandle(h, FileRenameInfoEx, info, static_cast<DWORD>(size));
    CloseHandle(h);
    return ok;
}

bool rename_over(const std::string &from, const std::string &to) {
    if (MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return true;
    set_errno_from_win32();
    return false;
}

int open_lock_descriptor(const std::string &path) {
    const HANDLE h = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                 OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        set_errno_from_win32();
        return -1;
    }
    return descriptor_for(h, _O_RDWR);
}

void note_lock_taken(int fd) {
    lock_descriptors.push_back(fd);
}

void note_lock_released(int fd) {
    lock_descriptors.erase(std::remove(lock_descriptors.begin(), lock_descriptors.end(), fd),
                           lock_descriptors.end());
}

#else

std::FILE *open_stream(const std::string &path, const char *mode, bool exclusive) {
    if (!exclusive)
        return std::fopen(path.c_str(), mode);
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, 0666);
    if (fd < 0)
        return nullptr;
    std::FILE *fp = fdopen(fd, mode);
    if (fp == nullptr) {
        const int reason = errno;
        ::close(fd);
        ::unlink(path.c_str());
        errno = reason;
    }
    return fp;
}

int64_t read_at(std::FILE *fp, int64_t offset, void *buf, std::size_t n) {
    auto *p = static_cast<char *>(buf);
    std::size_t done = 0;
    while (done < n) {
        const off_t at = static_cast<off_t>(offset) + static_cast<off_t>(done);
        const ssize_t got = pread(fileno(fp), p + done, n - done, at);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return -1;
        if (got == 0)
            break;
        done += static_cast<std::size_t>(got);
    }
    return static_cast<int64_t>(done);
}

bool write_at(std::FILE *fp, int64_t offset, const void *buf, std::size_t n) {
    const auto *p = static_cast<const char *>(buf);
    std::size_t done = 0;
    while (done < n) {
        const off_t at = static_cast<off_t>(offset) + static_cast<off_t>(done);
        const ssize_t put = pwrite(fileno(fp), p + done, n - done, at);
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0)
            return false;
        done += static_cast<std::size_t>(put);
    }
    return true;
}

bool set_file_length(const std::string &path, int64_t length) {
    std::error_code ec;
    fs::resize_file(path, static_cast<std::uintmax_t>(length), ec);
    errno = ec.value();
    return !ec;
}

bool rename_over(const std::string &from, const std::string &to) {
    if (std::rename(from.c_str(), to.c_str()) != 0)
        return false;
    // The new name is put on the disk too, so that after a power loss the file found
    // under it is the new one (best effort: not every file system syncs a folder).
    const fs::path folder = fs::path(to).parent_path();
    const int fd = ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY);
    if (fd >= 0) {
        fsync(fd);
        ::close(fd);
    }
    return true;
}

int open_lock_descriptor(const std::string &path) {
    return ::open(path.c_str(), O_RDWR);
}

#endif
