// Helpers shared by the library's tests: texts, a capture of every trace line,
// running a test body in a fresh process, and a machine that records (and can
// alter) what the capture driver is asked.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "mestrapack/mestrapack.h"
#include "platform/machine.h"
#include "platform/sim/sim_host.h"

namespace mptest {

std::u16string U(const std::string& text);
std::string Utf8(const char16_t* text);

// Every line the library traces (through the utility library's trace and the
// print hook) from construction to destruction.
class TraceCapture {
 public:
  TraceCapture();
  ~TraceCapture();
  std::string Text() const;
  int Count(const std::string& piece) const;
  bool Contains(const std::string& piece) const { return Count(piece) > 0; }
  void Clear();
};

// Runs the test's body in a fresh process of this test program, where the
// library's per-process state (the acquired information, the override list)
// starts over; the test fails when the body fails there.
#define MP_IN_FRESH_PROCESS(body)                                                   \
  do {                                                                              \
    GTEST_FLAG_SET(death_test_style, "threadsafe");                                 \
    EXPECT_EXIT(                                                                    \
        {                                                                           \
          body;                                                                     \
          std::exit(::testing::Test::HasFailure() ? 1 : 0);                         \
        },                                                                          \
        ::testing::ExitedWithCode(0), "");                                          \
  } while (0)

// Traces this process (its main thread) from a child of its own, the way a
// debugger or strace would, until destroyed. Traced() tells whether the
// system allowed it.
class TracedByChild {
 public:
  TracedByChild();
  ~TracedByChild();
  TracedByChild(const TracedByChild&) = delete;
  TracedByChild& operator=(const TracedByChild&) = delete;
  bool Traced() const { return tracer_ > 0; }

 private:
  int tracer_ = -1;
};

// One control request as the driver saw it.
struct Request {
  std::string device;
  DWORD code = 0;
  std::vector<BYTE> in;
  DWORD outSize = 0;
};

// What a test wants a device to answer instead of the simulated driver:
// return an error code, or fill the output (and its byte count) itself.
struct Override {
  DWORD error = ERROR_SUCCESS;
  bool replaceAnswer = false;
  std::vector<BYTE> answer;
  DWORD claimedBytes = 0;  // reported byte count when replaceAnswer
};

// The simulated host of `model`, with every control request recorded and
// chosen requests answered by the test. Key of an override: the control
// code, or for OID requests (query/set records and NDIS queries) the OID.
class RecordingMachine {
 public:
  explicit RecordingMachine(platform::sim::HostModel model);
  ~RecordingMachine();  // the previous machine returns
  std::vector<Request> Requests() const;
  std::vector<Request> RequestsWithCode(DWORD code) const;
  void Clear();
  void SetOverride(DWORD key, Override answer);

  struct State;

 private:
  std::shared_ptr<State> state_;
  std::unique_ptr<platform::Machine> previous_;
};

// A record as the information utility writes it for a given release.
void AdoptWinPcapRelease(WORD major, WORD minor);

}  // namespace mptest
