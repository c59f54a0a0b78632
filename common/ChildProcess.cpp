// The child starts suspended, is put in its job, then resumed, so nothing it
// starts can escape the job. The caller's thread only waits: for the child
// and for the pipe's reader together, until the limit. At the limit it ends
// the job; every process that could hold the pipe's writing end is in it,
// so the read ends too. Jobs nest (Windows 8 and later, Wine): a child of a
// child in a job has a job of its own inside its parent's.
#include "common/ChildProcess.h"

#include <new>
#include <utility>

#include "common/Unique.h"

namespace tessary {
namespace {

HRESULT LastError() {
  const DWORD error = ::GetLastError();
  return error == ERROR_SUCCESS ? E_FAIL : HRESULT_FROM_WIN32(error);
}

// Reads the pipe until every writer has closed it. What memory cannot
// hold is read and dropped, so the child is never left blocked on a full
// pipe.
struct PipeReader {
  HANDLE pipe = nullptr;
  std::string* output = nullptr;
  bool dropped = false;
};

DWORD WINAPI ReadUntilClosed(void* parameter) noexcept {
  PipeReader& reader = *static_cast<PipeReader*>(parameter);
  char buffer[4096];
  DWORD got = 0;
  // Only the pipe's end ends the read: on Windows a write of no bytes
  // reads as none.
  while (::ReadFile(reader.pipe, buffer, sizeof(buffer), &got, nullptr)) {
    if (got == 0 || reader.dropped) continue;
    try {
      reader.output->append(buffer, got);
    } catch (const std::bad_alloc&) {
      reader.dropped = true;
    }
  }
  return 0;
}

// An inheritable duplicate of `handle`, for the child's standard handles.
HRESULT Inheritable(HANDLE handle, UniqueHandle& copy) {
  const HANDLE self = ::GetCurrentProcess();
  return ::DuplicateHandle(self, handle, self, copy.put(), 0, TRUE, DUPLICATE_SAME_ACCESS)
             ? S_OK
             : LastError();
}

// Ends the child and what it started; a child the job could not hold (a
// system without nested jobs) is ended alone.
void EndChild(HANDLE job, bool inJob, HANDLE process) {
  if (!inJob || !::TerminateJobObject(job, kChildTimedOut)) {
    ::TerminateProcess(process, kChildTimedOut);
  }
}

ChildRun RunOnce(const wchar_t* application, std::wstring commandLine, DWORD timeoutMs,
                 HANDLE outputFile) {
  ChildRun run;
  UniqueHandle job(::CreateJobObjectW(nullptr, nullptr));
  if (!job) {
    run.started = LastError();
    return run;
  }
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
  limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
  if (!::SetInformationJobObject(job.get(), JobObjectExtendedLimitInformation, &limits,
                                 sizeof(limits))) {
    run.started = LastError();
    return run;
  }

  // The child's ends: an inheritable copy of the file, or the pipe's
  // writing end. Ours close once the child holds its own.
  UniqueHandle read;
  UniqueHandle write;
  if (outputFile) {
    run.started = Inheritable(outputFile, write);
  } else {
    SECURITY_ATTRIBUTES inherited{sizeof(inherited), nullptr, TRUE};
    run.started = ::CreatePipe(read.put(), write.put(), &inherited, 0) &&
                          ::SetHandleInformation(read.get(), HANDLE_FLAG_INHERIT, 0)
                      ? S_OK
                      : LastError();
  }
  if (FAILED(run.started)) return run;

  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdOutput = write.get();
  startup.hStdError = write.get();
  PROCESS_INFORMATION process{};
  // Detached: its output is redirected, so it needs no console, and Wine
  // would start a console host process for one.
  if (!::CreateProcessW(application, commandLine.data(), nullptr, nullptr, TRUE,
                        CREATE_SUSPENDED | DETACHED_PROCESS, nullptr, nullptr, &startup,
                        &process)) {
    run.started = LastError();
    return run;
  }
  const UniqueHandle child(process.hProcess);
  const UniqueHandle thread(process.hThread);
  write.reset();
  const bool inJob = ::AssignProcessToJobObject(job.get(), child.get()) != FALSE;
  if (::ResumeThread(thread.get()) == static_cast<DWORD>(-1)) {
    run.started = LastError();
    EndChild(job.get(), inJob, child.get());
    ::WaitForSingleObject(child.get(), INFINITE);
    return run;
  }
  run.started = S_OK;

  PipeReader reader{read.get(), &run.output};
  UniqueHandle readerThread;
  if (read) {
    readerThread.reset(::CreateThread(nullptr, 0, &ReadUntilClosed, &reader, 0, nullptr));
    if (!readerThread) {
      run.started = LastError();
      EndChild(job.get(), inJob, child.get());
      ::WaitForSingleObject(child.get(), INFINITE);
      return run;
    }
  }
  const HANDLE waits[] = {child.get(), readerThread.get()};
  const DWORD count = read ? 2 : 1;
  // All of them signalled answers within WAIT_OBJECT_0 + count; anything
  // else is the limit (or a wait that cannot be kept).
  if (::WaitForMultipleObjects(count, waits, TRUE, timeoutMs) - WAIT_OBJECT_0 >= count) {
    run.timedOut = true;
    EndChild(job.get(), inJob, child.get());
  }
  ::WaitForSingleObject(child.get(), INFINITE);
  if (readerThread && ::WaitForSingleObject(readerThread.get(), 5000) != WAIT_OBJECT_0) {
    // A writer outside the job: not ours to end, so its read is given up.
    ::CancelSynchronousIo(readerThread.get());
    ::WaitForSingleObject(readerThread.get(), INFINITE);
  }
  if (run.timedOut) {
    run.exitCode = kChildTimedOut;
  } else if (!::GetExitCodeProcess(child.get(), &run.exitCode)) {
    run.exitCode = static_cast<DWORD>(-1);
  }
  return run;
}

}  // namespace

ChildRun RunChildProcess(const wchar_t* application, const std::wstring& commandLine,
                         DWORD timeoutMs, HANDLE outputFile) {
  // A process whose DLLs failed to initialise (Wine, now and then, under
  // load) never ran: it is started again, twice at most.
  constexpr DWORD kDllInitFailed = 0xC0000142;
  ChildRun run;
  for (int attempt = 0; attempt < 3; ++attempt) {
    run = RunOnce(application, commandLine, timeoutMs, outputFile);
    if (run.started != S_OK || run.timedOut || run.exitCode != kDllInitFailed ||
        !run.output.empty()) {
      break;
    }
  }
  return run;
}

}  // namespace tessary
