// The packet-capture driver's interface: control codes, OIDs and the records
// that travel with them. Devices named NPF_<name> are the capture driver bound
// to one adapter; devices named <name> are the adapter's own NDIS device,
// which answers IOCTL_NDIS_QUERY_GLOBAL_STATS. Both machines implement these
// devices (sim: simulated adapters; linux: AF_PACKET and ethtool).
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/wintypes.h"

namespace npf {

constexpr const char* kDevicePrefix = "NPF_";

// Capture driver control codes.
constexpr DWORD IOCTL_PROTOCOL_QUERY_OID = 0x80000004;
constexpr DWORD IOCTL_PROTOCOL_SET_OID = 0x80000000;
constexpr DWORD IOCTL_PROTOCOL_RESET = 0x8000000C;
constexpr DWORD PACKET_GETEVENTNAME_IOCTL = 7415;    // out: 26-byte event name (drivers before 4.0)
constexpr DWORD PACKET_SETEVENTHANDLE_IOCTL = 7920;  // in: 4-byte event handle (4.0 and later)
constexpr DWORD PACKET_SETBPFILTER_IOCTL = 9030;     // in: n x 8-byte instructions
constexpr DWORD PACKET_GETSTATS_IOCTL = 9031;        // out: 8 bytes, received then dropped
constexpr DWORD PACKET_MULTIPLEWRITE_IOCTL = 9032;   // in: capture-format buffer of frames
constexpr DWORD PACKET_SETBUFFERSIZE_IOCTL = 9592;   // in: 4 bytes
constexpr DWORD PACKET_SETMINTOCOPY_IOCTL = 7414;    // in: 4 bytes
constexpr DWORD PACKET_SETREADTIMEOUT_IOCTL = 7416;  // in: 4 bytes, ms
constexpr DWORD PACKET_SETNOLOOPBACKS_IOCTL = 7410;  // in: 4 bytes, 1 = skip own, 2 = capture own
// NDIS device (not the capture driver).
constexpr DWORD IOCTL_NDIS_QUERY_GLOBAL_STATS = 0x00170002;  // in: 4-byte OID; out: its value

// OIDs.
constexpr DWORD OID_GEN_SUPPORTED_LIST = 0x00010101;
constexpr DWORD OID_GEN_MEDIA_IN_USE = 0x00010104;
constexpr DWORD OID_GEN_MAXIMUM_LOOKAHEAD = 0x00010105;
constexpr DWORD OID_GEN_LINK_SPEED = 0x00010107;  // units of 100 bit/s
constexpr DWORD OID_GEN_CURRENT_PACKET_FILTER = 0x0001010E;
constexpr DWORD OID_GEN_CURRENT_LOOKAHEAD = 0x0001010F;
constexpr DWORD OID_GEN_MAXIMUM_TOTAL_SIZE = 0x00010111;
constexpr DWORD OID_GEN_MEDIA_CONNECT_STATUS = 0x00010114;  // 0 connected, 1 disconnected
constexpr DWORD OID_802_3_CURRENT_ADDRESS = 0x01010102;
constexpr DWORD OID_TCP_TASK_OFFLOAD = 0xFC010201;
constexpr DWORD OID_TCP_OFFLOAD_CURRENT_CONFIG = 0xFC01020B;

constexpr DWORD NdisMedium802_3 = 0;
constexpr DWORD NDIS_PACKET_TYPE_DIRECTED = 0x01;
constexpr DWORD NDIS_PACKET_TYPE_MULTICAST = 0x02;
constexpr DWORD NDIS_PACKET_TYPE_ALL_MULTICAST = 0x04;
constexpr DWORD NDIS_PACKET_TYPE_BROADCAST = 0x08;
constexpr DWORD NDIS_PACKET_TYPE_PROMISCUOUS = 0x20;

// OID request record of the query and set codes.
constexpr std::size_t kOidDataMax = 4096;
struct PACKET_OID_DATA {
  DWORD Oid;
  DWORD Length;
  BYTE Data[kOidDataMax];
};
static_assert(sizeof(PACKET_OID_DATA) == 4104);
static_assert(offsetof(PACKET_OID_DATA, Data) == 8);

// One filter instruction (classic BPF).
struct bpf_insn {
  WORD code;
  BYTE jt;
  BYTE jf;
  DWORD k;
};
static_assert(sizeof(bpf_insn) == 8);

struct bpf_stat {
  UINT bs_recv;
  UINT bs_drop;
};
static_assert(sizeof(bpf_stat) == 8);

// Each packet that a read delivers (and each frame of a multiple write)
// follows one of these headers; the next header starts at the next multiple
// of 4 after the packet (Packet_WORDALIGN).
struct bpf_timeval {
  std::int32_t tv_sec;
  std::int32_t tv_usec;
};
struct bpf_hdr {
  bpf_timeval bh_tstamp;
  UINT bh_caplen;   // bytes present
  UINT bh_datalen;  // bytes on the wire
  WORD bh_hdrlen;   // this header's length with padding: 20
};
static_assert(sizeof(bpf_hdr) == 20);
static_assert(offsetof(bpf_hdr, bh_caplen) == 8);
static_assert(offsetof(bpf_hdr, bh_hdrlen) == 16);
constexpr std::size_t Packet_WORDALIGN(std::size_t x) { return (x + 3) & ~std::size_t{3}; }

// NDIS 5 task offload query (OID_TCP_TASK_OFFLOAD).
struct NDIS_TASK_OFFLOAD_HEADER {
  DWORD Version;  // 1
  DWORD Size;     // 28
  DWORD Reserved;
  DWORD OffsetFirstTask;  // from this header; 0 = none
  DWORD EncapsulationFormatEncapsulation;  // 2 = IEEE 802.3
  DWORD EncapsulationFormatFlags;
  DWORD EncapsulationHeaderSize;
};
static_assert(sizeof(NDIS_TASK_OFFLOAD_HEADER) == 28);
struct NDIS_TASK_OFFLOAD {
  DWORD Version;
  DWORD Size;
  DWORD Task;            // 0 = TCP/IP checksum
  DWORD OffsetNextTask;  // from this record; 0 = last
  DWORD TaskBufferLength;
  // TaskBuffer follows at byte 20
};
static_assert(sizeof(NDIS_TASK_OFFLOAD) == 20);
constexpr DWORD TcpIpChecksumNdisTask = 0;

// The 16-byte checksum task (NDIS_TASK_TCP_IP_CHECKSUM): four flag words.
struct NDIS_TASK_TCP_IP_CHECKSUM {
  DWORD V4Transmit;
  DWORD V4Receive;
  DWORD V6Transmit;
  DWORD V6Receive;
};
static_assert(sizeof(NDIS_TASK_TCP_IP_CHECKSUM) == 16);
constexpr DWORD kCksumIpOptions = 0x01;
constexpr DWORD kCksumTcpOptions = 0x02;
constexpr DWORD kCksumTcp = 0x04;
constexpr DWORD kCksumUdp = 0x08;
constexpr DWORD kCksumIp = 0x10;

// NDIS 6 current offload configuration (OID_TCP_OFFLOAD_CURRENT_CONFIG):
// a 4-byte object header (type 0xA7, revision 1, size), then the checksum
// part as four pairs of words (encapsulation, 2-bit fields).
struct NDIS_OBJECT_HEADER {
  BYTE Type;  // 0xA7
  BYTE Revision;
  WORD Size;
};
static_assert(sizeof(NDIS_OBJECT_HEADER) == 4);
constexpr BYTE NDIS_OBJECT_TYPE_OFFLOAD = 0xA7;
struct NDIS6_CHECKSUM_PAIR {
  DWORD Encapsulation;
  DWORD Fields;  // bits 0-1 IP options, 2-3 TCP options, 4-5 TCP cksum, 6-7 UDP cksum, 8-9 IP cksum
};
struct NDIS6_CHECKSUM_OFFLOAD {
  NDIS6_CHECKSUM_PAIR IPv4Transmit;
  NDIS6_CHECKSUM_PAIR IPv4Receive;
  NDIS6_CHECKSUM_PAIR IPv6Transmit;
  NDIS6_CHECKSUM_PAIR IPv6Receive;
};
static_assert(sizeof(NDIS6_CHECKSUM_OFFLOAD) == 32);
constexpr DWORD kNdis6OffloadMinimum = 112;

}  // namespace npf
