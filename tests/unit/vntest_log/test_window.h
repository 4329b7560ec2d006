// A window for tests of the view: records what was posted and appended, and
// lets a test wait for a post without sleeping.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <sstream>
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
  // The lines of every text appended from the `first` on, each without its
  // timestamp and the blank after it.
  std::vector<std::string> LinesFrom(std::size_t first) {
    std::vector<std::string> lines;
    const std::vector<std::string> appended = Appended();
    for (std::size_t i = first; i < appended.size(); ++i) {
      std::istringstream in(appended[i]);
      for (std::string line; std::getline(in, line);) {
        lines.push_back(line.size() > 13 ? line.substr(13) : std::string());
      }
    }
    return lines;
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
