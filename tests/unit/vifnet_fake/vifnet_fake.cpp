#include "vifnet_fake.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <optional>

#include "platform/lasterror.h"

namespace vifnet_fake {
namespace {

struct Failure {
  std::uint32_t code;
  int errnoValue;
  std::uint32_t lastError;
};

struct State {
  std::mutex lock;
  std::vector<Request> requests;
  std::vector<Write> writes;
  std::vector<Failure> failures;
  std::map<std::uint32_t, std::vector<std::uint8_t>> answers;
  int debugOutputResult = 1;
  vifnet32_debug_output_func_t debugOutput = nullptr;

  int openFd = 3;
  int openErrno = 0;
  std::uint32_t openLastError = 0;
  std::deque<std::vector<std::uint8_t>> reads;
  bool readsFail = false;
  bool repeatLastRead = false;
  int readErrno = 0;
  std::uint32_t readLastError = 0;
  std::uint32_t readTimeoutMs = 250;
  int shortWrites = 0;
  int shortWriteResult = 0;
  int writeErrno = 0;
  std::uint32_t writeLastError = 0;
  vn32_stats stats{};
  int statsResult = 0;
  std::vector<std::string> calls;
  std::optional<std::uint32_t> holdCode;  // the next request with it is held
  bool holding = false;                   // a request is waiting for ReleaseHeld
  std::condition_variable changed;
};

std::string Hex(std::uint32_t v) {
  char text[16];
  std::snprintf(text, sizeof text, "%X", v);
  return text;
}

State& TheState() {
  static State state;
  return state;
}

}  // namespace

void Reset() {
  State& s = TheState();
  std::lock_guard guard(s.lock);
  s.requests.clear();
  s.writes.clear();
  s.failures.clear();
  s.answers.clear();
  s.debugOutputResult = 1;
  s.debugOutput = nullptr;
  s.openFd = 3;
  s.openErrno = 0;
  s.openLastError = 0;
  s.reads.clear();
  s.readsFail = false;
  s.repeatLastRead = false;
  s.readTimeoutMs = 250;
  s.shortWrites = 0;
  s.stats = vn32_stats{};
  s.statsResult = 0;
  s.calls.clear();
  s.holdCode.reset();
  s.holding = false;
  s.changed.notify_all();
}

void HoldNext(std::uint32_t code) {
  State& s = TheState();
  std::lock_guard guard(s.lock);
  s.holdCode = code;
}

bool WaitUntilHeld() {
  State& s = TheState();
  std::unique_lock guard(s.lock);
  return s.changed.wait_for(guard, std::chrono::seconds(30), [&s] { return s.holding; });
}

void ReleaseHeld() {
  State& s = TheState();
  std::lock_guard guard(s.lock);
  s.holdCode.reset();
  s.holding = false;
  s.changed.notify_all();
}

void SetOpenResult(int fd, int errnoValue, std::uint32_t lastError) {
  State& s = TheState();
  std::lock_guard guard(s.lock);
  s.openFd = fd;
  s.openErrno = errnoValue;
  s.openLastError = lastError;
}

void QueueRead(std::vector<std::uint8_t> bytes) {
  State& s = TheState();
  std::lock_guard guard(s.lock);
  s.reads.push_back(std::move(bytes));
  s.changed.notify_all();
}

void FailReadsWhenEmpty(int errnoValue, std::uint32_t lastError) {
  State& s = TheState();
  std::lock_guard guard(s.lock);
  s.readsFail = true;
  s.readErrno = errnoValue;
  s.readLastError = lastError;
  s.changed.notify_all();
}

void RepeatLastRead() {
  State& s = TheState();
  std::lock_guard guard(s.lock);
  s.repeatLastRead = true;
}

void ShortWrites(int n, int result, int errnoValue, std::uint32_t lastError) {
  State& s = TheState();
  std::lock_guard guard(s.lock);
  s.shortWrites = n;
  s.shortWriteResult = result;
  s.writeErrno = errnoValue;
  s.writeLastError = lastError;
}

void SetStats(const vn32_stats& stats, int result) {
  State& s = TheState();
  std::lock_guard guard(s.lock);
  s.stats = stats;
  s.statsResult = result;
}

std::vector<std::string> Calls() {
  State& s = TheState();
  std::lock_guard guard(s.lock);
  return s.calls;
}

bool WaitForCall(const std::string& text) {
  State& s = TheState();
  std::unique_lock guard(s.lock);
  return s.changed.wait_for(guard, std::chrono::seconds(30), [&] {
    return std::find(s.calls.begin(), s.calls.end(), text) != s.calls.end();
  });
}

std::vector<Request> Requests() {
  State& s = TheState();
  std::lock_guard guard(s.lock);
  return s.requests;
}

std::vector<Write> Writes() {
  State& s = TheState();
  std::lock_guard guard(s.lock);
  return s.writes;
}

std::size_t RecordSize(std::uint32_t code) {
  switch (code) {
    case VN32_TUNSETDEBUG:
    case VN32SDEVBUFF:
    case VN32SIOBUFF:
    case VN32STIMEOUT:
      return sizeof(vn32ctl);
    case VN32_SIOCGARP:
    case VN32_SIOCGRARP:
      return sizeof(vn32_arpreq);
    default:
      return sizeof(vn32_ifreq);
  }
}

void FailNext(std::uint32_t code, int errnoValue, std::uint32_t lastError) {
  State& s = TheState();
  std::lock_guard guard(s.lock);
  s.failures.push_back({code, errnoValue, lastError});
}

void AnswerWith(std::uint32_t code, std::vector<std::uint8_t> answer) {
  State& s = TheState();
  std::lock_guard guard(s.lock);
  s.answers[code] = std::move(answer);
}

void SetDebugOutputResult(int result) {
  State& s = TheState();
  std::lock_guard guard(s.lock);
  s.debugOutputResult = result;
}

vifnet32_debug_output_func_t InstalledDebugOutput() {
  State& s = TheState();
  std::lock_guard guard(s.lock);
  return s.debugOutput;
}

std::uint16_t InternetChecksum(const void* buffer, std::size_t length) {
  const auto* p = static_cast<const std::uint8_t*>(buffer);
  std::uint32_t sum = 0;
  for (std::size_t i = 0; i + 1 < length; i += 2) sum += static_cast<std::uint32_t>((p[i] << 8) | p[i + 1]);
  if (length & 1) sum += static_cast<std::uint32_t>(p[length - 1] << 8);
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<std::uint16_t>(~sum);
}

}  // namespace vifnet_fake

using namespace vifnet_fake;

extern "C" {

int vifnet32_open(const char* name, int flags) {
  State& s = TheState();
  std::lock_guard guard(s.lock);
  s.calls.push_back(std::string("open ") + (name != nullptr ? name : "(null)") + " " + Hex(static_cast<std::uint32_t>(flags)));
  s.changed.notify_all();
  if (s.openFd < 0) {
    SetLastError(s.openLastError);
    errno = s.openErrno;
    return -1;
  }
  return s.openFd;
}

int vifnet32_ioctl(int fd, std::uint32_t request, void* arg) {
  State& s = TheState();
  std::unique_lock guard(s.lock);
  const std::size_t size = RecordSize(request);
  const auto* bytes = static_cast<const std::uint8_t*>(arg);
  s.requests.push_back({fd, request, std::vector<std::uint8_t>(bytes, bytes + size)});
  s.calls.push_back("ioctl " + Hex(request));
  if (s.holdCode == request) {
    s.holdCode.reset();
    s.holding = true;
    s.changed.notify_all();
    // Bounded, so that a test that never releases fails instead of hanging.
    s.changed.wait_for(guard, std::chrono::seconds(60), [&s] { return !s.holding; });
    s.holding = false;
  }
  s.changed.notify_all();
  if (request == VN32STIMEOUT) s.readTimeoutMs = static_cast<const vn32ctl*>(arg)->value;
  for (auto it = s.failures.begin(); it != s.failures.end(); ++it) {
    if (it->code == 0 || it->code == request) {
      SetLastError(it->lastError);
      errno = it->errnoValue;
      s.failures.erase(it);
      return -1;
    }
  }
  if (auto answer = s.answers.find(request); answer != s.answers.end()) {
    std::memcpy(arg, answer->second.data(), std::min(size, answer->second.size()));
  }
  return 0;
}

int vifnet32_read(int, void* buffer, int size) {
  State& s = TheState();
  std::unique_lock guard(s.lock);
  auto ready = [&s] { return !s.reads.empty() || s.readsFail; };
  if (!ready()) s.changed.wait_for(guard, std::chrono::milliseconds(s.readTimeoutMs), ready);
  if (!s.reads.empty()) {
    std::vector<std::uint8_t> bytes = s.reads.front();
    if (!s.repeatLastRead || s.reads.size() > 1) s.reads.pop_front();
    const std::size_t n = std::min(bytes.size(), static_cast<std::size_t>(size > 0 ? size : 0));
    std::memcpy(buffer, bytes.data(), n);
    return static_cast<int>(n);
  }
  if (s.readsFail) {
    SetLastError(s.readLastError);
    errno = s.readErrno;
    return -1;
  }
  return 0;
}

int vifnet32_write(int fd, const void* buffer, int length) {
  State& s = TheState();
  std::lock_guard guard(s.lock);
  const auto* bytes = static_cast<const std::uint8_t*>(buffer);
  s.writes.push_back({fd, std::vector<std::uint8_t>(bytes, bytes + length)});
  s.calls.push_back("write " + std::to_string(length));
  s.changed.notify_all();
  if (s.shortWrites > 0) {
    --s.shortWrites;
    SetLastError(s.writeLastError);
    errno = s.writeErrno;
    return s.shortWriteResult;
  }
  return length;
}

int vifnet32_close(int fd) {
  State& s = TheState();
  std::lock_guard guard(s.lock);
  s.calls.push_back("close " + std::to_string(fd));
  s.changed.notify_all();
  return 0;
}

int vifnet32_get_stats(int fd, vn32_stats* stats) {
  State& s = TheState();
  std::lock_guard guard(s.lock);
  s.calls.push_back("get_stats " + std::to_string(fd));
  std::uint32_t size = stats->size;
  *stats = s.stats;
  stats->size = size;
  return s.statsResult;
}

const char* vifnet32_get_default_iface(void) { return "02-00-5E-00-00-01"; }

void vifnet32_build_gorlan_iface_mac(std::uint8_t mac[6], const std::uint8_t ip[4]) {
  const std::uint8_t prefix[2] = {0x02, 0x00};
  std::memcpy(mac, prefix, 2);
  std::memcpy(mac + 2, ip, 4);
}

std::uint16_t vifnet32_calc_inet_checksum(const void* buffer, int length) {
  return InternetChecksum(buffer, length > 0 ? static_cast<std::size_t>(length) : 0);
}

int vifnet32_set_debug_output_func(vifnet32_debug_output_func_t function) {
  State& s = TheState();
  std::lock_guard guard(s.lock);
  s.debugOutput = function;
  return s.debugOutputResult;
}

const char* vifnet32_version_string(void) { return "Vifnet fake 1.0"; }
const char* vifnet32_copyright_string(void) { return "Copyright (C) Morvane"; }

void vifnet32_version_numbers(int* major, int* inter, int* minor, int* build) {
  *major = 1;
  *inter = 0;
  *minor = 0;
  *build = 0;
}

}  // extern "C"
