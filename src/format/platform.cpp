// The operating-system side of the file layer: POSIX calls on Linux, Win32 calls on
// Windows, where a byte-range lock is mandatory: a locked byte can be read and written only
// through the handle that holds the lock.
#include "format/platform.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>

#include <fcntl.h>
#include <sys/stat.h>
#ifdef _WIN32
#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <ctime>
#include <io.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace fs = std::filesystem;

#ifdef _WIN32

namespace {

// The UTF-16 of a UTF-8 name; an invalid name becomes the empty one, which names no file.
std::wstring wide_from_utf8(const std::string &text) {
    const int size = static_cast<int>(text.size());
    const int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), size, nullptr, 0);
    if (n <= 0)
        return {};
    std::wstring wide(static_cast<std::size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), size, wide.data(), n);
    return wide;
}

bool starts_with(const std::wstring &text, const wchar_t *prefix) {
    return text.rfind(prefix, 0) == 0;
}

// A name of 260 characters or more in the \\?\ form: absolute, since that form is passed to
// the file system as it is, with no current folder, "." or ".." resolved. A shorter name is
// left as the user wrote it, so that everything the system makes of a short name (a
// device name such as NUL included) stays as it was, and the C runtime's stat behind
// std::filesystem sees the name it always saw. A name in the \\?\ or \\.\ form is the
// user's choice and is used unchanged.
std::wstring long_form(std::wstring name) {
    if (starts_with(name, L"\\\\?\\") || starts_with(name, L"\\\\.\\"))
        return name;
    const DWORD need = GetFullPathNameW(name.c_str(), 0, nullptr, nullptr);
    if (need == 0)
        return name;
    std::wstring full(need, L'\0');
    const DWORD got = GetFullPathNameW(name.c_str(), need, full.data(), nullptr);
    if (got == 0 || got >= need)
        return name;
    full.resize(got);
    if (full.size() < MAX_PATH)
        return name;
    if (starts_with(full, L"\\\\"))
        return L"\\\\?\\UNC\\" + full.substr(2);
    return L"\\\\?\\" + full;
}

std::wstring wide_name(const std::string &path) {
    return long_form(wide_from_utf8(path));
}

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
    case ERROR_LOCK_VIOLATION:
        errno = EACCES;
        break;
    case ERROR_SHARING_VIOLATION: // another program has the file open and keeps us out
        errno = EBUSY;
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

HANDLE handle_of(std::FILE *fp) {
    return reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(fp)));
}

// A handle that shares reading, writing and deletion with every other one, as the other
// programs of a base expect of us. Without `follow_links` a link is opened as itself, and
// refused.
HANDLE open_handle(const std::string &path, DWORD access, DWORD disposition,
                   bool follow_links = true) {
    const DWORD flags = FILE_ATTRIBUTE_NORMAL | (follow_links ? 0 : FILE_FLAG_OPEN_REPARSE_POINT);
    const HANDLE h = CreateFileW(wide_name(path).c_str(), access,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                 disposition, flags, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        set_errno_from_win32();
        return h;
    }
    BY_HANDLE_FILE_INFORMATION info{};
    if (!follow_links && GetFileInformationByHandle(h, &info) &&
        (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        CloseHandle(h);
        errno = ELOOP;
        return INVALID_HANDLE_VALUE;
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

bool identify_handle(HANDLE h, file_id &id) {
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(h, &info))
        return false;
    id.device = info.dwVolumeSerialNumber;
    id.index = (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    return true;
}

} // namespace

std::FILE *open_stream(const std::string &path, const char *mode, bool exclusive,
                       bool follow_links) {
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
    const HANDLE h = open_handle(path, access, disposition, follow_links);
    if (h == INVALID_HANDLE_VALUE)
        return nullptr;
    // A name may stand for a device or a pipe: only a file on a disk is used.
    if (GetFileType(h) != FILE_TYPE_DISK) {
        CloseHandle(h);
        errno = EINVAL;
        return nullptr;
    }
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
    const HANDLE h = handle_of(fp);
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
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(static_cast<uint64_t>(offset));
    at.OffsetHigh = static_cast<DWORD>(static_cast<uint64_t>(offset) >> 32);
    DWORD put = 0;
    if (WriteFile(handle_of(fp), buf, static_cast<DWORD>(n), &put, &at) && put == n)
        return true;
    set_errno_from_win32();
    return false;
}

bool set_stream_length(std::FILE *fp, int64_t length) {
    errno = _chsize_s(_fileno(fp), length);
    return errno == 0;
}

bool sync_stream(std::FILE *fp) {
    return _commit(_fileno(fp)) == 0;
}

// Windows keeps owners and access lists apart from the bits a C program sees: a new file
// takes the access list of its folder, as the base's own files did when they were made.
bool copy_owner_and_mode(const std::string &, std::FILE *) {
    return true;
}

bool rename_over(const std::string &from, const std::string &to) {
    if (MoveFileExW(wide_name(from).c_str(), wide_name(to).c_str(),
                    MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return true;
    set_errno_from_win32();
    return false;
}

// Windows puts a folder's entries on the disk with the files themselves.
void sync_folder(const std::string &) {}

// Console events come on a thread of their own, which may allocate.
void remove_now(const std::string &path) {
    DeleteFileW(wide_name(path).c_str());
}

bool identify_file(const std::string &path, file_id &id) {
    const HANDLE h = CreateFileW(wide_name(path).c_str(), 0,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                 OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    const bool ok = identify_handle(h, id);
    CloseHandle(h);
    return ok;
}

bool identify_stream(std::FILE *fp, file_id &id) {
    return identify_handle(handle_of(fp), id);
}

int open_lock_descriptor(const std::string &path) {
    const HANDLE h = open_handle(path, GENERIC_READ | GENERIC_WRITE, OPEN_EXISTING);
    if (h == INVALID_HANDLE_VALUE) {
        // Another program opened the file without sharing writes: it may be gone soon.
        if (GetLastError() == ERROR_SHARING_VIOLATION)
            errno = EBUSY;
        return -1;
    }
    if (GetFileType(h) != FILE_TYPE_DISK) {
        CloseHandle(h);
        errno = EINVAL;
        return -1;
    }
    return descriptor_for(h, _O_RDWR);
}

fs::path system_path(const std::string &path) {
    return fs::path(wide_name(path));
}

std::string utf8_from_wide(const wchar_t *text) {
    const int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (n <= 1)
        return {};
    std::string utf8(static_cast<std::size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8.data(), n, nullptr, nullptr);
    utf8.pop_back();
    return utf8;
}

namespace {

// Whether the runtime reads `tz` as meant: three letters of the zone's name, then, unless
// it is UTC or the like, the hours west of Greenwich with optional minutes and seconds
// ("EST5", "CET-1", "IST-5:30"), then the summer-time name if any ("EST5EDT").
bool runtime_reads_zone(const char *tz) {
    const auto letter = [](char c) { return std::isalpha(static_cast<unsigned char>(c)) != 0; };
    const auto digit = [](char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; };
    const char *p = tz;
    for (int i = 0; i < 3; ++i, ++p)
        if (!letter(*p))
            return false;
    if (*p == '\0')
        return true;
    if (*p == '+' || *p == '-')
        ++p;
    if (!digit(*p))
        return false;
    while (digit(*p))
        ++p;
    while (*p == ':' && digit(p[1]))
        for (++p; digit(*p);)
            ++p;
    while (letter(*p))
        ++p;
    return *p == '\0';
}

} // namespace

void settle_time_zone() {
    const char *tz = std::getenv("TZ");
    if (tz != nullptr && !runtime_reads_zone(tz))
        _putenv("TZ=");
    _tzset();
}

// The C library maps a full disk of either kind, and a sharing violation, less precisely
// than the tool's own calls do; it keeps the system's reason in _doserrno.
void refine_stream_error() {
    switch (_doserrno) {
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
        errno = ENOSPC;
        break;
    case ERROR_SHARING_VIOLATION:
        errno = EBUSY;
        break;
    default:
        break;
    }
}

// The C library keeps the system's reason of a failed stream read in _doserrno.
bool read_refused_by_lock() {
    return GetLastError() == ERROR_LOCK_VIOLATION || _doserrno == ERROR_LOCK_VIOLATION;
}

#else

namespace {

// The open(2) flags of an fopen mode.
int open_flags(const char *mode) {
    const bool update = std::strchr(mode, '+') != nullptr;
    if (mode[0] == 'w')
        return (update ? O_RDWR : O_WRONLY) | O_CREAT | O_TRUNC;
    return update ? O_RDWR : O_RDONLY;
}

// Closes `fd` and fails with `reason`.
std::FILE *refuse(int fd, int reason) {
    ::close(fd);
    errno = reason;
    return nullptr;
}

} // namespace

std::FILE *open_stream(const std::string &path, const char *mode, bool exclusive,
                       bool follow_links) {
    if (exclusive) {
        const int fd =
            ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd < 0)
            return nullptr;
        std::FILE *fp = fdopen(fd, mode);
        if (fp == nullptr) {
            const int reason = errno;
            ::unlink(path.c_str());
            return refuse(fd, reason);
        }
        return fp;
    }
    // Opened without blocking, so that a FIFO cannot hold the open, and checked through the
    // descriptor; the descriptor then blocks as usual.
    const int fd =
        ::open(path.c_str(),
               open_flags(mode) | O_NONBLOCK | O_CLOEXEC | (follow_links ? 0 : O_NOFOLLOW), 0666);
    if (fd < 0)
        return nullptr;
    struct stat st {};
    if (fstat(fd, &st) != 0)
        return refuse(fd, errno);
    if (!S_ISREG(st.st_mode))
        return refuse(fd, S_ISDIR(st.st_mode) ? EISDIR : EINVAL);
    if (fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0)
        return refuse(fd, errno);
    std::FILE *fp = fdopen(fd, mode);
    return fp != nullptr ? fp : refuse(fd, errno);
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

bool set_stream_length(std::FILE *fp, int64_t length) {
    return ftruncate(fileno(fp), static_cast<off_t>(length)) == 0;
}

bool sync_stream(std::FILE *fp) {
    return fsync(fileno(fp)) == 0;
}

// The owner first, since a change of owner may clear bits the mode sets. A file that
// cannot be given away keeps 0600: its model's bits would open it to the wrong group. A
// mode that cannot be set also leaves it at 0600, narrower than its model, which loses
// nothing.
bool copy_owner_and_mode(const std::string &model, std::FILE *fp) {
    struct stat st {};
    if (::stat(model.c_str(), &st) != 0)
        return true;
    if (fchown(fileno(fp), st.st_uid, st.st_gid) != 0)
        return false;
    (void)fchmod(fileno(fp), st.st_mode & 0777);
    return true;
}

bool rename_over(const std::string &from, const std::string &to) {
    if (std::rename(from.c_str(), to.c_str()) != 0)
        return false;
    sync_folder(to);
    return true;
}

void sync_folder(const std::string &path) {
    const fs::path folder = fs::path(path).parent_path();
    const int fd =
        ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        fsync(fd);
        ::close(fd);
    }
}

void remove_now(const std::string &path) {
    ::unlink(path.c_str());
}

fs::path system_path(const std::string &path) {
    return fs::path(path);
}

// The C library reads every TZ form, and the zone database, itself.
void settle_time_zone() {}

bool identify_file(const std::string &path, file_id &id) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        return false;
    id = {static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
    return true;
}

bool identify_stream(std::FILE *fp, file_id &id) {
    struct stat st {};
    if (fstat(fileno(fp), &st) != 0)
        return false;
    id = {static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
    return true;
}

// Opened without blocking, so that a FIFO put under the name cannot hold the run, and
// checked to be a regular file through the descriptor itself.
int open_lock_descriptor(const std::string &path) {
    const int fd = ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return -1;
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) ||
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0) {
        ::close(fd);
        errno = EINVAL;
        return -1;
    }
    return fd;
}

void refine_stream_error() {}

bool read_refused_by_lock() {
    return false;
}

#endif
