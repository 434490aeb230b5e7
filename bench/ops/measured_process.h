#pragma once

#include <windows.h>

#include <functional>
#include <string>

#include "platform/unique_handle.h"
#include "support/process.h"

namespace zavex::bench {

// What one finished child process cost.
struct ProcessFigures {
  bool ended = false;  // false: still running at the deadline, then killed
  DWORD exitCode = 0;
  double seconds = 0;        // from CreateProcessW to the end
  SIZE_T peakWorkingSet = 0;  // the largest value seen while it ran
};

// A child process timed from its start and whose peak working set is sampled
// while the caller waits for it. Under Wine the counters of another process
// are gone once it has ended, so the peak is the last value seen before.
class MeasuredProcess {
 public:
  bool Start(const std::wstring& exePath, const std::wstring& arguments);
  DWORD id() const { return child.id(); }
  double SecondsSinceStart() const;

  // Polls condition until it holds (true), or until the process ends or the
  // timeout passes (false), sampling the counters on every poll.
  bool WaitUntil(const std::function<bool()>& condition, DWORD timeoutMs);
  // Waits for the end; kills the process when it outlives the timeout.
  ProcessFigures WaitForExit(DWORD timeoutMs);

 private:
  void Sample();

  test::ChildProcess child;
  UniqueKernelHandle counters;  // opened for reading the memory counters
  LARGE_INTEGER started = {};
  SIZE_T peak = 0;
};

}  // namespace zavex::bench
