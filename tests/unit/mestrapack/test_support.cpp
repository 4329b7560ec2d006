#include "test_support.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/ptrace.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "mestralib/trace.h"
#include "mestrapack_app.h"
#include "platform/machine_testing.h"
#include "platform/npf.h"
#include "text.h"
#include "wpcinforec.h"

namespace mptest {

std::u16string U(const std::string& text) { return Utf8ToUtf16(text); }
std::string Utf8(const char16_t* text) { return text ? Utf16ToUtf8(text) : std::string(); }

namespace {

std::mutex g_traceMutex;
std::string g_trace;

void Collect(const char* text) {
  std::lock_guard<std::mutex> lock(g_traceMutex);
  g_trace += text;
}

}  // namespace

TraceCapture::TraceCapture() {
  Clear();
  MestraLibSetTraceSink(&Collect);
}

TraceCapture::~TraceCapture() { MestraLibSetTraceSink(nullptr); }

std::string TraceCapture::Text() const {
  std::lock_guard<std::mutex> lock(g_traceMutex);
  return g_trace;
}

int TraceCapture::Count(const std::string& piece) const {
  std::string text = Text();
  int count = 0;
  for (std::size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + piece.size())) {
    ++count;
  }
  return count;
}

void TraceCapture::Clear() {
  std::lock_guard<std::mutex> lock(g_traceMutex);
  g_trace.clear();
}

// --- A tracer of our own -------------------------------------------------------

namespace {

// The tracer's whole life, in the forked child: only system calls. It lets
// every stop of the traced thread go on with its signal and ends with the
// traced process (or when killed, which ends the tracing too).
[[noreturn]] void RunTracer(pid_t tracee, int go, int answer) {
  ::prctl(PR_SET_PDEATHSIG, SIGKILL);
  char byte = 0;
  while (::read(go, &byte, 1) < 0 && errno == EINTR) {
  }
  const char result = ::ptrace(PTRACE_SEIZE, tracee, nullptr, nullptr) == 0 ? 1 : 0;
  while (::write(answer, &result, 1) < 0 && errno == EINTR) {
  }
  if (result == 0) ::_exit(1);
  for (;;) {
    int status = 0;
    if (::waitpid(tracee, &status, __WALL) < 0) {
      if (errno == EINTR) continue;
      ::_exit(0);
    }
    if (WIFEXITED(status) || WIFSIGNALED(status)) ::_exit(0);
    if (!WIFSTOPPED(status)) continue;
    int signal = WSTOPSIG(status);
    if ((status >> 16) != 0 || signal == SIGTRAP) signal = 0;  // an event stop: nothing to deliver
    ::ptrace(PTRACE_CONT, tracee, nullptr, reinterpret_cast<void*>(static_cast<long>(signal)));
  }
}

}  // namespace

TracedByChild::TracedByChild() {
  int go[2];
  int answer[2];
  if (::pipe2(go, O_CLOEXEC) != 0) return;
  if (::pipe2(answer, O_CLOEXEC) != 0) {
    ::close(go[0]);
    ::close(go[1]);
    return;
  }
  const pid_t tracee = ::getpid();
  const pid_t child = ::fork();
  if (child == 0) RunTracer(tracee, go[0], answer[1]);
  ::close(go[0]);
  ::close(answer[1]);
  char result = 0;
  if (child > 0) {
    // Where the system lets only chosen processes trace, choose this one.
    (void)::prctl(PR_SET_PTRACER, static_cast<unsigned long>(child));
    const char byte = 1;
    while (::write(go[1], &byte, 1) < 0 && errno == EINTR) {
    }
    while (::read(answer[0], &result, 1) < 0 && errno == EINTR) {
    }
  }
  ::close(go[1]);
  ::close(answer[0]);
  if (child > 0 && result == 1) {
    tracer_ = child;
  } else if (child > 0) {
    ::waitpid(child, nullptr, 0);
  }
}

TracedByChild::~TracedByChild() {
  if (tracer_ <= 0) return;
  ::kill(tracer_, SIGKILL);
  while (::waitpid(tracer_, nullptr, 0) < 0 && errno == EINTR) {
  }
}

// --- The recording machine --------------------------------------------------

struct RecordingMachine::State {
  mutable std::mutex mutex;
  std::vector<Request> requests;
  std::map<DWORD, Override> overrides;

  // The override for a request, if any: by code, else by the OID it carries.
  const Override* Find(DWORD code, const void* in, DWORD inSize) const {
    auto byCode = overrides.find(code);
    if (byCode != overrides.end()) {
      return &byCode->second;
    }
    if (in != nullptr && inSize >= 4 && code != npf::PACKET_SETEVENTHANDLE_IOCTL) {
      DWORD oid;
      std::memcpy(&oid, in, 4);
      auto byOid = overrides.find(oid);
      if (byOid != overrides.end() && (code == npf::IOCTL_PROTOCOL_QUERY_OID || code == npf::IOCTL_PROTOCOL_SET_OID ||
                                       code == npf::IOCTL_NDIS_QUERY_GLOBAL_STATS)) {
        return &byOid->second;
      }
    }
    return nullptr;
  }
};

namespace {

class RecordingDevice final : public platform::Device {
 public:
  RecordingDevice(std::string name, std::unique_ptr<platform::Device> inner,
                  std::shared_ptr<RecordingMachine::State> state)
      : name_(std::move(name)), inner_(std::move(inner)), state_(std::move(state)) {}
  DWORD Read(void* buffer, DWORD size, DWORD* bytesRead) override { return inner_->Read(buffer, size, bytesRead); }
  DWORD Write(const void* buffer, DWORD size, DWORD* bytesWritten) override {
    return inner_->Write(buffer, size, bytesWritten);
  }
  DWORD IoControl(DWORD code, const void* in, DWORD inSize, void* out, DWORD outSize,
                  DWORD* bytesReturned) override {
    Override answer;
    bool haveOverride = false;
    {
      std::lock_guard<std::mutex> lock(state_->mutex);
      Request request;
      request.device = name_;
      request.code = code;
      if (in != nullptr) {
        request.in.assign(static_cast<const BYTE*>(in), static_cast<const BYTE*>(in) + inSize);
      }
      request.outSize = outSize;
      state_->requests.push_back(std::move(request));
      if (const Override* found = state_->Find(code, in, inSize)) {
        answer = *found;
        haveOverride = true;
      }
    }
    if (!haveOverride) {
      return inner_->IoControl(code, in, inSize, out, outSize, bytesReturned);
    }
    if (answer.error != ERROR_SUCCESS) {
      *bytesReturned = 0;
      return answer.error;
    }
    if (answer.replaceAnswer) {
      if (out != nullptr) {
        std::memcpy(out, answer.answer.data(), std::min<std::size_t>(answer.answer.size(), outSize));
      }
      *bytesReturned = answer.claimedBytes;
      return ERROR_SUCCESS;
    }
    return inner_->IoControl(code, in, inSize, out, outSize, bytesReturned);
  }
  DWORD Cancel() override { return inner_->Cancel(); }

 private:
  std::string name_;
  std::unique_ptr<platform::Device> inner_;
  std::shared_ptr<RecordingMachine::State> state_;
};

class RecordingDevices final : public platform::DeviceService {
 public:
  RecordingDevices(platform::DeviceService& inner, std::shared_ptr<RecordingMachine::State> state)
      : inner_(inner), state_(std::move(state)) {}
  DWORD Open(const std::string& name, std::unique_ptr<platform::Device>* device) override {
    std::unique_ptr<platform::Device> opened;
    DWORD result = inner_.Open(name, &opened);
    if (result == ERROR_SUCCESS) {
      *device = std::make_unique<RecordingDevice>(name, std::move(opened), state_);
    }
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
  std::shared_ptr<RecordingMachine::State> state_;
};

class RecordingSimMachine final : public platform::Machine {
 public:
  RecordingSimMachine(std::unique_ptr<platform::Machine> inner, std::shared_ptr<RecordingMachine::State> state)
      : inner_(std::move(inner)), devices_(inner_->Devices(), std::move(state)) {}
  platform::DeviceService& Devices() override { return devices_; }
  platform::IpHelperBackend& IpHelper() override { return inner_->IpHelper(); }
  const platform::RegistryTree& Registry() override { return inner_->Registry(); }
  platform::NameResolver& Names() override { return inner_->Names(); }
  const platform::SystemFacts& Facts() override { return inner_->Facts(); }
  platform::ProfileStore& Profiles() override { return inner_->Profiles(); }

 private:
  std::unique_ptr<platform::Machine> inner_;
  RecordingDevices devices_;
};

}  // namespace

RecordingMachine::RecordingMachine(platform::sim::HostModel model) : state_(std::make_shared<State>()) {
  previous_ = platform::testing::InstallMachineForTest(
      std::make_unique<RecordingSimMachine>(platform::sim::MakeMachine(std::move(model)), state_));
}

RecordingMachine::~RecordingMachine() { platform::testing::InstallMachineForTest(std::move(previous_)); }

std::vector<Request> RecordingMachine::Requests() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->requests;
}

std::vector<Request> RecordingMachine::RequestsWithCode(DWORD code) const {
  std::vector<Request> result;
  for (const Request& request : Requests()) {
    if (request.code == code) {
      result.push_back(request);
    }
  }
  return result;
}

void RecordingMachine::Clear() {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->requests.clear();
}

void RecordingMachine::SetOverride(DWORD key, Override answer) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->overrides[key] = std::move(answer);
}

void AdoptWinPcapRelease(WORD major, WORD minor) {
  WpcInfoValues values;
  values.strDriverVersion = "4.1.0.2980";
  values.strLibraryName = "Packet.DLL";
  values.strLibraryVersion = "4.1.2 build 3000";
  values.strDeviceNamePrefix = "NPF_";
  values.wMajorVersion = major;
  values.wMinorVersion = minor;
  values.dwIoCtlProtocolQueryOid = kWinPCapIoCtlProtocolQueryOid;
  values.dwIoCtlProtocolSetOid = kWinPCapIoCtlProtocolSetOid;
  CMestraPackApp& app = TheApp();
  platform::Guard guard(app.m_Lock);
  app.AdoptWinPcapRecord(MakeWpcInfoRec(values));
  app.m_bWinPCapInfo = true;
}

}  // namespace mptest

namespace {
// Every test program of the library runs on the simulated host.
const bool g_onSim = [] {
  setenv("MORVANE_PLATFORM", "sim", 1);
  return true;
}();
}  // namespace
