// Version resources: read back from loaded modules and from files, and every
// kind of damaged file refused with its code, never a crash.
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "common/version_resource.h"
#include "platform/lasterror.h"
#include "platform/module.h"
#include "platform/winerror.h"

namespace machine_test {
namespace {

namespace fs = std::filesystem;
using namespace platform;
using Bytes = std::vector<std::uint8_t>;

Bytes ReadBytes(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(file), {});
}

DWORD ParseImage(const Bytes& image, VersionResource* out = nullptr) {
  VersionResource scratch;
  std::string why;
  return version_record::ReadFromImage(version_record::MemorySource(image), out ? out : &scratch, &why);
}

std::string FileVersionText(const VS_FIXEDFILEINFO& fixed) {
  return std::to_string(fixed.dwFileVersionMS >> 16) + "." + std::to_string(fixed.dwFileVersionMS & 0xFFFF) + "." +
         std::to_string(fixed.dwFileVersionLS >> 16) + "." + std::to_string(fixed.dwFileVersionLS & 0xFFFF);
}

TEST(VersionResource, ReadFromALoadedModule) {
  HMODULE module = LoadLibrary("libplatform_machine_versioned.so");
  ASSERT_NE(module, nullptr);
  VersionResource resource;
  ASSERT_TRUE(ReadVersionResource(module, &resource)) << GetLastError();
  EXPECT_EQ(resource.fixed.dwSignature, 0xFEEF04BDu);
  EXPECT_EQ(FileVersionText(resource.fixed), "1.2.3.4");
  EXPECT_EQ(resource.fixed.dwProductVersionMS, (5u << 16) | 6);
  EXPECT_EQ(resource.fixed.dwProductVersionLS, (7u << 16) | 8);
  EXPECT_EQ(resource.fixed.dwFileType, 2u);  // a library
  EXPECT_EQ(resource.fixed.dwFileFlags & 0x20u, 0x20u);  // it has a special build text
  EXPECT_EQ(resource.Value("SpecialBuild"), "odd \"quoted\" \\ text? ok");
  EXPECT_EQ(resource.Value("filedescription"), "Versioned test library");
  EXPECT_EQ(resource.Value("FileVersion"), "1.2.3.4");  // added from FILE_VERSION
  EXPECT_FALSE(resource.Value("Comments").has_value());
  FreeLibrary(module);

  // The program itself, as the null module.
  ASSERT_TRUE(ReadVersionResource(nullptr, &resource));
  EXPECT_EQ(resource.Value("SpecialBuild"), "tests");
}

TEST(VersionResource, ReadFromFiles) {
  VersionResource resource;
  ASSERT_TRUE(ReadVersionResourceFromFile(RECORD_ONLY_LIB, &resource)) << GetLastError();
  EXPECT_EQ(FileVersionText(resource.fixed), "9.8.7.6");
  EXPECT_EQ(resource.fixed.dwFileType, 3u);  // a driver
  EXPECT_EQ(resource.Value("FileDescription"), "Record only");

  ASSERT_TRUE(ReadVersionResourceFromFile(PLATFORM_LIB, &resource));
  EXPECT_EQ(FileVersionText(resource.fixed), PROJECT_FILE_VERSION);
}

class DamagedFile : public ::testing::Test {
 protected:
  void SetUp() override {
    image_ = ReadBytes(RECORD_ONLY_LIB);
    ASSERT_GT(image_.size(), sizeof(version_record::Record));
    const char magic[] = "MORVANE\0\1\0\0\0";
    auto found = std::search(image_.begin(), image_.end(), magic, magic + 12);
    ASSERT_NE(found, image_.end());
    record_ = static_cast<std::size_t>(found - image_.begin());
    char pattern[] = "/tmp/morvane-version-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    folder_ = pattern;
  }
  void TearDown() override { fs::remove_all(folder_); }

  // Writes `bytes` as a file and reads it back: the last error, or 0.
  DWORD FromFile(const Bytes& bytes) {
    fs::path path = folder_ / "damaged.so";
    std::ofstream(path, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    VersionResource resource;
    resource.fixed.dwSignature = 1;
    if (ReadVersionResourceFromFile(path.string(), &resource)) return 0;
    EXPECT_EQ(resource.fixed.dwSignature, 0u);  // left all zero on failure
    return GetLastError();
  }

  template <typename T>
  Bytes With(std::size_t offset, T value) const {
    Bytes copy = image_;
    std::memcpy(copy.data() + offset, &value, sizeof value);
    return copy;
  }

  std::uint64_t SectionHeaderOffset() const {
    std::uint64_t offset;
    std::memcpy(&offset, image_.data() + 40, sizeof offset);
    return offset;
  }

  Bytes image_;
  std::size_t record_ = 0;
  fs::path folder_;
};

TEST_F(DamagedFile, EveryTruncationIsRefused) {
  ASSERT_EQ(FromFile(image_), 0u);
  for (std::size_t length : {std::size_t{0}, std::size_t{3}, std::size_t{63}, std::size_t{64}, record_ + 100,
                             static_cast<std::size_t>(SectionHeaderOffset()) + 10, image_.size() - 1}) {
    EXPECT_EQ(FromFile(Bytes(image_.begin(), image_.begin() + static_cast<std::ptrdiff_t>(length))),
              ERROR_BAD_FORMAT)
        << "length " << length;
  }
  for (std::size_t length = 0; length < image_.size(); ++length) {
    Bytes cut(image_.begin(), image_.begin() + static_cast<std::ptrdiff_t>(length));
    ASSERT_NE(ParseImage(cut), ERROR_SUCCESS) << "length " << length;
  }
}

TEST_F(DamagedFile, BadRecordsAreRefusedWhole) {
  using version_record::Record;
  EXPECT_EQ(FromFile(With<std::uint32_t>(record_ + offsetof(Record, valueCount), 17)), ERROR_BAD_FORMAT);
  EXPECT_EQ(FromFile(With<std::uint32_t>(record_ + offsetof(Record, fixed), 0xFEEF04BC)), ERROR_BAD_FORMAT);
  EXPECT_EQ(FromFile(With<std::uint32_t>(record_ + offsetof(Record, formatVersion), 2)), ERROR_BAD_FORMAT);
  EXPECT_EQ(FromFile(With<std::uint32_t>(record_ + offsetof(Record, totalSize), 9999)), ERROR_BAD_FORMAT);

  // Zeros after the record are a tool chain's padding; anything else is not.
  Bytes section(image_.begin() + static_cast<std::ptrdiff_t>(record_),
                image_.begin() + static_cast<std::ptrdiff_t>(record_ + sizeof(Record)));
  section.resize(section.size() + 64, 0);
  VersionResource resource;
  std::string why;
  EXPECT_EQ(version_record::DecodeRecord(section, &resource, &why), ERROR_SUCCESS) << why;
  section.back() = 1;
  EXPECT_EQ(version_record::DecodeRecord(section, &resource, &why), ERROR_BAD_FORMAT);

  Bytes unterminated = image_;
  std::memset(unterminated.data() + record_ + offsetof(Record, values), 'A', version_record::kNameCapacity);
  EXPECT_EQ(FromFile(unterminated), ERROR_BAD_FORMAT);
  Bytes longText = image_;
  std::memset(longText.data() + record_ + offsetof(Record, values) + version_record::kNameCapacity, 'B',
              version_record::kTextCapacity);
  EXPECT_EQ(FromFile(longText), ERROR_BAD_FORMAT);
}

TEST_F(DamagedFile, BadElfHeadersAreRefused) {
  EXPECT_EQ(FromFile(With<std::uint64_t>(40, image_.size() + 4096)), ERROR_BAD_FORMAT);  // table past the end
  EXPECT_EQ(FromFile(With<std::uint64_t>(40, ~std::uint64_t{0} - 8)), ERROR_BAD_FORMAT);  // offset that wraps
  EXPECT_EQ(FromFile(With<std::uint16_t>(58, 40)), ERROR_BAD_FORMAT);     // section header size
  EXPECT_EQ(FromFile(With<std::uint16_t>(60, 0xFFF0)), ERROR_BAD_FORMAT); // count past the end
  EXPECT_EQ(FromFile(With<std::uint16_t>(62, 0xFEFF)), ERROR_BAD_FORMAT); // name table index
  EXPECT_EQ(FromFile(With<std::uint8_t>(4, 1)), ERROR_BAD_FORMAT);        // 32-bit class

  // Any section's size, offset or name pointed far away: refused or, for a
  // section the reader never needs, passed over; the version section's own
  // and the name table's are refused.
  std::uint16_t count;
  std::uint16_t namesIndex;
  std::memcpy(&count, image_.data() + 60, sizeof count);
  std::memcpy(&namesIndex, image_.data() + 62, sizeof namesIndex);
  std::size_t versionIndex = 0;
  for (std::uint16_t i = 1; i < count; ++i) {
    std::size_t header = static_cast<std::size_t>(SectionHeaderOffset()) + i * 64u;
    std::uint64_t offset;
    std::memcpy(&offset, image_.data() + header + 24, sizeof offset);
    if (offset == record_) versionIndex = i;
    bool needed = i == namesIndex || offset == record_;
    for (const Bytes& damaged : {With<std::uint64_t>(header + 32, ~std::uint64_t{0}),
                                 With<std::uint64_t>(header + 24, ~std::uint64_t{0} - 4)}) {
      DWORD code = ParseImage(damaged);
      if (needed) EXPECT_EQ(code, ERROR_BAD_FORMAT) << "section " << i;
      else EXPECT_EQ(code, ERROR_SUCCESS) << "section " << i;
    }
    // Names are checked up to the version section; later ones are not read.
    DWORD badName = ParseImage(With<std::uint32_t>(header, 0xFFFFFFF0));
    if (versionIndex == 0 || versionIndex == i) EXPECT_EQ(badName, ERROR_BAD_FORMAT) << "section " << i;
    else EXPECT_EQ(badName, ERROR_SUCCESS) << "section " << i;
  }
  ASSERT_NE(versionIndex, 0u);

  // A renamed section is a sound file without a resource.
  Bytes renamed = image_;
  const char name[] = ".morvane_version";
  auto at = std::search(renamed.begin(), renamed.end(), name, name + sizeof name);
  ASSERT_NE(at, renamed.end());
  at[8] = 'X';
  EXPECT_EQ(FromFile(renamed), ERROR_RESOURCE_TYPE_NOT_FOUND);
}

TEST_F(DamagedFile, OtherFilesAreRefusedWithTheirCodes) {
  EXPECT_EQ(FromFile(Bytes{'h', 'e', 'l', 'l', 'o', '\n'}), ERROR_BAD_FORMAT);
  std::mt19937 random(1234);
  for (int round = 0; round < 200; ++round) {
    Bytes garbage(static_cast<std::size_t>(random() % 4096));
    for (auto& byte : garbage) byte = static_cast<std::uint8_t>(random());
    if (garbage.size() >= 6) std::memcpy(garbage.data(), "\x7f" "ELF\x02\x01", 6);
    ASSERT_NE(ParseImage(garbage), ERROR_SUCCESS);
  }
  VersionResource resource;
  EXPECT_FALSE(ReadVersionResourceFromFile((folder_ / "missing.so").string(), &resource));
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(ReadVersionResourceFromFile(folder_.string(), &resource));
  EXPECT_FALSE(ReadVersionResourceFromFile(LOAD_PROBE, &resource));  // ours, but built without one
  EXPECT_EQ(GetLastError(), ERROR_RESOURCE_TYPE_NOT_FOUND);
}

}  // namespace
}  // namespace machine_test
