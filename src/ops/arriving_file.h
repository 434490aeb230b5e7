#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace zavex {

// A file that a download writes on one thread while a decoder reads it on
// another: the download reports how many bytes from the start the file
// holds, and the decoder waits for the ones it needs.
class ArrivingFile {
 public:
  // The file holds bytes from its start. Fewer than before: the download
  // writes it again from an earlier byte, and what was read may change.
  void Report(uint64_t bytes);
  // No more bytes come.
  void End();

  // Waits until the file holds end bytes. False, at once, when the download
  // wrote the file again, or ended short of them.
  bool WaitFor(uint64_t end);
  // Whether the download wrote the file again from an earlier byte.
  bool Rewritten();

 private:
  std::mutex mutex;
  std::condition_variable changed;
  uint64_t held = 0;
  uint64_t awaited = UINT64_MAX;  // what the decoder waits for; a report wakes it only then
  bool ended = false;
  bool rewritten = false;
};

}  // namespace zavex
