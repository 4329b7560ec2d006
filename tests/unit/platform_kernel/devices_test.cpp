// Device handles reach the machine's devices: open by DOS device name, read,
// write, control requests (including handing a read event over by its 4-byte
// handle value), cancel, close; DOS device names go to the machine.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/file.h"
#include "platform/machine.h"
#include "platform/machine_testing.h"
#include "platform/sync.h"

using namespace platform;

namespace {

constexpr DWORD kSetEventHandle = 7920;

struct DeviceLog {
  int opened = 0;
  int closed = 0;
  int cancels = 0;
  std::string written;
  std::vector<std::string> defined;
};

class FakeDevice final : public Device {
 public:
  explicit FakeDevice(DeviceLog* log) : log_(log) {}
  ~FakeDevice() override { ++log_->closed; }

  DWORD Read(void* buffer, DWORD size, DWORD* bytesRead) override {
    static const char kFrame[] = "frame";
    *bytesRead = size < 5 ? size : 5;
    std::memcpy(buffer, kFrame, *bytesRead);
    return ERROR_SUCCESS;
  }
  DWORD Write(const void* buffer, DWORD size, DWORD* bytesWritten) override {
    log_->written.assign(static_cast<const char*>(buffer), size);
    *bytesWritten = size;
    return ERROR_SUCCESS;
  }
  // The driver's way of receiving the caller's read event: its handle value
  // in 4 bytes. The device signals it at once.
  DWORD IoControl(DWORD code, const void* in, DWORD inSize, void*, DWORD, DWORD* bytesReturned) override {
    *bytesReturned = 0;
    if (code != kSetEventHandle) return ERROR_INVALID_FUNCTION;
    if (inSize != 4) return ERROR_INVALID_PARAMETER;
    std::uint32_t value = 0;
    std::memcpy(&value, in, 4);
    std::shared_ptr<EventControl> event = LookupEvent(reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(value)));
    if (!event) return ERROR_INVALID_HANDLE;
    event->Set();
    return ERROR_SUCCESS;
  }
  DWORD Cancel() override {
    ++log_->cancels;
    return ERROR_SUCCESS;
  }

 private:
  DeviceLog* log_;
};

class FakeDevices final : public DeviceService {
 public:
  explicit FakeDevices(DeviceLog* log) : log_(log) {}
  DWORD Open(const std::string& name, std::unique_ptr<Device>* device) override {
    if (name == "NPF_denied") return ERROR_ACCESS_DENIED;
    if (name != "NPF_fake0") return ERROR_FILE_NOT_FOUND;
    ++log_->opened;
    *device = std::make_unique<FakeDevice>(log_);
    return ERROR_SUCCESS;
  }
  std::vector<std::string> DosDeviceNames() override { return {"NPF_fake0", "COM1"}; }
  DWORD DefineDosDevice(DWORD flags, const std::string& name, const std::string& target) override {
    log_->defined.push_back(std::to_string(flags) + " " + name + " " + target);
    return ERROR_SUCCESS;
  }
  DWORD QueryDosDevice(const std::string& name, std::vector<std::string>* targets) override {
    if (name != "NPF_fake0") return ERROR_FILE_NOT_FOUND;
    targets->push_back("\\Device\\NPF_fake0");
    return ERROR_SUCCESS;
  }

 private:
  DeviceLog* log_;
};

// Only the devices are used here.
class DevicesOnlyMachine final : public Machine {
 public:
  explicit DevicesOnlyMachine(DeviceLog* log) : devices_(log) {}
  DeviceService& Devices() override { return devices_; }
  IpHelperBackend& IpHelper() override { std::abort(); }
  const RegistryTree& Registry() override { std::abort(); }
  NameResolver& Names() override { std::abort(); }
  const SystemFacts& Facts() override { std::abort(); }
  ProfileStore& Profiles() override { std::abort(); }

 private:
  FakeDevices devices_;
};

class KernelDevices : public ::testing::Test {
 protected:
  DeviceLog log_;
  platform::testing::ScopedMachineForTest machine_{std::make_unique<DevicesOnlyMachine>(&log_)};
};

TEST_F(KernelDevices, ADeviceHandleRoutesEveryCallToTheDevice) {
  HANDLE device = CreateFile("\\\\.\\NPF_fake0", 0, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING, 0);
  ASSERT_NE(device, INVALID_HANDLE_VALUE);
  EXPECT_EQ(log_.opened, 1);

  char buffer[16] = {};
  DWORD n = 0;
  ASSERT_TRUE(ReadFile(device, buffer, sizeof buffer, &n));
  EXPECT_EQ(std::string(buffer, n), "frame");
  ASSERT_TRUE(WriteFile(device, "packet", 6, &n));
  EXPECT_EQ(n, 6u);
  EXPECT_EQ(log_.written, "packet");

  HANDLE readEvent = CreateEvent(false);
  auto value = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(readEvent));
  ASSERT_TRUE(DeviceIoControl(device, kSetEventHandle, &value, 4, nullptr, 0, &n));
  EXPECT_EQ(WaitForSingleObject(readEvent, 0), WAIT_OBJECT_0) << "the device found the event by its 4-byte value";

  SetLastError(0);
  EXPECT_FALSE(DeviceIoControl(device, 1234, nullptr, 0, nullptr, 0, &n));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_FUNCTION) << "the device's own code reaches the caller";
  EXPECT_EQ(errno, 22);

  ASSERT_TRUE(CancelIo(device));
  EXPECT_EQ(log_.cancels, 1);
  EXPECT_TRUE(CloseHandle(device));
  EXPECT_EQ(log_.closed, 1);
  CloseHandle(readEvent);
}

// A pin writes to the device without the handle, keeps it open past the
// handle's close until the pin goes, and says when a device cannot read
// only what is ready.
TEST_F(KernelDevices, APinnedDeviceTakesWritesAndClosesWithTheLastOfPinAndHandle) {
  EXPECT_FALSE(PinFile(reinterpret_cast<HANDLE>(0x1234)));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  DWORD n = 0;
  EXPECT_FALSE(PinnedFile().Write("x", 1, &n));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);

  HANDLE device = CreateFile("\\\\.\\NPF_fake0", 0, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING, 0);
  ASSERT_NE(device, INVALID_HANDLE_VALUE);
  PinnedFile pin = PinFile(device);
  ASSERT_TRUE(pin);
  ASSERT_TRUE(pin.Write("pinned", 6, &n));
  EXPECT_EQ(n, 6u);
  EXPECT_EQ(log_.written, "pinned");
  char buffer[16];
  EXPECT_EQ(pin.ReadReady(buffer, sizeof buffer, &n), ERROR_NOT_SUPPORTED) << "the fake device cannot tell";
  EXPECT_EQ(n, 0u);

  EXPECT_TRUE(CloseHandle(device));
  EXPECT_EQ(log_.closed, 0) << "the pin keeps the device";
  ASSERT_TRUE(pin.Write("after", 5, &n));
  EXPECT_EQ(log_.written, "after");
  pin.Reset();
  EXPECT_EQ(log_.closed, 1);
  EXPECT_FALSE(pin.Write("gone", 4, &n));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST_F(KernelDevices, OpenFailuresCarryTheMachinesCode) {
  EXPECT_EQ(CreateFile("\\\\.\\NPF_missing", 0, 0, OPEN_EXISTING, 0), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(errno, 2);
  EXPECT_EQ(CreateFile("\\\\.\\NPF_denied", 0, 0, OPEN_EXISTING, 0), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_EQ(CreateFile("\\\\.\\", 0, 0, OPEN_EXISTING, 0), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(log_.opened, 0);
}

TEST_F(KernelDevices, DosDeviceNamesGoToTheMachine) {
  std::vector<std::string> names;
  ASSERT_TRUE(QueryDosDevice(nullptr, &names));
  EXPECT_EQ(names, (std::vector<std::string>{"NPF_fake0", "COM1"}));
  ASSERT_TRUE(QueryDosDevice("NPF_fake0", &names));
  EXPECT_EQ(names, (std::vector<std::string>{"\\Device\\NPF_fake0"}));
  EXPECT_FALSE(QueryDosDevice("NPF_other", &names));
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(QueryDosDevice("NPF_fake0", nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);

  ASSERT_TRUE(DefineDosDevice(DDD_RAW_TARGET_PATH, "NPF_x", "\\Device\\NPF_x"));
  EXPECT_EQ(log_.defined, (std::vector<std::string>{"1 NPF_x \\Device\\NPF_x"}));
  EXPECT_FALSE(DefineDosDevice(0, nullptr, "x"));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

}  // namespace
