// Registry look-ups on a fake machine's tree: case-insensitive paths, the
// size protocol of value reads, sub-key enumeration, handle checks.
#include <gtest/gtest.h>

#include <string>

#include "fake_machine.h"
#include "platform/registry.h"

namespace machine_test {
namespace {

constexpr const char* kVersionKey = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";
constexpr const char* kClassKey = "SYSTEM\\CurrentControlSet\\Control\\Class\\{4D36E972-E325-11CE-BFC1-08002BE10318}";

std::u16string Utf16(const BYTE* bytes, DWORD size) {
  std::u16string text;
  for (DWORD i = 0; i + 1 < size; i += 2) text.push_back(static_cast<char16_t>(bytes[i] | bytes[i + 1] << 8));
  return text;
}

class Registry : public ::testing::Test {
 protected:
  void SetUp() override {
    machine_->registry.SetString(kVersionKey, "EditionID", "Professional");
    machine_->registry.SetString(kVersionKey, "DisplayVersion", "12 \xC3\xA9t\xC3\xA9 \xF0\x9F\x90\xA7");
    machine_->registry.SetDword(std::string(kClassKey) + "\\0001", "*LsoV2Ipv4", 1);
    machine_->registry.SetString(std::string(kClassKey) + "\\0000", "NetCfgInstanceId", "eth0");
  }
  WithFakeMachine machine_;
};

TEST_F(Registry, OpensPathsWithoutRegardToCaseAndReadsTexts) {
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, "software\\MICROSOFT\\windows nt\\currentversion", 0, KEY_READ, &key),
            ERROR_SUCCESS);
  DWORD type = 0;
  BYTE data[64] = {};
  DWORD size = sizeof data;
  ASSERT_EQ(RegQueryValueEx(key, "editionid", &type, data, &size), ERROR_SUCCESS);
  EXPECT_EQ(type, REG_SZ);
  EXPECT_EQ(size, 2 * (12 + 1));  // UTF-16 with its terminating zero
  EXPECT_EQ(Utf16(data, size), std::u16string(u"Professional") + u'\0');

  size = sizeof data;
  ASSERT_EQ(RegQueryValueEx(key, "DisplayVersion", &type, data, &size), ERROR_SUCCESS);
  EXPECT_EQ(Utf16(data, size), std::u16string(u"12 \u00e9t\u00e9 \U0001F427") + u'\0');
  EXPECT_EQ(RegQueryValueEx(key, "NoSuchValue", &type, data, &size), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);

  EXPECT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, "SOFTWARE\\Nobody", 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(key, nullptr);
}

TEST_F(Registry, SmallBufferGetsMoreDataAndTheSizeNeeded) {
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, kVersionKey, 0, KEY_QUERY_VALUE, &key), ERROR_SUCCESS);
  DWORD type = 0;
  DWORD size = 0;
  ASSERT_EQ(RegQueryValueEx(key, "EditionID", &type, nullptr, &size), ERROR_SUCCESS);  // type and size only
  EXPECT_EQ(type, REG_SZ);
  EXPECT_EQ(size, 26u);

  BYTE data[32];
  std::fill(std::begin(data), std::end(data), 0xAA);
  size = 10;
  EXPECT_EQ(RegQueryValueEx(key, "EditionID", &type, data, &size), ERROR_MORE_DATA);
  EXPECT_EQ(size, 26u);
  EXPECT_EQ(data[0], 0xAA);  // nothing written
  EXPECT_EQ(RegQueryValueEx(key, "EditionID", &type, data, nullptr), ERROR_INVALID_PARAMETER);
  size = 26;
  EXPECT_EQ(RegQueryValueEx(key, "EditionID", &type, data, &size), ERROR_SUCCESS);
  RegCloseKey(key);
}

TEST_F(Registry, EnumeratesSubKeysAndReadsNumbersUnderAnOpenKey) {
  HKEY classKey = nullptr;
  ASSERT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, kClassKey, 0, KEY_READ, &classKey), ERROR_SUCCESS);
  std::string name;
  ASSERT_EQ(RegEnumKeyEx(classKey, 0, &name), ERROR_SUCCESS);
  EXPECT_EQ(name, "0000");
  ASSERT_EQ(RegEnumKeyEx(classKey, 1, &name), ERROR_SUCCESS);
  EXPECT_EQ(name, "0001");
  EXPECT_EQ(RegEnumKeyEx(classKey, 2, &name), ERROR_NO_MORE_ITEMS);

  HKEY adapter = nullptr;
  ASSERT_EQ(RegOpenKeyEx(classKey, name.c_str(), 0, KEY_READ, &adapter), ERROR_SUCCESS);
  DWORD type = 0, value = 0, size = sizeof value;
  ASSERT_EQ(RegQueryValueEx(adapter, "*lsov2ipv4", &type, reinterpret_cast<BYTE*>(&value), &size), ERROR_SUCCESS);
  EXPECT_EQ(type, REG_DWORD);
  EXPECT_EQ(value, 1u);
  RegCloseKey(adapter);
  RegCloseKey(classKey);
}

TEST_F(Registry, ClosedAndForeignHandlesAreRefused) {
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, kVersionKey, 0, KEY_READ, &key), ERROR_SUCCESS);
  ASSERT_EQ(RegCloseKey(key), ERROR_SUCCESS);
  DWORD size = 0;
  std::string name;
  EXPECT_EQ(RegQueryValueEx(key, "EditionID", nullptr, nullptr, &size), ERROR_INVALID_HANDLE);
  EXPECT_EQ(RegEnumKeyEx(key, 0, &name), ERROR_INVALID_HANDLE);
  EXPECT_EQ(RegCloseKey(key), ERROR_INVALID_HANDLE);
  int notAKey = 0;
  EXPECT_EQ(RegOpenKeyEx(&notAKey, "SOFTWARE", 0, KEY_READ, &key), ERROR_INVALID_HANDLE);
  EXPECT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, "SOFTWARE", 0, KEY_READ, nullptr), ERROR_INVALID_PARAMETER);
}

}  // namespace
}  // namespace machine_test
