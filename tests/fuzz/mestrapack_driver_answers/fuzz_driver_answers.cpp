// MestraPack over a capture driver whose answers come from the input: every
// control request of an adapter's open, of its checksum offload query, its
// statistics and the adapter list is answered by the simulated host's driver
// or, as the input says, fails with an error or gets bytes of the input with
// a byte count of the input (possibly more than the buffer holds). Reads of
// captured data get input bytes too. The library must take none of it past
// what it asked for.
//
// Input: a sequence of answers, one per request or read, each
//   0            the simulated driver answers
//   1 E          fails with error number E (of a short list)
//   2 L1 L0 C3 C2 C1 C0 <L bytes>   these bytes, C claimed as the byte count
// and the simulated driver answers everything after the input ends.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "mestrapack/mestrapack.h"
#include "mestrapack_app.h"
#include "platform/machine.h"
#include "platform/machine_testing.h"
#include "platform/sim/sim_host.h"
#include "platform/sync.h"
#include "platform/winerror.h"

#include "../common/usual_capture_facts.h"

namespace {

// The input as the answers' source; only the fuzzing thread reads it.
struct Script {
  const std::uint8_t* at = nullptr;
  std::size_t left = 0;

  bool Take(std::uint8_t* byte) {
    if (left == 0) return false;
    *byte = *at++;
    --left;
    return true;
  }
};
Script g_script;

class ScriptedDevice final : public platform::Device {
 public:
  explicit ScriptedDevice(std::unique_ptr<platform::Device> inner) : inner_(std::move(inner)) {}

  DWORD Read(void* buffer, DWORD size, DWORD* bytesRead) override {
    DWORD claimed = 0;
    switch (Next(buffer, size, &claimed)) {
      case Answer::kError:
        *bytesRead = 0;
        return error_;
      case Answer::kBytes:
        *bytesRead = claimed;
        return ERROR_SUCCESS;
      case Answer::kDriver:
        break;
    }
    return inner_->Read(buffer, size, bytesRead);
  }
  DWORD Write(const void* buffer, DWORD size, DWORD* bytesWritten) override {
    return inner_->Write(buffer, size, bytesWritten);
  }
  DWORD IoControl(DWORD code, const void* in, DWORD inSize, void* out, DWORD outSize,
                  DWORD* bytesReturned) override {
    DWORD claimed = 0;
    switch (Next(out, outSize, &claimed)) {
      case Answer::kError:
        *bytesReturned = 0;
        return error_;
      case Answer::kBytes:
        *bytesReturned = claimed;
        return ERROR_SUCCESS;
      case Answer::kDriver:
        break;
    }
    return inner_->IoControl(code, in, inSize, out, outSize, bytesReturned);
  }
  DWORD Cancel() override { return inner_->Cancel(); }

 private:
  enum class Answer { kDriver, kError, kBytes };

  // Fills `out` (never past `outSize`) when the input gives bytes.
  Answer Next(void* out, DWORD outSize, DWORD* claimed) {
    std::uint8_t kind = 0;
    if (!g_script.Take(&kind)) return Answer::kDriver;
    switch (kind % 3) {
      case 1: {
        static const DWORD kErrors[] = {ERROR_GEN_FAILURE, ERROR_INVALID_PARAMETER, ERROR_NOT_SUPPORTED,
                                        ERROR_INSUFFICIENT_BUFFER, ERROR_MORE_DATA, ERROR_INVALID_HANDLE};
        std::uint8_t which = 0;
        g_script.Take(&which);
        error_ = kErrors[which % (sizeof kErrors / sizeof kErrors[0])];
        return Answer::kError;
      }
      case 2: {
        std::uint8_t b[6] = {};
        for (std::uint8_t& byte : b) g_script.Take(&byte);
        std::size_t length = (std::size_t{b[0]} << 8) | b[1];
        *claimed = (DWORD{b[2]} << 24) | (DWORD{b[3]} << 16) | (DWORD{b[4]} << 8) | b[5];
        length = std::min(length, g_script.left);
        if (out != nullptr) std::memcpy(out, g_script.at, std::min<std::size_t>(length, outSize));
        g_script.at += length;
        g_script.left -= length;
        return Answer::kBytes;
      }
      default:
        return Answer::kDriver;
    }
  }

  std::unique_ptr<platform::Device> inner_;
  DWORD error_ = ERROR_GEN_FAILURE;
};

class ScriptedDevices final : public platform::DeviceService {
 public:
  explicit ScriptedDevices(platform::DeviceService& inner) : inner_(inner) {}
  DWORD Open(const std::string& name, std::unique_ptr<platform::Device>* device) override {
    std::unique_ptr<platform::Device> opened;
    DWORD result = inner_.Open(name, &opened);
    if (result == ERROR_SUCCESS) *device = std::make_unique<ScriptedDevice>(std::move(opened));
    return result;
  }
  std::vector<std::string> DosDeviceNames() override { return inner_.DosDeviceNames(); }
  DWORD DefineDosDevice(DWORD flags, const std::string& name, const std::string& target) override {
    return inner_.DefineDosDevice(flags, name, target);
  }
  DWORD QueryDosDevice(const std::string& name, std::vector<std::string>* targets) override {
    return inner_.QueryDosDevice(name, targets);
  }

 private:
  platform::DeviceService& inner_;
};

class ScriptedMachine final : public platform::Machine {
 public:
  explicit ScriptedMachine(std::unique_ptr<platform::Machine> inner)
      : inner_(std::move(inner)), devices_(inner_->Devices()) {}
  platform::DeviceService& Devices() override { return devices_; }
  platform::IpHelperBackend& IpHelper() override { return inner_->IpHelper(); }
  const platform::RegistryTree& Registry() override { return inner_->Registry(); }
  platform::NameResolver& Names() override { return inner_->Names(); }
  const platform::SystemFacts& Facts() override { return inner_->Facts(); }
  platform::ProfileStore& Profiles() override { return inner_->Profiles(); }

 private:
  std::unique_ptr<platform::Machine> inner_;
  ScriptedDevices devices_;
};

// The simulated default host under the scripted driver, and the packet-capture
// facts taken as if the information utility had run (it is never started).
void SetUpOnce() {
  setenv("MORVANE_PLATFORM", "sim", 1);
  platform::testing::InstallMachineForTest(
      std::make_unique<ScriptedMachine>(platform::sim::MakeMachine(platform::sim::DefaultHost())));
  AdoptUsualCaptureFacts();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const bool ready = (SetUpOnce(), true);
  (void)ready;
  std::vector<std::uint8_t> input(data, data + size);  // exact size: reads past it are caught
  g_script = Script{input.data(), input.size()};

  if (MESTRAPACK_HANDLE handle = MestraPackOpenAdapter(u"NPF_sim0")) {
    MESTRAPACK_CHECKSUM_OFFLOAD offload;
    MestraPackGetChecksumOffloadTask(handle, &offload);
    MESTRAPACK_BPF_STAT stats;
    MestraPackGetStats(handle, &stats);
    std::vector<std::uint8_t> buffer(2048);
    uint32_t count = 0;
    if (MestraPackRecvPacket(handle, buffer.data(), static_cast<uint32_t>(buffer.size()), &count, nullptr) &&
        count > buffer.size()) {
      __builtin_trap();  // a byte count beyond the caller's buffer passed on
    }
    MestraPackCloseAdapter(handle);
  }
  uint32_t needed = 0;
  if (!MestraPackGetAdaptersList(nullptr, &needed) && needed > 0 && needed < (1u << 20)) {
    std::vector<std::uint8_t> list(needed);
    MestraPackGetAdaptersList(reinterpret_cast<ADAPTER_INFO_LIST_ENTRY*>(list.data()), &needed);
  }
  g_script = Script{};
  return 0;
}
