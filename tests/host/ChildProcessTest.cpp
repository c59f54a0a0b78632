// Child processes as the tool and the tests start them: in a job, with a
// time limit that ends the child and whatever it started, and its output
// read to the end. The children are this executable again, in a role.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "common/ChildProcess.h"
#include "common/Unique.h"
#include "support/TestSupport.h"

namespace tessary::testing {
namespace {

constexpr wchar_t kRole[] = L"TESSARY_CHILD_ROLE";
constexpr wchar_t kPidFile[] = L"TESSARY_CHILD_PID_FILE";

std::wstring Self() {
  wchar_t self[MAX_PATH * 4] = {};
  ::GetModuleFileNameW(nullptr, self, ARRAYSIZE(self));
  return self;
}

// This executable in `role` (a child inherits the variable).
ChildRun RunRole(const wchar_t* role, DWORD timeoutMs, HANDLE outputFile = nullptr) {
  ::SetEnvironmentVariableW(kRole, role);
  ChildRun run = RunChildProcess(
      nullptr, L"\"" + Self() + L"\" --gtest_filter=ChildProcessTest.PlaysItsRole", timeoutMs,
      outputFile);
  ::SetEnvironmentVariableW(kRole, nullptr);
  return run;
}

void Say(std::string_view text) {
  DWORD written = 0;
  ::WriteFile(::GetStdHandle(STD_OUTPUT_HANDLE), text.data(), static_cast<DWORD>(text.size()),
              &written, nullptr);
}

// The children's part.
TEST(ChildProcessTest, PlaysItsRole) {
  wchar_t role[32] = {};
  if (!::GetEnvironmentVariableW(kRole, role, ARRAYSIZE(role))) {
    GTEST_SKIP() << "run as a child by the tests below";
  }
  const std::wstring name = role;
  if (name == L"answer") {
    Say("an answer of " + std::string(100000, 'x') + "\n");
    ::ExitProcess(7);
  }
  if (name == L"sleeper") {
    wchar_t pidFile[MAX_PATH * 4] = {};
    if (::GetEnvironmentVariableW(kPidFile, pidFile, ARRAYSIZE(pidFile))) {
      WriteFileBytes(pidFile, std::to_string(::GetCurrentProcessId()));
    }
    Say("sleeping\n");
    ::Sleep(INFINITE);
  }
  if (name == L"parent") {
    // A child of its own, with a limit longer than the test's: only the
    // end of the parent's job can end it in time.
    Say("parent\n");
    RunRole(L"sleeper", 10 * 60 * 1000);
    ::ExitProcess(0);
  }
  ::ExitProcess(99);
}

TEST(ChildProcessTest, ReadsTheWholeAnswerAndTheExitCode) {
  const ChildRun run = RunRole(L"answer", 60000);
  EXPECT_EQ(run.started, S_OK);
  EXPECT_FALSE(run.timedOut);
  EXPECT_EQ(run.exitCode, 7u);
  EXPECT_NE(run.output.find("an answer of " + std::string(100000, 'x') + "\n"), std::string::npos);
}

TEST(ChildProcessTest, WritesIntoAGivenFile) {
  TempDir folder;
  const std::wstring path = folder.Join(L"out.txt");
  {
    UniqueFileHandle file(::CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                        CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(file);
    const ChildRun run = RunRole(L"answer", 60000, file.get());
    EXPECT_EQ(run.exitCode, 7u);
    EXPECT_TRUE(run.output.empty());
  }
  std::string written;
  ASSERT_HRESULT_SUCCEEDED(ReadWholeFile(path.c_str(), 1 << 20, written));
  EXPECT_NE(written.find("an answer of xxx"), std::string::npos);
}

TEST(ChildProcessTest, NotStartedSaysWhy) {
  const ChildRun run = RunChildProcess(nullptr, L"\"C:\\nowhere\\missing.exe\"", 1000);
  EXPECT_TRUE(FAILED(run.started));
  EXPECT_FALSE(run.timedOut);
}

// A child past its limit, and one whose own child is (a job inside a job):
// each is ended at the limit with all it started, and what it wrote before
// is kept.
TEST(ChildProcessTest, EndsAChildAndItsChildrenAtTheLimit) {
  struct Case {
    const wchar_t* role;
    DWORD limitMs;
    const char* wrote;
  };
  for (const Case& c : {Case{L"sleeper", 2000, "sleeping\n"}, Case{L"parent", 6000, "parent\n"}}) {
    SCOPED_TRACE(testing::Utf8(c.role));
    TempDir folder;
    const std::wstring pidFile = folder.Join(L"pid.txt");
    ::SetEnvironmentVariableW(kPidFile, pidFile.c_str());
    const ULONGLONG start = ::GetTickCount64();
    const ChildRun run = RunRole(c.role, c.limitMs);
    const ULONGLONG took = ::GetTickCount64() - start;
    ::SetEnvironmentVariableW(kPidFile, nullptr);
    EXPECT_EQ(run.started, S_OK);
    EXPECT_TRUE(run.timedOut);
    EXPECT_EQ(run.exitCode, kChildTimedOut);
    EXPECT_GE(took, c.limitMs - 100);
    EXPECT_LT(took, c.limitMs + 5000);
    EXPECT_NE(run.output.find(c.wrote), std::string::npos) << run.output;
    // The sleeper, whichever level it ran at, is gone.
    std::string pid;
    ASSERT_HRESULT_SUCCEEDED(ReadWholeFile(pidFile.c_str(), 64, pid));
    const UniqueHandle sleeper(
        ::OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(std::stoul(pid))));
    if (sleeper) {
      EXPECT_EQ(::WaitForSingleObject(sleeper.get(), 5000), WAIT_OBJECT_0);
    }
  }
}

}  // namespace
}  // namespace tessary::testing
