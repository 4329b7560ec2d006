// Arbitrary bytes from callers into the simulated host's devices and
// stations: frames, multiple-write buffers, filter programs, OID records.
// The first byte chooses the way in; the rest is the input, in an exact-size
// buffer so that any read past it is caught.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "platform/npf.h"
#include "platform/sim/sim_host.h"

namespace {

struct Rig {
  std::shared_ptr<platform::sim::SimHost> host = platform::sim::MakeHost(platform::sim::DefaultHost());
  std::unique_ptr<platform::Device> capture;
  std::unique_ptr<platform::Device> ndis;
  std::unique_ptr<platform::sim::Station> tap;
  std::unique_ptr<platform::sim::Station> tun;
  Rig() {
    host->Devices().Open("NPF_sim0", &capture);
    host->Devices().Open("sim0", &ndis);
    platform::sim::StationOptions o;
    o.mac = {2, 0, 0, 0, 0, 0x6F};
    o.ip = 0x6F0200C0;  // 192.0.2.111
    tap = host->Attach("sim0", o);
    o.mode = platform::sim::StationMode::kTun;
    o.ip = 0x700200C0;  // 192.0.2.112
    tun = host->Attach("sim0", o);
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static Rig rig;
  if (size == 0) return 0;
  const std::vector<BYTE> input(data + 1, data + size);
  const auto n = static_cast<DWORD>(input.size());
  std::vector<BYTE> out(npf::kOidDataMax + 64);
  DWORD done = 0;
  switch (data[0] % 7) {
    case 0: rig.capture->Write(input.data(), n, &done); break;
    case 1: rig.capture->IoControl(npf::PACKET_MULTIPLEWRITE_IOCTL, input.data(), n, nullptr, 0, &done); break;
    case 2: {
      rig.capture->IoControl(npf::PACKET_SETBPFILTER_IOCTL, input.data(), n, nullptr, 0, &done);
      static const BYTE kFrame[60] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 2, 0, 0, 0, 0, 0x10, 0x08, 0x06};
      rig.capture->Write(kFrame, sizeof kFrame, &done);
      rig.capture->IoControl(npf::PACKET_SETBPFILTER_IOCTL, nullptr, 0, nullptr, 0, &done);
      break;
    }
    case 3: {
      DWORD code = (input.size() & 1) ? npf::IOCTL_PROTOCOL_SET_OID : npf::IOCTL_PROTOCOL_QUERY_OID;
      rig.capture->IoControl(code, input.data(), n, out.data(), static_cast<DWORD>(out.size()), &done);
      if (done > out.size()) __builtin_trap();
      break;
    }
    case 4: rig.tap->Send(input.data(), input.size()); break;
    case 5: rig.tun->Send(input.data(), input.size()); break;
    case 6:
      rig.ndis->IoControl(npf::IOCTL_NDIS_QUERY_GLOBAL_STATS, input.data(), n, out.data(),
                          static_cast<DWORD>(out.size()), &done);
      if (done > out.size()) __builtin_trap();
      break;
  }
  std::vector<BYTE> buffer(1 << 16);
  rig.capture->Read(buffer.data(), static_cast<DWORD>(buffer.size()), &done);
  if (done > buffer.size()) __builtin_trap();
  std::vector<BYTE> frame;
  while (rig.tap->Receive(&frame) == ERROR_SUCCESS) {
  }
  while (rig.tun->Receive(&frame) == ERROR_SUCCESS) {
  }
  return 0;
}
