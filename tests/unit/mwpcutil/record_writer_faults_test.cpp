// The utility's record writer against a file layer that misbehaves: the file
// that is not there yet, a write that stops short, a write that fails. This
// program defines the platform's CreateFile, WriteFile and Sleep itself; the
// dynamic linker binds the writer's calls to them, and they hand each call on
// to the platform library unless the test has set them up to do otherwise.
// Sleep only records its argument, so the writer's pauses cost no time.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "mestralib/trace.h"
#include "platform/file.h"
#include "platform/sync.h"
#include "platform/winerror.h"
#include "wpcinforec.h"
#include "wpcinforec_file.h"

namespace fs = std::filesystem;

namespace {

using CreateFileFn = HANDLE (*)(const char*, DWORD, DWORD, DWORD, DWORD);
using WriteFileFn = BOOL (*)(HANDLE, const void*, DWORD, DWORD*);

// The platform library's own functions, found past this program's.
template <typename Fn>
Fn Real(const char* mangled) {
  void* symbol = dlsym(RTLD_NEXT, mangled);
  if (symbol == nullptr) {
    std::fprintf(stderr, "record_writer_faults_test: %s not found: %s\n", mangled, dlerror());
    std::abort();
  }
  return reinterpret_cast<Fn>(symbol);
}

// What the test wants of the file layer. Only the test thread uses it.
struct FileLayer {
  std::string watched;        // the path whose opens are counted
  int opens = 0;              // CreateFile calls for it
  int failFirstOpens = 0;     // that many of them fail with ERROR_FILE_NOT_FOUND
  DWORD writeStopsAfter = 0;  // nonzero: a write puts at most that many bytes
  DWORD writeFails = 0;       // nonzero: a write fails with this error
  std::vector<DWORD> sleeps;  // every Sleep's argument
};
FileLayer g_layer;

std::string g_trace;
void CaptureTrace(const char* text) { g_trace += text; }

}  // namespace

namespace platform {

HANDLE CreateFile(const char* path, DWORD desiredAccess, DWORD shareMode, DWORD creationDisposition,
                  DWORD flagsAndAttributes) {
  static const CreateFileFn real = Real<CreateFileFn>("_ZN8platform10CreateFileEPKcjjjj");
  if (path != nullptr && path == g_layer.watched && ++g_layer.opens <= g_layer.failFirstOpens) {
    SetErrors(ERROR_FILE_NOT_FOUND, ENOENT);
    return INVALID_HANDLE_VALUE;
  }
  return real(path, desiredAccess, shareMode, creationDisposition, flagsAndAttributes);
}

BOOL WriteFile(HANDLE handle, const void* buffer, DWORD bytesToWrite, DWORD* bytesWritten) {
  static const WriteFileFn real = Real<WriteFileFn>("_ZN8platform9WriteFileEPvPKvjPj");
  if (g_layer.writeFails != 0) {
    if (bytesWritten != nullptr) *bytesWritten = 0;
    SetErrors(g_layer.writeFails, EIO);
    return 0;
  }
  if (g_layer.writeStopsAfter != 0 && bytesToWrite > g_layer.writeStopsAfter) {
    bytesToWrite = g_layer.writeStopsAfter;
  }
  return real(handle, buffer, bytesToWrite, bytesWritten);
}

void Sleep(DWORD milliseconds) { g_layer.sleeps.push_back(milliseconds); }

}  // namespace platform

namespace {

WPCINFOREC SampleRecord() {
  WpcInfoValues values;
  values.strDriverVersion = "4.1.2 build 3000";
  values.strLibraryName = "Packet.DLL";
  values.strLibraryVersion = "4.1.2 build 3000";
  values.strDeviceNamePrefix = "NPF_";
  values.dwIoCtlProtocolQueryOid = kWinPCapIoCtlProtocolQueryOid;
  values.dwIoCtlProtocolSetOid = kWinPCapIoCtlProtocolSetOid;
  return MakeWpcInfoRec(values);
}

const std::vector<DWORD> kPauses = {0, 50, 100, 150, 200, 250, 300, 350, 400, 450};

class RecordWriterFaults : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "record-writer-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
    path_ = (dir_ / "MWPCUtil-4242.dat").string();
    g_layer = FileLayer{};
    g_layer.watched = path_;
    g_trace.clear();
    MestraLibSetTraceSink(CaptureTrace);
  }
  void TearDown() override {
    MestraLibSetTraceSink(nullptr);
    g_layer = FileLayer{};
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }

  // An empty file where MestraPack would have created it.
  void CreateEmptyFile() { std::ofstream(path_).flush(); }

  bool Traced(const std::string& text) const { return g_trace.find(text) != std::string::npos; }

  fs::path dir_;
  std::string path_;
};

// Ten attempts, a pause after each that grows by 50 ms, then the open's own
// error; nothing is created in the file's place.
TEST_F(RecordWriterFaults, AMissingFileIsTriedTenTimesWithGrowingPauses) {
  DWORD dwLastError = 0;
  EXPECT_FALSE(WriteWpcInfoRecFile(path_, SampleRecord(), dwLastError));
  EXPECT_EQ(g_layer.opens, 10);
  EXPECT_EQ(g_layer.sleeps, kPauses);
  EXPECT_EQ(dwLastError, ERROR_FILE_NOT_FOUND);
  EXPECT_TRUE(Traced("CreateFile() FAILED! g_dwLastError = (0x00000002): ")) << g_trace;
  EXPECT_FALSE(Traced("WriteFile()")) << "nothing is written";
  EXPECT_FALSE(fs::exists(fs::symlink_status(path_)));
}

// The tenth attempt is still made, and its success counts.
TEST_F(RecordWriterFaults, AFileThatOpensAtTheTenthAttemptIsWritten) {
  CreateEmptyFile();
  g_layer.failFirstOpens = 9;
  DWORD dwLastError = 0;
  EXPECT_TRUE(WriteWpcInfoRecFile(path_, SampleRecord(), dwLastError)) << g_trace;
  EXPECT_EQ(g_layer.opens, 10);
  EXPECT_EQ(g_layer.sleeps, kPauses) << "a pause follows the successful attempt too";
  EXPECT_TRUE(Traced("CreateFile() succeeded after 10 tries")) << g_trace;
  EXPECT_EQ(fs::file_size(path_), 1348u);
}

TEST_F(RecordWriterFaults, AFileThatOpensAtOnceIsOpenedOnce) {
  CreateEmptyFile();
  DWORD dwLastError = 0;
  EXPECT_TRUE(WriteWpcInfoRecFile(path_, SampleRecord(), dwLastError)) << g_trace;
  EXPECT_EQ(g_layer.opens, 1);
  EXPECT_EQ(g_layer.sleeps, std::vector<DWORD>{0});
  EXPECT_TRUE(Traced("CreateFile() succeeded after 1 tries")) << g_trace;
}

// A write that puts fewer bytes than the record has is a failure, though the
// call itself succeeded; the record is still traced.
TEST_F(RecordWriterFaults, AShortWriteIsAFailure) {
  CreateEmptyFile();
  g_layer.writeStopsAfter = 1000;
  DWORD dwLastError = 0;
  EXPECT_FALSE(WriteWpcInfoRecFile(path_, SampleRecord(), dwLastError));
  EXPECT_TRUE(Traced("WriteFile(): dwBytesWritten (1000) != dwBytesToBeWritten (1348)!?!")) << g_trace;
  EXPECT_TRUE(Traced("WriteFile() FAILED!")) << g_trace;
  EXPECT_TRUE(Traced("WPCINFOREC record written (or not written) as follows:")) << g_trace;
  EXPECT_TRUE(Traced("overall FAILURE! Returning false!")) << g_trace;
  EXPECT_FALSE(Traced("overall SUCCESS")) << g_trace;
  EXPECT_EQ(fs::file_size(path_), 1000u);
}

TEST_F(RecordWriterFaults, AFailedWriteKeepsItsError) {
  CreateEmptyFile();
  g_layer.writeFails = ERROR_WRITE_FAULT;
  DWORD dwLastError = 0;
  EXPECT_FALSE(WriteWpcInfoRecFile(path_, SampleRecord(), dwLastError));
  EXPECT_EQ(dwLastError, ERROR_WRITE_FAULT);
  EXPECT_TRUE(Traced("WriteFile() FAILED! GetLastError (0x0000001D): ")) << g_trace;
  EXPECT_TRUE(Traced("dwIoCtlProtocolSetOid   = 0x80000000")) << "the record is traced anyway";
  EXPECT_TRUE(Traced("overall FAILURE! Returning false!")) << g_trace;
}

}  // namespace
