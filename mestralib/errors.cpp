// Error texts and the mapping from last-error codes to errno values.
#include "mestralib/errors.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

struct CodeText {
  DWORD code;
  const char* text;
};

// The message text of each last-error code, as the kit's logs and callers
// show it, without a trailing line break. Sorted by code for the binary search.
constexpr std::array kCodeTexts{
    CodeText{0, "The operation completed successfully."},
    CodeText{1, "Incorrect function."},
    CodeText{2, "The system cannot find the file specified."},
    CodeText{3, "The system cannot find the path specified."},
    CodeText{4, "The system cannot open the file."},
    CodeText{5, "Access is denied."},
    CodeText{6, "The handle is invalid."},
    CodeText{8, "Not enough memory resources are available to process this command."},
    CodeText{11, "An attempt was made to load a program with an incorrect format."},
    CodeText{12, "The access code is invalid."},
    CodeText{13, "The data is invalid."},
    CodeText{14, "Not enough memory resources are available to complete this operation."},
    CodeText{18, "There are no more files."},
    CodeText{20, "The system cannot find the device specified."},
    CodeText{21, "The device is not ready."},
    CodeText{24, "The program issued a command but the command length is incorrect."},
    CodeText{29, "The system cannot write to the specified device."},
    CodeText{30, "The system cannot read from the specified device."},
    CodeText{31, "A device attached to the system is not functioning."},
    CodeText{32, "The process cannot access the file because it is being used by another process."},
    CodeText{33, "The process cannot access the file because another process has locked a portion of the file."},
    CodeText{38, "Reached the end of the file."},
    CodeText{39, "The disk is full."},
    CodeText{50, "The request is not supported."},
    CodeText{53, "The network path was not found."},
    CodeText{55, "The specified network resource or device is no longer available."},
    CodeText{59, "An unexpected network error occurred."},
    CodeText{64, "The specified network name is no longer available."},
    CodeText{67, "The network name cannot be found."},
    CodeText{80, "The file exists."},
    CodeText{87, "The parameter is incorrect."},
    CodeText{109, "The pipe has been ended."},
    CodeText{111, "The file name is too long."},
    CodeText{112, "There is not enough space on the disk."},
    CodeText{119, "The system does not support the command requested."},
    CodeText{120, "This function is not supported on this system."},
    CodeText{121, "The semaphore timeout period has expired."},
    CodeText{122, "The data area passed to a system call is too small."},
    CodeText{123, "The filename, directory name, or volume label syntax is incorrect."},
    CodeText{124, "The system call level is not correct."},
    CodeText{126, "The specified module could not be found."},
    CodeText{127, "The specified procedure could not be found."},
    CodeText{145, "The directory is not empty."},
    CodeText{160, "One or more arguments are not correct."},
    CodeText{161, "The specified path is invalid."},
    CodeText{170, "The requested resource is in use."},
    CodeText{183, "Cannot create a file when that file already exists."},
    // A text that started with an insert ("%1 is not ...") would show a stray
    // "%1", since no caller fills it in, so the file is named generically.
    CodeText{193, "The file is not a valid Win32 application."},
    CodeText{203, "The system could not find the environment option that was entered."},
    CodeText{206, "The filename or extension is too long."},
    CodeText{231, "All pipe instances are busy."},
    CodeText{232, "The pipe is being closed."},
    CodeText{234, "More data is available."},
    CodeText{258, "The wait operation timed out."},
    CodeText{259, "No more data is available."},
    CodeText{267, "The directory name is invalid."},
    CodeText{487, "Attempt to access invalid address."},
    CodeText{534, "Arithmetic result exceeded 32 bits."},
    CodeText{740, "The requested operation requires elevation."},
    CodeText{995, "The I/O operation has been aborted because of either a thread exit or an application request."},
    CodeText{996, "Overlapped I/O event is not in a signaled state."},
    CodeText{997, "Overlapped I/O operation is in progress."},
    CodeText{998, "Invalid access to memory location."},
    CodeText{1004, "Invalid flags."},
    CodeText{1114, "A dynamic link library (DLL) initialization routine failed."},
    CodeText{1167, "The device is not connected."},
    CodeText{1168, "Element not found."},
    CodeText{1200, "The specified device name is invalid."},
    CodeText{1222, "The network is not present or not started."},
    CodeText{1223, "The operation was canceled by the user."},
    CodeText{1225, "The remote computer refused the network connection."},
    CodeText{1231, "The network location cannot be reached. For information about network troubleshooting, see Windows Help."},
    CodeText{1232, "The network location cannot be reached. For information about network troubleshooting, see Windows Help."},
    CodeText{1314, "A required privilege is not held by the client."},
    CodeText{1450, "Insufficient system resources exist to complete the requested service."},
    CodeText{1460, "This operation returned because the timeout period expired."},
    CodeText{1784, "The supplied user buffer is not valid for the requested operation."},
    CodeText{1812, "The specified image file did not contain a resource section."},
    CodeText{1813, "The specified resource type cannot be found in the image file."},
    CodeText{1921, "The name of the file cannot be resolved by the system."},
    CodeText{4390, "The file or directory is not a reparse point."},
    CodeText{10004, "A blocking operation was interrupted by a call to WSACancelBlockingCall."},
    CodeText{10013, "An attempt was made to access a socket in a way forbidden by its access permissions."},
    CodeText{10022, "An invalid argument was supplied."},
    CodeText{10024, "Too many open sockets."},
    CodeText{10035, "A non-blocking socket operation could not be completed immediately."},
    CodeText{10038, "An operation was attempted on something that is not a socket."},
    CodeText{10048, "Only one usage of each socket address (protocol/network address/port) is normally permitted."},
    CodeText{10049, "The requested address is not valid in its context."},
    CodeText{10050, "A socket operation encountered a dead network."},
    CodeText{10051, "A socket operation was attempted to an unreachable network."},
    CodeText{10054, "An existing connection was forcibly closed by the remote host."},
    CodeText{10055, "An operation on a socket could not be performed because the system lacked sufficient buffer space or because a queue was full."},
    CodeText{10060, "A connection attempt failed because the connected party did not properly respond after a period of time, or established connection failed because connected host has failed to respond."},
    CodeText{10061, "No connection could be made because the target machine actively refused it."},
    CodeText{10065, "A socket operation was attempted to an unreachable host."},
    CodeText{10093, "Either the application has not called WSAStartup, or WSAStartup failed."},
    CodeText{11001, "No such host is known."},
    CodeText{11002, "This is usually a temporary error during hostname resolution and means that the local server did not receive a response from an authoritative server."},
    CodeText{11003, "A non-recoverable error occurred during a database lookup."},
    CodeText{11004, "The requested name is valid, but no data of the requested type was found."},
};

static_assert(std::is_sorted(kCodeTexts.begin(), kCodeTexts.end(),
                             [](const CodeText& a, const CodeText& b) { return a.code < b.code; }));
static_assert(std::adjacent_find(kCodeTexts.begin(), kCodeTexts.end(), [](const CodeText& a, const CodeText& b) {
                return a.code == b.code;
              }) == kCodeTexts.end());

// strerror_r comes in two shapes (GNU: returns the text; XSI: fills buf).
[[maybe_unused]] const char* ErrnoText(char* result, const char*) { return result; }
[[maybe_unused]] const char* ErrnoText(int rc, const char* buffer) { return rc == 0 ? buffer : nullptr; }

// The network conditions keep the socket library's numbers (less 10000),
// as the kit's callers know them (see platform::ErrnoForLastError); those
// numbers mean something else here. Every other value is the same.
int LinuxErrno(int kitErrno) {
  switch (kitErrno) {
    case 51: return ENETUNREACH;
    case kErrnoTimedOut: return ETIMEDOUT;  // 60, the time-out of an empty receive
    case 62: return ELOOP;
    case 65: return EHOSTUNREACH;
    default: return kitErrno;
  }
}

}  // namespace

std::string FormatLastError(DWORD code) {
  auto it = std::lower_bound(kCodeTexts.begin(), kCodeTexts.end(), code,
                             [](const CodeText& entry, DWORD value) { return entry.code < value; });
  if (it != kCodeTexts.end() && it->code == code) return it->text;
  char text[64];
  std::snprintf(text, sizeof text, "Unknown error %u (0x%08X).", code, code);
  return text;
}

std::string StrError(int errnoValue) {
  // Callers write "errno=%d: %s" with errno and StrError(errno) in one call,
  // in an order the compiler chooses, so errno must come out unchanged.
  const int savedErrno = errno;
  char buffer[256] = "";
  const char* text = ErrnoText(strerror_r(LinuxErrno(errnoValue), buffer, sizeof buffer), buffer);
  if (text == nullptr || *text == '\0') {
    std::snprintf(buffer, sizeof buffer, "Unknown error %d", errnoValue);
    text = buffer;
  }
  std::string result = text;
  errno = savedErrno;
  return result;
}

int LastErrorToErrno(DWORD code) { return platform::ErrnoForLastError(code); }
