// Helpers of the simulated host's tests: addresses, frames built byte by byte
// (independently of the host's own frame code), and reading a capture device
// until a wanted frame arrives.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "platform/file.h"
#include "platform/npf.h"
#include "platform/sync.h"

namespace simtest {

using Bytes = std::vector<BYTE>;
using Mac6 = std::array<BYTE, 6>;

// Dotted text to network byte order.
inline DWORD Ip(const char* text) {
  unsigned a, b, c, d;
  if (std::sscanf(text, "%u.%u.%u.%u", &a, &b, &c, &d) != 4) ADD_FAILURE() << text;
  BYTE raw[4] = {BYTE(a), BYTE(b), BYTE(c), BYTE(d)};
  DWORD v;
  std::memcpy(&v, raw, 4);
  return v;
}

inline void Put(Bytes& b, std::initializer_list<int> bytes) {
  for (int v : bytes) b.push_back(static_cast<BYTE>(v));
}
inline void PutIp(Bytes& b, DWORD ip) {
  BYTE raw[4];
  std::memcpy(raw, &ip, 4);
  b.insert(b.end(), raw, raw + 4);
}
inline void PutMac(Bytes& b, const Mac6& m) { b.insert(b.end(), m.begin(), m.end()); }

inline WORD Checksum(const BYTE* p, std::size_t n) {
  std::uint32_t sum = 0;
  for (std::size_t i = 0; i + 1 < n; i += 2) sum += (p[i] << 8) | p[i + 1];
  if (n & 1) sum += p[n - 1] << 8;
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<WORD>(~sum);
}

constexpr Mac6 kBroadcast{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

inline Bytes ArpRequest(const Mac6& from, DWORD fromIp, DWORD wanted) {
  Bytes f;
  PutMac(f, kBroadcast);
  PutMac(f, from);
  Put(f, {0x08, 0x06, 0x00, 0x01, 0x08, 0x00, 6, 4, 0x00, 0x01});
  PutMac(f, from);
  PutIp(f, fromIp);
  PutMac(f, Mac6{});
  PutIp(f, wanted);
  return f;
}

inline Bytes ArpReply(const Mac6& from, DWORD fromIp, const Mac6& to, DWORD toIp) {
  Bytes f;
  PutMac(f, to);
  PutMac(f, from);
  Put(f, {0x08, 0x06, 0x00, 0x01, 0x08, 0x00, 6, 4, 0x00, 0x02});
  PutMac(f, from);
  PutIp(f, fromIp);
  PutMac(f, to);
  PutIp(f, toIp);
  return f;
}

// An IPv4 packet carrying an ICMP echo (type 8 request, 0 reply).
inline Bytes EchoPacket(BYTE type, DWORD from, DWORD to, WORD id, WORD seq, std::size_t payload = 32, BYTE ttl = 64) {
  Bytes icmp;
  Put(icmp, {type, 0, 0, 0, id >> 8, id & 0xFF, seq >> 8, seq & 0xFF});
  for (std::size_t i = 0; i < payload; ++i) icmp.push_back(static_cast<BYTE>('a' + i % 23));
  WORD c = Checksum(icmp.data(), icmp.size());
  icmp[2] = BYTE(c >> 8);
  icmp[3] = BYTE(c);
  Bytes ip;
  std::size_t total = 20 + icmp.size();
  Put(ip, {0x45, 0, int(total >> 8), int(total & 0xFF), 0, 1, 0, 0, ttl, 1, 0, 0});
  PutIp(ip, from);
  PutIp(ip, to);
  WORD h = Checksum(ip.data(), 20);
  ip[10] = BYTE(h >> 8);
  ip[11] = BYTE(h);
  ip.insert(ip.end(), icmp.begin(), icmp.end());
  return ip;
}

inline Bytes EchoFrame(const Mac6& from, const Mac6& to, DWORD fromIp, DWORD toIp, WORD id, WORD seq,
                       BYTE type = 8) {
  Bytes f;
  PutMac(f, to);
  PutMac(f, from);
  Put(f, {0x08, 0x00});
  Bytes ip = EchoPacket(type, fromIp, toIp, id, seq);
  f.insert(f.end(), ip.begin(), ip.end());
  return f;
}

// What the frame is, read from fixed offsets.
inline WORD EtherType(const Bytes& f) { return f.size() >= 14 ? WORD((f[12] << 8) | f[13]) : 0; }
inline bool IsArpReplyFrom(const Bytes& f, DWORD ip) {
  if (f.size() < 42 || EtherType(f) != 0x0806 || f[21] != 2) return false;
  DWORD sender;
  std::memcpy(&sender, &f[28], 4);
  return sender == ip;
}
inline Mac6 MacAt(const Bytes& f, std::size_t at) {
  Mac6 m;
  std::memcpy(m.data(), &f[at], 6);
  return m;
}
// For an IPv4 packet starting at `at`: is it an echo reply from `from` with
// the id and sequence?
inline bool IsEchoReplyAt(const Bytes& f, std::size_t at, DWORD from, WORD id, WORD seq) {
  if (f.size() < at + 28 || f[at + 9] != 1) return false;
  DWORD src;
  std::memcpy(&src, &f[at + 12], 4);
  std::size_t icmp = at + (f[at] & 0x0F) * 4;
  if (f.size() < icmp + 8) return false;
  return src == from && f[icmp] == 0 && ((f[icmp + 4] << 8) | f[icmp + 5]) == id &&
         ((f[icmp + 6] << 8) | f[icmp + 7]) == seq;
}
inline bool IsEchoReplyFrame(const Bytes& f, DWORD from, WORD id, WORD seq) {
  return EtherType(f) == 0x0800 && IsEchoReplyAt(f, 14, from, id, seq);
}

// Splits one read's bytes into packets, checking each capture header.
inline std::vector<Bytes> SplitCapture(const BYTE* data, DWORD size) {
  std::vector<Bytes> packets;
  std::size_t at = 0;
  while (at < size) {
    npf::bpf_hdr h;
    EXPECT_LE(at + sizeof h, size);
    if (at + sizeof h > size) break;
    std::memcpy(&h, data + at, sizeof h);
    EXPECT_EQ(h.bh_hdrlen, 20);
    EXPECT_EQ(at % 4, 0u);
    EXPECT_LE(at + h.bh_hdrlen + h.bh_caplen, size);
    if (at + h.bh_hdrlen + h.bh_caplen > size) break;
    packets.emplace_back(data + at + h.bh_hdrlen, data + at + h.bh_hdrlen + h.bh_caplen);
    at = npf::Packet_WORDALIGN(at + h.bh_hdrlen + h.bh_caplen);
  }
  return packets;
}

// Reads the device (waiting on `event` between reads) until `want` matches a
// packet or the generous bound passes. Every packet seen is appended to *seen.
inline bool ReadUntil(HANDLE device, HANDLE event, const std::function<bool(const Bytes&)>& want,
                      std::vector<Bytes>* seen = nullptr, int boundMs = 5000) {
  auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(boundMs);
  std::vector<BYTE> buffer(256 * 1024);
  while (std::chrono::steady_clock::now() < until) {
    if (event) platform::WaitForSingleObject(event, 100);
    DWORD got = 0;
    if (!platform::ReadFile(device, buffer.data(), static_cast<DWORD>(buffer.size()), &got)) return false;
    for (Bytes& p : SplitCapture(buffer.data(), got)) {
      bool match = want(p);
      if (seen) seen->push_back(p);
      if (match) return true;
    }
  }
  return false;
}

}  // namespace simtest
