#include "mestralib/errors.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <fstream>
#include <sstream>
#include <utility>
#include <vector>

namespace {

bool IsGeneric(const std::string& text) { return text.rfind("Unknown error ", 0) == 0; }

// Every numeric code the platform names, read from its header so that a code
// added there without a text here is caught.
std::vector<std::pair<std::string, DWORD>> CodesOfTheHeader() {
  std::ifstream header(MORVANE_WINERROR_H);
  std::vector<std::pair<std::string, DWORD>> codes;
  std::string line;
  while (std::getline(header, line)) {
    // "constexpr DWORD NAME = 123;"
    std::istringstream words(line);
    std::string constexprWord, type, name, equals, value;
    if (!(words >> constexprWord >> type >> name >> equals >> value)) continue;
    if (constexprWord != "constexpr" || type != "DWORD" || equals != "=" || value.back() != ';') continue;
    value.pop_back();
    if (value.empty() || value.find_first_not_of("0123456789") != std::string::npos) continue;
    codes.emplace_back(name, static_cast<DWORD>(std::stoul(value)));
  }
  return codes;
}

TEST(FormatLastError, EveryCodeOfThePlatformHasItsOwnText) {
  const auto codes = CodesOfTheHeader();
  ASSERT_GT(codes.size(), 40u) << "could not read " << MORVANE_WINERROR_H;
  for (const auto& [name, code] : codes) {
    const std::string text = FormatLastError(code);
    EXPECT_FALSE(IsGeneric(text)) << name << " = " << code;
    EXPECT_FALSE(text.empty()) << name;
    EXPECT_EQ(text.find_first_of("\r\n"), std::string::npos) << name << ": " << text;
    EXPECT_EQ(text.find('%'), std::string::npos) << name << ": " << text;
    EXPECT_EQ(text.back(), '.') << name << ": " << text;
  }
}

TEST(FormatLastError, TheTextsCallersKnow) {
  EXPECT_EQ(FormatLastError(ERROR_SUCCESS), "The operation completed successfully.");
  EXPECT_EQ(FormatLastError(ERROR_FILE_NOT_FOUND), "The system cannot find the file specified.");
  EXPECT_EQ(FormatLastError(ERROR_NOT_ENOUGH_MEMORY),
            "Not enough memory resources are available to process this command.");
  EXPECT_EQ(FormatLastError(ERROR_INVALID_DATA), "The data is invalid.");
  EXPECT_EQ(FormatLastError(ERROR_BAD_LENGTH), "The program issued a command but the command length is incorrect.");
  EXPECT_EQ(FormatLastError(ERROR_INVALID_PARAMETER), "The parameter is incorrect.");
  EXPECT_EQ(FormatLastError(ERROR_BAD_DRIVER_LEVEL), "The system does not support the command requested.");
  EXPECT_EQ(FormatLastError(ERROR_INSUFFICIENT_BUFFER), "The data area passed to a system call is too small.");
  EXPECT_EQ(FormatLastError(WAIT_TIMEOUT), "The wait operation timed out.");
  EXPECT_EQ(FormatLastError(ERROR_NOT_FOUND), "Element not found.");
  EXPECT_EQ(FormatLastError(WSAHOST_NOT_FOUND), "No such host is known.");
  EXPECT_EQ(FormatLastError(WSANO_DATA),
            "The requested name is valid, but no data of the requested type was found.");
}

TEST(FormatLastError, UnknownCodesNameTheNumber) {
  EXPECT_EQ(FormatLastError(12345), "Unknown error 12345 (0x00003039).");
  EXPECT_EQ(FormatLastError(7), "Unknown error 7 (0x00000007).");
  EXPECT_EQ(FormatLastError(0xFFFFFFFF), "Unknown error 4294967295 (0xFFFFFFFF).");
  EXPECT_EQ(FormatLastError(0x80070057), "Unknown error 2147942487 (0x80070057).");
}

TEST(StrError, NetworkConditionsUseTheCallersNumbers) {
  EXPECT_EQ(StrError(kErrnoTimedOut), "Connection timed out");
  EXPECT_EQ(StrError(51), "Network is unreachable");
  EXPECT_EQ(StrError(65), "No route to host");
  EXPECT_EQ(StrError(62), "Too many levels of symbolic links");
}

TEST(StrError, OtherValuesReadAsUsual) {
  EXPECT_EQ(StrError(0), "Success");
  EXPECT_EQ(StrError(kErrnoNoEnt), "No such file or directory");
  EXPECT_EQ(StrError(kErrnoInval), "Invalid argument");
  EXPECT_EQ(StrError(kErrnoAgain), "Resource temporarily unavailable");
  EXPECT_EQ(StrError(kErrnoNoMem), "Cannot allocate memory");
  EXPECT_NE(StrError(-1).find("-1"), std::string::npos);
  EXPECT_NE(StrError(100000).find("100000"), std::string::npos);
}

TEST(StrError, LeavesErrnoAlone) {
  // Callers pass errno and StrError(errno) to one printf call.
  errno = 424242;
  (void)StrError(424242);
  EXPECT_EQ(errno, 424242);
  errno = kErrnoTimedOut;
  (void)StrError(kErrnoInval);
  EXPECT_EQ(errno, kErrnoTimedOut);
}

TEST(LastErrorToErrno, FollowsThePlatformsTable) {
  EXPECT_EQ(LastErrorToErrno(ERROR_SUCCESS), 0);
  EXPECT_EQ(LastErrorToErrno(ERROR_FILE_NOT_FOUND), kErrnoNoEnt);
  EXPECT_EQ(LastErrorToErrno(ERROR_INVALID_PARAMETER), kErrnoInval);
  EXPECT_EQ(LastErrorToErrno(WAIT_TIMEOUT), kErrnoTimedOut);
  EXPECT_EQ(LastErrorToErrno(ERROR_NOT_ENOUGH_MEMORY), kErrnoNoMem);
  for (const auto& [name, code] : CodesOfTheHeader()) {
    EXPECT_EQ(LastErrorToErrno(code), platform::ErrnoForLastError(code)) << name;
  }
}

}  // namespace
