// The machine under the programs. One per process, chosen at first use from
// MORVANE_PLATFORM ("linux", the default, or "sim"), which child processes
// inherit. Programs choose with SelectMachine before their first platform call
// (e.g. from a --platform option). Names compare without regard to case. An
// unknown MORVANE_PLATFORM ends the process at first use with a message on
// stderr and exit status 2, rather than guess which machine was meant.
// Tests may put a machine of their own under the process: machine_testing.h.
//
// The rest of this header is the contract between the shared platform code
// (platform/common) and the two machines (platform/linux, platform/sim): each
// machine supplies these parts; the common code turns them into the calls of
// iphelper.h, registry.h, file.h (devices), names.h, sysinfo.h and profile.h,
// including the records' layouts and the buffer-size protocol.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/file.h"
#include "platform/iphelper.h"
#include "platform/profile.h"
#include "platform/sysinfo.h"
#include "platform/winerror.h"
#include "platform/wintypes.h"

namespace platform {

enum class MachineKind { kLinux, kSim };

// Returns false for an unknown name, or when another machine is already in use.
bool SelectMachine(const std::string& name);
MachineKind CurrentMachineKind();
const char* CurrentMachineName();

// ---------------------------------------------------------------------------
// Parts a machine supplies.

// One open device (\\.\NAME). Calls return ERROR_SUCCESS or an error code; the
// common code turns codes into the last error and errno of the caller.
// Sends one whole frame on a socket, again when interrupted: ERROR_SUCCESS or
// the failure.
DWORD SendFrameOn(int fd, const void* frame, std::size_t size);

class Device {
 public:
  virtual ~Device() = default;
  virtual DWORD Read(void* buffer, DWORD size, DWORD* bytesRead) = 0;
  virtual DWORD Write(const void* buffer, DWORD size, DWORD* bytesWritten) = 0;
  virtual DWORD IoControl(DWORD code, const void* in, DWORD inSize, void* out, DWORD outSize,
                          DWORD* bytesReturned) = 0;
  virtual DWORD Cancel() { return ERROR_SUCCESS; }
  // Reads only what a wait on the device's read event would find ready now,
  // never waiting: WAIT_TIMEOUT when nothing is. ERROR_NOT_SUPPORTED for a
  // device that cannot tell (its caller waits on the event and reads).
  virtual DWORD ReadReady(void* buffer, DWORD size, DWORD* bytesRead) {
    (void)buffer;
    (void)size;
    *bytesRead = 0;
    return ERROR_NOT_SUPPORTED;
  }
  // The socket every frame written goes out on, for as long as the device
  // lives (see FrameSocket).
  virtual FrameSocket DirectFrames() const { return {}; }
};

// Told before each wait on an event (see EventControl::NoticeWaits).
class WaitNotice {
 public:
  virtual ~WaitNotice() = default;
  // Called by the waiting thread, holding no lock, before it looks at the
  // event's state.
  virtual void BeforeWait() = 0;
};

// The event a capture device signals when data can be read. A device gets it
// from the 4-byte handle of PACKET_SETEVENTHANDLE_IOCTL through LookupEvent.
class EventControl {
 public:
  virtual ~EventControl() = default;
  virtual void Set() = 0;
  virtual void Reset() = 0;
  // The event also counts as set while `fd` is readable (until Unfollow of
  // the same `fd`): a device whose every arriving packet makes it ready lets
  // the kernel wake the event's waiters itself. The event keeps its own
  // duplicate of `fd`.
  virtual void FollowReadable(int fd) = 0;
  virtual void Unfollow(int fd) = 0;
  // Every wait on the event from now on first calls `notice` (while it
  // lives): a device that keeps the event in line only once somebody may
  // wait for it learns of the first wait in time to bring the state up to date.
  virtual void NoticeWaits(std::weak_ptr<WaitNotice> notice) = 0;
};
std::shared_ptr<EventControl> LookupEvent(HANDLE event);  // null for a bad handle

class DeviceService {
 public:
  virtual ~DeviceService() = default;
  // Opens what the DOS device name `name` stands for. ERROR_FILE_NOT_FOUND
  // when no such name is defined (see DefineDosDevice), ERROR_ACCESS_DENIED
  // without the needed privileges, ERROR_GEN_FAILURE when the adapter is there
  // but will not open.
  virtual DWORD Open(const std::string& name, std::unique_ptr<Device>* device) = 0;
  virtual std::vector<std::string> DosDeviceNames() = 0;
  virtual DWORD DefineDosDevice(DWORD flags, const std::string& name, const std::string& target) = 0;
  virtual DWORD QueryDosDevice(const std::string& name, std::vector<std::string>* targets) = 0;
};

struct NetworkParamsModel {
  std::string hostName;
  std::string domainName;
  std::vector<DWORD> dnsServers;  // network byte order
  UINT nodeType = HYBRID_NODETYPE;
  std::string scopeId;
  bool enableRouting = false;
  bool enableProxy = false;
  bool enableDns = false;
};

struct AdapterModel {
  std::string name;  // interface name, without the "NPF_" prefix
  std::string description;
  std::vector<BYTE> address;  // hardware address, 6 bytes for Ethernet
  DWORD index = 0;
  UINT type = MIB_IF_TYPE_ETHERNET;
  bool dhcpEnabled = false;
  struct IpAndMask {
    DWORD address;  // network byte order
    DWORD mask;
  };
  std::vector<IpAndMask> ipAddresses;  // may be empty
  std::vector<DWORD> gateways;         // may be empty
  DWORD dhcpServer = 0;
};

class IpHelperBackend {
 public:
  virtual ~IpHelperBackend() = default;
  virtual DWORD NetworkParams(NetworkParamsModel* params) = 0;
  virtual DWORD ForwardTable(std::vector<MIB_IPFORWARDROW>* rows) = 0;  // unsorted
  virtual DWORD AddrTable(std::vector<MIB_IPADDRROW>* rows) = 0;        // unsorted
  virtual DWORD Adapters(std::vector<AdapterModel>* adapters) = 0;
  virtual DWORD SendArp(DWORD destination, DWORD source, BYTE mac[6]) = 0;
};

class NameResolver {
 public:
  virtual ~NameResolver() = default;
  virtual DWORD Resolve(const std::string& name, DWORD* address) = 0;  // see names.h
};

// A read-only registry tree, built once by the machine.
struct RegistryValue {
  DWORD type = 0;
  std::vector<BYTE> data;
};
class RegistryTree {
 public:
  struct Node {
    std::map<std::string, RegistryValue> values;  // keys: names folded to lower case
    std::map<std::string, std::string> valueNames;  // folded -> as given
    std::map<std::string, Node> subKeys;            // keys: folded
    std::map<std::string, std::string> subKeyNames;  // folded -> as given
  };
  // Paths use "\\" between keys; missing keys on the way are created.
  void SetString(const std::string& path, const std::string& name, const std::string& utf8);
  void SetDword(const std::string& path, const std::string& name, DWORD value);
  void SetBinary(const std::string& path, const std::string& name, const std::vector<BYTE>& value);
  void AddKey(const std::string& path);
  const Node* Find(const std::string& path) const;

 private:
  Node& Make(const std::string& path);
  Node root_;
};

// Where per-user settings live (profile.h).
class ProfileStore {
 public:
  virtual ~ProfileStore() = default;
  virtual bool Read(const std::string& company, const std::string& program, const std::string& section,
                    const std::string& entry, ProfileValue* value) = 0;
  // Writes every entry in one step: whoever reads the settings next, in this
  // process or another, finds all of them or none of them.
  virtual bool Write(const std::string& company, const std::string& program, const std::string& section,
                     const std::vector<ProfileEntry>& entries) = 0;
};

class Machine {
 public:
  virtual ~Machine() = default;
  virtual DeviceService& Devices() = 0;
  virtual IpHelperBackend& IpHelper() = 0;
  virtual const RegistryTree& Registry() = 0;
  virtual NameResolver& Names() = 0;
  virtual const SystemFacts& Facts() = 0;
  virtual ProfileStore& Profiles() = 0;
};

// The machine of this process (created on first use).
Machine& TheMachine();

// One factory per machine folder.
std::unique_ptr<Machine> MakeLinuxMachine();
std::unique_ptr<Machine> MakeSimMachine();

}  // namespace platform
