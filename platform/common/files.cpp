// Files with share modes and delete-on-close, never through a symbolic link.
//
// Share modes are kept between the opens of this process in a table keyed by
// device and inode. Delete-on-close unlinks the file when the last handle of
// this process to it closes; the name is removed relative to the folder it was
// opened in, and only while it still names the same file.
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "common/kernel_object.h"
#include "platform/file.h"
#include "platform/machine.h"

namespace platform {
namespace {

constexpr DWORD GENERIC_ALL = 0x10000000;

struct Access {
  bool read = false;
  bool write = false;
  bool remove = false;  // delete-on-close needs the delete share of every other open
};

bool Conflicts(const Access& have, DWORD haveShare, const Access& want, DWORD wantShare) {
  return (want.read && !(haveShare & FILE_SHARE_READ)) || (want.write && !(haveShare & FILE_SHARE_WRITE)) ||
         (want.remove && !(haveShare & FILE_SHARE_DELETE)) || (have.read && !(wantShare & FILE_SHARE_READ)) ||
         (have.write && !(wantShare & FILE_SHARE_WRITE)) || (have.remove && !(wantShare & FILE_SHARE_DELETE));
}

using FileKey = std::pair<dev_t, ino_t>;

class ShareTable {
 public:
  struct Open {
    Access access;
    DWORD share;
  };

  // Registers an open unless it conflicts with one already there.
  bool Add(const FileKey& key, const Open& open, std::uint64_t* id) {
    std::lock_guard lock(mutex_);  // leaf lock, see kernel_object.h
    auto it = files_.find(key);
    if (it != files_.end()) {
      for (const auto& [other, have] : it->second.opens) {
        if (Conflicts(have.access, have.share, open.access, open.share)) return false;
      }
    }
    *id = ++lastId_;
    files_[key].opens.emplace(*id, open);
    return true;
  }

  void MarkDeleteOnClose(const FileKey& key, std::shared_ptr<kernel::Fd> folder, std::string name) {
    std::lock_guard lock(mutex_);
    File& file = files_[key];
    file.folder = std::move(folder);
    file.name = std::move(name);
  }

  // Drops one open; the last one of a file marked delete-on-close removes it.
  void Remove(const FileKey& key, std::uint64_t id) {
    std::lock_guard lock(mutex_);
    auto it = files_.find(key);
    if (it == files_.end()) return;
    it->second.opens.erase(id);
    if (!it->second.opens.empty()) return;
    File file = std::move(it->second);
    files_.erase(it);
    if (!file.folder) return;
    struct stat now {};
    if (::fstatat(file.folder->get(), file.name.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0 && now.st_dev == key.first &&
        now.st_ino == key.second) {
      ::unlinkat(file.folder->get(), file.name.c_str(), 0);
    }
  }

  // False when an open of the file does not share delete.
  bool MayDelete(const FileKey& key) {
    std::lock_guard lock(mutex_);
    auto it = files_.find(key);
    if (it == files_.end()) return true;
    for (const auto& [id, open] : it->second.opens) {
      if (!(open.share & FILE_SHARE_DELETE)) return false;
    }
    return true;
  }

 private:
  struct File {
    std::map<std::uint64_t, Open> opens;
    std::shared_ptr<kernel::Fd> folder;  // set when delete-on-close was asked for
    std::string name;
  };
  std::mutex mutex_;
  std::map<FileKey, File> files_;
  std::uint64_t lastId_ = 0;
};

ShareTable& Shares() {
  static ShareTable* table = new ShareTable;
  return *table;
}

class FileObject final : public kernel::KernelObject {
 public:
  FileObject(int fd, Access access, FileKey key, std::uint64_t id) : fd_(fd), access_(access), key_(key), id_(id) {}
  ~FileObject() override {
    ::close(fd_);
    Shares().Remove(key_, id_);
  }

  DWORD Read(void* buffer, DWORD size, DWORD* done) override {
    if (!access_.read) return ERROR_ACCESS_DENIED;
    ssize_t n;
    do {
      n = ::read(fd_, buffer, size);
    } while (n < 0 && errno == EINTR);
    if (n < 0) return LastErrorForErrno(errno);
    *done = static_cast<DWORD>(n);
    return ERROR_SUCCESS;
  }

  DWORD Write(const void* buffer, DWORD size, DWORD* done) override {
    if (!access_.write) return ERROR_ACCESS_DENIED;
    const char* bytes = static_cast<const char*>(buffer);
    while (*done < size) {
      ssize_t n = ::write(fd_, bytes + *done, size - *done);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return LastErrorForErrno(errno);
      if (n == 0) return LastErrorForErrno(ENOSPC);
      *done += static_cast<DWORD>(n);
    }
    return ERROR_SUCCESS;
  }

  DWORD IoControl(DWORD, const void*, DWORD, void*, DWORD, DWORD*) override { return ERROR_INVALID_FUNCTION; }
  DWORD Cancel() override { return ERROR_SUCCESS; }  // all file I/O is synchronous

  DWORD Links(DWORD* links) const {
    struct stat st {};
    if (::fstat(fd_, &st) != 0) return LastErrorForErrno(errno);
    *links = static_cast<DWORD>(st.st_nlink);
    return ERROR_SUCCESS;
  }

  DWORD Size(std::uint64_t* size) const {
    struct stat st {};
    if (::fstat(fd_, &st) != 0) return LastErrorForErrno(errno);
    *size = static_cast<std::uint64_t>(st.st_size);
    return ERROR_SUCCESS;
  }

 private:
  int fd_;
  Access access_;
  FileKey key_;
  std::uint64_t id_;
};

bool IsDevicePath(const char* path) { return path[0] == '\\' && path[1] == '\\' && path[2] == '.' && path[3] == '\\'; }

// Splits "a/b/c" into "a/b" and "c"; a bare name lives in ".".
struct SplitName {
  std::string folder;
  std::string name;
};
SplitName SplitPath(const std::string& path) {
  std::string::size_type slash = path.rfind('/');
  if (slash == std::string::npos) return SplitName{std::string(1, '.'), path};
  return SplitName{slash == 0 ? std::string(1, '/') : path.substr(0, slash), path.substr(slash + 1)};
}

// The error for a failed open of the last component (folder already found).
DWORD OpenError(int linuxErrno) {
  switch (linuxErrno) {
    case ELOOP:
      return ERROR_CANT_RESOLVE_FILENAME;
    case EISDIR:
    case ENXIO:  // a socket
    case ENODEV:
      return ERROR_ACCESS_DENIED;
    default:
      return LastErrorForErrno(linuxErrno);
  }
}

HANDLE FailFile(DWORD code) {
  kernel::Fail(code);
  return INVALID_HANDLE_VALUE;
}

HANDLE FailFile(DWORD code, int fd) {
  ::close(fd);
  return FailFile(code);
}

}  // namespace

HANDLE CreateFile(const char* path, DWORD desiredAccess, DWORD shareMode, DWORD creationDisposition,
                  DWORD flagsAndAttributes) {
  if (path == nullptr) return FailFile(ERROR_INVALID_PARAMETER);
  if (IsDevicePath(path)) {
    HANDLE device = kernel::OpenDevice(path + 4);
    return device == nullptr ? INVALID_HANDLE_VALUE : device;
  }
  if (*path == '\0') return FailFile(ERROR_PATH_NOT_FOUND);
  if (creationDisposition < CREATE_NEW || creationDisposition > TRUNCATE_EXISTING) {
    return FailFile(ERROR_INVALID_PARAMETER);
  }
  Access access;
  access.read = (desiredAccess & (GENERIC_READ | GENERIC_ALL)) != 0;
  access.write = (desiredAccess & (GENERIC_WRITE | GENERIC_ALL)) != 0;
  access.remove = (flagsAndAttributes & FILE_FLAG_DELETE_ON_CLOSE) != 0;
  const bool truncates = creationDisposition == CREATE_ALWAYS || creationDisposition == TRUNCATE_EXISTING;
  if (creationDisposition == TRUNCATE_EXISTING && !access.write) return FailFile(ERROR_INVALID_PARAMETER);

  const SplitName split = SplitPath(path);
  const std::string& folderPath = split.folder;
  const std::string& name = split.name;
  if (name.empty() || name == "." || name == "..") return FailFile(ERROR_ACCESS_DENIED);
  int folderFd = ::open(folderPath.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (folderFd < 0) {
    return FailFile(errno == ENOENT || errno == ENOTDIR ? ERROR_PATH_NOT_FOUND : LastErrorForErrno(errno));
  }
  auto folder = std::make_shared<kernel::Fd>(folderFd);

  // Truncation waits until the share check has passed, so it needs write
  // access of its own; O_NONBLOCK keeps a FIFO in the file's place from
  // blocking the open (it is refused below as not a regular file).
  int mode = access.read ? ((access.write || truncates) ? O_RDWR : O_RDONLY)
                         : ((access.write || truncates) ? O_WRONLY : O_RDONLY);
  int flags = mode | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK;
  int fd = -1;
  bool existed = false;
  switch (creationDisposition) {
    case CREATE_NEW:
      fd = ::openat(folder->get(), name.c_str(), flags | O_CREAT | O_EXCL, 0666);
      break;
    case OPEN_EXISTING:
    case TRUNCATE_EXISTING:
      fd = ::openat(folder->get(), name.c_str(), flags);
      existed = true;
      break;
    default:  // CREATE_ALWAYS, OPEN_ALWAYS: open what is there, else create it new
      for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        fd = ::openat(folder->get(), name.c_str(), flags);
        existed = fd >= 0;
        if (fd < 0 && errno == ENOENT) fd = ::openat(folder->get(), name.c_str(), flags | O_CREAT | O_EXCL, 0666);
        if (fd < 0 && errno != EEXIST) break;  // EEXIST: someone created it meanwhile; open that
      }
      break;
  }
  if (fd < 0) {
    int openErrno = errno;
    struct stat link {};
    if (openErrno == EEXIST && ::fstatat(folder->get(), name.c_str(), &link, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISLNK(link.st_mode)) {
      return FailFile(ERROR_CANT_RESOLVE_FILENAME);
    }
    return FailFile(OpenError(openErrno));
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0) return FailFile(LastErrorForErrno(errno), fd);
  if (!S_ISREG(st.st_mode)) return FailFile(ERROR_ACCESS_DENIED, fd);
  // A file with another name besides this one (a hard link planted at a
  // predictable name) is someone else's file too: emptying it would empty
  // theirs, so a truncating create refuses it before anything is changed.
  if (truncates && existed && st.st_nlink > 1) return FailFile(ERROR_ACCESS_DENIED, fd);
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);

  const FileKey key{st.st_dev, st.st_ino};
  Access needs = access;
  needs.write = access.write || (truncates && existed);
  std::uint64_t id = 0;
  if (!Shares().Add(key, ShareTable::Open{needs, shareMode}, &id)) return FailFile(ERROR_SHARING_VIOLATION, fd);
  // From here the object owns fd and the table entry.
  auto file = std::make_shared<FileObject>(fd, access, key, id);
  if (truncates && existed && ::ftruncate(fd, 0) != 0) {
    DWORD code = LastErrorForErrno(errno);
    file.reset();
    return FailFile(code);
  }
  if (access.remove) Shares().MarkDeleteOnClose(key, folder, name);
  HANDLE handle = kernel::AddHandle(std::move(file));
  if (handle == nullptr) return INVALID_HANDLE_VALUE;
  // CREATE_ALWAYS and OPEN_ALWAYS succeed over an existing file too; the last
  // error (ERROR_ALREADY_EXISTS) tells the caller it found one.
  const bool always = creationDisposition == CREATE_ALWAYS || creationDisposition == OPEN_ALWAYS;
  SetLastError(always && existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
  return handle;
}

BOOL ReadFile(HANDLE handle, void* buffer, DWORD bytesToRead, DWORD* bytesRead) {
  DWORD done = 0;
  if (bytesRead != nullptr) *bytesRead = 0;
  auto object = kernel::FindHandle(handle);
  if (!object) return kernel::Fail(ERROR_INVALID_HANDLE);
  if (buffer == nullptr && bytesToRead != 0) return kernel::Fail(ERROR_INVALID_PARAMETER);
  DWORD code = object->Read(buffer, bytesToRead, &done);
  if (bytesRead != nullptr) *bytesRead = done;
  return code == ERROR_SUCCESS ? 1 : kernel::Fail(code);
}

namespace {

BOOL WriteObject(kernel::KernelObject* object, const void* buffer, DWORD bytesToWrite, DWORD* bytesWritten) {
  DWORD done = 0;
  if (bytesWritten != nullptr) *bytesWritten = 0;
  if (object == nullptr) return kernel::Fail(ERROR_INVALID_HANDLE);
  if (buffer == nullptr && bytesToWrite != 0) return kernel::Fail(ERROR_INVALID_PARAMETER);
  DWORD code = object->Write(buffer, bytesToWrite, &done);
  if (bytesWritten != nullptr) *bytesWritten = done;
  return code == ERROR_SUCCESS ? 1 : kernel::Fail(code);
}

}  // namespace

BOOL WriteFile(HANDLE handle, const void* buffer, DWORD bytesToWrite, DWORD* bytesWritten) {
  auto object = kernel::FindHandle(handle);
  return WriteObject(object.get(), buffer, bytesToWrite, bytesWritten);
}

[[gnu::hot]] DWORD SendFrameOn(int fd, const void* frame, std::size_t size) {
  for (;;) {
    if (::send(fd, frame, size, 0) >= 0) return ERROR_SUCCESS;
    if (errno != EINTR) return LastErrorForErrno(errno);
  }
}

// A pinned write is an adapter's frame path: hot, so that its functions share
// a few pages of code with the device's.
[[gnu::hot]] BOOL PinnedFile::Write(const void* buffer, DWORD bytesToWrite, DWORD* bytesWritten) const {
  if (device_ == nullptr || buffer == nullptr) return WriteObject(object_.get(), buffer, bytesToWrite, bytesWritten);
  if (frames_.fd >= 0) {
    if (bytesWritten != nullptr) *bytesWritten = 0;
    if (bytesToWrite < frames_.least || bytesToWrite > frames_.most) return kernel::Fail(ERROR_INVALID_PARAMETER);
    const DWORD code = SendFrameOn(frames_.fd, buffer, bytesToWrite);
    if (code != ERROR_SUCCESS) return kernel::Fail(code);
    if (bytesWritten != nullptr) *bytesWritten = bytesToWrite;
    return 1;
  }
  DWORD done = 0;
  DWORD code = device_->Write(buffer, bytesToWrite, &done);
  if (bytesWritten != nullptr) *bytesWritten = done;
  return code == ERROR_SUCCESS ? 1 : kernel::Fail(code);
}

DWORD PinnedFile::ReadReady(void* buffer, DWORD bytesToRead, DWORD* bytesRead) const {
  DWORD done = 0;
  if (bytesRead != nullptr) *bytesRead = 0;
  if (device_ == nullptr) return ERROR_NOT_SUPPORTED;
  if (buffer == nullptr && bytesToRead != 0) {
    kernel::Fail(ERROR_INVALID_PARAMETER);
    return ERROR_INVALID_PARAMETER;
  }
  const DWORD code = device_->ReadReady(buffer, bytesToRead, &done);
  if (bytesRead != nullptr) *bytesRead = done;
  if (code != ERROR_SUCCESS && code != WAIT_TIMEOUT && code != ERROR_NOT_SUPPORTED) kernel::Fail(code);
  return code;
}

PinnedFile PinFile(HANDLE handle) {
  PinnedFile pin;
  pin.object_ = kernel::FindHandle(handle);
  if (!pin.object_) {
    kernel::Fail(ERROR_INVALID_HANDLE);
  } else {
    pin.device_ = pin.object_->AsDevice();
    if (pin.device_ != nullptr) pin.frames_ = pin.device_->DirectFrames();
  }
  return pin;
}

BOOL GetFileLinkCount(HANDLE handle, DWORD* links) {
  auto file = kernel::FindHandleAs<FileObject>(handle);
  if (!file) return kernel::Fail(ERROR_INVALID_HANDLE);
  if (links == nullptr) return kernel::Fail(ERROR_INVALID_PARAMETER);
  DWORD code = file->Links(links);
  return code == ERROR_SUCCESS ? 1 : kernel::Fail(code);
}

BOOL GetFileSizeEx(HANDLE handle, std::uint64_t* size) {
  auto file = kernel::FindHandleAs<FileObject>(handle);
  if (!file) return kernel::Fail(ERROR_INVALID_HANDLE);
  if (size == nullptr) return kernel::Fail(ERROR_INVALID_PARAMETER);
  DWORD code = file->Size(size);
  return code == ERROR_SUCCESS ? 1 : kernel::Fail(code);
}

BOOL DeleteFile(const char* path) {
  if (path == nullptr) return kernel::Fail(ERROR_INVALID_PARAMETER);
  if (*path == '\0') return kernel::Fail(ERROR_PATH_NOT_FOUND);
  struct stat st {};
  if (::lstat(path, &st) != 0) return kernel::Fail(OpenError(errno));
  if (S_ISDIR(st.st_mode)) return kernel::Fail(ERROR_ACCESS_DENIED);
  if (!Shares().MayDelete(FileKey{st.st_dev, st.st_ino})) return kernel::Fail(ERROR_SHARING_VIOLATION);
  if (::unlink(path) != 0) return kernel::Fail(OpenError(errno));
  return 1;
}

std::string CreatePrivateTempFolder(const char* prefix) {
  if (prefix == nullptr || std::strchr(prefix, '/') != nullptr) {
    kernel::Fail(ERROR_INVALID_PARAMETER);
    return {};
  }
  const char* base = std::getenv("TMPDIR");
  std::string path = std::string(base != nullptr && *base == '/' ? base : "/tmp") + "/" + prefix + "XXXXXX";
  // mkdtemp makes the folder with mode 0700 under a name nobody had.
  if (::mkdtemp(path.data()) == nullptr) {
    kernel::Fail(OpenError(errno));
    return {};
  }
  return path;
}

// A failed replacement: the last error that goes with the cause, and errno
// the cause itself, which says more ("Is a directory", "File too large").
namespace {
BOOL FailReplacing(int linuxErrno) {
  kernel::Fail(OpenError(linuxErrno));
  errno = linuxErrno;
  return 0;
}

// Writes all of `text` to `fd`; false with errno set when it cannot.
bool WriteWhole(int fd, const std::string& text) {
  const char* at = text.data();
  std::size_t left = text.size();
  while (left > 0) {
    ssize_t wrote = ::write(fd, at, left);
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote == 0) errno = ENOSPC;
    if (wrote <= 0) return false;
    at += wrote;
    left -= static_cast<std::size_t>(wrote);
  }
  return true;
}

// A target that is no file of its own (a terminal, a pipe, /dev/null) is
// written as it is: a new file renamed over it would replace the device
// itself. A pipe that nobody reads fails at once instead of waiting.
BOOL WriteInPlace(const std::string& target, const std::string& text) {
  int fd = ::open(target.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return FailReplacing(errno);
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  bool good = WriteWhole(fd, text);
  int saved = errno;
  if (::close(fd) != 0 && good) {
    saved = errno;
    good = false;
  }
  return good ? 1 : FailReplacing(saved);
}
}  // namespace

BOOL ReplaceFileContents(const char* path, const std::string& text) {
  if (path == nullptr || *path == '\0') return kernel::Fail(ERROR_INVALID_PARAMETER);
  std::string target = path;
  struct stat st {};
  bool exists = ::lstat(path, &st) == 0;
  if (exists && S_ISLNK(st.st_mode)) {
    char* resolved = ::realpath(path, nullptr);
    if (resolved != nullptr) {
      target = resolved;
      std::free(resolved);
    }
    exists = ::stat(target.c_str(), &st) == 0;
  }
  if (exists && S_ISDIR(st.st_mode)) return FailReplacing(EISDIR);
  if (exists && !S_ISREG(st.st_mode)) return WriteInPlace(target, text);
  std::string::size_type slash = target.rfind('/');
  std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : target.substr(0, slash);

  // A name beside the target that nobody has (O_EXCL), with the mode a new
  // file of the user gets (0666 less the umask), or the replaced file's.
  std::string temporary;
  int fd = -1;
  for (unsigned attempt = 0; fd < 0 && attempt < 100; ++attempt) {
    static std::atomic<unsigned> counter{0};
    temporary = target + ".saving-" + std::to_string(::getpid()) + "-" + std::to_string(counter++);
    fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0666);
    if (fd < 0 && errno != EEXIST) break;
  }
  if (fd < 0) return FailReplacing(errno);
  bool good = (!exists || ::fchmod(fd, st.st_mode & 07777) == 0) && WriteWhole(fd, text);
  good = good && ::fsync(fd) == 0;
  int saved = errno;
  if (::close(fd) != 0 && good) {
    saved = errno;
    good = false;
  }
  if (good && ::rename(temporary.c_str(), target.c_str()) != 0) {
    saved = errno;
    good = false;
  }
  if (!good) {
    ::unlink(temporary.c_str());
    return FailReplacing(saved);
  }
  // The new name itself is durable once the folder is.
  int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    ::fsync(dir);
    ::close(dir);
  }
  return 1;
}

BOOL RemoveDirectory(const char* path) {
  if (path == nullptr || *path == '\0') return kernel::Fail(ERROR_INVALID_PARAMETER);
  if (::rmdir(path) != 0) return kernel::Fail(OpenError(errno));
  return 1;
}

}  // namespace platform
