// A view with a test window for whole-engine tests: the log sink is attached
// to it, and the test thread plays the window's thread, handing every posted
// message to the view (WM_APP drains the log, WM_APP+1..+3 go to the engine)
// while it waits for the message it is interested in.
#pragma once

#include <gtest/gtest.h>

#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "shell/log.h"
#include "shell/vn32test_view.h"
#include "test_window.h"

class EngineHarness {
 public:
  EngineHarness() {
    ResetLogSinkForTesting();
    view_.SetWindow(&window_);
    SetLogView(&view_);
    AttachLogSink();
  }
  ~EngineHarness() {
    StopGorlan(view_);
    Pump();
    SetLogView(nullptr);
    view_.SetWindow(nullptr);
    ResetLogSinkForTesting();
  }
  EngineHarness(const EngineHarness&) = delete;
  EngineHarness& operator=(const EngineHarness&) = delete;

  CVN32TestView& view() { return view_; }
  TestWindow& window() { return window_; }

  // Handles every message posted so far, in order.
  void Pump() {
    const std::vector<UINT> posted = window_.Posted();
    for (; handled_ < posted.size(); ++handled_) Handle(posted[handled_]);
  }

  // Handles posted messages until `message` has been handled `count` more
  // times than before the call (generous bound); false on time-out.
  bool WaitFor(UINT message, int count = 1) {
    int seen = 0;
    for (;;) {
      const std::vector<UINT> posted = window_.Posted();
      for (; handled_ < posted.size(); ++handled_) {
        Handle(posted[handled_]);
        if (posted[handled_] == message && ++seen == count) {
          ++handled_;
          return true;
        }
      }
      if (!window_.WaitForPostsBeyond(handled_)) return false;
    }
  }

  // Handles posted messages until `done()` holds (generous bound).
  template <typename Predicate>
  bool WaitUntil(Predicate done) {
    for (;;) {
      Pump();
      if (done()) return true;
      if (!window_.WaitForPostsBeyond(handled_)) return false;
    }
  }

  // Waits until the log holds `text` (generous bound).
  bool WaitForText(const std::string& text) {
    return WaitUntil([&] { return Text().find(text) != std::string::npos; });
  }

  // The whole log so far, each line without its timestamp.
  std::string Text() {
    view_.OnDrainLog();
    std::string text;
    for (const std::string& block : window_.Appended()) {
      std::istringstream in(block);
      for (std::string line; std::getline(in, line);) {
        text += line.size() > 13 ? line.substr(13) : std::string();
        text += '\n';
      }
    }
    return text;
  }

  // The log from `from` on, with the millisecond values of the ping test
  // masked: time=Nms, (Nms late), Minimum/Maximum/Average = Nms.
  std::string Masked(std::size_t from = 0) {
    std::string text = Text().substr(std::min(from, Text().size()));
    text = std::regex_replace(text, std::regex("time=(<1|[0-9]+)ms"), "time=*ms");
    text = std::regex_replace(text, std::regex("\\([0-9]+ms late\\)"), "(*ms late)");
    text = std::regex_replace(text, std::regex("(Minimum|Maximum|Average) = [0-9]+ms"), "$1 = *ms");
    return text;
  }

 private:
  void Handle(UINT message) {
    if (message == WM_APP_DRAIN_LOG) {
      view_.OnDrainLog();
    } else {
      OnEngineMessage(view_, message);
    }
  }

  TestWindow window_;
  CVN32TestView view_;
  std::size_t handled_ = 0;
};
