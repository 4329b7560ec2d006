// Per-user settings of the real machine: one text file per program,
// $XDG_CONFIG_HOME/<company>/<program>.ini (default ~/.config).
//
// Every write (of one value or of several together) replaces the whole file
// atomically (a temporary file in the same folder, flushed to disk, renamed
// over the old one), under a lock on the folder so that two processes do not
// lose each other's values. A file that
// does not parse is reported once, read as empty, and left alone until the
// program writes a value; that write first sets the unreadable file aside as
// "<program>.ini.bad".
#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>

#include "common/ini_store.h"
#include "linux/linux_parts.h"
#include "platform/file.h"
#include "platform/trace_hook.h"

namespace platform::linuxhost {
namespace {

std::string ConfigHome() {
  const char* xdg = std::getenv("XDG_CONFIG_HOME");
  if (xdg && xdg[0] == '/') return xdg;  // relative values are to be ignored
  const char* home = std::getenv("HOME");
  if (home && home[0] == '/') return std::string(home) + "/.config";
  if (struct passwd* user = ::getpwuid(::geteuid()); user && user->pw_dir) return std::string(user->pw_dir) + "/.config";
  return {};
}

bool IsPlainFileName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
         name.find('\0') == std::string::npos;
}

bool MakeFolders(const std::string& path) {
  for (std::size_t at = 1; at <= path.size(); ++at) {
    if (at < path.size() && path[at] != '/') continue;
    std::string prefix = path.substr(0, at);
    if (::mkdir(prefix.c_str(), 0700) != 0 && errno != EEXIST) return false;
  }
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// The file's bytes; nullopt with errno when it cannot be read. A missing file
// reads as empty text.
std::optional<std::string> ReadWhole(const std::string& path, struct stat* identity) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    if (errno == ENOENT) {
      *identity = {};
      return std::string();
    }
    return std::nullopt;
  }
  std::string text;
  bool good = ::fstat(fd, identity) == 0;
  if (good && !S_ISREG(identity->st_mode)) {
    errno = EINVAL;
    good = false;
  }
  char buffer[16384];
  while (good) {
    ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) good = false;
    if (got <= 0) break;
    text.append(buffer, static_cast<std::size_t>(got));
    if (text.size() > ini::kMaxFileBytes) break;  // the parser refuses it as too large
  }
  int saved = errno;
  ::close(fd);
  errno = saved;
  if (!good) return std::nullopt;
  return text;
}

bool SameState(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
         a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec;
}

class IniFileStore final : public ProfileStore {
 public:
  bool Read(const std::string& company, const std::string& program, const std::string& section,
            const std::string& entry, ProfileValue* value) override {
    std::string path = FilePath(company, program);
    if (path.empty()) return false;
    std::lock_guard lock(lock_);
    const ini::Document* document = Current(path);
    const ProfileValue* found = document ? document->Find(section, entry) : nullptr;
    if (!found) return false;
    if (value) *value = *found;
    return true;
  }

  bool Write(const std::string& company, const std::string& program, const std::string& section,
             const std::vector<ProfileEntry>& entries) override {
    std::string path = FilePath(company, program);
    bool valid = !path.empty() && ini::IsValidName(section);
    for (const ProfileEntry& entry : entries) valid = valid && ini::IsValidName(entry.name);
    if (!valid) return Fail(ERROR_INVALID_NAME);
    std::string folder = path.substr(0, path.rfind('/'));
    std::lock_guard lock(lock_);
    cached_.reset();
    if (!MakeFolders(folder)) return FailErrno("create the folder", folder);
    int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0) return FailErrno("open the folder", folder);
    ::flock(dir, LOCK_EX);  // other processes writing the same folder; best effort
    bool written = WriteLocked(path, section, entries);
    int saved = errno;
    ::close(dir);  // also releases the lock
    errno = saved;
    return written;
  }

 private:
  struct Cached {
    std::string path;
    struct stat identity;
    std::optional<ini::Document> document;  // nullopt: the file does not parse or read
  };

  static std::string FilePath(const std::string& company, const std::string& program) {
    std::string home = ConfigHome();
    if (home.empty() || !IsPlainFileName(company) || !IsPlainFileName(program)) return {};
    return home + "/" + company + "/" + program + ".ini";
  }

  static bool Fail(DWORD code) {
    SetErrors(code, ErrnoForLastError(code));
    return false;
  }

  static bool FailErrno(const char* what, const std::string& path) {
    int error = errno;
    PlatformTrace("** Settings: cannot %s \"%s\": %s\n", what, path.c_str(), std::strerror(error));
    SetErrors(LastErrorForErrno(error), error);
    return false;
  }

  // The parsed file, re-read whenever it changed on disk. Null when it cannot
  // be read or parsed (reported once per state of the file).
  const ini::Document* Current(const std::string& path) {
    struct stat identity {};
    if (::stat(path.c_str(), &identity) != 0) identity = {};
    if (cached_ && cached_->path == path && SameState(cached_->identity, identity)) {
      return cached_->document ? &*cached_->document : nullptr;
    }
    cached_.emplace();
    cached_->path = path;
    std::optional<std::string> text = ReadWhole(path, &cached_->identity);
    if (!text) {
      PlatformTrace("** Settings file \"%s\" cannot be read: %s; its values read as absent\n", path.c_str(),
                    std::strerror(errno));
      return nullptr;
    }
    ini::Document document;
    std::string why;
    if (!ini::Parse(*text, &document, &why)) {
      PlatformTrace("** Settings file \"%s\" does not parse (%s); its values read as absent and the file is "
                    "left as it is until a value is written\n",
                    path.c_str(), why.c_str());
      return nullptr;
    }
    cached_->document = std::move(document);
    return &*cached_->document;
  }

  // All the entries into one new file, which replaces the old one.
  bool WriteLocked(const std::string& path, const std::string& section, const std::vector<ProfileEntry>& entries) {
    struct stat identity {};
    std::optional<std::string> text = ReadWhole(path, &identity);
    if (!text) return FailErrno("read", path);
    ini::Document document;
    std::string why;
    if (!ini::Parse(*text, &document, &why)) {
      // Starting afresh replaces the unreadable file; keep it whole, under
      // another name, rather than a copy of what could be read of it.
      std::string keep = path + ".bad";
      if (::rename(path.c_str(), keep.c_str()) != 0) return FailErrno("set aside the unreadable settings as", keep);
      PlatformTrace("** Settings file \"%s\" did not parse (%s); starting afresh, its old text kept as \"%s\"\n",
                    path.c_str(), why.c_str(), keep.c_str());
      document = ini::Document();
    }
    for (const ProfileEntry& entry : entries) document.Set(section, entry.name, entry.value);
    if (!ReplaceFileContents(path.c_str(), ini::Serialize(document))) return FailErrno("write", path);
    return true;
  }

  std::mutex lock_;
  std::optional<Cached> cached_;
};

}  // namespace

std::unique_ptr<ProfileStore> MakeProfileStore() { return std::make_unique<IniFileStore>(); }

}  // namespace platform::linuxhost
