#include "bench/ops/measured_process.h"

#include <psapi.h>

namespace zavex::bench {
namespace {

constexpr DWORD kSampleIntervalMs = 10;

double SecondsBetween(const LARGE_INTEGER& start, const LARGE_INTEGER& end) {
  LARGE_INTEGER frequency;
  QueryPerformanceFrequency(&frequency);
  return static_cast<double>(end.QuadPart - start.QuadPart) / frequency.QuadPart;
}

}  // namespace

bool MeasuredProcess::Start(const std::wstring& exePath, const std::wstring& arguments) {
  QueryPerformanceCounter(&started);
  if (!child.Start(exePath, arguments)) return false;
  counters.reset(OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, child.id()));
  Sample();
  return true;
}

double MeasuredProcess::SecondsSinceStart() const {
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  return SecondsBetween(started, now);
}

void MeasuredProcess::Sample() {
  if (!counters) return;
  PROCESS_MEMORY_COUNTERS memory = {};
  memory.cb = sizeof(memory);
  if (GetProcessMemoryInfo(counters.get(), &memory, sizeof(memory)) &&
      memory.PeakWorkingSetSize > peak) {
    peak = memory.PeakWorkingSetSize;
  }
}

bool MeasuredProcess::WaitUntil(const std::function<bool()>& condition, DWORD timeoutMs) {
  const ULONGLONG deadline = GetTickCount64() + timeoutMs;
  for (;;) {
    Sample();
    if (condition()) return true;
    if (!child.running() || GetTickCount64() >= deadline) return false;
    Sleep(kSampleIntervalMs);
  }
}

ProcessFigures MeasuredProcess::WaitForExit(DWORD timeoutMs) {
  const ULONGLONG deadline = GetTickCount64() + timeoutMs;
  ProcessFigures figures;
  for (;;) {
    Sample();
    if (const std::optional<DWORD> exitCode = child.Wait(kSampleIntervalMs)) {
      figures.ended = true;
      figures.exitCode = *exitCode;
      break;
    }
    if (GetTickCount64() >= deadline) {
      child.Kill();
      break;
    }
  }
  figures.seconds = SecondsSinceStart();
  figures.peakWorkingSet = peak;
  return figures;
}

}  // namespace zavex::bench
