// Files and devices. CreateFile opens a file (never through a symbolic link) or,
// for a name of the form \\.\NAME, the device that the DOS device name NAME
// stands for on this machine (see devices in machine.h).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/winerror.h"
#include "platform/wintypes.h"

namespace platform {

class Device;
namespace kernel {
class KernelObject;
}

// The socket of a device whose Write sends each frame whole on it, checking
// nothing but the frame's length (`least` to `most` bytes): a pinned file
// sends on it without reaching the device, whose object and code would be so
// many more pages to look up after every system call.
struct FrameSocket {
  int fd = -1;  // -1: the device's Write does more than that
  DWORD least = 0;
  DWORD most = 0;
};

constexpr DWORD GENERIC_READ = 0x80000000;
constexpr DWORD GENERIC_WRITE = 0x40000000;

constexpr DWORD FILE_SHARE_READ = 0x1;
constexpr DWORD FILE_SHARE_WRITE = 0x2;
constexpr DWORD FILE_SHARE_DELETE = 0x4;

constexpr DWORD CREATE_NEW = 1;
constexpr DWORD CREATE_ALWAYS = 2;
constexpr DWORD OPEN_EXISTING = 3;
constexpr DWORD OPEN_ALWAYS = 4;
constexpr DWORD TRUNCATE_EXISTING = 5;

constexpr DWORD FILE_ATTRIBUTE_NORMAL = 0x80;
constexpr DWORD FILE_ATTRIBUTE_TEMPORARY = 0x100;
constexpr DWORD FILE_FLAG_DELETE_ON_CLOSE = 0x04000000;

// Returns INVALID_HANDLE_VALUE on failure, with the last error and errno set:
// ERROR_FILE_NOT_FOUND, ERROR_ACCESS_DENIED, ERROR_SHARING_VIOLATION (another
// open of the same file in this process does not share what this one needs),
// ERROR_CANT_RESOLVE_FILENAME (the name is a symbolic link), ERROR_ACCESS_DENIED
// also for anything that is not a regular file. CREATE_ALWAYS never replaces a
// symbolic link: it fails instead. CREATE_ALWAYS and TRUNCATE_EXISTING refuse
// (ERROR_ACCESS_DENIED) an existing file that has other names (hard links),
// leaving it as it is. Delete-on-close unlinks the file when its last handle
// in this process closes.
HANDLE CreateFile(const char* path, DWORD desiredAccess, DWORD shareMode, DWORD creationDisposition,
                  DWORD flagsAndAttributes);

// Synchronous read and write at the handle's current position (files) or one
// frame / one capture buffer (devices).
BOOL ReadFile(HANDLE handle, void* buffer, DWORD bytesToRead, DWORD* bytesRead);
BOOL WriteFile(HANDLE handle, const void* buffer, DWORD bytesToWrite, DWORD* bytesWritten);

// An open handle's object held for writes that skip the handle table: an
// adapter sends a frame per call, many thousand a second, and a look-up with
// its reference count costs a good part of a small frame's time. The pin
// keeps the object alive on its own, so its holder lets it go before closing
// the handle (the object closes with the last of the two). Writes through a
// pin behave as WriteFile on the handle.
class PinnedFile {
 public:
  PinnedFile() = default;
  explicit operator bool() const { return object_ != nullptr; }
  BOOL Write(const void* buffer, DWORD bytesToWrite, DWORD* bytesWritten) const;
  // A device's read of only what its read event would show ready, without
  // waiting and without looking at the event: ERROR_SUCCESS, WAIT_TIMEOUT
  // when nothing is ready, ERROR_NOT_SUPPORTED when the device cannot tell
  // (then wait on the event and ReadFile), else the failure, which is also
  // the last error.
  DWORD ReadReady(void* buffer, DWORD bytesToRead, DWORD* bytesRead) const;
  void Reset() {
    object_.reset();
    device_ = nullptr;
    frames_ = {};
  }

 private:
  friend PinnedFile PinFile(HANDLE handle);
  std::shared_ptr<kernel::KernelObject> object_;
  Device* device_ = nullptr;  // object_'s device, for a device handle
  FrameSocket frames_;        // its socket, when writes go straight to one
};

// The pin of an open handle; an empty pin, with ERROR_INVALID_HANDLE, for a
// handle that is not open.
PinnedFile PinFile(HANDLE handle);

// A driver control request on a device handle; synchronous.
BOOL DeviceIoControl(HANDLE device, DWORD controlCode, const void* inBuffer, DWORD inSize, void* outBuffer,
                     DWORD outSize, DWORD* bytesReturned);

// Ends pending I/O on a device handle (there is none: all I/O is synchronous).
BOOL CancelIo(HANDLE handle);

// The number of names (hard links) the open file has in the file system: 0
// once its last name was removed. Fails with ERROR_INVALID_HANDLE for a handle
// that is not an open file.
BOOL GetFileLinkCount(HANDLE file, DWORD* links);

// The size in bytes of an open file. Fails with ERROR_INVALID_HANDLE for a
// handle that is not an open file.
BOOL GetFileSizeEx(HANDLE file, std::uint64_t* size);

BOOL DeleteFile(const char* path);

// Writes `text` as the whole file `path`, all or nothing: the text goes into a
// new file in the same folder, reaches the disk, and only then takes the name,
// so a failed write (a full disk, a folder that refuses new files) leaves the
// file that was there as it was, and readers see the old text or the new one,
// never a part. A symbolic link at `path` is followed: its target is replaced.
// A replaced file keeps its permissions; a new one gets those of a file the
// user creates. A path that names no file of its own (a terminal, a pipe,
// /dev/null) is written as it is. Returns false with the last error (and
// errno) set.
BOOL ReplaceFileContents(const char* path, const std::string& text);

// A new, empty folder that only the calling user may enter, in the system's
// folder for temporary files ($TMPDIR, else /tmp); its name starts with
// `prefix`. Returns its path, or an empty text with the last error set.
std::string CreatePrivateTempFolder(const char* prefix);
// Removes an empty folder.
BOOL RemoveDirectory(const char* path);

// DOS device names of the machine. QueryDosDevice with a null name lists every
// defined name; with a name, the targets it stands for. Both return false with
// the last error set on failure.
constexpr DWORD DDD_RAW_TARGET_PATH = 0x1;
BOOL DefineDosDevice(DWORD flags, const char* deviceName, const char* targetPath);
bool QueryDosDevice(const char* deviceName, std::vector<std::string>* result);

}  // namespace platform
