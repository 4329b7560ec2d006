// A recording stand-in for the virtual-interface library, for tests of code
// that calls it. Every request is recorded with a copy of its record as the
// caller passed it; requests can be told to fail or to answer with bytes.
// Thread-safe.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "vifnet.h"

namespace vifnet_fake {

struct Request {
  int fd;
  std::uint32_t code;
  std::vector<std::uint8_t> record;  // as the caller passed it
};

struct Write {
  int fd;
  std::vector<std::uint8_t> bytes;
};

// Forgets every recorded call and every instruction; the debug output
// installation succeeds again.
void Reset();

std::vector<Request> Requests();
std::vector<Write> Writes();

// The size of the record a request code takes (ifreq, arpreq or vn32ctl).
std::size_t RecordSize(std::uint32_t code);

// The next request with this code (any code when 0) fails: returns -1 with
// errno and the last error set as given. Applies once per call of FailNext.
void FailNext(std::uint32_t code, int errnoValue, std::uint32_t lastError);

// Requests with this code succeed and copy `answer` over the start of the
// record (after it has been recorded).
void AnswerWith(std::uint32_t code, std::vector<std::uint8_t> answer);

// The next request with this code, once recorded, waits until ReleaseHeld
// (or Reset) before it answers: a test can hold the caller at that step.
void HoldNext(std::uint32_t code);
// Waits (bounded generously) until a request is being held; true when one is.
bool WaitUntilHeld();
void ReleaseHeld();

// Result of vifnet32_set_debug_output_func (non-zero by default), and the
// function it was last given.
void SetDebugOutputResult(int result);
vifnet32_debug_output_func_t InstalledDebugOutput();

// ---- The interface itself: open, reads, writes, close, statistics ----

// vifnet32_open returns `fd` (3 by default), or -1 with errno and the last
// error set when `fd` is negative.
void SetOpenResult(int fd, int errnoValue = 0, std::uint32_t lastError = 0);

// Frames or packets that reads deliver, in order. A read with nothing queued
// waits for a queued one at most the read time-out last set with
// VN32STIMEOUT (250 ms when none was set; 0 means no wait) and then returns 0.
void QueueRead(std::vector<std::uint8_t> bytes);
// Once the queue is empty, every read fails: -1 with errno and the last error.
void FailReadsWhenEmpty(int errnoValue, std::uint32_t lastError);
// The last frame queued is delivered again by every read (a flood that never
// ends) until the next Reset.
void RepeatLastRead();

// The next n writes (any descriptor) write `result` bytes instead of all,
// with errno and the last error set.
void ShortWrites(int n, int result, int errnoValue, std::uint32_t lastError);

// What vifnet32_get_stats fills in (the size field is the caller's), and
// its result.
void SetStats(const vn32_stats& stats, int result = 0);

// Every call that touches an interface, in order, as text: "open <name>
// <flags hex>", "ioctl <code hex>", "write <length>", "get_stats <fd>",
// "close <fd>". Reads are not listed.
std::vector<std::string> Calls();
// Waits (bounded generously) until Calls() holds `text`; true when it does.
bool WaitForCall(const std::string& text);

// The real Internet checksum, for tests that build packets.
std::uint16_t InternetChecksum(const void* buffer, std::size_t length);

}  // namespace vifnet_fake
