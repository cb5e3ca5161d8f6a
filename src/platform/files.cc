// File handles over POSIX file descriptors: CreateFileW and ReOpenFile open, ReadFile and
// WriteFile transfer synchronously, plus positioning, size, type, close and the standard
// handles. A HANDLE is a descriptor encoded below the lowest mappable address, so it can never
// equal a pointer that another part of the layer hands out, and descriptor 0 is not null.
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <cwchar>

#include "platform/args.h"
#include "platform/errno_map.h"
#include "platform/fault.h"
#include "platform/handles.h"

namespace {

// Handles are 0x1000 + 4 * fd, below 0x10000 (Linux never maps there), multiples of 4 like
// Windows handles.
constexpr uintptr_t fd_handle_base = 0x1000;
constexpr uintptr_t fd_handle_end = 0x10000;
constexpr int max_fd = static_cast<int>((fd_handle_end - fd_handle_base) / 4);

// Sector size that unbuffered transfers must respect where the file system could not bypass
// its cache (O_DIRECT refused at open), so that such a handle still behaves like Windows.
constexpr uintptr_t sector_size = 512;

// Per descriptor: the tail of the name it was opened with (for the fault seam) and whether
// unbuffered alignment is checked here rather than by the kernel.
constexpr int tracked_fds = 1024;
constexpr size_t kept_name_chars = 128;
struct fd_record {
    wchar_t name[kept_name_chars];
    bool check_alignment;
};
fd_record records[tracked_fds];

// The three standard handles as handle values, initially descriptors 0, 1 and 2.
uintptr_t std_handles[3] = {fd_handle_base, fd_handle_base + 4, fd_handle_base + 8};

HANDLE handle_of_fd(int fd) {
    return reinterpret_cast<HANDLE>(fd_handle_base + 4 * static_cast<uintptr_t>(fd));
}

// The descriptor a handle stands for, or -1 when it is not one of ours.
int fd_of_handle(HANDLE handle) {
    uintptr_t value = reinterpret_cast<uintptr_t>(handle);
    if (value < fd_handle_base || value >= fd_handle_end || (value & 3) != 0) return -1;
    return static_cast<int>((value - fd_handle_base) / 4);
}

// The name a descriptor was opened with, or null when it has none (standard handles).
const wchar_t* name_of_fd(int fd) {
    if (fd < 0 || fd >= tracked_fds || records[fd].name[0] == L'\0') return nullptr;
    return records[fd].name;
}

void remember(int fd, const wchar_t* name, bool check_alignment) {
    if (fd >= tracked_fds) return;
    fd_record& r = records[fd];
    size_t length = name == nullptr ? 0 : std::wcslen(name);
    // The end of a path names the file; keep that when the whole does not fit.
    size_t start = length >= kept_name_chars ? length - (kept_name_chars - 1) : 0;
    if (length > 0) std::wmemcpy(r.name, name + start, length - start);
    r.name[length - start] = L'\0';
    r.check_alignment = check_alignment;
}

void forget(int fd) {
    if (fd >= 0 && fd < tracked_fds) remember(fd, nullptr, false);
}

BOOL fail(DWORD code) {
    SetLastError(code);
    return FALSE;
}

HANDLE fail_handle(DWORD code) {
    SetLastError(code);
    return INVALID_HANDLE_VALUE;
}

// Checks the fault seam for a call on `fd`; true (last error set) when it must fail.
bool faulted(const char* call, int fd) {
    DWORD code = 0;
    if (!platform_fault_check(call, name_of_fd(fd), &code)) return false;
    SetLastError(code);
    return true;
}

// The descriptor of a handle that is open now, or -1 with ERROR_INVALID_HANDLE.
int open_fd(HANDLE handle) {
    int fd = fd_of_handle(handle);
    if (fd < 0 || fcntl(fd, F_GETFD) < 0) {
        SetLastError(ERROR_INVALID_HANDLE);
        return -1;
    }
    return fd;
}

// open() retried on EINTR; where the file system refuses O_DIRECT (tmpfs: EINVAL) the file is
// opened through the cache instead and *dropped_direct tells so.
int open_retrying(const char* path, int flags, bool* dropped_direct) {
    *dropped_direct = false;
    for (;;) {
        int fd = open(path, flags, 0666);
        if (fd >= 0) return fd;
        if (errno == EINTR) continue;
        if (errno == EINVAL && (flags & O_DIRECT) != 0) {
            flags &= ~O_DIRECT;
            *dropped_direct = true;
            continue;
        }
        return -1;
    }
}

// ENOENT means a missing file when its directory exists, else a missing path, as Windows
// tells the two apart (2 and 3).
DWORD missing_code(const char* path) {
    const char* slash = std::strrchr(path, '/');
    if (slash == nullptr) return ERROR_FILE_NOT_FOUND;
    char parent[PATH_MAX];
    size_t length = slash == path ? 1 : static_cast<size_t>(slash - path);
    std::memcpy(parent, path, length);
    parent[length] = '\0';
    struct stat st;
    if (stat(parent, &st) != 0 || !S_ISDIR(st.st_mode)) return ERROR_PATH_NOT_FOUND;
    return ERROR_FILE_NOT_FOUND;
}

// The Win32 code of a failed transfer on `fd`: a directory gives ERROR_INVALID_FUNCTION, a
// descriptor open without the needed access gives ERROR_ACCESS_DENIED, as on Windows.
DWORD transfer_error(int fd, int err) {
    if (err == EISDIR) return ERROR_INVALID_FUNCTION;
    struct stat st;
    if (err == EBADF && fstat(fd, &st) == 0) {
        // A directory opened "for writing" is read-only underneath (see CreateFileW).
        return S_ISDIR(st.st_mode) ? ERROR_INVALID_FUNCTION : ERROR_ACCESS_DENIED;
    }
    return platform_error_from_errno(err);
}

// True when an unbuffered transfer breaks the sector rules that only this layer enforces.
bool misaligned(int fd, const void* buffer, DWORD length) {
    if (fd >= tracked_fds || !records[fd].check_alignment) return false;
    off_t position = lseek(fd, 0, SEEK_CUR);
    return reinterpret_cast<uintptr_t>(buffer) % sector_size != 0 || length % sector_size != 0 ||
           (position > 0 && static_cast<uintptr_t>(position) % sector_size != 0);
}

int access_flags(DWORD access) {
    constexpr DWORD read_bits = GENERIC_READ | GENERIC_ALL | 0x0001u;         // FILE_READ_DATA
    constexpr DWORD write_bits = GENERIC_WRITE | GENERIC_ALL | 0x0002u | 0x0004u;  // +APPEND
    bool reads = (access & read_bits) != 0;
    bool writes = (access & write_bits) != 0;
    if (reads && writes) return O_RDWR;
    return writes ? O_WRONLY : O_RDONLY;
}

// Hands out the handle of a freshly opened descriptor, or fails when the encoding has no room.
HANDLE adopt(int fd, const wchar_t* name, bool check_alignment, DWORD success_error) {
    if (fd >= max_fd) {
        close(fd);
        return fail_handle(ERROR_TOO_MANY_OPEN_FILES);
    }
    remember(fd, name, check_alignment);
    SetLastError(success_error);
    return handle_of_fd(fd);
}

}  // namespace

/// Win32: opens or creates a file by name. POSIX: open() with the disposition's O_CREAT/O_EXCL/
/// O_TRUNC, O_DIRECT for FILE_FLAG_NO_BUFFERING; directories open only with backup semantics.
HANDLE WINAPI CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                          LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                          DWORD dwFlagsAndAttributes, HANDLE hTemplateFile) {
    (void)dwShareMode;  // POSIX has no share modes; every mode is accepted
    (void)lpSecurityAttributes;
    (void)hTemplateFile;
    DWORD fault = 0;
    if (platform_fault_check("CreateFileW", lpFileName, &fault)) return fail_handle(fault);
    if (lpFileName == nullptr || lpFileName[0] == L'\0') return fail_handle(ERROR_PATH_NOT_FOUND);
    char path[PATH_MAX];
    if (platform_name_to_bytes(lpFileName, path, sizeof path) == static_cast<size_t>(-1)) {
        return fail_handle(ERROR_FILENAME_EXCED_RANGE);
    }
    const bool writes = access_flags(dwDesiredAccess) != O_RDONLY;
    const bool backup = (dwFlagsAndAttributes & FILE_FLAG_BACKUP_SEMANTICS) != 0;
    int flags = access_flags(dwDesiredAccess) | O_CLOEXEC | O_NOCTTY;
    if ((dwFlagsAndAttributes & FILE_FLAG_NO_BUFFERING) != 0) flags |= O_DIRECT;
    if (dwDesiredAccess == 0 && dwCreationDisposition == OPEN_EXISTING) {
        // No access asked for: a handle that only tells what the file is, as on Windows. O_PATH
        // needs no read permission and does not wait for a writer on a FIFO.
        flags = O_PATH | O_CLOEXEC;
    }

    bool dropped = false;
    DWORD success_error = ERROR_SUCCESS;
    int fd = -1;
    switch (dwCreationDisposition) {
        case CREATE_NEW:
            fd = open_retrying(path, flags | O_CREAT | O_EXCL, &dropped);
            break;
        case CREATE_ALWAYS:
        case OPEN_ALWAYS:
            // Creating exclusively first tells whether the file existed (ERROR_ALREADY_EXISTS).
            fd = open_retrying(path, flags | O_CREAT | O_EXCL, &dropped);
            if (fd < 0 && errno == EEXIST) {
                int again = flags | O_CREAT | (dwCreationDisposition == CREATE_ALWAYS ? O_TRUNC : 0);
                fd = open_retrying(path, again, &dropped);
                success_error = ERROR_ALREADY_EXISTS;
            }
            break;
        case OPEN_EXISTING:
            fd = open_retrying(path, flags, &dropped);
            break;
        case TRUNCATE_EXISTING:
            if (!writes) return fail_handle(ERROR_INVALID_PARAMETER);
            fd = open_retrying(path, flags | O_TRUNC, &dropped);
            break;
        default:
            return fail_handle(ERROR_INVALID_PARAMETER);
    }
    if (fd < 0 && errno == EISDIR && backup &&
        (dwCreationDisposition == OPEN_EXISTING || dwCreationDisposition == OPEN_ALWAYS)) {
        // Windows opens a directory for writing with backup semantics (its transfers then fail
        // with ERROR_INVALID_FUNCTION); POSIX only opens it for reading.
        fd = open_retrying(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC, &dropped);
        dropped = false;
    }
    if (fd < 0) {
        int err = errno;
        return fail_handle(err == ENOENT ? missing_code(path) : platform_error_from_errno(err));
    }
    struct stat st;
    const bool have_stat = fstat(fd, &st) == 0;
    if (!backup && have_stat && S_ISDIR(st.st_mode)) {
        close(fd);
        return fail_handle(ERROR_ACCESS_DENIED);
    }
    // The sector rules bind files on disk only: Windows ignores FILE_FLAG_NO_BUFFERING on pipes
    // and devices, whose transfers come in any length.
    if (have_stat && !S_ISREG(st.st_mode) && !S_ISBLK(st.st_mode)) dropped = false;
    return adopt(fd, lpFileName, dropped, success_error);
}

/// Win32: a new handle to the same file with other access and flags. POSIX: a fresh open of
/// /proc/self/fd/N, so the new handle has its own file position and its own O_DIRECT setting.
HANDLE WINAPI ReOpenFile(HANDLE hOriginalFile, DWORD dwDesiredAccess, DWORD dwShareMode,
                         DWORD dwFlagsAndAttributes) {
    (void)dwShareMode;
    int original = fd_of_handle(hOriginalFile);
    if (faulted("ReOpenFile", original)) return INVALID_HANDLE_VALUE;
    if (open_fd(hOriginalFile) < 0) return INVALID_HANDLE_VALUE;
    char path[64];
    std::snprintf(path, sizeof path, "/proc/self/fd/%d", original);
    int flags = access_flags(dwDesiredAccess) | O_CLOEXEC | O_NOCTTY;
    if ((dwFlagsAndAttributes & FILE_FLAG_NO_BUFFERING) != 0) flags |= O_DIRECT;
    bool dropped = false;
    int fd = open_retrying(path, flags, &dropped);
    if (fd < 0) return fail_handle(platform_error_from_errno(errno));
    return adopt(fd, name_of_fd(original), dropped, ERROR_SUCCESS);
}

/// Win32: one synchronous read at the file pointer. POSIX: one read() (EINTR retried); the end
/// of a file is TRUE with 0 bytes, the end of a pipe FALSE with ERROR_BROKEN_PIPE as on Windows.
BOOL WINAPI ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
                     LPDWORD lpNumberOfBytesRead, LPOVERLAPPED lpOverlapped) {
    if (lpNumberOfBytesRead != nullptr) *lpNumberOfBytesRead = 0;
    int fd = fd_of_handle(hFile);
    if (faulted("ReadFile", fd)) return FALSE;
    if (open_fd(hFile) < 0) return FALSE;
    if (lpOverlapped != nullptr) return fail(ERROR_INVALID_PARAMETER);  // no overlapped I/O
    if (misaligned(fd, lpBuffer, nNumberOfBytesToRead)) return fail(ERROR_INVALID_PARAMETER);
    if (nNumberOfBytesToRead == 0) {
        SetLastError(ERROR_SUCCESS);
        return TRUE;
    }
    ssize_t got;
    do {
        got = read(fd, lpBuffer, nNumberOfBytesToRead);
    } while (got < 0 && errno == EINTR);
    if (got < 0) return fail(transfer_error(fd, errno));
    if (got == 0) {
        struct stat st;
        if (fstat(fd, &st) == 0 && (S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode))) {
            return fail(ERROR_BROKEN_PIPE);
        }
    }
    if (lpNumberOfBytesRead != nullptr) *lpNumberOfBytesRead = static_cast<DWORD>(got);
    return TRUE;
}

/// Win32: one synchronous write at the file pointer. POSIX: write() until every byte is out or
/// an error (ENOSPC: ERROR_DISK_FULL; O_DIRECT misalignment, EINVAL: ERROR_INVALID_PARAMETER).
BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
                      LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED lpOverlapped) {
    if (lpNumberOfBytesWritten != nullptr) *lpNumberOfBytesWritten = 0;
    int fd = fd_of_handle(hFile);
    if (faulted("WriteFile", fd)) return FALSE;
    if (open_fd(hFile) < 0) return FALSE;
    if (lpOverlapped != nullptr) return fail(ERROR_INVALID_PARAMETER);
    if (misaligned(fd, lpBuffer, nNumberOfBytesToWrite)) return fail(ERROR_INVALID_PARAMETER);
    // A write of nothing succeeds without touching the file, also on an unbuffered handle.
    const char* data = static_cast<const char*>(lpBuffer);
    DWORD done = 0;
    while (done < nNumberOfBytesToWrite) {
        ssize_t put = write(fd, data + done, nNumberOfBytesToWrite - done);
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) {
            if (lpNumberOfBytesWritten != nullptr) *lpNumberOfBytesWritten = done;
            return fail(put == 0 ? ERROR_DISK_FULL : transfer_error(fd, errno));
        }
        done += static_cast<DWORD>(put);
    }
    if (lpNumberOfBytesWritten != nullptr) *lpNumberOfBytesWritten = done;
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

/// Win32: moves the file pointer. POSIX: lseek(); a position before the start gives
/// ERROR_NEGATIVE_SEEK as on Windows.
BOOL WINAPI SetFilePointerEx(HANDLE hFile, LARGE_INTEGER liDistanceToMove,
                             PLARGE_INTEGER lpNewFilePointer, DWORD dwMoveMethod) {
    int fd = fd_of_handle(hFile);
    if (faulted("SetFilePointerEx", fd)) return FALSE;
    if (open_fd(hFile) < 0) return FALSE;
    int whence;
    switch (dwMoveMethod) {
        case FILE_BEGIN: whence = SEEK_SET; break;
        case FILE_CURRENT: whence = SEEK_CUR; break;
        case FILE_END: whence = SEEK_END; break;
        default: return fail(ERROR_INVALID_PARAMETER);
    }
    off_t position = lseek(fd, static_cast<off_t>(liDistanceToMove.QuadPart), whence);
    if (position < 0) {
        // With a valid whence, EINVAL can only mean a target before the start of the file.
        return fail(errno == EINVAL ? ERROR_NEGATIVE_SEEK : platform_error_from_errno(errno));
    }
    if (lpNewFilePointer != nullptr) lpNewFilePointer->QuadPart = position;
    return TRUE;
}

/// Win32: makes the file end at the file pointer. POSIX: ftruncate() at the current offset.
BOOL WINAPI SetEndOfFile(HANDLE hFile) {
    int fd = fd_of_handle(hFile);
    if (faulted("SetEndOfFile", fd)) return FALSE;
    if (open_fd(hFile) < 0) return FALSE;
    if ((fcntl(fd, F_GETFL) & O_ACCMODE) == O_RDONLY) return fail(ERROR_ACCESS_DENIED);
    off_t position = lseek(fd, 0, SEEK_CUR);
    if (position < 0) return fail(platform_error_from_errno(errno));
    while (ftruncate(fd, position) != 0) {
        if (errno != EINTR) return fail(platform_error_from_errno(errno));
    }
    return TRUE;
}

/// Win32: the file's size in bytes. POSIX: st_size from fstat().
BOOL WINAPI GetFileSizeEx(HANDLE hFile, PLARGE_INTEGER lpFileSize) {
    int fd = fd_of_handle(hFile);
    if (faulted("GetFileSizeEx", fd)) return FALSE;
    if (open_fd(hFile) < 0) return FALSE;
    struct stat st;
    if (fstat(fd, &st) != 0) return fail(platform_error_from_errno(errno));
    lpFileSize->QuadPart = st.st_size;
    return TRUE;
}

/// Win32: disk, character device or pipe. POSIX: from fstat()'s file type; FILE_TYPE_UNKNOWN
/// with a last error on failure, last error 0 on success.
DWORD WINAPI GetFileType(HANDLE hFile) {
    int fd = fd_of_handle(hFile);
    if (faulted("GetFileType", fd)) return FILE_TYPE_UNKNOWN;
    if (open_fd(hFile) < 0) return FILE_TYPE_UNKNOWN;
    struct stat st;
    if (fstat(fd, &st) != 0) {
        SetLastError(platform_error_from_errno(errno));
        return FILE_TYPE_UNKNOWN;
    }
    SetLastError(ERROR_SUCCESS);
    if (S_ISREG(st.st_mode) || S_ISDIR(st.st_mode) || S_ISBLK(st.st_mode)) return FILE_TYPE_DISK;
    if (S_ISCHR(st.st_mode)) return FILE_TYPE_CHAR;
    if (S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode)) return FILE_TYPE_PIPE;
    return FILE_TYPE_UNKNOWN;
}

namespace {
// A POSIX time as a FILETIME: 100-nanosecond ticks since 1601-01-01.
void to_filetime(const struct timespec& t, FILETIME* out) {
    uint64_t ticks = (static_cast<uint64_t>(t.tv_sec) + 11644473600ull) * 10000000ull +
                     static_cast<uint64_t>(t.tv_nsec) / 100;
    out->dwLowDateTime = static_cast<DWORD>(ticks);
    out->dwHighDateTime = static_cast<DWORD>(ticks >> 32);
}
}  // namespace

/// Win32: attributes, times, size, link count and identity (volume serial number and file
/// index) of an open file. POSIX: from fstat(); the device stands for the volume and the inode
/// for the file index, so two handles name the same file exactly when all three are equal.
BOOL WINAPI GetFileInformationByHandle(HANDLE hFile,
                                       LPBY_HANDLE_FILE_INFORMATION lpFileInformation) {
    int fd = fd_of_handle(hFile);
    if (faulted("GetFileInformationByHandle", fd)) return FALSE;
    if (open_fd(hFile) < 0) return FALSE;
    if (lpFileInformation == nullptr) return fail(ERROR_INVALID_PARAMETER);
    struct stat st;
    if (fstat(fd, &st) != 0) return fail(platform_error_from_errno(errno));
    BY_HANDLE_FILE_INFORMATION& info = *lpFileInformation;
    info.dwFileAttributes = S_ISDIR(st.st_mode) ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_NORMAL;
    to_filetime(st.st_ctim, &info.ftCreationTime);
    to_filetime(st.st_atim, &info.ftLastAccessTime);
    to_filetime(st.st_mtim, &info.ftLastWriteTime);
    // The 64-bit device number folded into the 32-bit serial, its high half included.
    const uint64_t device = static_cast<uint64_t>(st.st_dev);
    info.dwVolumeSerialNumber = static_cast<DWORD>(device ^ (device >> 32));
    const uint64_t size = static_cast<uint64_t>(st.st_size);
    info.nFileSizeHigh = static_cast<DWORD>(size >> 32);
    info.nFileSizeLow = static_cast<DWORD>(size);
    info.nNumberOfLinks = static_cast<DWORD>(st.st_nlink);
    const uint64_t inode = static_cast<uint64_t>(st.st_ino);
    info.nFileIndexHigh = static_cast<DWORD>(inode >> 32);
    info.nFileIndexLow = static_cast<DWORD>(inode);
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

/// Win32: closes a handle. POSIX: close() of the descriptor, or the token's own close for an
/// access token; anything else is ERROR_INVALID_HANDLE.
BOOL WINAPI CloseHandle(HANDLE hObject) {
    int fd = fd_of_handle(hObject);
    if (faulted("CloseHandle", fd)) return FALSE;
    if (fd < 0) {
        if (hObject != INVALID_HANDLE_VALUE && platform_close_token(hObject)) return TRUE;
        return fail(ERROR_INVALID_HANDLE);
    }
    // Linux releases the descriptor even when close() reports EINTR or EIO; only EBADF means
    // there was nothing to close.
    if (close(fd) != 0 && errno == EBADF) return fail(ERROR_INVALID_HANDLE);
    forget(fd);
    return TRUE;
}

namespace {
// Index into the standard handle table, or -1.
int std_index(DWORD which) {
    if (which == STD_INPUT_HANDLE) return 0;
    if (which == STD_OUTPUT_HANDLE) return 1;
    if (which == STD_ERROR_HANDLE) return 2;
    return -1;
}
}  // namespace

/// Win32: the process's standard input, output or error handle. POSIX: the table entry,
/// initially descriptors 0, 1 and 2.
HANDLE WINAPI GetStdHandle(DWORD nStdHandle) {
    if (faulted("GetStdHandle", -1)) return INVALID_HANDLE_VALUE;
    int i = std_index(nStdHandle);
    if (i < 0) return fail_handle(ERROR_INVALID_HANDLE);
    return reinterpret_cast<HANDLE>(std_handles[i]);
}

/// Win32: replaces a standard handle of the process. POSIX: changes the table entry only; the
/// descriptors 0, 1 and 2 stay as they are.
BOOL WINAPI SetStdHandle(DWORD nStdHandle, HANDLE hHandle) {
    if (faulted("SetStdHandle", -1)) return FALSE;
    int i = std_index(nStdHandle);
    if (i < 0) return fail(ERROR_INVALID_HANDLE);
    std_handles[i] = reinterpret_cast<uintptr_t>(hHandle);
    return TRUE;
}
