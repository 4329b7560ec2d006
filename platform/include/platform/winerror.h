// Error codes. Failures are reported as the system the kit was designed for
// numbers them: a last-error code (below) and an errno value. Both travel
// together; SetErrors sets both for the calling thread.
#pragma once

#include "platform/lasterror.h"
#include "platform/wintypes.h"

constexpr DWORD ERROR_SUCCESS = 0;
constexpr DWORD ERROR_INVALID_FUNCTION = 1;
constexpr DWORD ERROR_FILE_NOT_FOUND = 2;
constexpr DWORD ERROR_PATH_NOT_FOUND = 3;
constexpr DWORD ERROR_ACCESS_DENIED = 5;
constexpr DWORD ERROR_INVALID_HANDLE = 6;
constexpr DWORD ERROR_NOT_ENOUGH_MEMORY = 8;
constexpr DWORD ERROR_BAD_FORMAT = 11;
constexpr DWORD ERROR_INVALID_DATA = 13;
constexpr DWORD ERROR_NOT_READY = 21;
constexpr DWORD ERROR_BAD_LENGTH = 24;
constexpr DWORD ERROR_WRITE_FAULT = 29;
constexpr DWORD ERROR_READ_FAULT = 30;
constexpr DWORD ERROR_GEN_FAILURE = 31;
constexpr DWORD ERROR_SHARING_VIOLATION = 32;
constexpr DWORD ERROR_HANDLE_EOF = 38;
constexpr DWORD ERROR_NOT_SUPPORTED = 50;
constexpr DWORD ERROR_BAD_NETPATH = 53;
constexpr DWORD ERROR_DEV_NOT_EXIST = 55;
constexpr DWORD ERROR_FILE_EXISTS = 80;
constexpr DWORD ERROR_INVALID_PARAMETER = 87;
constexpr DWORD ERROR_BROKEN_PIPE = 109;
constexpr DWORD ERROR_BUFFER_OVERFLOW = 111;
constexpr DWORD ERROR_BAD_DRIVER_LEVEL = 119;
constexpr DWORD ERROR_CALL_NOT_IMPLEMENTED = 120;
constexpr DWORD ERROR_INSUFFICIENT_BUFFER = 122;
constexpr DWORD ERROR_INVALID_NAME = 123;
constexpr DWORD ERROR_MOD_NOT_FOUND = 126;
constexpr DWORD ERROR_PROC_NOT_FOUND = 127;
constexpr DWORD ERROR_ALREADY_EXISTS = 183;
constexpr DWORD ERROR_BAD_EXE_FORMAT = 193;
constexpr DWORD ERROR_ENVVAR_NOT_FOUND = 203;
constexpr DWORD ERROR_MORE_DATA = 234;
constexpr DWORD ERROR_NO_DATA = 232;
constexpr DWORD WAIT_TIMEOUT = 258;
constexpr DWORD ERROR_NO_MORE_ITEMS = 259;
constexpr DWORD ERROR_OPERATION_ABORTED = 995;
constexpr DWORD ERROR_IO_PENDING = 997;
constexpr DWORD ERROR_NOACCESS = 998;
constexpr DWORD ERROR_CANT_RESOLVE_FILENAME = 1921;
constexpr DWORD ERROR_NOT_FOUND = 1168;
constexpr DWORD ERROR_NETWORK_UNREACHABLE = 1231;
constexpr DWORD ERROR_HOST_UNREACHABLE = 1232;
constexpr DWORD ERROR_TIMEOUT = 1460;
constexpr DWORD ERROR_RESOURCE_DATA_NOT_FOUND = 1812;
constexpr DWORD ERROR_RESOURCE_TYPE_NOT_FOUND = 1813;
constexpr DWORD ERROR_NOT_A_REPARSE_POINT = 4390;
// Name resolution (sockets library codes).
constexpr DWORD WSAHOST_NOT_FOUND = 11001;
constexpr DWORD WSATRY_AGAIN = 11002;
constexpr DWORD WSANO_RECOVERY = 11003;
constexpr DWORD WSANO_DATA = 11004;

// errno values as the kit's callers know them. Most equal Linux's; the one that
// does not (the time-out of an empty receive) is given its own name here.
constexpr int kErrnoNoEnt = 2;
constexpr int kErrnoIo = 5;
constexpr int kErrnoAgain = 11;
constexpr int kErrnoNoMem = 12;
constexpr int kErrnoAccess = 13;
constexpr int kErrnoInval = 22;
constexpr int kErrnoTimedOut = 60;

namespace platform {

// Sets the thread's last error and errno together.
void SetErrors(DWORD lastError, int errnoValue);

// Captures both values at construction; Restore() puts them back. Used where a
// failure is reported (which may itself disturb them) before returning.
class SavedErrors {
 public:
  SavedErrors();
  void Restore() const;
  DWORD lastError() const { return lastError_; }
  int errnoValue() const { return errno_; }

 private:
  DWORD lastError_;
  int errno_;
};

// The errno that goes with a last-error code, for errors that arise inside
// the platform layer (the utility library's LastErrorToErrno uses this table).
int ErrnoForLastError(DWORD lastError);

// The last-error code for a Linux errno, used by the linux backends.
DWORD LastErrorForErrno(int linuxErrno);

}  // namespace platform
