// Captures what the code under test writes to the log: the sink attached to
// a view whose test window is drained on demand. Lines come back without
// their timestamps.
#pragma once

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
    return window_.LinesFrom(before);
  }

  CVN32TestView* view() { return &view_; }

 private:
  TestWindow window_;
  CVN32TestView view_;
};
