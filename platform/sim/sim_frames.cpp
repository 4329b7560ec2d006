#include "sim/sim_frames.h"

#include <algorithm>
#include <cstring>

namespace platform::sim {
namespace {

WORD Get16(ByteSpan s, std::size_t at) { return static_cast<WORD>((s[at] << 8) | s[at + 1]); }

// Addresses stay in network byte order: the bytes are copied as they lie.
DWORD GetAddr(ByteSpan s, std::size_t at) {
  DWORD v;
  std::memcpy(&v, s.data() + at, 4);
  return v;
}

Mac GetMac(ByteSpan s, std::size_t at) {
  Mac m;
  std::copy_n(s.begin() + static_cast<std::ptrdiff_t>(at), 6, m.begin());
  return m;
}

void Put16(Bytes& b, WORD v) {
  b.push_back(static_cast<BYTE>(v >> 8));
  b.push_back(static_cast<BYTE>(v));
}
void PutAddr(Bytes& b, DWORD v) {
  BYTE raw[4];
  std::memcpy(raw, &v, 4);
  b.insert(b.end(), raw, raw + 4);
}
void PutMac(Bytes& b, const Mac& m) { b.insert(b.end(), m.begin(), m.end()); }

}  // namespace

std::optional<Ethernet> ParseEthernet(ByteSpan frame) {
  if (frame.size() < kEthernetHeader) return std::nullopt;
  Ethernet e;
  e.dest = GetMac(frame, 0);
  e.source = GetMac(frame, 6);
  e.type = Get16(frame, 12);
  e.payload = frame.subspan(kEthernetHeader);
  return e;
}

std::optional<Arp> ParseArp(ByteSpan p) {
  if (p.size() < 28) return std::nullopt;
  if (Get16(p, 0) != 1 || Get16(p, 2) != kEtherTypeIpv4 || p[4] != 6 || p[5] != 4) return std::nullopt;
  Arp a;
  a.op = Get16(p, 6);
  a.senderMac = GetMac(p, 8);
  a.senderIp = GetAddr(p, 14);
  a.targetMac = GetMac(p, 18);
  a.targetIp = GetAddr(p, 24);
  return a;
}

WORD InternetChecksum(ByteSpan data) {
  std::uint32_t sum = 0;
  std::size_t i = 0;
  for (; i + 1 < data.size(); i += 2) sum += static_cast<std::uint32_t>((data[i] << 8) | data[i + 1]);
  if (i < data.size()) sum += static_cast<std::uint32_t>(data[i] << 8);
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<WORD>(~sum);
}

std::optional<Ipv4> ParseIpv4(ByteSpan p) {
  if (p.size() < 20) return std::nullopt;
  if ((p[0] >> 4) != 4) return std::nullopt;
  std::size_t headerLen = static_cast<std::size_t>(p[0] & 0x0F) * 4;
  std::size_t totalLen = Get16(p, 2);
  if (headerLen < 20 || totalLen < headerLen || totalLen > p.size()) return std::nullopt;
  if (InternetChecksum(p.first(headerLen)) != 0) return std::nullopt;
  Ipv4 ip;
  ip.ttl = p[8];
  ip.protocol = p[9];
  ip.source = GetAddr(p, 12);
  ip.dest = GetAddr(p, 16);
  ip.payload = p.subspan(headerLen, totalLen - headerLen);
  return ip;
}

std::optional<IcmpEcho> ParseIcmpEcho(ByteSpan p) {
  if (p.size() < 8) return std::nullopt;
  if (p[0] != 0 && p[0] != 8) return std::nullopt;
  if (p[1] != 0 || InternetChecksum(p) != 0) return std::nullopt;
  IcmpEcho e;
  e.type = p[0];
  e.id = Get16(p, 4);
  e.sequence = Get16(p, 6);
  e.data = p.subspan(8);
  return e;
}

Bytes EmitEthernet(const Mac& dest, const Mac& source, WORD type, ByteSpan payload) {
  Bytes b;
  b.reserve(kEthernetHeader + payload.size());
  PutMac(b, dest);
  PutMac(b, source);
  Put16(b, type);
  b.insert(b.end(), payload.begin(), payload.end());
  return b;
}

Bytes EmitArp(WORD op, const Mac& senderMac, DWORD senderIp, const Mac& targetMac, DWORD targetIp) {
  Bytes b;
  b.reserve(28);
  Put16(b, 1);
  Put16(b, kEtherTypeIpv4);
  b.push_back(6);
  b.push_back(4);
  Put16(b, op);
  PutMac(b, senderMac);
  PutAddr(b, senderIp);
  PutMac(b, targetMac);
  PutAddr(b, targetIp);
  return b;
}

Bytes EmitIpv4(DWORD source, DWORD dest, BYTE protocol, BYTE ttl, WORD id, ByteSpan payload) {
  Bytes b;
  b.reserve(20 + payload.size());
  b.push_back(0x45);
  b.push_back(0);
  Put16(b, static_cast<WORD>(20 + payload.size()));
  Put16(b, id);
  Put16(b, 0);
  b.push_back(ttl);
  b.push_back(protocol);
  Put16(b, 0);
  PutAddr(b, source);
  PutAddr(b, dest);
  WORD sum = InternetChecksum(ByteSpan(b.data(), 20));
  b[10] = static_cast<BYTE>(sum >> 8);
  b[11] = static_cast<BYTE>(sum);
  b.insert(b.end(), payload.begin(), payload.end());
  return b;
}

Bytes EmitIcmpEcho(BYTE type, WORD id, WORD sequence, ByteSpan data) {
  Bytes b;
  b.reserve(8 + data.size());
  b.push_back(type);
  b.push_back(0);
  Put16(b, 0);
  Put16(b, id);
  Put16(b, sequence);
  b.insert(b.end(), data.begin(), data.end());
  WORD sum = InternetChecksum(b);
  b[2] = static_cast<BYTE>(sum >> 8);
  b[3] = static_cast<BYTE>(sum);
  return b;
}

}  // namespace platform::sim
