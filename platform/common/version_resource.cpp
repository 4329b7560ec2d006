// Version resources of files and loaded modules: the file is opened here and
// handed to the record reader (version_record.cpp) as untrusted bytes.
#include "common/version_resource.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/lasterror.h"
#include "platform/winerror.h"

namespace platform {
namespace {

// An open file read with pread; its size is taken once when opened.
class FileSource final : public version_record::ByteSource {
 public:
  FileSource(int fd, std::uint64_t size) : fd_(fd), size_(size) {}
  std::uint64_t Size() const override { return size_; }
  bool ReadAt(std::uint64_t offset, void* buffer, std::size_t length) const override {
    if (!version_record::RangeInside(offset, length, size_)) return false;
    auto* to = static_cast<std::uint8_t*>(buffer);
    while (length > 0) {
      ssize_t got = ::pread(fd_, to, length, static_cast<off_t>(offset));
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) return false;  // the file shrank under us, or cannot be read
      to += got;
      offset += static_cast<std::uint64_t>(got);
      length -= static_cast<std::size_t>(got);
    }
    return true;
  }

 private:
  int fd_;
  std::uint64_t size_;
};

DWORD OpenError(int error) {
  switch (error) {
    case ENOENT:
    case ENOTDIR:
      return ERROR_FILE_NOT_FOUND;
    case EACCES:
    case EPERM:
      return ERROR_ACCESS_DENIED;
    default:
      return LastErrorForErrno(error);
  }
}

bool Failed(DWORD code, VersionResource* out) {
  if (out) *out = VersionResource{};
  SetErrors(code, ErrnoForLastError(code));
  return false;
}

}  // namespace

std::optional<std::string> VersionResource::Value(const std::string& name) const {
  auto same = [&](const std::string& other) {
    return std::equal(name.begin(), name.end(), other.begin(), other.end(), [](char a, char b) {
      auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; };
      return lower(a) == lower(b);
    });
  };
  for (const auto& [key, text] : values) {
    if (same(key)) return text;
  }
  return std::nullopt;
}

bool ReadVersionResourceFromFile(const std::string& path, VersionResource* out) {
  if (!out || path.empty()) return Failed(ERROR_INVALID_PARAMETER, out);
  // Non-blocking so that a FIFO in place of the file cannot hang us.
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return Failed(OpenError(errno), out);
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    ::close(fd);
    return Failed(S_ISDIR(info.st_mode) ? ERROR_ACCESS_DENIED : ERROR_BAD_FORMAT, out);
  }
  FileSource file(fd, static_cast<std::uint64_t>(info.st_size));
  std::string why;
  DWORD code = version_record::ReadFromImage(file, out, &why);
  ::close(fd);
  if (code != ERROR_SUCCESS) return Failed(code, out);
  return true;
}

bool ReadVersionResource(HMODULE module, VersionResource* out) {
  if (!out) return Failed(ERROR_INVALID_PARAMETER, out);
  std::string path = GetModuleFileName(module);
  if (path.empty()) return Failed(GetLastError(), out);
  return ReadVersionResourceFromFile(path, out);
}

}  // namespace platform
