// The simulated host: a model of one machine (adapters, routes, names, OS
// facts), the text format that describes it, and the running host built from
// a model: its LAN of peers and routers, its devices, its IP helper answers,
// the actions a test or the demo triggers at run time, and the stations that
// the virtual-interface library attaches to a LAN.
//
// A process on the sim machine runs the host described by the file named in
// MORVANE_SIM_HOST (inherited by child processes), or the built-in default
// host when the variable is unset or empty.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/machine.h"
#include "platform/sysinfo.h"
#include "platform/wintypes.h"

namespace platform::sim {

constexpr const char* kHostEnvVar = "MORVANE_SIM_HOST";

using Mac = std::array<BYTE, 6>;

// ---------------------------------------------------------------------------
// The model. IPv4 addresses are in network byte order, as in the IP helper's
// records.

// How a host on the LAN treats what reaches it. Probabilities are 0..1 and
// drawn from the host's seeded generator, so the same host and the same
// traffic give the same answers.
struct Behaviour {
  DWORD delayMs = 1;         // before each answer
  double loss = 0;           // an echo request goes unanswered
  double duplicate = 0;      // an echo reply is sent twice
  double late = 0;           // an echo reply comes lateMs after its delay
  DWORD lateMs = 0;
  BYTE ttl = 64;             // of the replies
};

struct PeerModel {
  DWORD ip = 0;
  Mac mac{};
  std::string adapter;  // the adapter whose LAN it is on
  bool router = false;  // forwards to the far hosts behind it
  bool answersArp = true;
  bool answersPing = true;
  Behaviour behaviour;
};

// A host beyond a router: answers echo requests routed to it.
struct FarHostModel {
  DWORD ip = 0;
  DWORD via = 0;  // the router's address
  bool answersPing = true;
  Behaviour behaviour;  // delayMs: the whole round trip
};

// Checksum offload as the adapter's NDIS device reports it.
enum class OffloadForm {
  kNone,                // neither offload OID is supported
  kNdis5,               // OID_TCP_TASK_OFFLOAD with a checksum task
  kNdis5NoChecksumTask, // OID_TCP_TASK_OFFLOAD whose list lacks the checksum task
  kNdis6,               // OID_TCP_OFFLOAD_CURRENT_CONFIG
};

// The 2-bit NDIS 6 field values per direction; the NDIS 5 form uses the
// flags of the fields whose value is 1.
struct ChecksumDirection {
  BYTE ipOptions = 0;
  BYTE tcpOptions = 0;
  BYTE tcp = 0;
  BYTE udp = 0;
  BYTE ip = 0;  // IPv4 only
};
struct ChecksumOffloadModel {
  ChecksumDirection v4Transmit, v4Receive, v6Transmit, v6Receive;
};

struct SimAdapterModel {
  std::string name;  // after the "NPF_" prefix; the GUID name's role
  std::string description;
  std::string connectionName;
  std::string pnpInstanceId;
  Mac mac{};
  DWORD index = 0;
  UINT ifType = MIB_IF_TYPE_ETHERNET;
  DWORD medium = 0;             // NDIS medium
  DWORD linkSpeed = 10000000;   // units of 100 bit/s
  DWORD maxTotalSize = 1514;
  DWORD maxLookahead = 1500;
  std::optional<DWORD> ip;  // none: the adapter has no IPv4 address
  DWORD mask = 0;
  std::vector<DWORD> gateways;
  bool dhcp = false;
  DWORD dhcpServer = 0;
  bool connected = true;
  bool connectStatusFails = false;  // OID_GEN_MEDIA_CONNECT_STATUS fails
  bool promiscuousAccepted = true;
  bool opens = true;             // NPF_<name> opens at all
  // Only this many opens of NPF_<name> succeed, the later ones fail (an
  // adapter that refuses once it has been listed); unset: every open.
  std::optional<DWORD> opensAllowed;
  bool needsDosDefine = false;   // NPF_<name> exists only once the process defined it
  bool ndisDeviceOpens = true;   // <name> (the NDIS device) opens
  OffloadForm offload = OffloadForm::kNone;
  ChecksumOffloadModel checksum;
  // Bytes the supported-OID list answer reports; unset: the real list. Odd
  // drivers answer 0 or more than fits.
  std::optional<DWORD> supportedListBytes;
  // Segment-offload keywords (registry text values); absent when unset.
  std::optional<std::string> lsoV1Ipv4, lsoV1Ipv6, lsoV2Ipv4, lsoV2Ipv6;
};

struct RouteModel {
  DWORD dest = 0;
  DWORD mask = 0;
  DWORD nextHop = 0;
  std::string adapter;  // empty: the adapter whose subnet holds the next hop
  DWORD metric = 25;
};

struct NameModel {
  std::string name;
  DWORD ip = 0;
};

struct FileVersion {
  WORD part[4] = {0, 0, 0, 0};
  std::string Text() const;  // "a.b.c.d"
};

// Whether processes of the host may create virtual interfaces (the TUN/TAP
// device). A host without the device, or one that refuses it to the program,
// lets a run show how a failed interface creation is reported.
enum class TunDevice {
  kPresent,
  kMissing,  // creating an interface fails with ENOENT, as without the device
  kDenied,   // creating an interface fails with EPERM, as without the right
};

struct HostModel {
  std::string hostName = "simhost";
  std::string domainName;
  std::vector<DWORD> dnsServers;
  UINT nodeType = HYBRID_NODETYPE;
  bool ipRouting = false;
  std::uint64_t seed = 1;
  SystemFacts facts;  // computerName empty: the host name
  std::string editionId;
  std::string displayVersion;
  FileVersion driverVersion;  // the packet-capture driver's file version
  bool autoRoutes = true;     // add the routes a host derives from its adapters
  // Per-user settings in the same files as on the real machine
  // ($XDG_CONFIG_HOME/Morvane/<program>.ini), so that they outlive the
  // process; otherwise kept in memory for the life of the process.
  bool settingsInFiles = false;
  TunDevice tunDevice = TunDevice::kPresent;
  std::vector<SimAdapterModel> adapters;
  std::vector<PeerModel> peers;
  std::vector<FarHostModel> farHosts;
  std::vector<RouteModel> routes;
  std::vector<NameModel> names;
  // DOS device names defined besides the capture devices (name, target).
  std::vector<std::pair<std::string, std::string>> dosDevices;

  const SimAdapterModel* FindAdapter(const std::string& name) const;
};

// The built-in host the demo, the README and the tests rely on.
HostModel DefaultHost();
// The default host written in the description format.
const char* DefaultHostDescription();

// ---------------------------------------------------------------------------
// The description format: one statement a line, '#' starts a comment.
// Any error rejects the whole text; every error names its line.
struct DescriptionError {
  int line = 0;  // 0: the file as a whole
  std::string message;
  std::string Text() const;  // "line N: message"
};

bool ParseHostDescription(const std::string& text, HostModel* model, std::vector<DescriptionError>* errors);
// Reads and parses a file; errors as above (file errors at line 0).
bool LoadHostDescription(const std::string& path, HostModel* model, std::vector<DescriptionError>* errors);
// What a program's --sim-host FILE does: checks the file and, when it is
// good, names it (as an absolute path) in MORVANE_SIM_HOST for this process
// and its children; if the sim machine is already running, its host is
// replaced too. A bad file changes nothing.
bool SelectHostFile(const std::string& path, std::vector<DescriptionError>* errors);

// ---------------------------------------------------------------------------
// A station on an adapter's LAN (the virtual-interface library's sim side).

enum class StationMode {
  kTap,  // Ethernet frames; owns its MAC on the LAN
  kTun,  // IP packets; the host routes for it and answers ARP for its address
};

struct StationOptions {
  StationMode mode = StationMode::kTap;
  Mac mac{};                 // kTap: the station's address on the LAN
  DWORD ip = 0;              // its IPv4 address (kTun: packets to it are delivered)
  bool promiscuous = false;  // kTap: receive every frame of the LAN
};

class Station {
 public:
  virtual ~Station() = default;  // detaches from the LAN
  // Readable exactly while something can be received (a frame, or the
  // failure of reads that FailReads turned on).
  virtual int ReadableFd() const = 0;
  // One frame (kTap) or IP packet (kTun) into the LAN. ERROR_INVALID_PARAMETER
  // for a size the medium cannot carry; ERROR_SUCCESS otherwise (a frame on an
  // unplugged adapter is lost, as on a wire).
  virtual DWORD Send(const void* data, std::size_t size) = 0;
  // Takes the next frame or packet without waiting: ERROR_SUCCESS,
  // ERROR_NO_DATA when none is queued, ERROR_GEN_FAILURE while reads fail,
  // ERROR_DEV_NOT_EXIST once the adapter has been removed (Send then
  // refuses with the same code).
  virtual DWORD Receive(std::vector<BYTE>* data) = 0;
  virtual const StationOptions& options() const = 0;
};

// ---------------------------------------------------------------------------
// A peer's ping of an address (a run-time action).
struct PeerPingResult {
  bool arpResolved = false;
  DWORD sent = 0;
  DWORD received = 0;
  DWORD duplicates = 0;
  bool done = false;
};
class PeerPing {
 public:
  virtual ~PeerPing() = default;
  virtual PeerPingResult Result() const = 0;
  // Waits until the ping has ended (each request answered or timed out).
  virtual bool WaitDone(DWORD milliseconds) const = 0;
};

// ---------------------------------------------------------------------------
// The running host.

class SimHost {
 public:
  virtual ~SimHost() = default;

  virtual const HostModel& model() const = 0;

  // The machine parts (machine.h) over this host.
  virtual DeviceService& Devices() = 0;
  virtual IpHelperBackend& IpHelper() = 0;
  virtual const RegistryTree& Registry() = 0;
  virtual NameResolver& Names() = 0;
  virtual const SystemFacts& Facts() = 0;
  virtual const FileVersion& DriverFileVersion() const = 0;

  // Run-time actions. Each returns false for an unknown adapter or peer.
  virtual bool SetPlugged(const std::string& adapter, bool plugged) = 0;
  // Reads of the adapter's capture devices and stations fail (ERROR_GEN_FAILURE).
  virtual bool FailReads(const std::string& adapter, bool fail) = 0;
  // The adapter vanishes, as a removed card or a deleted link does: it is no
  // longer listed nor opened, frames on its LAN go nowhere, its stations'
  // reads fail with ERROR_DEV_NOT_EXIST and its capture devices' reads fail.
  // False for an unknown or already removed adapter.
  virtual bool RemoveAdapter(const std::string& adapter) = 0;
  // The next n echo replies of any peer or far host are lost / sent twice /
  // sent extraMs late.
  virtual void DropNextReplies(DWORD n) = 0;
  virtual void DuplicateNextReplies(DWORD n) = 0;
  virtual void DelayNextReplies(DWORD n, DWORD extraMs) = 0;
  // The peer resolves `target` with ARP, then sends `count` echo requests
  // `intervalMs` apart, each waiting at most `timeoutMs` for its reply.
  // Null for an unknown peer.
  virtual std::shared_ptr<PeerPing> Ping(DWORD peer, DWORD target, DWORD count, DWORD intervalMs = 100,
                                         DWORD timeoutMs = 1000) = 0;

  // Attaches a station to the adapter's LAN. Null (and *error set) for an
  // unknown adapter (ERROR_FILE_NOT_FOUND) or bad options
  // (ERROR_INVALID_PARAMETER).
  virtual std::unique_ptr<Station> Attach(const std::string& adapter, const StationOptions& options,
                                          DWORD* error = nullptr) = 0;
};

std::shared_ptr<SimHost> MakeHost(HostModel model);

// The machine of a given host (tests), and the sim machine's own factory
// (MakeSimMachine in machine.h) which reads MORVANE_SIM_HOST.
std::unique_ptr<Machine> MakeMachine(HostModel model);

// The host of this process's machine; null unless the sim machine is in use.
std::shared_ptr<SimHost> CurrentHost();
// Replaces the host of this process's sim machine (tests, the demo). Devices
// already open stay on the host they were opened on. Null when the machine is
// not the sim.
std::shared_ptr<SimHost> InstallHost(HostModel model);

}  // namespace platform::sim
