#pragma once

#include <cstdint>
#include <functional>

#include "platform/unique_handle.h"

namespace zavex {

// A file that a download writes while a decoder reads it, both on the
// download's thread: the decoder runs on a fiber of its own until it waits
// for bytes that are not in the file yet, and the download's report that
// brings them resumes it. (Under Wine every thread holds about 1 MiB of
// memory; a fiber only the stack it uses.)
class ArrivingFile {
 public:
  ArrivingFile() = default;
  ArrivingFile(const ArrivingFile&) = delete;
  ArrivingFile& operator=(const ArrivingFile&) = delete;
  // Lets the decoder end first (see End).
  ~ArrivingFile();

  // Starts decode on its fiber and returns once it waits or ends. False,
  // running nothing, when the thread cannot switch fibers.
  bool Start(std::function<void()> decode);

  // From the download: the file holds bytes from its start. Fewer than
  // before: the download writes it again from an earlier byte, and what was
  // read may change.
  void Report(uint64_t bytes);
  // From the download: no more bytes come. Returns once the decoder ended.
  void End();

  // From the decoder: waits until the file holds end bytes. False when the
  // download wrote the file again, or ended short of them.
  bool WaitFor(uint64_t end);
  // Whether the download wrote the file again from an earlier byte.
  bool Rewritten() const { return rewritten; }

 private:
  static void WINAPI RunDecoder(void* self);
  void ResumeDecoder();

  std::function<void()> decode;
  void* downloadFiber = nullptr;
  bool threadConverted = false;
  UniqueFiber decoderFiber;
  bool decoding = false;
  uint64_t held = 0;
  uint64_t awaited = UINT64_MAX;  // what the decoder waits for
  bool ended = false;
  bool rewritten = false;
};

}  // namespace zavex
