#include "stress_support.h"

#include <dirent.h>
#include <sched.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <vector>

namespace stress {
namespace {

std::vector<std::string> Entries(const char* folder) {
  std::vector<std::string> names;
  DIR* dir = opendir(folder);
  if (dir == nullptr) return names;
  while (dirent* entry = readdir(dir)) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  closedir(dir);
  return names;
}

std::string FirstLine(const std::string& path) {
  std::ifstream in(path);
  std::string line;
  std::getline(in, line);
  return line;
}

}  // namespace

int CountDescriptors() {
  // The listing's own descriptor is open while it is read.
  return static_cast<int>(Entries("/proc/self/fd").size()) - 1;
}

int CountThreads() { return static_cast<int>(Entries("/proc/self/task").size()); }

std::string ThreadStates() {
  std::ostringstream out;
  for (const std::string& tid : Entries("/proc/self/task")) {
    const std::string base = "/proc/self/task/" + tid + "/";
    // The state is the field after the parenthesised name.
    const std::string stat = FirstLine(base + "stat");
    const std::size_t close = stat.rfind(')');
    const std::string state = close != std::string::npos && close + 2 < stat.size() ? stat.substr(close + 2, 1) : "?";
    out << "  thread " << tid << " \"" << FirstLine(base + "comm") << "\" state " << state << " in "
        << FirstLine(base + "wchan") << " (syscall " << FirstLine(base + "syscall") << ")\n";
  }
  return out.str();
}

ResourceBaseline::ResourceBaseline() : descriptors_(CountDescriptors()), threads_(CountThreads()) {}

bool ResourceBaseline::Restored(std::string* why) const {
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  for (;;) {
    const int descriptors = CountDescriptors();
    const int threads = CountThreads();
    if (descriptors <= descriptors_ && threads <= threads_) return true;
    if (std::chrono::steady_clock::now() >= until) {
      std::ostringstream text;
      text << "descriptors " << descriptors << " (before: " << descriptors_ << "), threads " << threads
           << " (before: " << threads_ << ")\n"
           << ThreadStates();
      *why = text.str();
      return false;
    }
    // The condition is the kernel's: a thread that returned from its join
    // leaves /proc a moment later. Nothing to wait on but the count itself.
    sched_yield();
  }
}

Watchdog::Watchdog(std::string what, std::chrono::seconds bound)
    : what_(std::move(what)), bound_(bound), last_(std::chrono::steady_clock::now()) {
  thread_ = std::thread([this] { Watch(); });
}

Watchdog::~Watchdog() {
  {
    std::lock_guard<std::mutex> guard(lock_);
    done_ = true;
  }
  changed_.notify_all();
  thread_.join();
}

void Watchdog::Progress(const std::string& where) {
  std::lock_guard<std::mutex> guard(lock_);
  last_ = std::chrono::steady_clock::now();
  where_ = where;
}

void Watchdog::Watch() {
  std::unique_lock<std::mutex> guard(lock_);
  for (;;) {
    const auto deadline = last_ + bound_;
    if (changed_.wait_until(guard, deadline, [this] { return done_; })) return;
    if (std::chrono::steady_clock::now() < last_ + bound_) continue;  // progress meanwhile
    std::fprintf(stderr, "%s: no progress for %lld s after \"%s\"; the threads:\n%s", what_.c_str(),
                 static_cast<long long>(bound_.count()), where_.c_str(), ThreadStates().c_str());
    std::fflush(stderr);
    std::_Exit(1);
  }
}

}  // namespace stress
