#include "ops/arriving_file.h"

namespace zavex {
namespace {

// The decoder's frames and the system calls under them; committed as used.
constexpr SIZE_T kDecoderStackCommit = 64 * 1024;
constexpr SIZE_T kDecoderStackReserve = 1024 * 1024;

}  // namespace

ArrivingFile::~ArrivingFile() {
  End();
  decoderFiber.reset();
  if (threadConverted) ConvertFiberToThread();
}

bool ArrivingFile::Start(std::function<void()> body) {
  decode = std::move(body);
  downloadFiber = ConvertThreadToFiber(nullptr);
  threadConverted = downloadFiber != nullptr;
  if (!downloadFiber) return false;
  decoderFiber.reset(CreateFiberEx(kDecoderStackCommit, kDecoderStackReserve, 0, &ArrivingFile::RunDecoder, this));
  if (!decoderFiber) return false;
  decoding = true;
  ResumeDecoder();
  return true;
}

void WINAPI ArrivingFile::RunDecoder(void* self) {
  ArrivingFile& file = *static_cast<ArrivingFile*>(self);
  file.decode();
  file.decoding = false;
  // A fiber's function must not return: that would end the thread.
  SwitchToFiber(file.downloadFiber);
}

void ArrivingFile::ResumeDecoder() {
  if (decoding) SwitchToFiber(decoderFiber.get());
}

void ArrivingFile::Report(uint64_t bytes) {
  rewritten = rewritten || bytes < held;
  held = bytes;
  if (rewritten || held >= awaited) ResumeDecoder();
}

void ArrivingFile::End() {
  ended = true;
  ResumeDecoder();
}

bool ArrivingFile::WaitFor(uint64_t end) {
  while (!rewritten && !ended && held < end) {
    awaited = end;
    SwitchToFiber(downloadFiber);
  }
  awaited = UINT64_MAX;
  return !rewritten && held >= end;
}

}  // namespace zavex
