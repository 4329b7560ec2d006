// The record layout, and the record file as both sides use it: the utility's
// writer and MestraPack's reader, through the platform's files.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "mestralib/errors.h"
#include "mestralib/trace.h"
#include "platform/file.h"
#include "platform/sync.h"
#include "wpcinforec.h"
#include "wpcinforec_file.h"

namespace fs = std::filesystem;

namespace {

std::string g_trace;
void CaptureTrace(const char* text) { g_trace += text; }

WpcInfoValues SampleValues() {
  WpcInfoValues values;
  values.strDriverVersion = "4.1.2 build 3000";
  values.strLibraryName = "Packet.DLL";
  values.strLibraryVersion = "4.1.2 build 3000";
  values.strDeviceNamePrefix = "NPF_";
  values.vsLibraryFileInfo.dwSignature = 0xFEEF04BD;
  values.vsLibraryFileInfo.dwFileVersionMS = 0x00040001;
  values.vsLibraryFileInfo.dwFileVersionLS = 0x00020BB8;
  values.wMajorVersion = 4;
  values.wMinorVersion = 1;
  values.dwIoCtlProtocolQueryOid = kWinPCapIoCtlProtocolQueryOid;
  values.dwIoCtlProtocolSetOid = kWinPCapIoCtlProtocolSetOid;
  return values;
}

std::vector<BYTE> BytesOf(const WPCINFOREC& record) {
  const auto* p = reinterpret_cast<const BYTE*>(&record);
  return std::vector<BYTE>(p, p + sizeof record);
}

TEST(WpcInfoRecLayout, FreshRecordBytes) {
  const std::vector<BYTE> bytes = BytesOf(MakeWpcInfoRec(SampleValues()));
  ASSERT_EQ(bytes.size(), 1348u);
  EXPECT_EQ(std::vector<BYTE>(bytes.begin(), bytes.begin() + 4), (std::vector<BYTE>{0x44, 0x05, 0x00, 0x00}));
  EXPECT_EQ(bytes[4], 0) << "the 9x driver name is always empty";
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&bytes[260])), "4.1.2 build 3000");
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&bytes[516])), "Packet.DLL");
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&bytes[772])), "4.1.2 build 3000");
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&bytes[1028])), "NPF_");
  EXPECT_EQ(std::vector<BYTE>(bytes.begin() + 1284, bytes.begin() + 1288), (std::vector<BYTE>{0xBD, 0x04, 0xEF, 0xFE}));
  EXPECT_EQ(std::vector<BYTE>(bytes.begin() + 1292, bytes.begin() + 1300),
            (std::vector<BYTE>{0x01, 0x00, 0x04, 0x00, 0xB8, 0x0B, 0x02, 0x00}));
  EXPECT_EQ(std::vector<BYTE>(bytes.begin() + 1336, bytes.end()),
            (std::vector<BYTE>{0x04, 0x00, 0x01, 0x00, 0x04, 0x00, 0x00, 0x80, 0x00, 0x00, 0x00, 0x80}));
}

TEST(WpcInfoRecLayout, TextsAreCutAndEndedInsideTheirFields) {
  WpcInfoValues values = SampleValues();
  values.strDriverVersion = std::string(300, 'D');
  values.strLibraryName = std::string(255, 'L');
  values.strLibraryVersion = std::string(256, 'V');
  values.strDeviceNamePrefix.clear();
  const WPCINFOREC record = MakeWpcInfoRec(values);
  EXPECT_EQ(WpcInfoRecText(record.szDriverVersion), std::string(255, 'D'));
  EXPECT_EQ(WpcInfoRecText(record.szLibraryName), std::string(255, 'L'));
  EXPECT_EQ(WpcInfoRecText(record.szLibraryVersion), std::string(255, 'V'));
  EXPECT_EQ(WpcInfoRecText(record.szDeviceNamePrefix), "");
  EXPECT_EQ(record.wWinPCapMajorVersion, 4) << "a long text must not spill into the next field";
}

TEST(WpcInfoRecLayout, ReaderTakesTextsUpToTheFirstNulAndNeverPastTheField) {
  WPCINFOREC record = MakeWpcInfoRec(SampleValues());
  std::memcpy(record.szLibraryName, "Npf.DLL\0junk", 12);
  std::memset(record.szLibraryVersion, 'x', sizeof record.szLibraryVersion);  // no NUL at all
  EXPECT_EQ(WpcInfoRecText(record.szLibraryName), "Npf.DLL");
  EXPECT_EQ(WpcInfoRecText(record.szLibraryVersion), std::string(256, 'x'));
}

// Each test gets its own folder, and creates the file the way MestraPack does.
class WpcInfoRecFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "wpcinforec-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
    path_ = (dir_ / "MWPCUtil-4242.dat").string();
    g_trace.clear();
    MestraLibSetTraceSink(CaptureTrace);
  }
  void TearDown() override {
    MestraLibSetTraceSink(nullptr);
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }

  HANDLE CreateLikeMestraPack() {
    return platform::CreateFile(
        path_.c_str(), platform::GENERIC_READ | platform::GENERIC_WRITE,
        platform::FILE_SHARE_READ | platform::FILE_SHARE_WRITE | platform::FILE_SHARE_DELETE,
        platform::CREATE_ALWAYS, platform::FILE_ATTRIBUTE_TEMPORARY | platform::FILE_FLAG_DELETE_ON_CLOSE);
  }

  // Writes through a second handle, as the utility does, so the creator's
  // handle still stands at offset 0.
  void WriteThroughSecondHandle(const std::vector<BYTE>& bytes) {
    HANDLE h = platform::CreateFile(path_.c_str(), platform::GENERIC_WRITE,
                                    platform::FILE_SHARE_READ | platform::FILE_SHARE_WRITE |
                                        platform::FILE_SHARE_DELETE,
                                    platform::OPEN_EXISTING, platform::FILE_ATTRIBUTE_TEMPORARY);
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
    DWORD written = 0;
    ASSERT_TRUE(platform::WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &written));
    ASSERT_EQ(written, bytes.size());
    platform::CloseHandle(h);
  }

  // Reads back through the creator's handle; checks the file is gone after.
  bool ReadBack(HANDLE h, WPCINFOREC* out) {
    const bool ok = ReadWpcInfoRecFile(h, "MWPCUtilD.exe", out);
    const platform::SavedErrors saved;
    EXPECT_FALSE(fs::exists(fs::symlink_status(path_))) << "closing the reader's handle deletes the file";
    saved.Restore();
    return ok;
  }

  fs::path dir_;
  std::string path_;
};

TEST_F(WpcInfoRecFileTest, WriterAndReaderRoundTrip) {
  HANDLE h = CreateLikeMestraPack();
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  const WPCINFOREC record = MakeWpcInfoRec(SampleValues());
  DWORD dwLastError = 0;
  ASSERT_TRUE(WriteWpcInfoRecFile(path_, record, dwLastError));
  EXPECT_NE(g_trace.find("CreateFile() succeeded after 1 tries"), std::string::npos) << g_trace;
  EXPECT_NE(g_trace.find("WriteFile() 1348 bytes..."), std::string::npos);
  EXPECT_NE(g_trace.find("dwRecSize               = 0x00000544"), std::string::npos);
  EXPECT_NE(g_trace.find("szLibraryName           = \"Packet.DLL "), std::string::npos);
  EXPECT_NE(g_trace.find("   dwSignature          =    0xFEEF04BD"), std::string::npos);
  EXPECT_NE(g_trace.find("dwIoCtlProtocolQueryOid = 0x80000004"), std::string::npos);
  EXPECT_NE(g_trace.find("dwIoCtlProtocolSetOid   = 0x80000000"), std::string::npos);
  EXPECT_NE(g_trace.find("overall SUCCESS! Returning true"), std::string::npos);
  EXPECT_EQ(fs::file_size(path_), 1348u);

  WPCINFOREC out{};
  ASSERT_TRUE(ReadBack(h, &out));
  EXPECT_EQ(BytesOf(out), BytesOf(record));
}

TEST_F(WpcInfoRecFileTest, ReaderRejectsShortFiles) {
  for (const size_t size : {size_t{1347}, size_t{0}}) {
    SCOPED_TRACE(size);
    g_trace.clear();
    HANDLE h = CreateLikeMestraPack();
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    std::vector<BYTE> bytes = BytesOf(MakeWpcInfoRec(SampleValues()));
    bytes.resize(size);
    if (size) WriteThroughSecondHandle(bytes);
    WPCINFOREC out;
    std::memset(&out, 0x5A, sizeof out);
    const std::vector<BYTE> untouched = BytesOf(out);
    EXPECT_FALSE(ReadBack(h, &out));
    EXPECT_EQ(GetLastError(), ERROR_BAD_LENGTH);
    EXPECT_EQ(errno, EIO);
    EXPECT_EQ(BytesOf(out), untouched) << "nothing of a rejected record is taken over";
    EXPECT_NE(g_trace.find("MWPCUtilD.exe: ERROR_BAD_LENGTH! (got != wanted) (" + std::to_string(size) + " != 1348)"),
              std::string::npos)
        << g_trace;
    EXPECT_NE(g_trace.find("FAILED!\n"), std::string::npos);
  }
}

TEST_F(WpcInfoRecFileTest, ReaderRejectsAWrongSizeField) {
  HANDLE h = CreateLikeMestraPack();
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  std::vector<BYTE> bytes = BytesOf(MakeWpcInfoRec(SampleValues()));
  bytes[0] = 0x45;  // 1349
  WriteThroughSecondHandle(bytes);
  WPCINFOREC out{};
  EXPECT_FALSE(ReadBack(h, &out));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_DATA);
  EXPECT_EQ(errno, EIO);
  EXPECT_NE(g_trace.find("MWPCUtilD.exe: ERROR_INVALID_DATA! (g_sWPCInfoRec.dwRecSize != dwBytesWanted) (1349 != 1348)"),
            std::string::npos)
      << g_trace;
}

TEST_F(WpcInfoRecFileTest, ReaderTakesOnlyTheRecordOfALongerFile) {
  HANDLE h = CreateLikeMestraPack();
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  const std::vector<BYTE> record = BytesOf(MakeWpcInfoRec(SampleValues()));
  std::vector<BYTE> bytes = record;
  bytes.resize(2000, 0xAA);
  WriteThroughSecondHandle(bytes);
  WPCINFOREC out{};
  ASSERT_TRUE(ReadBack(h, &out));
  EXPECT_EQ(BytesOf(out), record);
}

TEST_F(WpcInfoRecFileTest, ReaderKeepsTheReadsOwnError) {
  // A handle without read access: the read itself fails.
  HANDLE h = platform::CreateFile(path_.c_str(), platform::GENERIC_WRITE,
                                  platform::FILE_SHARE_READ | platform::FILE_SHARE_WRITE | platform::FILE_SHARE_DELETE,
                                  platform::CREATE_ALWAYS,
                                  platform::FILE_ATTRIBUTE_TEMPORARY | platform::FILE_FLAG_DELETE_ON_CLOSE);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  WPCINFOREC out{};
  EXPECT_FALSE(ReadBack(h, &out));
  const DWORD error = GetLastError();
  const int errnoValue = errno;
  EXPECT_NE(error, ERROR_SUCCESS);
  EXPECT_NE(error, ERROR_BAD_LENGTH);
  EXPECT_EQ(errnoValue, LastErrorToErrno(error));
  EXPECT_NE(g_trace.find("ReadFile() FAILED! rc="), std::string::npos) << g_trace;
}

// The name is relative and predictable: whatever sits in its place that is
// not a regular file is refused, and the writer never creates the file.
TEST_F(WpcInfoRecFileTest, WriterRefusesADirectoryOrAFifo) {
  const WPCINFOREC record = MakeWpcInfoRec(SampleValues());
  DWORD dwLastError = 0;

  fs::create_directory(path_);
  EXPECT_FALSE(WriteWpcInfoRecFile(path_, record, dwLastError));
  EXPECT_TRUE(fs::is_directory(path_));
  EXPECT_NE(g_trace.find("CreateFile() FAILED! g_dwLastError = "), std::string::npos) << g_trace;
  EXPECT_EQ(g_trace.find("WriteFile()"), std::string::npos) << "nothing is written";
  fs::remove(path_);

  g_trace.clear();
  ASSERT_EQ(mkfifo(path_.c_str(), 0600), 0);
  EXPECT_FALSE(WriteWpcInfoRecFile(path_, record, dwLastError));
  EXPECT_TRUE(fs::is_fifo(path_));
  EXPECT_NE(g_trace.find("Returning false!"), std::string::npos) << g_trace;
}

}  // namespace
