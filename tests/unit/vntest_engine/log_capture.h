// Captures what the code under test writes to the log: the sink attached to
// a view whose test window is drained on demand. Lines come back without
// their timestamps.
#pragma once

#include <sstream>
#include <string>
#include <vector>

#include "shell/log.h"
#include "shell/vn32test_view.h"
#include "test_window.h"
#include "vifnet_fake.h"

class LogCapture {
 public:
  LogCapture() {
    ResetLogSinkForTesting();
    view_.SetWindow(&window_);
    SetLogView(&view_);
    AttachLogSink();
  }
  ~LogCapture() {
    SetLogView(nullptr);
    ResetLogSinkForTesting();
  }

  // Every line written since the last call, timestamp and its blank removed.
  std::vector<std::string> Lines() {
    const std::size_t before = window_.Appended().size();
    view_.OnDrainLog();
    std::vector<std::string> lines;
    const auto appended = window_.Appended();
    for (std::size_t i = before; i < appended.size(); ++i) {
      std::istringstream in(appended[i]);
      for (std::string line; std::getline(in, line);) {
        lines.push_back(line.size() > 13 ? line.substr(13) : std::string());
      }
    }
    return lines;
  }

  CVN32TestView* view() { return &view_; }

 private:
  TestWindow window_;
  CVN32TestView view_;
};
