#pragma once
// A Windows child process that can neither outlive its parent nor keep it
// waiting: the child runs in a job of its own that ends it (and whatever it
// starts) when the job's last handle closes, as it does when the parent
// ends however it ends, and it is given a time limit, at which the parent
// ends the job. Outside the component: the tool and the tests link it as a
// library of its own.
#include <windows.h>

#include <string>

namespace tessary {

// How a child ran. `started` is S_OK once it ran, else why it could not
// start. A child stopped at its limit has `timedOut` set and `exitCode`
// kChildTimedOut; otherwise `exitCode` is its own.
struct ChildRun {
  HRESULT started = E_FAIL;
  bool timedOut = false;
  DWORD exitCode = 0;
  std::string output;  // its standard output and error, when captured
};

// The exit code of a child stopped at its time limit.
inline constexpr DWORD kChildTimedOut = ERROR_TIMEOUT;

// Runs `commandLine` (and `application`, when given, as CreateProcess takes
// it) for at most `timeoutMs`. Its standard output and error go to
// `outputFile` when given; otherwise into `ChildRun::output` through a pipe
// read on a thread of its own until every writer has closed it, which the
// end of the job at the limit guarantees. May throw bad_alloc before the
// child starts; output past what memory holds is dropped, the child still
// read to its end. A child whose DLLs failed to initialise, having written
// nothing, is started again, twice at most.
ChildRun RunChildProcess(const wchar_t* application, const std::wstring& commandLine,
                         DWORD timeoutMs, HANDLE outputFile = nullptr);

}  // namespace tessary
