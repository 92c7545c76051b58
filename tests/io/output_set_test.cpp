// Output sets: what a commit leaves in the folder, and what a failure, an
// interruption or a concurrent run leaves.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "io/output_set.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;
using tapedecoder::COutputSet;
using tapedecoder::FailureKind;
using testing_support::Bytes;
using testing_support::ReadFile;
using testing_support::ScratchDir;
using testing_support::WriteFile;
namespace hooks = tapedecoder::output_set_testing;

// Each case runs once on unnamed files and once on named temporaries.
enum Mode { UNNAMED, NAMED };
const Mode MODES[] = {UNNAMED, NAMED};
const char* ModeName(Mode mode) { return mode == UNNAMED ? "O_TMPFILE" : "named"; }

class ForcedMode {
 public:
  explicit ForcedMode(Mode mode) { hooks::ForceNamedTemporaries(mode == NAMED); }
  ~ForcedMode() { hooks::ForceNamedTemporaries(false); }
};

Bytes Text(const std::string& text) { return Bytes(text.begin(), text.end()); }

std::vector<std::string> Names(const fs::path& dir) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir)) names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

// Forks `body`, which ends the child with its result; returns the pid.
pid_t Spawn(const std::function<int()>& body) {
  const pid_t pid = fork();
  if (pid == 0) _exit(body());
  return pid;
}

int WaitStatus(pid_t pid) {
  int status = 0;
  return pid > 0 && waitpid(pid, &status, 0) == pid ? status : -1;
}

bool WriteSet(COutputSet& set, const std::vector<std::string>& paths, const std::string& text) {
  for (const std::string& path : paths) {
    const int index = set.Add(path);
    if (index < 0) return false;
    set.Write(index, text.data(), text.size());
  }
  return true;
}

class OutputSetTest : public ::testing::Test {
 protected:
  // game.tap and game.txt from an earlier run.
  void EarlierPair() {
    WriteFile(m_dir / "game.tap", Text("old tap"));
    WriteFile(m_dir / "game.txt", Text("old txt"));
  }
  void ExpectEarlierPair(const std::string& row) {
    EXPECT_EQ(Names(m_dir.Path()), (std::vector<std::string>{"game.tap", "game.txt"})) << row;
    EXPECT_EQ(ReadFile(m_dir / "game.tap"), Text("old tap")) << row;
    EXPECT_EQ(ReadFile(m_dir / "game.txt"), Text("old txt")) << row;
  }
  std::string P(const std::string& name) const { return (m_dir / name).string(); }

  ScratchDir m_dir;
};

TEST_F(OutputSetTest, CommitReplacesFilesAndLinksAndCreatesTheRest) {
  const mode_t savedMask = umask(027);
  for (Mode mode : MODES) {
    ForcedMode forced(mode);
    WriteFile(m_dir / "game.tap", Text("old tap"));
    WriteFile(m_dir / "elsewhere", Text("link target"));
    fs::create_symlink(m_dir / "elsewhere", m_dir / "game.txt");
    const std::vector<std::string> before = Names(m_dir.Path());
    const unsigned long fsyncsBefore = hooks::FsyncCount();

    COutputSet set;
    const Bytes big(200000, 0xA5);  // larger than the buffer
    const int tap = set.Add(P("game.tap"));
    const int txt = set.Add(P("game.txt"));
    const int tzx = set.Add(P("game.tzx"));
    ASSERT_EQ(std::vector<int>({tap, txt, tzx}), std::vector<int>({0, 1, 2})) << ModeName(mode);
    set.Write(tap, "new ", 4);
    set.Write(tap, big.data(), big.size());
    set.Write(txt, "new txt", 7);
    // Until Commit the folder shows nothing new but the hidden temporaries.
    EXPECT_EQ(Names(m_dir.Path()).size(), before.size() + (mode == NAMED ? 3u : 0u)) << ModeName(mode);
    ASSERT_TRUE(set.Commit()) << ModeName(mode) << " error " << set.Error().osError;

    EXPECT_EQ(Names(m_dir.Path()),
              (std::vector<std::string>{"elsewhere", "game.tap", "game.txt", "game.tzx"}))
        << ModeName(mode);
    EXPECT_EQ(ReadFile(m_dir / "game.tap"), Text("new ") + big) << ModeName(mode);
    EXPECT_EQ(ReadFile(m_dir / "game.txt"), Text("new txt")) << ModeName(mode);
    EXPECT_TRUE(ReadFile(m_dir / "game.tzx").empty()) << ModeName(mode);
    EXPECT_EQ(ReadFile(m_dir / "elsewhere"), Text("link target")) << ModeName(mode);
    for (const char* name : {"game.tap", "game.txt", "game.tzx"}) {
      EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(m_dir / name))) << name;
      struct stat status;
      ASSERT_EQ(stat(P(name).c_str(), &status), 0);
      EXPECT_EQ(status.st_mode & 0777, 0640u) << name << " " << ModeName(mode);
    }
    // Each file, then the folder (after the renames and after the backups go).
    EXPECT_EQ(hooks::FsyncCount() - fsyncsBefore, 3u + 2u) << ModeName(mode);
    for (const auto& entry : fs::directory_iterator(m_dir.Path())) fs::remove(entry.path());
  }
  umask(savedMask);
}

TEST_F(OutputSetTest, UnusableTargetsFailAddAndTouchNothing) {
  WriteFile(m_dir / "plain", Text("a file"));
  WriteFile(m_dir / "locked.txt", Text("keep"));
  ASSERT_EQ(chmod(P("locked.txt").c_str(), 0444), 0);
  fs::create_directory(m_dir / "folder.txt");
  ASSERT_EQ(mkfifo(P("pipe.txt").c_str(), 0644), 0);
  struct Row {
    std::string path;
    FailureKind what;
    int error;
  } rows[] = {
      {P("locked.txt"), FailureKind::OUTPUT_PROTECTED, EACCES},
      {P("folder.txt"), FailureKind::OUTPUT_PROTECTED, EISDIR},
      {P("pipe.txt"), FailureKind::OUTPUT_PROTECTED, EINVAL},
      {P("missing/game.txt"), FailureKind::OUTPUT_CANNOT_CREATE, ENOENT},
      {P("plain/game.txt"), FailureKind::OUTPUT_CANNOT_CREATE, ENOTDIR},
  };
  const std::vector<std::string> before = Names(m_dir.Path());
  for (Mode mode : MODES) {
    ForcedMode forced(mode);
    for (const Row& row : rows) {
      COutputSet set;
      ASSERT_EQ(set.Add(P("game.tap")), 0);
      EXPECT_EQ(set.Add(row.path), -1) << row.path;
      EXPECT_EQ(set.Error().kind, row.what) << row.path;
      EXPECT_EQ(set.Error().path, row.path);
      EXPECT_EQ(set.Error().osError, row.error) << row.path;
      EXPECT_EQ(set.Add(P("game.tzx")), -1) << "a failed set stays failed";
      EXPECT_FALSE(set.Commit());
      EXPECT_EQ(Names(m_dir.Path()), before) << row.path << " " << ModeName(mode);
    }
  }
  EXPECT_EQ(ReadFile(m_dir / "locked.txt"), Text("keep"));
}

TEST_F(OutputSetTest, AFileSizeLimitFailsTheWriteAndKeepsTheEarlierSet) {
  for (Mode mode : MODES) {
    EarlierPair();
    const int status = WaitStatus(Spawn([&] {
      tapedecoder::InstallInterruptCleanup();  // SIGXFSZ ignored: EFBIG
      const rlimit limit{1000, 1000};
      if (setrlimit(RLIMIT_FSIZE, &limit) != 0) return 3;
      ForcedMode forced(mode);
      COutputSet set;
      if (!WriteSet(set, {P("game.tap"), P("game.txt")}, std::string(5000, 'x'))) return 4;
      if (set.Commit()) return 5;
      return set.Error().kind == FailureKind::OUTPUT_CANNOT_WRITE && set.Error().osError == EFBIG ? 0 : 6;
    }));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << ModeName(mode) << " " << status;
    ExpectEarlierPair(ModeName(mode));
  }
}

TEST_F(OutputSetTest, AFolderInTheWayOfTheThirdTargetRestoresTheEarlierFiles) {
  for (Mode mode : MODES) {
    EarlierPair();
    ForcedMode forced(mode);
    COutputSet set;
    // The first has an earlier file, the second none, the third's turns
    // into a folder with a file in it before Commit.
    ASSERT_TRUE(WriteSet(set, {P("game.tap"), P("game.tzx"), P("game.txt")}, "new"));
    fs::remove(m_dir / "game.txt");
    fs::create_directory(m_dir / "game.txt");
    WriteFile(m_dir / "game.txt" / "inside", Text("inside"));

    EXPECT_FALSE(set.Commit()) << ModeName(mode);
    EXPECT_EQ(set.Error().kind, FailureKind::OUTPUT_PROTECTED);
    EXPECT_EQ(set.Error().path, P("game.txt"));
    EXPECT_EQ(Names(m_dir.Path()), (std::vector<std::string>{"game.tap", "game.txt"})) << ModeName(mode);
    EXPECT_EQ(ReadFile(m_dir / "game.tap"), Text("old tap")) << ModeName(mode);
    EXPECT_EQ(ReadFile(m_dir / "game.txt" / "inside"), Text("inside"));
    fs::remove_all(m_dir / "game.txt");
    // The set can be used again, for a set that succeeds.
    ASSERT_TRUE(WriteSet(set, {P("game.tap")}, "again")) << ModeName(mode);
    EXPECT_TRUE(set.Commit());
    EXPECT_EQ(ReadFile(m_dir / "game.tap"), Text("again"));
    fs::remove(m_dir / "game.tap");
  }
}

// A child that installs the cleanup, opens a set over the earlier pair,
// writes, reports over a pipe and waits to be stopped.
TEST_F(OutputSetTest, InterruptionRemovesTemporariesAndEndsByTheSignal) {
  for (Mode mode : MODES) {
    for (int signo : {SIGINT, SIGTERM, SIGHUP}) {
      const std::string row = std::string(ModeName(mode)) + " signal " + std::to_string(signo);
      EarlierPair();
      int ready[2];
      ASSERT_EQ(pipe(ready), 0);
      const pid_t child = Spawn([&] {
        close(ready[0]);
        tapedecoder::InstallInterruptCleanup();
        ForcedMode forced(mode);
        COutputSet set;
        if (!WriteSet(set, {P("game.tap"), P("game.txt")}, std::string(100000, 'n'))) return 4;
        if (write(ready[1], "r", 1) != 1) return 5;
        for (;;) pause();
      });
      close(ready[1]);
      char byte = 0;
      ASSERT_EQ(read(ready[0], &byte, 1), 1) << row;
      close(ready[0]);
      // The named temporaries are there to be cleaned up.
      EXPECT_EQ(Names(m_dir.Path()).size(), mode == NAMED ? 4u : 2u) << row;
      ASSERT_EQ(kill(child, signo), 0);
      const int status = WaitStatus(child);
      EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signo) << row << " status " << status;
      ExpectEarlierPair(row);
    }
  }
}

// A SIGTERM arrives after the first file is renamed, before the second:
// raised in the committing thread, or sent to the process while another
// thread commits (the handler then runs in the main thread and must wait).
TEST_F(OutputSetTest, ASignalDuringCommitLandsAfterTheWholeNewSet) {
  struct Row {
    const char* what;
    void (*hook)(int index);
    bool worker;
  } rows[] = {
      {"committing thread", [](int index) { if (index == 0) raise(SIGTERM); }, false},
      {"other thread",
       [](int index) {
         if (index != 0) return;
         kill(getpid(), SIGTERM);
         const timespec pause = {0, 200000000};
         nanosleep(&pause, nullptr);  // the handler would strike here
       },
       true},
  };
  for (Mode mode : MODES) {
    for (const Row& row : rows) {
      const std::string name = std::string(ModeName(mode)) + " " + row.what;
      EarlierPair();
      const pid_t child = Spawn([&] {
        tapedecoder::InstallInterruptCleanup();
        ForcedMode forced(mode);
        hooks::SetAfterInstallHook(row.hook);
        COutputSet set;
        if (!WriteSet(set, {P("game.tap"), P("game.txt")}, "new")) return 4;
        if (row.worker) {
          std::thread worker([&] { set.Commit(); });
          worker.join();
        } else {
          set.Commit();
        }
        return 0;  // not reached: the signal ends the process as Commit ends
      });
      const int status = WaitStatus(child);
      EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << name << " " << status;
      EXPECT_EQ(Names(m_dir.Path()), (std::vector<std::string>{"game.tap", "game.txt"})) << name;
      EXPECT_EQ(ReadFile(m_dir / "game.tap"), Text("new")) << name;
      EXPECT_EQ(ReadFile(m_dir / "game.txt"), Text("new")) << name;
    }
  }
}

TEST_F(OutputSetTest, EightConcurrentRunsOfOneTitleLeaveOneWholeSet) {
  constexpr int RUNS = 8;
  constexpr int COMMITS = 20;
  const std::vector<std::string> names = {"game.tap", "game.txt", "game.tzx"};
  int start[2];
  ASSERT_EQ(pipe(start), 0);
  std::vector<pid_t> children;
  for (int run = 0; run < RUNS; ++run) {
    children.push_back(Spawn([&, run] {
      close(start[1]);
      char byte;
      if (read(start[0], &byte, 1) != 0) return 3;  // all start when the pipe closes
      ForcedMode forced(run % 2 == 0 ? UNNAMED : NAMED);
      for (int commit = 0; commit < COMMITS; ++commit) {
        COutputSet set;
        for (std::size_t file = 0; file < names.size(); ++file) {
          // Every file names its run and commit, in lengths that differ.
          const std::string text = std::to_string(run) + " " + std::to_string(commit) + "\n" +
                                   std::string((run * 997 + commit * 131 + file * 17) % 5000, '.');
          const int index = set.Add(P(names[file]));
          set.Write(index, text.data(), text.size());
        }
        if (!set.Commit()) return 4;
      }
      return 0;
    }));
  }
  close(start[0]);
  close(start[1]);
  for (pid_t child : children) {
    const int status = WaitStatus(child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  }
  EXPECT_EQ(Names(m_dir.Path()), names);
  std::vector<std::string> heads;
  for (const std::string& name : names) {
    const Bytes bytes = ReadFile(m_dir / name);
    heads.push_back(std::string(bytes.begin(), std::find(bytes.begin(), bytes.end(), '\n')));
  }
  EXPECT_EQ(heads[0], heads[1]);
  EXPECT_EQ(heads[0], heads[2]);
  EXPECT_EQ(heads[0].substr(heads[0].find(' ') + 1), std::to_string(COMMITS - 1));
}

TEST_F(OutputSetTest, DroppedOrDiscardedSetsLeaveTheEarlierSet) {
  for (Mode mode : MODES) {
    EarlierPair();
    ForcedMode forced(mode);
    {
      COutputSet set;
      ASSERT_TRUE(WriteSet(set, {P("game.tap"), P("game.txt")}, "new"));
    }
    ExpectEarlierPair(ModeName(mode));
    COutputSet set;
    ASSERT_TRUE(WriteSet(set, {P("game.tap"), P("game.txt")}, "new"));
    set.Discard();
    ExpectEarlierPair(ModeName(mode));
  }
}

}  // namespace
