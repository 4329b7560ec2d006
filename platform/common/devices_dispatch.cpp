// Device handles: \\.\NAME opens what the machine's device service gives for
// NAME, and reads, writes and control requests on the handle go to it.
//
// The device's calls are made without any platform lock held, and may come
// from several threads at once (a Cancel while a Read waits, for example);
// each machine's Device makes itself safe for that.
#include <cstring>

#include "common/kernel_object.h"
#include "platform/file.h"
#include "platform/machine.h"

namespace platform {
namespace {

class DeviceObject final : public kernel::KernelObject {
 public:
  explicit DeviceObject(std::unique_ptr<Device> device) : device_(std::move(device)) {}

  DWORD Read(void* buffer, DWORD size, DWORD* done) override { return device_->Read(buffer, size, done); }
  DWORD Write(const void* buffer, DWORD size, DWORD* done) override { return device_->Write(buffer, size, done); }
  DWORD IoControl(DWORD code, const void* in, DWORD inSize, void* out, DWORD outSize, DWORD* done) override {
    return device_->IoControl(code, in, inSize, out, outSize, done);
  }
  DWORD Cancel() override { return device_->Cancel(); }
  Device* AsDevice() override { return device_.get(); }

 private:
  std::unique_ptr<Device> device_;
};

}  // namespace

namespace kernel {

HANDLE OpenDevice(const char* name) {
  if (*name == '\0') {
    Fail(ERROR_FILE_NOT_FOUND);
    return nullptr;
  }
  std::unique_ptr<Device> device;
  DWORD code = TheMachine().Devices().Open(name, &device);
  if (code == ERROR_SUCCESS && !device) code = ERROR_GEN_FAILURE;
  if (code != ERROR_SUCCESS) {
    Fail(code);
    return nullptr;
  }
  return AddHandle(std::make_shared<DeviceObject>(std::move(device)));
}

}  // namespace kernel

BOOL DeviceIoControl(HANDLE handle, DWORD controlCode, const void* inBuffer, DWORD inSize, void* outBuffer,
                     DWORD outSize, DWORD* bytesReturned) {
  DWORD done = 0;
  if (bytesReturned != nullptr) *bytesReturned = 0;
  auto object = kernel::FindHandle(handle);
  if (!object) return kernel::Fail(ERROR_INVALID_HANDLE);
  if ((inBuffer == nullptr && inSize != 0) || (outBuffer == nullptr && outSize != 0)) {
    return kernel::Fail(ERROR_INVALID_PARAMETER);
  }
  DWORD code = object->IoControl(controlCode, inBuffer, inSize, outBuffer, outSize, &done);
  if (bytesReturned != nullptr) *bytesReturned = done;
  return code == ERROR_SUCCESS ? 1 : kernel::Fail(code);
}

BOOL CancelIo(HANDLE handle) {
  auto object = kernel::FindHandle(handle);
  if (!object) return kernel::Fail(ERROR_INVALID_HANDLE);
  DWORD code = object->Cancel();
  return code == ERROR_SUCCESS ? 1 : kernel::Fail(code);
}

BOOL DefineDosDevice(DWORD flags, const char* deviceName, const char* targetPath) {
  if (deviceName == nullptr || *deviceName == '\0') return kernel::Fail(ERROR_INVALID_PARAMETER);
  DWORD code = TheMachine().Devices().DefineDosDevice(flags, deviceName, targetPath == nullptr ? "" : targetPath);
  return code == ERROR_SUCCESS ? 1 : kernel::Fail(code);
}

bool QueryDosDevice(const char* deviceName, std::vector<std::string>* result) {
  if (result == nullptr) return kernel::Fail(ERROR_INVALID_PARAMETER);
  result->clear();
  if (deviceName == nullptr) {
    *result = TheMachine().Devices().DosDeviceNames();
    return true;
  }
  DWORD code = TheMachine().Devices().QueryDosDevice(deviceName, result);
  return code == ERROR_SUCCESS ? true : kernel::Fail(code);
}

}  // namespace platform
