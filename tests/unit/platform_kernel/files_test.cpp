// Files: dispositions, share modes, delete-on-close across processes, and
// symbolic links refused.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "platform/file.h"
#include "platform/process.h"
#include "platform/sync.h"

using namespace platform;

namespace {

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr DWORD kRW = GENERIC_READ | GENERIC_WRITE;

class KernelFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/morvane-files-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { std::system(("rm -rf '" + dir_ + "'").c_str()); }

  std::string Path(const std::string& name) const { return dir_ + "/" + name; }

  static void Put(const std::string& path, const std::string& text) { std::ofstream(path) << text; }
  static std::string Get(const std::string& path) {
    std::stringstream text;
    text << std::ifstream(path).rdbuf();
    return text.str();
  }
  static bool Exists(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
  }

  std::string dir_;
};

TEST_F(KernelFiles, DispositionsCreateOpenAndTruncate) {
  const std::string path = Path("a.dat");
  SetLastError(0);
  EXPECT_EQ(CreateFile(path.c_str(), GENERIC_READ, kShareAll, OPEN_EXISTING, 0), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(errno, 2);

  HANDLE h = CreateFile(path.c_str(), kRW, 0, CREATE_NEW, FILE_ATTRIBUTE_NORMAL);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  DWORD n = 0;
  ASSERT_TRUE(WriteFile(h, "hello", 5, &n));
  EXPECT_EQ(n, 5u);
  CloseHandle(h);
  EXPECT_EQ(Get(path), "hello");

  EXPECT_EQ(CreateFile(path.c_str(), kRW, 0, CREATE_NEW, 0), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_FILE_EXISTS);

  h = CreateFile(path.c_str(), GENERIC_READ, 0, OPEN_ALWAYS, 0);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS) << "success over an existing file says so";
  char buffer[16] = {};
  ASSERT_TRUE(ReadFile(h, buffer, sizeof buffer, &n));
  EXPECT_EQ(std::string(buffer, n), "hello");
  ASSERT_TRUE(ReadFile(h, buffer, sizeof buffer, &n));
  EXPECT_EQ(n, 0u) << "end of file is a successful read of nothing";
  EXPECT_FALSE(WriteFile(h, "x", 1, &n)) << "opened for reading only";
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  CloseHandle(h);

  h = CreateFile(path.c_str(), GENERIC_WRITE, 0, TRUNCATE_EXISTING, 0);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_FALSE(ReadFile(h, buffer, sizeof buffer, &n));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  CloseHandle(h);
  EXPECT_EQ(Get(path), "");

  Put(path, "old contents");
  h = CreateFile(path.c_str(), GENERIC_WRITE, 0, CREATE_ALWAYS, 0);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
  CloseHandle(h);
  EXPECT_EQ(Get(path), "") << "CREATE_ALWAYS truncates";

  const std::string fresh = Path("b.dat");
  h = CreateFile(fresh.c_str(), GENERIC_WRITE, 0, OPEN_ALWAYS, 0);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
  CloseHandle(h);
  EXPECT_TRUE(Exists(fresh));

  EXPECT_EQ(CreateFile(path.c_str(), GENERIC_READ, 0, TRUNCATE_EXISTING, 0), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(CreateFile(path.c_str(), GENERIC_READ, 0, 0, 0), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(CreateFile(Path("no/such/dir").c_str(), GENERIC_READ, 0, OPEN_ALWAYS, 0), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
  EXPECT_EQ(CreateFile(nullptr, GENERIC_READ, 0, OPEN_EXISTING, 0), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST_F(KernelFiles, ShareModesAreEnforcedBetweenOpens) {
  const std::string path = Path("shared.dat");
  Put(path, "keep me");
  HANDLE reader = CreateFile(path.c_str(), GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, 0);
  ASSERT_NE(reader, INVALID_HANDLE_VALUE);

  SetLastError(0);
  EXPECT_EQ(CreateFile(path.c_str(), GENERIC_WRITE, kShareAll, OPEN_EXISTING, 0), INVALID_HANDLE_VALUE)
      << "the first open does not share writing";
  EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
  EXPECT_EQ(errno, 13);
  EXPECT_EQ(CreateFile(path.c_str(), GENERIC_READ, FILE_SHARE_WRITE, OPEN_EXISTING, 0), INVALID_HANDLE_VALUE)
      << "the new open does not share the reading the first one does";
  EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
  EXPECT_EQ(CreateFile(path.c_str(), GENERIC_WRITE, kShareAll, CREATE_ALWAYS, 0), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
  EXPECT_EQ(Get(path), "keep me") << "a refused CREATE_ALWAYS truncates nothing";
  EXPECT_EQ(CreateFile(path.c_str(), GENERIC_READ, kShareAll, OPEN_EXISTING, FILE_FLAG_DELETE_ON_CLOSE),
            INVALID_HANDLE_VALUE)
      << "delete-on-close needs the delete share";
  EXPECT_FALSE(DeleteFile(path.c_str()));
  EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
  EXPECT_TRUE(Exists(path));

  HANDLE second = CreateFile(path.c_str(), GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, 0);
  EXPECT_NE(second, INVALID_HANDLE_VALUE) << "both only read and share reading";
  CloseHandle(second);
  CloseHandle(reader);

  HANDLE writer = CreateFile(path.c_str(), GENERIC_WRITE, 0, OPEN_EXISTING, 0);
  EXPECT_NE(writer, INVALID_HANDLE_VALUE) << "closed handles leave no share behind";
  CloseHandle(writer);

  HANDLE open = CreateFile(path.c_str(), GENERIC_READ, kShareAll, OPEN_EXISTING, 0);
  EXPECT_TRUE(DeleteFile(path.c_str())) << "an open that shares delete allows it";
  EXPECT_FALSE(Exists(path));
  CloseHandle(open);
  EXPECT_FALSE(DeleteFile(path.c_str()));
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

TEST_F(KernelFiles, DeleteOnCloseOutlivesAnotherProcessWritingTheFile) {
  const std::string path = Path("MWPCUtil-1.dat");
  HANDLE mine =
      CreateFile(path.c_str(), kRW, kShareAll, CREATE_ALWAYS, FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE);
  ASSERT_NE(mine, INVALID_HANDLE_VALUE);

  HANDLE child = StartProcess(KERNEL_HELPER, {"write", path, "record from the child"}, "");
  ASSERT_NE(child, nullptr) << GetLastError();
  ASSERT_EQ(WaitForSingleObject(child, 30000), WAIT_OBJECT_0);
  DWORD code = 1;
  ASSERT_TRUE(GetExitCodeProcess(child, &code));
  EXPECT_EQ(code, 0u) << "the child opened and wrote the file";
  CloseHandle(child);

  char buffer[64] = {};
  DWORD n = 0;
  ASSERT_TRUE(ReadFile(mine, buffer, sizeof buffer, &n));
  EXPECT_EQ(std::string(buffer, n), "record from the child");

  // A second handle in this process keeps the file until it closes too.
  HANDLE other = CreateFile(path.c_str(), GENERIC_READ, kShareAll, OPEN_EXISTING, 0);
  ASSERT_NE(other, INVALID_HANDLE_VALUE);
  CloseHandle(mine);
  EXPECT_TRUE(Exists(path));
  CloseHandle(other);
  EXPECT_FALSE(Exists(path)) << "gone with the last handle";
}

TEST_F(KernelFiles, DeleteOnCloseRemovesOnlyTheFileItOpened) {
  const std::string path = Path("temp.dat");
  HANDLE h = CreateFile(path.c_str(), kRW, kShareAll, CREATE_NEW, FILE_FLAG_DELETE_ON_CLOSE);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  // Someone replaces the name meanwhile: that other file must survive.
  ASSERT_EQ(::rename(path.c_str(), Path("moved.dat").c_str()), 0);
  Put(path, "someone else's");
  CloseHandle(h);
  EXPECT_EQ(Get(path), "someone else's");
}

TEST_F(KernelFiles, SymbolicLinksAreRefusedForOpenAndCreate) {
  const std::string target = Path("target.dat");
  const std::string link = Path("link.dat");
  Put(target, "precious");
  ASSERT_EQ(::symlink(target.c_str(), link.c_str()), 0);

  for (DWORD disposition : {OPEN_EXISTING, OPEN_ALWAYS, CREATE_ALWAYS, CREATE_NEW, TRUNCATE_EXISTING}) {
    SetLastError(0);
    EXPECT_EQ(CreateFile(link.c_str(), kRW, kShareAll, disposition, 0), INVALID_HANDLE_VALUE) << disposition;
    EXPECT_EQ(GetLastError(), ERROR_CANT_RESOLVE_FILENAME) << disposition;
  }
  EXPECT_EQ(Get(target), "precious") << "nothing written or truncated through the link";

  const std::string dangling = Path("dangling.dat");
  const std::string nowhere = Path("nowhere.dat");
  ASSERT_EQ(::symlink(nowhere.c_str(), dangling.c_str()), 0);
  EXPECT_EQ(CreateFile(dangling.c_str(), kRW, kShareAll, CREATE_ALWAYS, 0), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_CANT_RESOLVE_FILENAME);
  EXPECT_FALSE(Exists(nowhere)) << "no file created at the link's target";
}

TEST_F(KernelFiles, ATruncatingCreateRefusesAFileWithOtherNamesUntouched) {
  const std::string other = Path("other.dat");
  const std::string link = Path("planted.dat");
  Put(other, "precious");
  ASSERT_EQ(::link(other.c_str(), link.c_str()), 0);

  for (DWORD disposition : {CREATE_ALWAYS, TRUNCATE_EXISTING}) {
    SetLastError(0);
    EXPECT_EQ(CreateFile(link.c_str(), kRW, kShareAll, disposition, FILE_FLAG_DELETE_ON_CLOSE), INVALID_HANDLE_VALUE)
        << disposition;
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED) << disposition;
  }
  EXPECT_EQ(Get(other), "precious") << "nothing truncated through the second name";
  EXPECT_TRUE(Exists(link)) << "the refused name is not deleted";

  // Opening without truncation is still allowed, and a file of one name is
  // still emptied.
  HANDLE h = CreateFile(link.c_str(), GENERIC_READ, kShareAll, OPEN_ALWAYS, 0);
  EXPECT_NE(h, INVALID_HANDLE_VALUE);
  CloseHandle(h);
  ASSERT_EQ(::unlink(other.c_str()), 0);
  h = CreateFile(link.c_str(), kRW, kShareAll, CREATE_ALWAYS, 0);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
  CloseHandle(h);
  EXPECT_EQ(Get(link), "");
}

// A replacement is all or nothing: the old text stays when the new one cannot
// be written whole (here the file size limit of a child process stands in for
// a full disk), no stray file is left, a link's target is what gets the new
// text, and the file keeps its permissions.
TEST_F(KernelFiles, AReplacementIsWholeOrLeavesTheOldFile) {
  const std::string file = Path("saved.ttt");
  Put(file, "the old log\n");
  ASSERT_EQ(::chmod(file.c_str(), 0640), 0);

  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::signal(SIGXFSZ, SIG_IGN);
    struct rlimit limit {4096, 4096};
    ::setrlimit(RLIMIT_FSIZE, &limit);
    bool replaced = ReplaceFileContents(file.c_str(), std::string(100000, 'x'));
    ::_exit(replaced ? 0 : errno == EFBIG ? 3 : 4);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 3) << "the too-long write fails with its own cause";
  EXPECT_EQ(Get(file), "the old log\n");
  std::string listing;
  for (const auto& entry : std::filesystem::directory_iterator(dir_)) listing += entry.path().filename().string() + " ";
  EXPECT_EQ(listing, "saved.ttt ") << "no temporary file left behind";

  ASSERT_TRUE(ReplaceFileContents(file.c_str(), "the new log\n"));
  EXPECT_EQ(Get(file), "the new log\n");
  struct stat st {};
  ASSERT_EQ(::stat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);

  const std::string link = Path("latest.ttt");
  ASSERT_EQ(::symlink("saved.ttt", link.c_str()), 0);
  ASSERT_TRUE(ReplaceFileContents(link.c_str(), "through the link\n"));
  EXPECT_EQ(Get(file), "through the link\n");
  ASSERT_EQ(::lstat(link.c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode)) << "the link stays a link";

  SetLastError(0);
  EXPECT_FALSE(ReplaceFileContents(dir_.c_str(), "x"));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED) << "a folder is not replaced";
  EXPECT_TRUE(ReplaceFileContents(Path("new.ttt").c_str(), ""));
  EXPECT_TRUE(Exists(Path("new.ttt")));
}

// Something that is no file of its own (a pipe, a terminal) is written as it
// is: a new file renamed over it would take its place. A pipe that nobody
// reads fails at once instead of waiting for a reader.
TEST_F(KernelFiles, APipeIsWrittenAsItIsNotReplaced) {
  const std::string fifo = Path("fifo");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_FALSE(ReplaceFileContents(fifo.c_str(), "nobody reads\n"));
  const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(reader, 0);
  ASSERT_TRUE(ReplaceFileContents(fifo.c_str(), "the log\n")) << GetLastError();
  char got[64] = {};
  EXPECT_EQ(::read(reader, got, sizeof got), 8);
  EXPECT_STREQ(got, "the log\n");
  ::close(reader);
  struct stat st {};
  ASSERT_EQ(::lstat(fifo.c_str(), &st), 0);
  EXPECT_TRUE(S_ISFIFO(st.st_mode)) << "the pipe is still a pipe";
  std::string listing;
  for (const auto& entry : std::filesystem::directory_iterator(dir_)) listing += entry.path().filename().string() + " ";
  EXPECT_EQ(listing, "fifo ");
}

TEST_F(KernelFiles, AnythingButARegularFileIsRefused) {
  EXPECT_EQ(CreateFile(dir_.c_str(), GENERIC_READ, kShareAll, OPEN_EXISTING, 0), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  const std::string fifo = Path("fifo");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  // Must fail at once rather than block waiting for a writer.
  EXPECT_EQ(CreateFile(fifo.c_str(), GENERIC_READ, kShareAll, OPEN_EXISTING, 0), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_EQ(CreateFile("/dev/null", GENERIC_WRITE, kShareAll, OPEN_EXISTING, 0), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
}

TEST_F(KernelFiles, HandlesOfOtherKindsDoNoFileIo) {
  HANDLE event = CreateEvent(false);
  char buffer[4];
  DWORD n = 7;
  EXPECT_FALSE(ReadFile(event, buffer, sizeof buffer, &n));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_EQ(n, 0u);
  EXPECT_FALSE(DeviceIoControl(event, 1, nullptr, 0, nullptr, 0, &n));
  EXPECT_FALSE(CancelIo(event));
  CloseHandle(event);

  const std::string path = Path("plain.dat");
  HANDLE file = CreateFile(path.c_str(), kRW, 0, CREATE_NEW, 0);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  EXPECT_FALSE(DeviceIoControl(file, 1, nullptr, 0, nullptr, 0, &n));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_FUNCTION);
  EXPECT_TRUE(CancelIo(file));
  EXPECT_EQ(WaitForSingleObject(file, 0), WAIT_FAILED) << "files are not waitable here";
  CloseHandle(file);
}

}  // namespace
