// What every stress test checks around its work: the process's descriptors
// and threads before and after (nothing may leak), and a watchdog that ends a
// run that no longer makes progress, printing the state of every thread, so
// that a deadlock fails the test instead of hanging it. Memory is left to the
// address sanitizer's leak check at exit.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

namespace stress {

// Open descriptors and threads of this process, from /proc/self.
int CountDescriptors();
int CountThreads();
// One line per thread: id, name, state, the kernel function it waits in.
std::string ThreadStates();

// The process's descriptors and threads when it was made.
class ResourceBaseline {
 public:
  ResourceBaseline();
  // Waits (generously bounded) until the process has no more descriptors and
  // threads than at the baseline; a thread that has been joined may still be
  // leaving the kernel for a moment. False, with the counts and the threads'
  // state in *why, when something was left behind.
  bool Restored(std::string* why) const;
  int descriptors() const { return descriptors_; }
  int threads() const { return threads_; }

 private:
  int descriptors_;
  int threads_;
};

// Ends the process with status 1 and the threads' state on standard error
// when Progress() has not been called for `bound`. Destroying it stops it.
class Watchdog {
 public:
  Watchdog(std::string what, std::chrono::seconds bound);
  ~Watchdog();
  Watchdog(const Watchdog&) = delete;
  Watchdog& operator=(const Watchdog&) = delete;

  // The work moved on: the bound starts again. `where` says how far it got.
  void Progress(const std::string& where);

 private:
  void Watch();

  const std::string what_;
  const std::chrono::seconds bound_;
  std::mutex lock_;
  std::condition_variable changed_;
  std::chrono::steady_clock::time_point last_;
  std::string where_ = "start";
  bool done_ = false;
  std::thread thread_;
};

}  // namespace stress
