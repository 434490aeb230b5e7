// Child process for bench_ops_test: touches every page of MEGABYTES MiB,
// holds them for HOLD_MS milliseconds, then exits with kExitCode.
//   memory_holder MEGABYTES HOLD_MS
#include <windows.h>

#include <cstdlib>
#include <vector>

namespace {

constexpr int kExitCode = 7;
constexpr size_t kPageBytes = 4096;

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 3) return 1;
  std::vector<char> held(static_cast<size_t>(_wtoi(argv[1])) << 20);
  volatile char* pages = held.data();
  for (size_t offset = 0; offset < held.size(); offset += kPageBytes) pages[offset] = 1;
  Sleep(static_cast<DWORD>(_wtoi(argv[2])));
  return kExitCode;
}
