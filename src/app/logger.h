#pragma once

#include <cstdio>
#include <mutex>
#include <string>

namespace zavex {

// The process-wide log. Lines are UTF-8; each is flushed as it is written.
class Logger {
 public:
  static Logger& Instance();

  // Appends to path and writes a header block; a file that cannot be opened
  // silently disables the log.
  void Open(const std::wstring& path);
  void Write(const std::string& level, const std::string& message);
  void Info(const std::string& message) { Write("INFO", message); }
  void Warn(const std::string& message) { Write("WARN", message); }
  void Error(const std::string& message) { Write("ERROR", message); }
  void Debug(const std::string& message) { Write("DEBUG", message); }
  void Close();

  Logger(const Logger&) = delete;
  Logger& operator=(const Logger&) = delete;

 private:
  Logger() = default;
  ~Logger() = default;
  void CloseLocked();

  std::wstring logPath;
  FILE* logFile = nullptr;
  std::mutex mutex;
  bool opened = false;
};

// Local time as "%Y-%m-%d %H:%M:%S".
std::string GetTimestamp();

}  // namespace zavex
