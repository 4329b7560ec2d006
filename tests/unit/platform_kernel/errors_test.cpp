// Last-error codes and errno values travel together, numbered as the kit's
// callers know them.
#include <gtest/gtest.h>

#include <cerrno>
#include <thread>

#include "platform/winerror.h"

using namespace platform;

namespace {

TEST(KernelErrorTranslation, LastErrorToErrnoAsCallersNumberThem) {
  EXPECT_EQ(ErrnoForLastError(ERROR_SUCCESS), 0);
  EXPECT_EQ(ErrnoForLastError(ERROR_INVALID_PARAMETER), 22);
  EXPECT_EQ(ErrnoForLastError(ERROR_FILE_NOT_FOUND), 2);
  EXPECT_EQ(ErrnoForLastError(ERROR_NOT_ENOUGH_MEMORY), 12);
  EXPECT_EQ(ErrnoForLastError(ERROR_INSUFFICIENT_BUFFER), 11);
  EXPECT_EQ(ErrnoForLastError(WAIT_TIMEOUT), 60);
  EXPECT_EQ(ErrnoForLastError(ERROR_NOT_FOUND), 2);
  EXPECT_EQ(ErrnoForLastError(ERROR_ACCESS_DENIED), 13);
  EXPECT_EQ(ErrnoForLastError(ERROR_BAD_LENGTH), 5);
  EXPECT_EQ(ErrnoForLastError(ERROR_INVALID_DATA), 5);
  EXPECT_EQ(ErrnoForLastError(ERROR_FILE_EXISTS), 17);
  EXPECT_EQ(ErrnoForLastError(123456), 22) << "unknown codes read as a bad argument";
}

TEST(KernelErrorTranslation, LinuxErrnoToLastError) {
  EXPECT_EQ(LastErrorForErrno(ENOENT), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(LastErrorForErrno(EACCES), ERROR_ACCESS_DENIED);
  EXPECT_EQ(LastErrorForErrno(EPERM), ERROR_ACCESS_DENIED);
  EXPECT_EQ(LastErrorForErrno(EEXIST), ERROR_FILE_EXISTS);
  EXPECT_EQ(LastErrorForErrno(ENOMEM), ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_EQ(LastErrorForErrno(EINVAL), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(LastErrorForErrno(ELOOP), ERROR_CANT_RESOLVE_FILENAME);
  EXPECT_EQ(LastErrorForErrno(ETIMEDOUT), ERROR_TIMEOUT);
  EXPECT_EQ(LastErrorForErrno(EBADF), ERROR_INVALID_HANDLE);
  EXPECT_EQ(LastErrorForErrno(99999), ERROR_GEN_FAILURE);
  // Linux's own time-out number becomes the callers' 60 on the way through.
  EXPECT_EQ(ErrnoForLastError(LastErrorForErrno(ETIMEDOUT)), kErrnoTimedOut);
}

TEST(KernelErrorTranslation, ErrorsArePerThreadAndRestorable) {
  SetErrors(ERROR_BAD_LENGTH, kErrnoIo);
  SavedErrors saved;
  std::thread([] {
    EXPECT_EQ(GetLastError(), 0u) << "a new thread starts clean";
    SetErrors(ERROR_INVALID_PARAMETER, kErrnoInval);
  }).join();
  EXPECT_EQ(GetLastError(), ERROR_BAD_LENGTH);
  SetErrors(0, 0);
  saved.Restore();
  EXPECT_EQ(GetLastError(), ERROR_BAD_LENGTH);
  EXPECT_EQ(errno, kErrnoIo);
}

}  // namespace
