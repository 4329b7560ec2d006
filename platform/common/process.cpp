// Starting programs of the kit (posix_spawn), process handles over pidfd, and
// facts about the running program.
#include "platform/process.h"

#include <dlfcn.h>
#include <link.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "common/kernel_object.h"
#include "platform/sync.h"

extern char** environ;

namespace platform {
namespace {

// Reaps the child once; keeps its exit code. A handle closed while the child
// still runs leaves a waiter behind so that no zombie outlives it.
class ProcessObject final : public kernel::KernelObject {
 public:
  ProcessObject(pid_t pid, int pidfd) : pid_(pid), pidfd_(std::make_shared<kernel::Fd>(pidfd)) {}

  ~ProcessObject() override {
    std::lock_guard lock(mutex_);
    if (reaped_ || Reap(WNOHANG)) return;
    try {
      std::thread([fd = pidfd_] {
        siginfo_t info{};
        while (::waitid(P_PIDFD, static_cast<id_t>(fd->get()), &info, WEXITED) != 0 && errno == EINTR) {
        }
      }).detach();
    } catch (const std::system_error&) {
      // Without a thread the child is left for the process's end to reap.
    }
  }

  std::shared_ptr<kernel::Fd> WaitFd() override { return pidfd_; }

  // STILL_ACTIVE while the child runs; false with the last error set when it
  // cannot be told (another part of the program reaped it).
  bool ExitCode(DWORD* code) {
    std::lock_guard lock(mutex_);
    if (!reaped_ && !Reap(WNOHANG)) {
      if (failed_ != 0) return kernel::FailErrno(failed_);
      *code = STILL_ACTIVE;
      return true;
    }
    *code = exitCode_;
    return true;
  }

  pid_t pid() const { return pid_; }

 private:
  // True once the child has been reaped (mutex_ held).
  bool Reap(int options) {
    siginfo_t info{};
    failed_ = 0;
    int rc;
    do {
      rc = ::waitid(P_PIDFD, static_cast<id_t>(pidfd_->get()), &info, WEXITED | options);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
      failed_ = errno;
      return false;
    }
    if (info.si_pid == 0) return false;  // still running
    reaped_ = true;
    // The exit code is the low 8 bits of the status, unsigned (exit(-1) reads
    // 255); a signal reads as a shell shows it, 128 + signal.
    exitCode_ = info.si_code == CLD_EXITED ? static_cast<DWORD>(info.si_status & 0xFF)
                                           : static_cast<DWORD>(128 + info.si_status);
    return true;
  }

  pid_t pid_;
  std::shared_ptr<kernel::Fd> pidfd_;
  std::mutex mutex_;  // leaf; guards the reaping
  bool reaped_ = false;
  int failed_ = 0;
  DWORD exitCode_ = 0;
};

bool IsExecutableFile(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

bool EndsWithExe(const std::string& name) {
  return name.size() > 4 && strcasecmp(name.c_str() + name.size() - 4, ".exe") == 0;
}

// The name itself, then (for "x.exe") the name without its suffix: callers
// name the kit's programs with the ".exe" suffix, while the installed files
// here have none.
bool FindIn(const std::string& folder, const std::string& name, std::string* found) {
  std::string prefix = folder.empty() ? std::string() : (folder.back() == '/' ? folder : folder + "/");
  if (IsExecutableFile(prefix + name)) {
    *found = prefix + name;
    return true;
  }
  if (EndsWithExe(name) && IsExecutableFile(prefix + name.substr(0, name.size() - 4))) {
    *found = prefix + name.substr(0, name.size() - 4);
    return true;
  }
  return false;
}

// Only absolute folders are searched: an empty PATH entry, "." or any other
// relative folder would mean the current directory, which is never searched.
bool FindProgram(const std::string& exeName, const std::string& preferredDirectory, std::string* found) {
  if (exeName.find('/') != std::string::npos) return FindIn("", exeName, found);
  if (!preferredDirectory.empty() && preferredDirectory[0] == '/' && FindIn(preferredDirectory, exeName, found)) {
    return true;
  }
  const char* path = std::getenv("PATH");
  std::string entries = path != nullptr ? path : "/usr/local/bin:/usr/bin:/bin";
  std::string::size_type start = 0;
  for (;;) {
    std::string::size_type colon = entries.find(':', start);
    std::string folder = entries.substr(start, colon == std::string::npos ? std::string::npos : colon - start);
    if (!folder.empty() && folder[0] == '/' && FindIn(folder, exeName, found)) return true;
    if (colon == std::string::npos) return false;
    start = colon + 1;
  }
}

std::string ReadLink(const char* path) {
  char buffer[PATH_MAX];
  ssize_t n = ::readlink(path, buffer, sizeof buffer - 1);
  if (n <= 0) return {};
  return std::string(buffer, static_cast<size_t>(n));
}

}  // namespace

HANDLE StartProcess(const std::string& exeName, const std::vector<std::string>& arguments,
                    const std::string& preferredDirectory) {
  if (exeName.empty()) {
    kernel::Fail(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  std::string program;
  if (!FindProgram(exeName, preferredDirectory, &program)) {
    kernel::Fail(ERROR_FILE_NOT_FOUND);
    return nullptr;
  }
  std::vector<char*> argv;
  argv.push_back(program.data());
  std::vector<std::string> copies(arguments);
  for (std::string& argument : copies) argv.push_back(argument.data());
  argv.push_back(nullptr);

  // The program starts as a fresh one would: no signal blocked or ignored
  // because the calling thread happened to block or ignore it.
  posix_spawnattr_t attributes;
  ::posix_spawnattr_init(&attributes);
  sigset_t none, all;
  ::sigemptyset(&none);
  ::sigfillset(&all);
  ::posix_spawnattr_setsigmask(&attributes, &none);
  ::posix_spawnattr_setsigdefault(&attributes, &all);
  ::posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  pid_t pid = 0;
  int rc = ::posix_spawn(&pid, program.c_str(), nullptr, &attributes, argv.data(), environ);
  ::posix_spawnattr_destroy(&attributes);
  if (rc != 0) {
    kernel::FailErrno(rc);
    return nullptr;
  }
  int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
  if (pidfd < 0) {
    int openErrno = errno;
    ::waitpid(pid, nullptr, WNOHANG);  // rarely possible; the child then runs unwatched
    kernel::FailErrno(openErrno);
    return nullptr;
  }
  return kernel::AddHandle(std::make_shared<ProcessObject>(pid, pidfd));
}

BOOL GetExitCodeProcess(HANDLE handle, DWORD* exitCode) {
  auto process = kernel::FindHandleAs<ProcessObject>(handle);
  if (!process) return kernel::Fail(ERROR_INVALID_HANDLE);
  if (exitCode == nullptr) return kernel::Fail(ERROR_INVALID_PARAMETER);
  return process->ExitCode(exitCode) ? 1 : 0;
}

DWORD GetProcessId(HANDLE handle) {
  auto process = kernel::FindHandleAs<ProcessObject>(handle);
  if (!process) {
    kernel::Fail(ERROR_INVALID_HANDLE);
    return 0;
  }
  return static_cast<DWORD>(process->pid());
}

bool IsDebuggerPresent() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("TracerPid:", 0) == 0) return std::strtol(line.c_str() + 10, nullptr, 10) != 0;
  }
  return false;
}

std::string ModuleDirectory(const void* address) {
  Dl_info info{};
  link_map* map = nullptr;
  if (::dladdr1(address, &info, reinterpret_cast<void**>(&map), RTLD_DL_LINKMAP) == 0) return {};
  // The main program's entry carries no name (or only argv[0]); the kernel
  // knows its real path.
  std::string file = (map == nullptr || map->l_name == nullptr || map->l_name[0] == '\0') ? ReadLink("/proc/self/exe")
                                                                                          : std::string(map->l_name);
  if (file.empty()) return {};
  char resolved[PATH_MAX];
  if (::realpath(file.c_str(), resolved) != nullptr) file = resolved;
  std::string::size_type slash = file.rfind('/');
  if (slash == std::string::npos) return {};
  return slash == 0 ? "/" : file.substr(0, slash);
}

std::string ExecutableName() {
  std::string file = ReadLink("/proc/self/exe");
  std::string::size_type slash = file.rfind('/');
  return slash == std::string::npos ? file : file.substr(slash + 1);
}

}  // namespace platform
