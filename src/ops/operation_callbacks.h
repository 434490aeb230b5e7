#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace zavex {

// (current file, file count, bytes done, bytes total, path or step text).
// A step announced before any file is known passes four zeros.
using ProgressCallback =
    std::function<void(int current, int total, uint32_t bytesDone, uint32_t bytesTotal,
                       const std::wstring& text)>;

// Called once at the end of an install or update, on its worker thread:
// true with an empty text, or false with the text to show to the user.
using CompletionCallback = std::function<void(bool success, const std::wstring& error)>;

}  // namespace zavex
