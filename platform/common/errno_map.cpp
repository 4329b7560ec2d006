// Translations between last-error codes and errno values.
//
// errno values are numbered as the kit's callers know them: the small ones
// (up to 34) are the same everywhere; network conditions take the socket
// library's numbers less 10000 (time-out 60, network unreachable 51, host
// unreachable 65, too many links 62), which is why they differ from Linux's.
#include <cerrno>

#include "platform/winerror.h"

namespace platform {
namespace {

constexpr int kErrnoIntr = 4;
constexpr int kErrnoNoExec = 8;
constexpr int kErrnoBadF = 9;
constexpr int kErrnoFault = 14;
constexpr int kErrnoExist = 17;
constexpr int kErrnoNoDev = 19;
constexpr int kErrnoMFile = 24;
constexpr int kErrnoNoSpc = 28;
constexpr int kErrnoPipe = 32;
constexpr int kErrnoNetUnreach = 51;
constexpr int kErrnoLoop = 62;
constexpr int kErrnoHostUnreach = 65;

struct CodeAndErrno {
  DWORD code;
  int errnoValue;
};

constexpr CodeAndErrno kErrnoOfCode[] = {
    {ERROR_SUCCESS, 0},
    {ERROR_INVALID_FUNCTION, kErrnoInval},
    {ERROR_FILE_NOT_FOUND, kErrnoNoEnt},
    {ERROR_PATH_NOT_FOUND, kErrnoNoEnt},
    {4 /* ERROR_TOO_MANY_OPEN_FILES */, kErrnoMFile},
    {ERROR_ACCESS_DENIED, kErrnoAccess},
    {ERROR_INVALID_HANDLE, kErrnoBadF},
    {ERROR_NOT_ENOUGH_MEMORY, kErrnoNoMem},
    {ERROR_BAD_FORMAT, kErrnoNoExec},
    {ERROR_INVALID_DATA, kErrnoIo},
    {ERROR_NOT_READY, kErrnoIo},
    {ERROR_BAD_LENGTH, kErrnoIo},
    {ERROR_WRITE_FAULT, kErrnoIo},
    {ERROR_READ_FAULT, kErrnoIo},
    {ERROR_GEN_FAILURE, kErrnoIo},
    {ERROR_SHARING_VIOLATION, kErrnoAccess},
    {ERROR_HANDLE_EOF, kErrnoIo},
    {ERROR_NOT_SUPPORTED, kErrnoInval},
    {ERROR_BAD_NETPATH, kErrnoNoEnt},
    {ERROR_DEV_NOT_EXIST, kErrnoNoDev},
    {ERROR_FILE_EXISTS, kErrnoExist},
    {ERROR_INVALID_PARAMETER, kErrnoInval},
    {ERROR_BROKEN_PIPE, kErrnoPipe},
    {ERROR_BUFFER_OVERFLOW, kErrnoAgain},
    {112 /* ERROR_DISK_FULL */, kErrnoNoSpc},
    {ERROR_BAD_DRIVER_LEVEL, kErrnoInval},
    {ERROR_CALL_NOT_IMPLEMENTED, kErrnoInval},
    {ERROR_INSUFFICIENT_BUFFER, kErrnoAgain},
    {ERROR_INVALID_NAME, kErrnoNoEnt},
    {ERROR_MOD_NOT_FOUND, kErrnoNoEnt},
    {ERROR_PROC_NOT_FOUND, kErrnoNoEnt},
    {ERROR_ALREADY_EXISTS, kErrnoExist},
    {ERROR_BAD_EXE_FORMAT, kErrnoNoExec},
    {ERROR_ENVVAR_NOT_FOUND, kErrnoNoEnt},
    {ERROR_NO_DATA, kErrnoPipe},
    {ERROR_MORE_DATA, kErrnoAgain},
    {WAIT_TIMEOUT, kErrnoTimedOut},
    {ERROR_NO_MORE_ITEMS, kErrnoNoEnt},
    {ERROR_OPERATION_ABORTED, kErrnoIntr},
    {ERROR_IO_PENDING, kErrnoAgain},
    {ERROR_NOACCESS, kErrnoFault},
    {ERROR_NOT_FOUND, kErrnoNoEnt},
    {ERROR_NETWORK_UNREACHABLE, kErrnoNetUnreach},
    {ERROR_HOST_UNREACHABLE, kErrnoHostUnreach},
    {ERROR_TIMEOUT, kErrnoTimedOut},
    {ERROR_RESOURCE_DATA_NOT_FOUND, kErrnoNoEnt},
    {ERROR_RESOURCE_TYPE_NOT_FOUND, kErrnoNoEnt},
    {ERROR_CANT_RESOLVE_FILENAME, kErrnoLoop},
    {ERROR_NOT_A_REPARSE_POINT, kErrnoInval},
    {WSAHOST_NOT_FOUND, kErrnoNoEnt},
    {WSATRY_AGAIN, kErrnoAgain},
    {WSANO_RECOVERY, kErrnoIo},
    {WSANO_DATA, kErrnoNoEnt},
};

struct ErrnoAndCode {
  int linuxErrno;
  DWORD code;
};

constexpr ErrnoAndCode kCodeOfErrno[] = {
    {0, ERROR_SUCCESS},
    {EPERM, ERROR_ACCESS_DENIED},
    {ENOENT, ERROR_FILE_NOT_FOUND},
    {ESRCH, ERROR_NOT_FOUND},
    {EINTR, ERROR_OPERATION_ABORTED},
    {EIO, ERROR_GEN_FAILURE},
    {ENXIO, ERROR_DEV_NOT_EXIST},
    {E2BIG, ERROR_INVALID_PARAMETER},
    {ENOEXEC, ERROR_BAD_EXE_FORMAT},
    {EBADF, ERROR_INVALID_HANDLE},
    {ECHILD, ERROR_NOT_FOUND},
    {EAGAIN, ERROR_NOT_READY},
    {ENOMEM, ERROR_NOT_ENOUGH_MEMORY},
    {EACCES, ERROR_ACCESS_DENIED},
    {EFAULT, ERROR_NOACCESS},
    {EBUSY, ERROR_SHARING_VIOLATION},
    {EEXIST, ERROR_FILE_EXISTS},
    {ENODEV, ERROR_DEV_NOT_EXIST},
    {ENOTDIR, ERROR_PATH_NOT_FOUND},
    {EISDIR, ERROR_ACCESS_DENIED},
    {EINVAL, ERROR_INVALID_PARAMETER},
    {ENFILE, 4 /* ERROR_TOO_MANY_OPEN_FILES */},
    {EMFILE, 4 /* ERROR_TOO_MANY_OPEN_FILES */},
    {ETXTBSY, ERROR_SHARING_VIOLATION},
    {EFBIG, 112 /* ERROR_DISK_FULL */},
    {ENOSPC, 112 /* ERROR_DISK_FULL */},
    {EROFS, ERROR_ACCESS_DENIED},
    {EPIPE, ERROR_BROKEN_PIPE},
    {ENAMETOOLONG, ERROR_INVALID_NAME},
    {ENOSYS, ERROR_CALL_NOT_IMPLEMENTED},
    {ELOOP, ERROR_CANT_RESOLVE_FILENAME},
    {ENODATA, ERROR_NO_MORE_ITEMS},
    {EMSGSIZE, ERROR_INSUFFICIENT_BUFFER},
    {EOPNOTSUPP, ERROR_NOT_SUPPORTED},
    {ENETDOWN, ERROR_NETWORK_UNREACHABLE},
    {ENETUNREACH, ERROR_NETWORK_UNREACHABLE},
    {ENOBUFS, ERROR_NOT_ENOUGH_MEMORY},
    {ETIMEDOUT, ERROR_TIMEOUT},
    {EHOSTDOWN, ERROR_HOST_UNREACHABLE},
    {EHOSTUNREACH, ERROR_HOST_UNREACHABLE},
    {ECANCELED, ERROR_OPERATION_ABORTED},
};

}  // namespace

int ErrnoForLastError(DWORD lastError) {
  for (const CodeAndErrno& entry : kErrnoOfCode) {
    if (entry.code == lastError) return entry.errnoValue;
  }
  return kErrnoInval;  // what the runtime library gives any code it does not know
}

DWORD LastErrorForErrno(int linuxErrno) {
  for (const ErrnoAndCode& entry : kCodeOfErrno) {
    if (entry.linuxErrno == linuxErrno) return entry.code;
  }
  return ERROR_GEN_FAILURE;
}

}  // namespace platform
