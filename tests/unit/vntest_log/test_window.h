// A window for tests of the view: records what was posted and appended, and
// lets a test wait for a post without sleeping.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "shell/view_window.h"

class TestWindow : public ViewWindow {
 public:
  bool WindowExists() const override { return exists; }

  void PostMessage(UINT message) override {
    std::lock_guard guard(lock_);
    posted_.push_back(message);
    changed_.notify_all();
  }

  void AppendText(const std::string& text) override {
    std::lock_guard guard(lock_);
    appended_.push_back(text);
  }

  std::vector<UINT> Posted() {
    std::lock_guard guard(lock_);
    return posted_;
  }
  std::vector<std::string> Appended() {
    std::lock_guard guard(lock_);
    return appended_;
  }
  // Waits (generously bounded) until more than `seen` messages were posted.
  bool WaitForPostsBeyond(std::size_t seen) {
    std::unique_lock guard(lock_);
    return changed_.wait_for(guard, std::chrono::seconds(30), [&] { return posted_.size() > seen; });
  }

  bool exists = true;

 private:
  std::mutex lock_;
  std::condition_variable changed_;
  std::vector<UINT> posted_;
  std::vector<std::string> appended_;
};
