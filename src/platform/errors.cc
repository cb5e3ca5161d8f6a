// Win32 error codes on POSIX: the errno-to-code table, and the English message texts that
// FormatMessageW gives for every code this layer (and its callers) can leave as the last error.
#include <cerrno>
#include <cstdlib>
#include <cwchar>

#include "platform/errno_map.h"

namespace {

struct errno_code {
    int err;
    DWORD code;
};

// What Windows reports for the situation in which POSIX gives each errno. ENOENT is the missing
// last component; a missing directory on the way is ENOTDIR here, and the file calls turn an
// ENOENT whose parent directory is missing into ERROR_PATH_NOT_FOUND themselves.
constexpr errno_code errno_codes[] = {
    {0, ERROR_SUCCESS},
    {EPERM, ERROR_ACCESS_DENIED},
    {ENOENT, ERROR_FILE_NOT_FOUND},
    {EIO, ERROR_IO_DEVICE},
    {ENXIO, ERROR_DEVICE_NOT_CONNECTED},
    {E2BIG, ERROR_INVALID_PARAMETER},
    {EBADF, ERROR_INVALID_HANDLE},
    {EAGAIN, ERROR_NO_SYSTEM_RESOURCES},
    {ENOMEM, ERROR_NOT_ENOUGH_MEMORY},
    {EACCES, ERROR_ACCESS_DENIED},
    {EFAULT, ERROR_NOACCESS},
    {EBUSY, ERROR_BUSY},
    {EEXIST, ERROR_FILE_EXISTS},
    {EXDEV, ERROR_NOT_SAME_DEVICE},
    {ENODEV, ERROR_DEVICE_NOT_CONNECTED},
    {ENOTDIR, ERROR_PATH_NOT_FOUND},
    {EISDIR, ERROR_ACCESS_DENIED},
    {EINVAL, ERROR_INVALID_PARAMETER},
    {ENFILE, ERROR_TOO_MANY_OPEN_FILES},
    {EMFILE, ERROR_TOO_MANY_OPEN_FILES},
    {ENOTTY, ERROR_INVALID_FUNCTION},
    {ETXTBSY, ERROR_SHARING_VIOLATION},
    {EFBIG, ERROR_FILE_TOO_LARGE},
    {ENOSPC, ERROR_DISK_FULL},
    {ESPIPE, ERROR_INVALID_PARAMETER},
    {EROFS, ERROR_WRITE_PROTECT},
    {EMLINK, ERROR_TOO_MANY_LINKS},
    {EPIPE, ERROR_NO_DATA},
    {ERANGE, ERROR_INSUFFICIENT_BUFFER},
    {ENAMETOOLONG, ERROR_FILENAME_EXCED_RANGE},
    {ENOSYS, ERROR_CALL_NOT_IMPLEMENTED},
    {ENOTEMPTY, ERROR_DIR_NOT_EMPTY},
    {ELOOP, ERROR_CANT_RESOLVE_FILENAME},
    {EOVERFLOW, ERROR_INVALID_PARAMETER},
    {ENOTSUP, ERROR_NOT_SUPPORTED},
    {EDQUOT, ERROR_DISK_FULL},
    {ENOMEDIUM, ERROR_NOT_READY},
};

struct code_text {
    DWORD code;
    const wchar_t* text;
};

// The standard English texts. Windows ends each with CR LF; on Linux a line ends with LF only.
constexpr code_text code_texts[] = {
    {0, L"The operation completed successfully.\n"},
    {1, L"Incorrect function.\n"},
    {2, L"The system cannot find the file specified.\n"},
    {3, L"The system cannot find the path specified.\n"},
    {4, L"The system cannot open the file.\n"},
    {5, L"Access is denied.\n"},
    {6, L"The handle is invalid.\n"},
    {8, L"Not enough memory resources are available to process this command.\n"},
    {14, L"Not enough memory resources are available to complete this operation.\n"},
    {17, L"The system cannot move the file to a different disk drive.\n"},
    {18, L"There are no more files.\n"},
    {19, L"The media is write protected.\n"},
    {21, L"The device is not ready.\n"},
    {25, L"The drive cannot locate a specific area or track on the disk.\n"},
    {29, L"The system cannot write to the specified device.\n"},
    {30, L"The system cannot read from the specified device.\n"},
    {32, L"The process cannot access the file because it is being used by another process.\n"},
    {33, L"The process cannot access the file because another process has locked a portion of "
         L"the file.\n"},
    {38, L"Reached the end of the file.\n"},
    {50, L"The request is not supported.\n"},
    {80, L"The file exists.\n"},
    {87, L"The parameter is incorrect.\n"},
    {109, L"The pipe has been ended.\n"},
    {112, L"There is not enough space on the disk.\n"},
    {120, L"This function is not supported on this system.\n"},
    {122, L"The data area passed to a system call is too small.\n"},
    {123, L"The filename, directory name, or volume label syntax is incorrect.\n"},
    {126, L"The specified module could not be found.\n"},
    {127, L"The specified procedure could not be found.\n"},
    {131, L"An attempt was made to move the file pointer before the beginning of the file.\n"},
    {145, L"The directory is not empty.\n"},
    {170, L"The requested resource is in use.\n"},
    {183, L"Cannot create a file when that file already exists.\n"},
    {206, L"The filename or extension is too long.\n"},
    {223, L"The file size exceeds the limit allowed and cannot be saved.\n"},
    {232, L"The pipe is being closed.\n"},
    {267, L"The directory name is invalid.\n"},
    {317, L"The system cannot find message text for message number 0x%1 in the message file for "
          L"%2.\n"},
    {487, L"Attempt to access invalid address.\n"},
    {998, L"Invalid access to memory location.\n"},
    {1117, L"The request could not be performed because of an I/O device error.\n"},
    {1142, L"An attempt was made to create more links on a file than the file system supports.\n"},
    {1167, L"The device is not connected.\n"},
    {1300, L"Not all privileges or groups referenced are assigned to the caller.\n"},
    {1313, L"A specified privilege does not exist.\n"},
    {1314, L"A required privilege is not held by the client.\n"},
    {1450, L"Insufficient system resources exist to complete the requested service.\n"},
    {1453, L"Insufficient quota to complete the requested service.\n"},
    {1455, L"The paging file is too small for this operation to complete.\n"},
    {1921, L"The name of the file cannot be resolved by the system.\n"},
};

const wchar_t* text_of(DWORD code) {
    for (const code_text& entry : code_texts) {
        if (entry.code == code) return entry.text;
    }
    return nullptr;
}

}  // namespace

/// Win32 code for a POSIX errno, from the one table above; ERROR_INVALID_FUNCTION otherwise.
DWORD platform_error_from_errno(int err) {
    for (const errno_code& entry : errno_codes) {
        if (entry.err == err) return entry.code;
    }
    return ERROR_INVALID_FUNCTION;
}

/// Sets the thread's last error to the Win32 code of `err` and returns that code.
DWORD platform_set_last_errno(int err) {
    DWORD code = platform_error_from_errno(err);
    SetLastError(code);
    return code;
}

/// Win32: the system's text for a message id. POSIX: looked up in the fixed English table;
/// with FORMAT_MESSAGE_ALLOCATE_BUFFER the text is malloc'ed (LocalFree frees it). Inserts are
/// never expanded. Returns the text's length, or 0 with the last error set.
DWORD WINAPI FormatMessageW(DWORD dwFlags, LPCVOID lpSource, DWORD dwMessageId,
                            DWORD dwLanguageId, LPWSTR lpBuffer, DWORD nSize, void* Arguments) {
    (void)lpSource;
    (void)dwLanguageId;
    (void)Arguments;
    const bool allocate = (dwFlags & FORMAT_MESSAGE_ALLOCATE_BUFFER) != 0;
    if (allocate && lpBuffer != nullptr) *reinterpret_cast<LPWSTR*>(lpBuffer) = nullptr;
    if ((dwFlags & FORMAT_MESSAGE_FROM_SYSTEM) == 0 || lpBuffer == nullptr) {
        // Only the system's own table exists here.
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const wchar_t* text = text_of(dwMessageId);
    if (text == nullptr) {
        SetLastError(ERROR_MR_MID_NOT_FOUND);
        return 0;
    }
    size_t length = std::wcslen(text);
    if (allocate) {
        size_t chars = length + 1 > nSize ? length + 1 : nSize;
        wchar_t* copy = static_cast<wchar_t*>(std::malloc(chars * sizeof(wchar_t)));
        if (copy == nullptr) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return 0;
        }
        std::wmemcpy(copy, text, length + 1);
        *reinterpret_cast<LPWSTR*>(lpBuffer) = copy;
    } else {
        if (length + 1 > nSize) {
            SetLastError(ERROR_INSUFFICIENT_BUFFER);
            return 0;
        }
        std::wmemcpy(lpBuffer, text, length + 1);
    }
    return static_cast<DWORD>(length);
}

/// Win32: frees local memory, returning null on success. POSIX: free() of FormatMessageW's text.
HLOCAL WINAPI LocalFree(HLOCAL hMem) {
    std::free(hMem);
    return nullptr;
}
