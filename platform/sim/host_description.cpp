// The host description format. One statement a line; '#' starts a comment
// (outside quotes). Texts with blanks may be quoted ("a b", with \" and \\).
//
//   host NAME | domain NAME | computer NAME | dns IP (repeatable)
//   node-type broadcast|peer-to-peer|mixed|hybrid | routing on|off | seed N
//   os-name TEXT | os-family TEXT | os-text TEXT | os-service-pack TEXT
//   os-version A.B.C | edition TEXT | display-version TEXT
//   processors N | elevated yes|no | driver-version A.B.C.D
//   auto-routes yes|no | settings memory|file | tun-device present|missing|denied
//   route DEST/BITS NEXTHOP [metric N] [adapter NAME]
//   name HOSTNAME IP
//   adapter NAME ... end            (adapter keys below, one a line)
//   peer IP [mac M] [adapter NAME] [arp yes|no] [ping yes|no] [delay MS]
//           [loss P] [dup P] [late P MS] [ttl N]
//   router IP ...                   (as peer; far hosts sit behind it)
//   far IP [via ROUTER] [ping yes|no] [delay MS] [loss P] [dup P] [late P MS] [ttl N]
//
// Adapter keys: description, connection, pnp-id, mac, index, type
// (ethernet|wireless|N), medium (802.3|N), speed (N[k|M|G] bit/s), max-total-size,
// max-lookahead, ip (A/BITS or A), mask, gateway (repeatable), dhcp, dhcp-server,
// connected, connect-status (ok|fails), promiscuous, opens (yes|no|N: only the
// first N opens succeed), dos-link (yes|define),
// ndis-device (yes|no), offload (none|ndis5|ndis5-no-checksum|ndis6),
// checksum DIRECTION FIELD[=VALUE]..., supported-list-bytes N,
// lso-v1-ipv4 / lso-v1-ipv6 / lso-v2-ipv4 / lso-v2-ipv6 TEXT.
// Probabilities are 0..1 or a percentage ("10%"). A far host's delay is its
// whole round trip.
#include <strings.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "platform/sim/sim_host.h"
#include "sim/sim_frames.h"

namespace platform::sim {
namespace {

// The most opens an adapter may be allowed before it refuses ("opens N").
constexpr DWORD kMaxOpens = 1000000;

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

// Splits a line into words; false (with a reason) for an unterminated quote.
bool Tokenize(const std::string& line, std::vector<std::string>* words, std::string* why) {
  words->clear();
  std::size_t i = 0;
  while (i < line.size()) {
    char c = line[i];
    if (c == ' ' || c == '\t' || c == '\r') {
      ++i;
      continue;
    }
    if (c == '#') break;
    std::string word;
    if (c == '"') {
      ++i;
      bool closed = false;
      while (i < line.size()) {
        char d = line[i++];
        if (d == '"') {
          closed = true;
          break;
        }
        if (d == '\\' && i < line.size()) d = line[i++];
        word += d;
      }
      if (!closed) {
        *why = "unterminated quoted text";
        return false;
      }
      if (i < line.size() && line[i] != ' ' && line[i] != '\t' && line[i] != '\r') {
        *why = "text directly after a closing quote";
        return false;
      }
    } else {
      while (i < line.size() && line[i] != ' ' && line[i] != '\t' && line[i] != '\r' && line[i] != '#') {
        if (line[i] == '"') {
          *why = "quote inside a word";
          return false;
        }
        word += line[i++];
      }
    }
    words->push_back(std::move(word));
  }
  return true;
}

bool ParseUint(const std::string& text, std::uint64_t max, std::uint64_t* value) {
  if (text.empty() || text.size() > 20) return false;
  std::uint64_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    std::uint64_t next = v * 10 + static_cast<unsigned>(c - '0');
    if (next / 10 != v) return false;
    v = next;
  }
  if (v > max) return false;
  *value = v;
  return true;
}

bool ParseDword(const std::string& text, DWORD max, DWORD* value) {
  std::uint64_t v;
  if (!ParseUint(text, max, &v)) return false;
  *value = static_cast<DWORD>(v);
  return true;
}

// Strict dotted-quad decimal; the result in network byte order.
bool ParseIp(const std::string& text, DWORD* ip) {
  BYTE parts[4];
  std::size_t start = 0;
  for (int i = 0; i < 4; ++i) {
    std::size_t end = text.find('.', start);
    if ((i < 3) != (end != std::string::npos)) return false;
    std::string part = text.substr(start, i < 3 ? end - start : std::string::npos);
    std::uint64_t v;
    if (part.size() > 3 || !ParseUint(part, 255, &v)) return false;
    parts[i] = static_cast<BYTE>(v);
    start = end + 1;
  }
  std::memcpy(ip, parts, 4);
  return true;
}

DWORD MaskOfBits(DWORD bits) {
  DWORD host = bits == 0 ? 0 : 0xFFFFFFFFu << (32 - bits);
  BYTE raw[4] = {static_cast<BYTE>(host >> 24), static_cast<BYTE>(host >> 16), static_cast<BYTE>(host >> 8),
                 static_cast<BYTE>(host)};
  DWORD net;
  std::memcpy(&net, raw, 4);
  return net;
}

bool IsContiguousMask(DWORD net) {
  BYTE raw[4];
  std::memcpy(raw, &net, 4);
  DWORD host = (DWORD{raw[0]} << 24) | (DWORD{raw[1]} << 16) | (DWORD{raw[2]} << 8) | raw[3];
  DWORD inverted = ~host;
  return (inverted & (inverted + 1)) == 0;
}

// "A/BITS" or "A" (mask given apart).
bool ParseIpWithBits(const std::string& text, DWORD* ip, std::optional<DWORD>* mask) {
  std::size_t slash = text.find('/');
  if (slash == std::string::npos) {
    mask->reset();
    return ParseIp(text, ip);
  }
  DWORD bits;
  if (!ParseIp(text.substr(0, slash), ip) || !ParseDword(text.substr(slash + 1), 32, &bits)) return false;
  *mask = MaskOfBits(bits);
  return true;
}

bool ParseMacText(const std::string& text, Mac* mac) {
  if (text.size() != 17) return false;
  char sep = text[2];
  if (sep != '-' && sep != ':') return false;
  for (int i = 0; i < 6; ++i) {
    if (i < 5 && text[static_cast<std::size_t>(i) * 3 + 2] != sep) return false;
    unsigned v = 0;
    for (int j = 0; j < 2; ++j) {
      char c = text[static_cast<std::size_t>(i) * 3 + static_cast<std::size_t>(j)];
      unsigned d;
      if (c >= '0' && c <= '9') d = static_cast<unsigned>(c - '0');
      else if (c >= 'a' && c <= 'f') d = static_cast<unsigned>(c - 'a' + 10);
      else if (c >= 'A' && c <= 'F') d = static_cast<unsigned>(c - 'A' + 10);
      else return false;
      v = v * 16 + d;
    }
    (*mac)[static_cast<std::size_t>(i)] = static_cast<BYTE>(v);
  }
  return true;
}

bool ParseBool(const std::string& text, bool* value) {
  std::string t = Lower(text);
  if (t == "yes" || t == "on" || t == "true") *value = true;
  else if (t == "no" || t == "off" || t == "false") *value = false;
  else return false;
  return true;
}

bool ParseProbability(const std::string& text, double* p) {
  if (text.empty() || text.size() > 24) return false;
  std::string t = text;
  bool percent = t.back() == '%';
  if (percent) t.pop_back();
  if (t.empty() || t.find_first_not_of("0123456789.") != std::string::npos) return false;
  errno = 0;
  char* end = nullptr;
  double v = std::strtod(t.c_str(), &end);
  if (errno != 0 || end != t.c_str() + t.size() || !std::isfinite(v)) return false;
  if (percent) v /= 100.0;
  if (v < 0 || v > 1) return false;
  *p = v;
  return true;
}

// "N", "Nk", "NM" or "NG" bit/s, optionally followed by "bit/s" or "bps";
// the result in the NDIS unit of 100 bit/s.
bool ParseSpeed(const std::string& text, DWORD* units) {
  std::string t = text;
  for (const char* suffix : {"bit/s", "bps"}) {
    std::size_t n = std::strlen(suffix);
    if (t.size() > n && Lower(t.substr(t.size() - n)) == suffix) t.resize(t.size() - n);
  }
  std::uint64_t scale = 1;
  if (!t.empty()) {
    char last = t.back();
    if (last == 'k' || last == 'K') scale = 1000;
    else if (last == 'M') scale = 1000000;
    else if (last == 'G') scale = 1000000000;
    if (scale != 1) t.pop_back();
  }
  std::uint64_t v;
  if (!ParseUint(t, 1000000000000ull, &v)) return false;
  std::uint64_t bits = v * scale;
  if (bits % 100 != 0 || bits / 100 > 0xFFFFFFFFull) return false;
  *units = static_cast<DWORD>(bits / 100);
  return true;
}

bool ParseVersion(const std::string& text, int parts, WORD* out) {
  std::size_t start = 0;
  for (int i = 0; i < parts; ++i) {
    std::size_t end = text.find('.', start);
    if ((i < parts - 1) != (end != std::string::npos)) return false;
    std::uint64_t v;
    if (!ParseUint(text.substr(start, i < parts - 1 ? end - start : std::string::npos), 65535, &v)) return false;
    out[i] = static_cast<WORD>(v);
    start = end + 1;
  }
  return true;
}

bool ValidAdapterName(const std::string& name) {
  if (name.empty() || name.size() > 200) return false;
  for (char c : name) {
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_' && c != '-' && c != '.' && c != '{' && c != '}')
      return false;
  }
  return true;
}

std::string MacText(const Mac& m) {
  char t[24];
  std::snprintf(t, sizeof t, "%02X-%02X-%02X-%02X-%02X-%02X", m[0], m[1], m[2], m[3], m[4], m[5]);
  return t;
}

std::string IpText(DWORD ip) {
  BYTE b[4];
  std::memcpy(b, &ip, 4);
  char t[20];
  std::snprintf(t, sizeof t, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
  return t;
}

class Parser {
 public:
  Parser(HostModel* model, std::vector<DescriptionError>* errors) : m_(*model), errors_(*errors) {}

  void Line(int number, const std::string& text) {
    line_ = number;
    std::vector<std::string> w;
    std::string why;
    if (!Tokenize(text, &w, &why)) return Error(why);
    if (w.empty()) return;
    std::string key = Lower(w[0]);
    if (adapter_) return AdapterLine(key, w);
    if (key == "adapter") return StartAdapter(w);
    if (key == "end") return Error("'end' without an open 'adapter' block");
    if (key == "peer" || key == "router") return PeerLine(key == "router", w);
    if (key == "far") return FarLine(w);
    if (key == "route") return RouteLine(w);
    if (key == "name") return NameLine(w);
    HostLine(key, w);
  }

  void Finish(int lastLine) {
    if (adapter_) {
      line_ = adapterLine_;
      Error("adapter '" + adapter_->name + "' has no 'end' (file ends at line " + std::to_string(lastLine) + ")");
      CloseAdapter();
    }
    Resolve();
  }

 private:
  void Error(const std::string& message) { errors_.push_back({line_, message}); }
  void ErrorAt(int line, const std::string& message) { errors_.push_back({line, message}); }

  bool Need(const std::vector<std::string>& w, std::size_t count, const char* usage) {
    if (w.size() == count) return true;
    Error("'" + w[0] + "' takes " + usage);
    return false;
  }

  // The value of a text key: one quoted word or the remaining words joined.
  bool Text(const std::vector<std::string>& w, std::string* value) {
    if (w.size() < 2) {
      Error("'" + w[0] + "' needs a text");
      return false;
    }
    std::string t = w[1];
    for (std::size_t i = 2; i < w.size(); ++i) t += " " + w[i];
    if (t.size() > 255) {
      Error("'" + w[0] + "': text longer than 255 characters");
      return false;
    }
    *value = t;
    return true;
  }

  bool Bool(const std::vector<std::string>& w, bool* value) {
    if (!Need(w, 2, "yes or no")) return false;
    if (ParseBool(w[1], value)) return true;
    Error("'" + w[0] + "': expected yes or no, not '" + w[1] + "'");
    return false;
  }

  bool Ip(const std::string& key, const std::string& text, DWORD* ip) {
    if (ParseIp(text, ip)) return true;
    Error("'" + key + "': bad IPv4 address '" + text + "'");
    return false;
  }

  bool Number(const std::string& key, const std::string& text, DWORD max, DWORD* value) {
    if (ParseDword(text, max, value)) return true;
    Error("'" + key + "': expected a number from 0 to " + std::to_string(max) + ", not '" + text + "'");
    return false;
  }

  void HostLine(const std::string& key, const std::vector<std::string>& w) {
    DWORD ip, n;
    bool b;
    std::string t;
    if (key == "host") {
      if (Need(w, 2, "one name")) {
        if (w[1].size() > 128) Error("'host': name longer than 128 characters");
        else m_.hostName = w[1];
      }
    } else if (key == "domain") {
      if (Need(w, 2, "one name")) {
        if (w[1].size() > 128) Error("'domain': name longer than 128 characters");
        else m_.domainName = w[1];
      }
    } else if (key == "computer") {
      if (Need(w, 2, "one name")) m_.facts.computerName = w[1];
    } else if (key == "dns") {
      if (Need(w, 2, "one IPv4 address") && Ip(key, w[1], &ip)) m_.dnsServers.push_back(ip);
    } else if (key == "node-type") {
      if (!Need(w, 2, "broadcast, peer-to-peer, mixed or hybrid")) return;
      std::string v = Lower(w[1]);
      if (v == "broadcast") m_.nodeType = BROADCAST_NODETYPE;
      else if (v == "peer-to-peer") m_.nodeType = PEER_TO_PEER_NODETYPE;
      else if (v == "mixed") m_.nodeType = MIXED_NODETYPE;
      else if (v == "hybrid") m_.nodeType = HYBRID_NODETYPE;
      else if (Number(key, w[1], 0xFFFFFFFF, &n)) m_.nodeType = n;
    } else if (key == "routing") {
      if (Bool(w, &b)) m_.ipRouting = b;
    } else if (key == "seed") {
      std::uint64_t s;
      if (!Need(w, 2, "one number")) return;
      if (ParseUint(w[1], ~std::uint64_t{0}, &s)) m_.seed = s;
      else Error("'seed': expected a number, not '" + w[1] + "'");
    } else if (key == "os-name") {
      if (Text(w, &t)) m_.facts.osNames[0] = t;
    } else if (key == "os-family") {
      if (Text(w, &t)) m_.facts.osNames[1] = t;
    } else if (key == "os-text") {
      if (Text(w, &t)) m_.facts.osNames[2] = t;
    } else if (key == "os-service-pack") {
      if (Text(w, &t)) m_.facts.osNames[3] = t;
    } else if (key == "os-version") {
      WORD v[3];
      if (!Need(w, 2, "a version A.B.C")) return;
      if (!ParseVersion(w[1], 3, v)) return Error("'os-version': expected A.B.C, not '" + w[1] + "'");
      m_.facts.version = {v[0], v[1], v[2]};
    } else if (key == "edition") {
      if (Text(w, &t)) m_.editionId = t;
    } else if (key == "display-version") {
      if (Text(w, &t)) m_.displayVersion = t;
    } else if (key == "processors") {
      if (Need(w, 2, "one number") && Number(key, w[1], 4096, &n)) {
        if (n == 0) Error("'processors': at least 1");
        else m_.facts.processorCount = n;
      }
    } else if (key == "elevated") {
      if (Bool(w, &b)) m_.facts.elevated = b;
    } else if (key == "driver-version") {
      if (!Need(w, 2, "a version A.B.C.D")) return;
      if (!ParseVersion(w[1], 4, m_.driverVersion.part))
        Error("'driver-version': expected A.B.C.D, not '" + w[1] + "'");
    } else if (key == "dos-device") {
      if (!Need(w, 3, "a device name and its target")) return;
      if (w[1].size() > 255 || w[1].find('\\') != std::string::npos) {
        Error("'dos-device': bad name '" + w[1] + "'");
      } else {
        m_.dosDevices.push_back({w[1], w[2]});
      }
    } else if (key == "capture-library") {
      if (!Need(w, 2, "present or absent")) return;
      std::string v = Lower(w[1]);
      if (v == "present") m_.facts.captureInstalled = true;
      else if (v == "absent") m_.facts.captureInstalled = false;
      else Error("'capture-library': expected present or absent, not '" + w[1] + "'");
    } else if (key == "auto-routes") {
      if (Bool(w, &b)) m_.autoRoutes = b;
    } else if (key == "settings") {
      if (!Need(w, 2, "memory or file")) return;
      std::string v = Lower(w[1]);
      if (v == "memory") m_.settingsInFiles = false;
      else if (v == "file") m_.settingsInFiles = true;
      else Error("'settings': expected memory or file, not '" + w[1] + "'");
    } else if (key == "tun-device") {
      if (!Need(w, 2, "present, missing or denied")) return;
      const std::string v = Lower(w[1]);
      if (v == "present") m_.tunDevice = TunDevice::kPresent;
      else if (v == "missing") m_.tunDevice = TunDevice::kMissing;
      else if (v == "denied") m_.tunDevice = TunDevice::kDenied;
      else Error("'tun-device': expected present, missing or denied, not '" + w[1] + "'");
    } else {
      Error("unknown statement '" + w[0] + "'");
    }
  }

  void StartAdapter(const std::vector<std::string>& w) {
    if (!Need(w, 2, "one adapter name")) return;
    if (!ValidAdapterName(w[1]))
      return Error("'adapter': bad name '" + w[1] + "' (letters, digits, _ - . { } only, at most 200)");
    adapter_ = SimAdapterModel{};
    adapter_->name = w[1];
    adapter_->maxLookahead = 0;  // unless given: the frame's payload
    adapterLine_ = line_;
    haveMac_ = false;
    maskGiven_.reset();
    bitsMask_.reset();
  }

  void CloseAdapter() {
    SimAdapterModel a = std::move(*adapter_);
    adapter_.reset();
    std::size_t i = m_.adapters.size();
    if (!haveMac_) ErrorAt(adapterLine_, "adapter '" + a.name + "' has no 'mac'");
    if (a.ip) {
      if (maskGiven_) a.mask = *maskGiven_;
      else if (bitsMask_) a.mask = *bitsMask_;
      else ErrorAt(adapterLine_, "adapter '" + a.name + "': 'ip' without a mask (use A/BITS or 'mask')");
    } else if (maskGiven_ || !a.gateways.empty()) {
      ErrorAt(adapterLine_, "adapter '" + a.name + "': 'mask' or 'gateway' without 'ip'");
    }
    if (a.maxLookahead == 0) a.maxLookahead = a.maxTotalSize > 14 ? a.maxTotalSize - 14 : 0;
    if (a.description.empty()) a.description = "Simulated Ethernet Adapter (" + a.name + ")";
    if (a.connectionName.empty())
      a.connectionName = i == 0 ? "Ethernet" : "Ethernet " + std::to_string(i + 1);
    if (a.pnpInstanceId.empty()) {
      char id[32];
      std::snprintf(id, sizeof id, "ROOT\\NET\\%04zu", i);
      a.pnpInstanceId = id;
    }
    if (a.index == 0) a.index = static_cast<DWORD>(11 + i);
    if (m_.FindAdapter(a.name)) ErrorAt(adapterLine_, "adapter '" + a.name + "' is described twice");
    adapterLines_.push_back(adapterLine_);
    m_.adapters.push_back(std::move(a));
  }

  bool Direction(const std::string& text, ChecksumDirection** d) {
    std::string t = Lower(text);
    ChecksumOffloadModel& c = adapter_->checksum;
    if (t == "v4-transmit") *d = &c.v4Transmit;
    else if (t == "v4-receive") *d = &c.v4Receive;
    else if (t == "v6-transmit") *d = &c.v6Transmit;
    else if (t == "v6-receive") *d = &c.v6Receive;
    else return false;
    return true;
  }

  void ChecksumLine(const std::vector<std::string>& w) {
    ChecksumDirection* d;
    if (w.size() < 2 || !Direction(w[1], &d))
      return Error("'checksum' takes v4-transmit, v4-receive, v6-transmit or v6-receive, then fields");
    bool v6 = Lower(w[1])[1] == '6';
    *d = ChecksumDirection{};
    for (std::size_t i = 2; i < w.size(); ++i) {
      std::string item = Lower(w[i]);
      DWORD value = 1;
      std::size_t eq = item.find('=');
      if (eq != std::string::npos) {
        if (!ParseDword(item.substr(eq + 1), 3, &value))
          return Error("'checksum': field value must be 0 to 3 in '" + w[i] + "'");
        item.resize(eq);
      }
      BYTE v = static_cast<BYTE>(value);
      if (item == "tcp") d->tcp = v;
      else if (item == "udp") d->udp = v;
      else if (item == "ip-options") d->ipOptions = v;
      else if (item == "tcp-options") d->tcpOptions = v;
      else if (item == "ip" && !v6) d->ip = v;
      else if (item == "ip") return Error("'checksum': IPv6 has no 'ip' field");
      else return Error("'checksum': unknown field '" + w[i] + "' (tcp, udp, ip, ip-options, tcp-options)");
    }
  }

  void AdapterLine(const std::string& key, const std::vector<std::string>& w) {
    SimAdapterModel& a = *adapter_;
    DWORD ip, n;
    bool b;
    std::string t;
    if (key == "end") {
      Need(w, 1, "nothing");
      CloseAdapter();
    } else if (key == "adapter" || key == "peer" || key == "router" || key == "far" || key == "route" ||
               key == "name") {
      Error("'" + w[0] + "' inside adapter '" + a.name + "' (missing 'end'?)");
    } else if (key == "description") {
      if (Text(w, &t)) a.description = t;
    } else if (key == "connection") {
      if (Text(w, &t)) a.connectionName = t;
    } else if (key == "pnp-id") {
      if (Text(w, &t)) a.pnpInstanceId = t;
    } else if (key == "mac") {
      if (!Need(w, 2, "one MAC address")) return;
      if (!ParseMacText(w[1], &a.mac)) return Error("'mac': bad MAC address '" + w[1] + "'");
      haveMac_ = true;
    } else if (key == "index") {
      if (Need(w, 2, "one number") && Number(key, w[1], 0xFFFFFFFF, &n)) {
        if (n < 2) Error("'index': 0 and 1 are taken (none, loopback)");
        else a.index = n;
      }
    } else if (key == "type") {
      if (!Need(w, 2, "ethernet, wireless or a number")) return;
      std::string v = Lower(w[1]);
      if (v == "ethernet") a.ifType = MIB_IF_TYPE_ETHERNET;
      else if (v == "wireless") a.ifType = 71;
      else if (Number(key, w[1], 0xFFFF, &n)) a.ifType = n;
    } else if (key == "medium") {
      if (!Need(w, 2, "802.3 or a number")) return;
      if (w[1] == "802.3") a.medium = 0;
      else if (Number(key, w[1], 0xFFFF, &n)) a.medium = n;
    } else if (key == "speed") {
      if (Need(w, 2, "one speed such as 1G or 100M") && !ParseSpeed(w[1], &a.linkSpeed))
        Error("'speed': expected bits per second such as 1G, 100M, 54M or 10000000 (a multiple of 100), not '" +
              w[1] + "'");
    } else if (key == "max-total-size") {
      if (Need(w, 2, "one number") && Number(key, w[1], 65535, &n)) {
        if (n < 60) Error("'max-total-size': at least 60");
        else a.maxTotalSize = n;
      }
    } else if (key == "max-lookahead") {
      if (Need(w, 2, "one number") && Number(key, w[1], 65535, &n)) a.maxLookahead = n;
    } else if (key == "ip") {
      std::optional<DWORD> mask;
      if (!Need(w, 2, "A/BITS or A")) return;
      if (!ParseIpWithBits(w[1], &ip, &mask)) return Error("'ip': bad address '" + w[1] + "' (A.B.C.D or A.B.C.D/BITS)");
      a.ip = ip;
      bitsMask_ = mask;
    } else if (key == "mask") {
      if (Need(w, 2, "one mask") && Ip(key, w[1], &ip)) {
        if (!IsContiguousMask(ip)) Error("'mask': " + w[1] + " is not a contiguous mask");
        else maskGiven_ = ip;
      }
    } else if (key == "gateway") {
      if (Need(w, 2, "one IPv4 address") && Ip(key, w[1], &ip)) a.gateways.push_back(ip);
    } else if (key == "dhcp") {
      if (Bool(w, &b)) a.dhcp = b;
    } else if (key == "dhcp-server") {
      if (Need(w, 2, "one IPv4 address") && Ip(key, w[1], &ip)) a.dhcpServer = ip;
    } else if (key == "connected") {
      if (Bool(w, &b)) a.connected = b;
    } else if (key == "connect-status") {
      if (!Need(w, 2, "ok or fails")) return;
      std::string v = Lower(w[1]);
      if (v == "ok") a.connectStatusFails = false;
      else if (v == "fails") a.connectStatusFails = true;
      else Error("'connect-status': expected ok or fails, not '" + w[1] + "'");
    } else if (key == "promiscuous") {
      if (Bool(w, &b)) a.promiscuousAccepted = b;
    } else if (key == "opens") {
      // yes, no, or the number of opens that succeed before the rest fail.
      if (!Need(w, 2, "yes, no or a number of opens")) return;
      DWORD n = 0;
      if (ParseBool(w[1], &b)) {
        a.opens = b;
        a.opensAllowed.reset();
      } else if (ParseDword(w[1], kMaxOpens, &n)) {
        a.opens = true;
        a.opensAllowed = n;
      } else {
        Error("'opens': expected yes, no or a number of opens from 0 to " + std::to_string(kMaxOpens) + ", not '" +
              w[1] + "'");
      }
    } else if (key == "dos-link") {
      if (!Need(w, 2, "yes or define")) return;
      std::string v = Lower(w[1]);
      if (v == "yes") a.needsDosDefine = false;
      else if (v == "define") a.needsDosDefine = true;
      else Error("'dos-link': expected yes or define, not '" + w[1] + "'");
    } else if (key == "ndis-device") {
      if (Bool(w, &b)) a.ndisDeviceOpens = b;
    } else if (key == "offload") {
      if (!Need(w, 2, "none, ndis5, ndis5-no-checksum or ndis6")) return;
      std::string v = Lower(w[1]);
      if (v == "none") a.offload = OffloadForm::kNone;
      else if (v == "ndis5") a.offload = OffloadForm::kNdis5;
      else if (v == "ndis5-no-checksum") a.offload = OffloadForm::kNdis5NoChecksumTask;
      else if (v == "ndis6") a.offload = OffloadForm::kNdis6;
      else Error("'offload': expected none, ndis5, ndis5-no-checksum or ndis6, not '" + w[1] + "'");
    } else if (key == "checksum") {
      ChecksumLine(w);
    } else if (key == "supported-list-bytes") {
      if (Need(w, 2, "one number") && Number(key, w[1], 65536, &n)) a.supportedListBytes = n;
    } else if (key == "lso-v1-ipv4" || key == "lso-v1-ipv6" || key == "lso-v2-ipv4" || key == "lso-v2-ipv6") {
      if (!Text(w, &t)) return;
      std::optional<std::string>& slot = key == "lso-v1-ipv4"   ? a.lsoV1Ipv4
                                         : key == "lso-v1-ipv6" ? a.lsoV1Ipv6
                                         : key == "lso-v2-ipv4" ? a.lsoV2Ipv4
                                                                : a.lsoV2Ipv6;
      slot = t;
    } else {
      Error("unknown adapter key '" + w[0] + "'");
    }
  }

  // The options shared by peers, routers and far hosts; false after an error.
  bool BehaviourOption(const std::vector<std::string>& w, std::size_t* i, Behaviour* b, bool* ping) {
    std::string key = Lower(w[*i]);
    auto value = [&](std::string* out) {
      if (*i + 1 >= w.size()) {
        Error("'" + w[*i] + "' needs a value");
        return false;
      }
      *out = w[++*i];
      return true;
    };
    std::string v;
    DWORD n;
    if (key == "ping") {
      if (!value(&v)) return false;
      if (!ParseBool(v, ping)) {
        Error("'ping': expected yes or no, not '" + v + "'");
        return false;
      }
    } else if (key == "delay") {
      if (!value(&v) || !Number(key, v, 600000, &n)) return false;
      b->delayMs = n;
    } else if (key == "ttl") {
      if (!value(&v) || !Number(key, v, 255, &n)) return false;
      if (n == 0) {
        Error("'ttl': at least 1");
        return false;
      }
      b->ttl = static_cast<BYTE>(n);
    } else if (key == "loss" || key == "dup") {
      double p;
      if (!value(&v)) return false;
      if (!ParseProbability(v, &p)) {
        Error("'" + key + "': expected a probability from 0 to 1 or a percentage, not '" + v + "'");
        return false;
      }
      (key == "loss" ? b->loss : b->duplicate) = p;
    } else if (key == "late") {
      double p;
      if (!value(&v)) return false;
      if (!ParseProbability(v, &p)) {
        Error("'late': expected a probability from 0 to 1 or a percentage, not '" + v + "'");
        return false;
      }
      if (*i + 1 >= w.size()) {
        Error("'late' needs a probability and a delay in milliseconds");
        return false;
      }
      if (!value(&v) || !Number("late", v, 600000, &n)) return false;
      b->late = p;
      b->lateMs = n;
    } else {
      return false;
    }
    return true;
  }

  void PeerLine(bool router, const std::vector<std::string>& w) {
    const char* kind = router ? "router" : "peer";
    if (w.size() < 2) return Error(std::string("'") + kind + "' needs an IPv4 address");
    PeerModel p;
    p.router = router;
    if (!Ip(kind, w[1], &p.ip)) return;
    bool haveMac = false;
    for (std::size_t i = 2; i < w.size(); ++i) {
      std::string key = Lower(w[i]);
      std::size_t before = errors_.size();
      if (BehaviourOption(w, &i, &p.behaviour, &p.answersPing)) continue;
      if (errors_.size() != before) return;
      if (i + 1 >= w.size()) return Error("'" + w[i] + "' needs a value");
      std::string v = w[++i];
      if (key == "mac") {
        if (!ParseMacText(v, &p.mac)) return Error("'mac': bad MAC address '" + v + "'");
        haveMac = true;
      } else if (key == "adapter") {
        p.adapter = v;
      } else if (key == "arp") {
        if (!ParseBool(v, &p.answersArp)) return Error("'arp': expected yes or no, not '" + v + "'");
      } else {
        return Error(std::string("unknown ") + kind + " option '" + w[i - 1] + "'");
      }
    }
    if (!haveMac) {
      // A stable, locally administered address made from the IP.
      BYTE b[4];
      std::memcpy(b, &p.ip, 4);
      p.mac = {0x02, 0x00, b[0], b[1], b[2], b[3]};
    }
    peerLines_.push_back(line_);
    m_.peers.push_back(p);
  }

  void FarLine(const std::vector<std::string>& w) {
    if (w.size() < 2) return Error("'far' needs an IPv4 address");
    FarHostModel f;
    f.behaviour.delayMs = 20;
    if (!Ip("far", w[1], &f.ip)) return;
    for (std::size_t i = 2; i < w.size(); ++i) {
      std::string key = Lower(w[i]);
      std::size_t before = errors_.size();
      if (BehaviourOption(w, &i, &f.behaviour, &f.answersPing)) continue;
      if (errors_.size() != before) return;
      if (key == "via" && i + 1 < w.size()) {
        if (!Ip("via", w[++i], &f.via)) return;
      } else {
        return Error("unknown far option '" + w[i] + "'" + (key == "via" ? " (needs a value)" : ""));
      }
    }
    farLines_.push_back(line_);
    m_.farHosts.push_back(f);
  }

  void RouteLine(const std::vector<std::string>& w) {
    if (w.size() < 3) return Error("'route' takes DEST/BITS NEXTHOP [metric N] [adapter NAME]");
    RouteModel r;
    std::optional<DWORD> mask;
    if (!ParseIpWithBits(w[1], &r.dest, &mask) || !mask)
      return Error("'route': destination must be A.B.C.D/BITS, not '" + w[1] + "'");
    r.mask = *mask;
    if (!Ip("route", w[2], &r.nextHop)) return;
    for (std::size_t i = 3; i < w.size(); i += 2) {
      if (i + 1 >= w.size()) return Error("'" + w[i] + "' needs a value");
      std::string key = Lower(w[i]);
      if (key == "metric") {
        if (!Number("metric", w[i + 1], 9999, &r.metric)) return;
      } else if (key == "adapter") {
        r.adapter = w[i + 1];
      } else {
        return Error("unknown route option '" + w[i] + "'");
      }
    }
    routeLines_.push_back(line_);
    m_.routes.push_back(r);
  }

  void NameLine(const std::vector<std::string>& w) {
    if (!Need(w, 3, "a host name and an IPv4 address")) return;
    NameModel n;
    n.name = w[1];
    if (n.name.size() > 255) return Error("'name': host name longer than 255 characters");
    if (!Ip("name", w[2], &n.ip)) return;
    m_.names.push_back(n);
  }

  static bool InSubnet(const SimAdapterModel& a, DWORD ip) { return a.ip && ((*a.ip ^ ip) & a.mask) == 0; }

  // Cross references, checked once everything is read.
  void Resolve() {
    std::map<Mac, std::string> macs;
    auto claim = [&](const Mac& mac, const std::string& who, int line) {
      if (IsGroupMac(mac)) return ErrorAt(line, who + ": " + MacText(mac) + " is a group (multicast) address");
      auto [it, fresh] = macs.emplace(mac, who);
      if (!fresh) ErrorAt(line, who + ": MAC address " + MacText(mac) + " is already used by " + it->second);
    };
    std::map<DWORD, std::string> ips;
    auto claimIp = [&](DWORD ip, const std::string& who, int line) {
      auto [it, fresh] = ips.emplace(ip, who);
      if (!fresh) ErrorAt(line, who + ": address " + IpText(ip) + " is already used by " + it->second);
    };
    for (std::size_t i = 0; i < m_.adapters.size(); ++i) {
      const SimAdapterModel& a = m_.adapters[i];
      claim(a.mac, "adapter '" + a.name + "'", adapterLines_[i]);
      if (a.ip) claimIp(*a.ip, "adapter '" + a.name + "'", adapterLines_[i]);
      for (std::size_t j = 0; j < i; ++j) {
        if (m_.adapters[j].index == a.index)
          ErrorAt(adapterLines_[i], "adapter '" + a.name + "': index " + std::to_string(a.index) + " is already used");
      }
    }
    for (std::size_t i = 0; i < m_.peers.size(); ++i) {
      PeerModel& p = m_.peers[i];
      std::string who = std::string(p.router ? "router " : "peer ") + IpText(p.ip);
      claim(p.mac, who, peerLines_[i]);
      claimIp(p.ip, who, peerLines_[i]);
      if (!p.adapter.empty()) {
        const SimAdapterModel* a = m_.FindAdapter(p.adapter);
        if (!a) ErrorAt(peerLines_[i], who + ": no adapter '" + p.adapter + "'");
        else p.adapter = a->name;
        continue;
      }
      for (const SimAdapterModel& a : m_.adapters) {
        if (InSubnet(a, p.ip)) {
          p.adapter = a.name;
          break;
        }
      }
      if (p.adapter.empty()) ErrorAt(peerLines_[i], who + " is on no adapter's subnet (name one with 'adapter')");
    }
    for (std::size_t i = 0; i < m_.farHosts.size(); ++i) {
      FarHostModel& f = m_.farHosts[i];
      std::string who = "far host " + IpText(f.ip);
      claimIp(f.ip, who, farLines_[i]);
      const PeerModel* via = nullptr;
      int routers = 0;
      for (const PeerModel& p : m_.peers) {
        if (!p.router) continue;
        ++routers;
        if (f.via == 0 ? routers == 1 : p.ip == f.via) via = &p;
      }
      if (f.via == 0 && routers > 1) {
        ErrorAt(farLines_[i], who + ": several routers; name one with 'via'");
      } else if (!via) {
        ErrorAt(farLines_[i], who + (f.via ? ": " + IpText(f.via) + " is not a router" : ": there is no router"));
      } else {
        f.via = via->ip;
        for (const SimAdapterModel& a : m_.adapters) {
          if (a.name == via->adapter && InSubnet(a, f.ip))
            ErrorAt(farLines_[i], who + " is on the LAN of adapter '" + a.name + "'; make it a peer");
        }
      }
    }
    for (std::size_t i = 0; i < m_.routes.size(); ++i) {
      RouteModel& r = m_.routes[i];
      if ((r.dest & ~r.mask) != 0) ErrorAt(routeLines_[i], "route: destination has bits outside its mask");
      if (!r.adapter.empty()) {
        const SimAdapterModel* a = m_.FindAdapter(r.adapter);
        if (!a) ErrorAt(routeLines_[i], "route: no adapter '" + r.adapter + "'");
        else r.adapter = a->name;
        continue;
      }
      for (const SimAdapterModel& a : m_.adapters) {
        if (InSubnet(a, r.nextHop)) {
          r.adapter = a.name;
          break;
        }
      }
      if (r.adapter.empty())
        ErrorAt(routeLines_[i], "route: next hop " + IpText(r.nextHop) + " is on no adapter's subnet (name one with 'adapter')");
    }
    if (m_.facts.computerName.empty()) m_.facts.computerName = m_.hostName;
  }

  HostModel& m_;
  std::vector<DescriptionError>& errors_;
  int line_ = 0;
  std::optional<SimAdapterModel> adapter_;
  int adapterLine_ = 0;
  bool haveMac_ = false;
  std::optional<DWORD> maskGiven_, bitsMask_;
  std::vector<int> adapterLines_, peerLines_, farLines_, routeLines_;
};

}  // namespace

bool ParseHostDescription(const std::string& text, HostModel* model, std::vector<DescriptionError>* errors) {
  HostModel fresh;
  std::vector<DescriptionError> found;
  Parser parser(&fresh, &found);
  std::size_t start = 0;
  int number = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    ++number;
    std::string line = text.substr(start, end - start);
    if (line.find('\0') != std::string::npos) {
      found.push_back({number, "NUL character in the line"});
    } else if (line.size() > 4096) {
      found.push_back({number, "line longer than 4096 characters"});
    } else {
      parser.Line(number, line);
    }
    start = end + 1;
  }
  parser.Finish(number);
  if (errors) *errors = found;
  if (!found.empty()) return false;
  *model = std::move(fresh);
  return true;
}

bool LoadHostDescription(const std::string& path, HostModel* model, std::vector<DescriptionError>* errors) {
  constexpr std::size_t kLargest = 1u << 20;
  std::error_code ignored;
  std::ifstream in(path, std::ios::binary);
  if (!in || std::filesystem::is_directory(path, ignored)) {
    const int error = in ? EISDIR : errno;
    if (errors) *errors = {{0, "cannot open the host description \"" + path + "\": " + std::strerror(error)}};
    return false;
  }
  // Read in pieces up to one byte past the limit: a device or pipe that
  // never ends is refused like a file that is too large.
  std::string content;
  char piece[16384];
  while (content.size() <= kLargest) {
    in.read(piece, sizeof piece);
    content.append(piece, static_cast<std::size_t>(in.gcount()));
    if (!in) break;
  }
  if (in.bad()) {
    if (errors) *errors = {{0, "cannot read the host description \"" + path + "\""}};
    return false;
  }
  if (content.size() > kLargest) {
    if (errors) *errors = {{0, "host description \"" + path + "\" is larger than 1 MiB"}};
    return false;
  }
  return ParseHostDescription(content, model, errors);
}

}  // namespace platform::sim
