#include "linux/oid_answers_linux.h"

#include <cerrno>
#include <cstring>
#include <optional>

#include "platform/npf.h"
#include "platform/winerror.h"

namespace platform::linuxhost {
namespace {

constexpr DWORD kEthernetHeader = 14;
constexpr DWORD kEncapsulation802_3 = 2;  // NDIS_ENCAPSULATION_IEEE_802_3
constexpr DWORD kSupported = 1;           // NDIS_OFFLOAD_SUPPORTED

void PutDword(std::vector<BYTE>* value, DWORD number) {
  value->resize(sizeof number);
  std::memcpy(value->data(), &number, sizeof number);
}

// The 2-bit fields of one checksum pair: bits 0-1 IP options, 2-3 TCP
// options, 4-5 TCP checksum, 6-7 UDP checksum, 8-9 IP checksum.
npf::NDIS6_CHECKSUM_PAIR ChecksumPair(bool layer4) {
  npf::NDIS6_CHECKSUM_PAIR pair{};
  pair.Encapsulation = kEncapsulation802_3;
  if (layer4) {
    pair.Fields = (kSupported << 0) | (kSupported << 2) | (kSupported << 4) | (kSupported << 6);
  }
  return pair;
}

}  // namespace

DWORD LinkSpeedUnits(std::uint32_t megabits) {
  std::uint64_t units = std::uint64_t{megabits} * 10000;
  return units > 0xFFFFFFFFULL ? 0xFFFFFFFFU : static_cast<DWORD>(units);
}

std::vector<DWORD> SupportedOids() {
  return {npf::OID_GEN_SUPPORTED_LIST,        npf::OID_GEN_MEDIA_IN_USE,        npf::OID_GEN_MAXIMUM_LOOKAHEAD,
          npf::OID_GEN_LINK_SPEED,            npf::OID_GEN_CURRENT_PACKET_FILTER, npf::OID_GEN_CURRENT_LOOKAHEAD,
          npf::OID_GEN_MAXIMUM_TOTAL_SIZE,    npf::OID_GEN_MEDIA_CONNECT_STATUS, npf::OID_802_3_CURRENT_ADDRESS,
          npf::OID_TCP_OFFLOAD_CURRENT_CONFIG};
}

std::vector<BYTE> Ndis6OffloadRecord(const OffloadFeatures& features) {
  std::vector<BYTE> record(npf::kNdis6OffloadMinimum, 0);
  npf::NDIS_OBJECT_HEADER header{npf::NDIS_OBJECT_TYPE_OFFLOAD, 1, static_cast<WORD>(npf::kNdis6OffloadMinimum)};
  std::memcpy(record.data(), &header, sizeof header);
  // Linux always computes and checks the IPv4 header checksum itself, so
  // only the TCP and UDP checksums can be the hardware's.
  npf::NDIS6_CHECKSUM_OFFLOAD checksum{};
  checksum.IPv4Transmit = ChecksumPair(features.txChecksumIpv4 || features.txChecksumGeneric);
  checksum.IPv4Receive = ChecksumPair(features.rxChecksum);
  checksum.IPv6Transmit = ChecksumPair(features.txChecksumIpv6 || features.txChecksumGeneric);
  checksum.IPv6Receive = ChecksumPair(features.rxChecksum);
  std::memcpy(record.data() + sizeof header, &checksum, sizeof checksum);
  return record;
}

DWORD AnswerInterfaceOid(const std::string& name, DWORD oid, std::vector<BYTE>* value, int sock) {
  value->clear();
  if (oid == npf::OID_GEN_SUPPORTED_LIST) {
    std::vector<DWORD> oids = SupportedOids();
    value->resize(oids.size() * sizeof(DWORD));
    std::memcpy(value->data(), oids.data(), value->size());
    return ERROR_SUCCESS;
  }
  // Each answer asks the kernel only for the facts it needs.
  unsigned wanted = 0;
  switch (oid) {
    case npf::OID_GEN_MAXIMUM_LOOKAHEAD:
    case npf::OID_GEN_CURRENT_LOOKAHEAD:
    case npf::OID_GEN_MAXIMUM_TOTAL_SIZE:
      wanted = kFactMtu;
      break;
    case npf::OID_GEN_MEDIA_CONNECT_STATUS:
    case npf::OID_GEN_CURRENT_PACKET_FILTER:
      wanted = kFactFlags;
      break;
    case npf::OID_802_3_CURRENT_ADDRESS:
      wanted = kFactHardware;
      break;
    default:
      break;
  }
  std::optional<ControlSocket> own;  // a socket of its own only where none was given
  if (sock < 0) {
    own.emplace();
    sock = own->get();
  }
  std::optional<InterfaceFacts> facts = sock >= 0 ? ReadInterface(sock, name, wanted) : std::nullopt;
  if (!facts) return ERROR_DEV_NOT_EXIST;
  switch (oid) {
    case npf::OID_GEN_MEDIA_IN_USE:
      PutDword(value, npf::NdisMedium802_3);
      return ERROR_SUCCESS;
    case npf::OID_GEN_MAXIMUM_LOOKAHEAD:
    case npf::OID_GEN_CURRENT_LOOKAHEAD:
      PutDword(value, facts->mtu);
      return ERROR_SUCCESS;
    case npf::OID_GEN_MAXIMUM_TOTAL_SIZE:
      PutDword(value, facts->mtu + kEthernetHeader);
      return ERROR_SUCCESS;
    case npf::OID_GEN_LINK_SPEED:
      PutDword(value, LinkSpeedUnits(LinkSpeedMbps(sock, name).value_or(0)));
      return ERROR_SUCCESS;
    case npf::OID_GEN_MEDIA_CONNECT_STATUS:
      PutDword(value, HasCarrier(sock, *facts) ? 0 : 1);
      return ERROR_SUCCESS;
    case npf::OID_GEN_CURRENT_PACKET_FILTER:
      PutDword(value, npf::NDIS_PACKET_TYPE_DIRECTED | npf::NDIS_PACKET_TYPE_MULTICAST | npf::NDIS_PACKET_TYPE_BROADCAST |
                          (facts->promiscuous ? npf::NDIS_PACKET_TYPE_PROMISCUOUS : 0));
      return ERROR_SUCCESS;
    case npf::OID_802_3_CURRENT_ADDRESS:
      value->assign(facts->mac.begin(), facts->mac.end());
      return ERROR_SUCCESS;
    case npf::OID_TCP_OFFLOAD_CURRENT_CONFIG: {
      std::optional<OffloadFeatures> features = ReadOffloadFeatures(sock, name);
      *value = Ndis6OffloadRecord(features.value_or(OffloadFeatures{}));
      return ERROR_SUCCESS;
    }
    default:
      return ERROR_NOT_SUPPORTED;
  }
}

}  // namespace platform::linuxhost
