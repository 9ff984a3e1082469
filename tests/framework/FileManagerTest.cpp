#include "framework/FileManager.h"

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <functional>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "framework/Exception.h"
#include "support/SkipRule.h"
#include "support/TempDir.h"

using Oxbrindale::Velmora::Config::FileManager;
using tarrow_test::TempDir;

namespace {

bool Exists(const std::string& path) { return ::access(path.c_str(), F_OK) == 0; }

mode_t ModeOf(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return 0;
  return st.st_mode & 07777;
}

std::string MissingMessage(const std::string& path) { return "您要找的配置文件'" + path + "'不存在！"; }

// Runs read(path) and expects the "IO" failure naming path.
void ExpectIoFailure(const std::function<std::string(const std::string&)>& read, const std::string& path) {
  try {
    std::string content = read(path);
    ADD_FAILURE() << "no exception, read " << content.size() << " bytes";
  } catch (Exception* e) {
    EXPECT_EQ("IO", e->code);
    EXPECT_EQ(MissingMessage(path), e->message);
    delete e;
  }
}

// Runs body in a forked child and returns its exit code (-signal when killed).
int RunInChild(const std::function<int()>& body) {
  pid_t pid = ::fork();
  if (pid == 0) {
    int code = 99;
    try {
      code = body();
    } catch (...) {
      code = 98;
    }
    ::_exit(code);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  if (WIFSIGNALED(status)) return -WTERMSIG(status);
  return WEXITSTATUS(status);
}

// Text of size bytes made of numbered lines of one letter, so that a mix of
// two such texts or a cut one never equals either.
std::string Pattern(char letter, size_t size) {
  std::string text;
  for (int line = 0; text.size() < size; ++line) {
    text += std::to_string(line) + ":" + std::string(60, letter) + "\n";
  }
  text.resize(size);
  return text;
}

const std::function<std::string(const std::string&)> kLoad = FileManager::LoadFile;
const std::function<std::string(const std::string&)> kRead = FileManager::ReadFile;

}  // namespace

TEST(FileManager, SaveThenLoadReturnsBytesUnchangedAndLeavesNoHelperFiles) {
  TempDir dir;
  const std::string path = dir.File("data.cfg");
  std::string content("line1\r\nline2\n\0binary\xff\xfe", 22);
  content += Pattern('x', 200000);  // more than one read buffer

  ASSERT_TRUE(FileManager::SaveFile(path, content));
  EXPECT_EQ(content, FileManager::LoadFile(path));
  EXPECT_EQ(content, FileManager::ReadFile(path));
  EXPECT_EQ(content, FileManager::SimpleLoadFile(path));

  ASSERT_TRUE(FileManager::SaveFile(path, "short"));
  EXPECT_EQ("short", FileManager::LoadFile(path));
  EXPECT_FALSE(Exists(path + ".pending"));
  EXPECT_FALSE(Exists(path + ".complete"));
}

TEST(FileManager, MissingFileFailsWithIoExceptionAndSimpleLoadGivesEmpty) {
  TempDir dir;
  const std::string path = dir.File("none.cfg");
  ExpectIoFailure(kLoad, path);
  ExpectIoFailure(kRead, path);
  EXPECT_EQ("", FileManager::SimpleLoadFile(path));
  ExpectIoFailure(kLoad, dir.Path());  // a directory cannot be read
}

TEST(FileManager, EmptyContentIsSavedButRejectedByLoad) {
  TempDir dir;
  const std::string path = dir.File("empty.cfg");
  ASSERT_TRUE(FileManager::SaveFile(path, "old"));
  ASSERT_TRUE(FileManager::SaveFile(path, ""));
  EXPECT_TRUE(Exists(path));
  ExpectIoFailure(kLoad, path);
  ExpectIoFailure(kRead, path);
  EXPECT_EQ("", FileManager::SimpleLoadFile(path));
}

TEST(FileManager, LoadRecoversCompleteFileWhenFileIsMissing) {
  TempDir dir;
  const std::string path = dir.File("a.cfg");
  dir.Write("a.cfg.complete", "new content");

  // ReadFile does not recover.
  ExpectIoFailure(kRead, path);
  EXPECT_TRUE(Exists(path + ".complete"));

  EXPECT_EQ("new content", FileManager::LoadFile(path));
  EXPECT_EQ("new content", dir.Read("a.cfg"));
  EXPECT_FALSE(Exists(path + ".complete"));
}

TEST(FileManager, LoadPrefersFileAndLeavesCompleteAlone) {
  TempDir dir;
  const std::string path = dir.File("a.cfg");
  dir.Write("a.cfg", "old content");
  dir.Write("a.cfg.complete", "new content");

  EXPECT_EQ("old content", FileManager::LoadFile(path));
  EXPECT_EQ("new content", dir.Read("a.cfg.complete"));
}

TEST(FileManager, SaveDropsLeftoverCompleteSoItCannotComeBack) {
  struct Case {
    const char* name;
    bool fileExists;
  };
  for (const Case& c : {Case{"with file", true}, Case{"without file", false}}) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    const std::string path = dir.File("a.cfg");
    if (c.fileExists) dir.Write("a.cfg", "old");
    dir.Write("a.cfg.complete", "stale");
    dir.Write("a.cfg.pending", "partial");

    ASSERT_TRUE(FileManager::SaveFile(path, "new"));
    EXPECT_FALSE(Exists(path + ".complete"));
    EXPECT_FALSE(Exists(path + ".pending"));
    EXPECT_EQ("new", FileManager::LoadFile(path));
  }
}

TEST(FileManager, SaveIntoMissingDirectoryFailsWithoutEffect) {
  TempDir dir;
  const std::string path = dir.File("nodir/a.cfg");
  EXPECT_FALSE(FileManager::SaveFile(path, "content"));
  EXPECT_FALSE(Exists(dir.File("nodir")));
}

TEST(FileManager, FailedRenameReportsFailureAndRemovesPending) {
  TempDir dir;
  dir.MakeDir("a.cfg/inside");  // a non-empty directory cannot be replaced by a file
  const std::string path = dir.File("a.cfg");

  EXPECT_FALSE(FileManager::SaveFile(path, "content"));
  EXPECT_FALSE(Exists(path + ".pending"));
  EXPECT_TRUE(Exists(dir.File("a.cfg/inside")));
}

TEST(FileManager, FailedWriteReportsFailureAndKeepsOldContent) {
  TempDir dir;
  const std::string path = dir.File("a.cfg");
  ASSERT_TRUE(FileManager::SaveFile(path, "old"));

  // A file size limit makes the write fail part way (EFBIG).
  int code = RunInChild([&] {
    ::signal(SIGXFSZ, SIG_IGN);
    struct rlimit limit = {8192, 8192};
    if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) return 1;
    if (FileManager::SaveFile(path, Pattern('b', 100000))) return 2;
    return 0;
  });
  ASSERT_EQ(0, code);
  EXPECT_EQ("old", FileManager::LoadFile(path));
  EXPECT_FALSE(Exists(path + ".pending"));
}

TEST(FileManager, FullDiskReportsFailureAndKeepsOldContent) {
  TempDir dir;
  const std::string mountPoint = dir.File("small");
  dir.MakeDir("small");
  const std::string path = mountPoint + "/a.cfg";

  // The small file system exists only in the child's own mount namespace.
  int code = RunInChild([&] {
    if (::unshare(CLONE_NEWNS) != 0) return 77;
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return 77;
    if (::mount("tmpfs", mountPoint.c_str(), "tmpfs", 0, "size=64k") != 0) return 77;
    if (!FileManager::SaveFile(path, "old")) return 10;
    if (FileManager::SaveFile(path, Pattern('b', 256 * 1024))) return 11;
    try {
      if (FileManager::LoadFile(path) != "old") return 12;
    } catch (Exception* e) {
      delete e;
      return 13;
    }
    if (Exists(path + ".pending")) return 14;
    // The space is given back: a fitting save works again.
    if (!FileManager::SaveFile(path, "new") || FileManager::LoadFile(path) != "new") return 15;
    return 0;
  });
  if (code == 77) TARROW_SKIP_UNLESS_PRIVILEGED("no private mount namespace (needs root)");
  EXPECT_EQ(0, code);
}

TEST(FileManager, NewFileIsOwnerOnlyAndExistingFileKeepsItsMode) {
  struct Case {
    const char* name;
    int existingMode;  // -1: no file yet
    int leftoverPendingMode;  // -1: none
    mode_t expected;
  };
  const Case cases[] = {
      {"new file", -1, -1, 0600},
      {"new file, leftover pending 0666", -1, 0666, 0600},
      {"existing 0644", 0644, -1, 0644},
      {"existing 0640, leftover pending 0666", 0640, 0666, 0640},
  };
  mode_t saved = ::umask(0);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    const std::string path = dir.File("a.cfg");
    if (c.existingMode >= 0) {
      dir.Write("a.cfg", "old");
      ::chmod(path.c_str(), c.existingMode);
    }
    if (c.leftoverPendingMode >= 0) {
      dir.Write("a.cfg.pending", "partial");
      ::chmod((path + ".pending").c_str(), c.leftoverPendingMode);
    }
    ASSERT_TRUE(FileManager::SaveFile(path, "secret"));
    EXPECT_EQ(c.expected, ModeOf(path)) << std::oct << ModeOf(path);
  }
  ::umask(saved);
}

TEST(FileManager, ProcFileWithZeroSizeIsReadWhole) {
  const std::string path = "/proc/self/mountinfo";
  struct stat st;
  ASSERT_EQ(0, ::stat(path.c_str(), &st));
  ASSERT_EQ(0, st.st_size);
  std::ifstream in(path, std::ios::binary);
  std::ostringstream expected;
  expected << in.rdbuf();
  ASSERT_FALSE(expected.str().empty());

  EXPECT_EQ(expected.str(), FileManager::LoadFile(path));
  EXPECT_EQ(expected.str(), FileManager::ReadFile(path));
  EXPECT_EQ(expected.str(), FileManager::SimpleLoadFile(path));
}

// A process killed at any moment of a save leaves the old or the new content
// whole.
TEST(FileManager, KilledSaverLeavesOldOrNewContentWhole) {
  TempDir dir;
  const std::string path = dir.File("a.cfg");
  const std::string contents[2] = {Pattern('a', 300000), Pattern('b', 170000)};
  ASSERT_TRUE(FileManager::SaveFile(path, contents[0]));

  std::random_device seeder;
  const unsigned seed = seeder();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 random(seed);
  std::uniform_int_distribution<int> delayUs(0, 3000);

  int current = 0;
  for (int round = 0; round < 300; ++round) {
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      for (int i = 1;; ++i) FileManager::SaveFile(path, contents[(current + i) % 2]);
    }
    ::usleep(delayUs(random));
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);

    std::string loaded;
    try {
      loaded = FileManager::LoadFile(path);
    } catch (Exception* e) {
      ADD_FAILURE() << "round " << round << ": " << e->message;
      delete e;
      return;
    }
    if (loaded == contents[0]) {
      current = 0;
    } else if (loaded == contents[1]) {
      current = 1;
    } else {
      FAIL() << "round " << round << ": mixed or cut content of " << loaded.size() << " bytes";
    }
  }

  // A save that finished before the kill is the one found.
  int ready[2];
  ASSERT_EQ(0, ::pipe(ready));
  pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    bool saved = FileManager::SaveFile(path, contents[1 - current]);
    char mark = saved ? '1' : '0';
    (void)!::write(ready[1], &mark, 1);
    for (;;) ::pause();
  }
  char mark = 0;
  EXPECT_EQ(1, ::read(ready[0], &mark, 1));
  ::kill(pid, SIGKILL);
  ::waitpid(pid, nullptr, 0);
  ::close(ready[0]);
  ::close(ready[1]);
  EXPECT_EQ('1', mark);
  EXPECT_TRUE(FileManager::LoadFile(path) == contents[1 - current]);

  ASSERT_TRUE(FileManager::SaveFile(path, "final"));
  EXPECT_EQ("final", FileManager::LoadFile(path));
  EXPECT_FALSE(Exists(path + ".pending"));
}

// Saves of one path from many threads never mix; readers always find one
// content whole.
TEST(FileManagerConcurrency, ParallelSavesOfOnePathNeverInterleave) {
  TempDir dir;
  const std::string path = dir.File("a.cfg");
  const int kWriters = 8;
  const int kSavesEach = 20;
  std::vector<std::string> contents;
  for (int i = 0; i < kWriters; ++i) contents.push_back(Pattern(static_cast<char>('a' + i), 40000 + 3000 * i));
  const std::string initial = "initial";
  ASSERT_TRUE(FileManager::SaveFile(path, initial));
  const std::set<std::string> valid(contents.begin(), contents.end());

  std::atomic<int> writersLeft(kWriters);
  std::atomic<int> failedSaves(0);
  std::atomic<int> badReads(0);
  std::atomic<int> reads(0);

  std::vector<std::thread> threads;
  for (int i = 0; i < kWriters; ++i) {
    threads.emplace_back([&, i] {
      for (int n = 0; n < kSavesEach; ++n) {
        if (!FileManager::SaveFile(path, contents[i])) ++failedSaves;
      }
      --writersLeft;
    });
  }
  for (int r = 0; r < 2; ++r) {
    threads.emplace_back([&] {
      while (writersLeft.load() > 0) {
        try {
          std::string loaded = FileManager::LoadFile(path);
          if (loaded != initial && valid.count(loaded) == 0) ++badReads;
        } catch (Exception* e) {
          delete e;
          ++badReads;
        }
        ++reads;
      }
    });
  }
  for (std::thread& t : threads) t.join();

  EXPECT_EQ(0, failedSaves.load());
  EXPECT_EQ(0, badReads.load()) << "of " << reads.load() << " reads";
  EXPECT_EQ(1u, valid.count(FileManager::LoadFile(path)));
  EXPECT_FALSE(Exists(path + ".pending"));
}
