#pragma once

#include <cstdio>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace zavex {

// Where log lines go: the log itself, or lines kept to be written together.
class LogSink {
 public:
  virtual void Write(const std::string& level, const std::string& message) = 0;
  void Info(const std::string& message) { Write("INFO", message); }
  void Warn(const std::string& message) { Write("WARN", message); }
  void Error(const std::string& message) { Write("ERROR", message); }
  void Debug(const std::string& message) { Write("DEBUG", message); }

 protected:
  ~LogSink() = default;
};

// Lines of one task that runs beside others, each stamped when it is added,
// so that they reach the log together.
class LogLines final : public LogSink {
 public:
  void Write(const std::string& level, const std::string& message) override;

 private:
  friend class Logger;
  struct Line {
    std::string timestamp;
    std::string level;
    std::string message;
  };
  std::vector<Line> lines;
};

// The process-wide log. Lines are UTF-8; each is flushed as it is written.
class Logger final : public LogSink {
 public:
  static Logger& Instance();

  // Appends to path and writes a header block; a file that cannot be opened
  // silently disables the log.
  void Open(const std::wstring& path);
  void Write(const std::string& level, const std::string& message) override;
  // Writes the lines one after another, with no line of another thread
  // between them.
  void Write(const LogLines& kept);
  void Close();

  Logger(const Logger&) = delete;
  Logger& operator=(const Logger&) = delete;

 private:
  Logger() = default;
  ~Logger() = default;
  void CloseLocked();
  void WriteLineLocked(const std::string& timestamp, const std::string& level,
                       const std::string& message);

  std::wstring logPath;
  FILE* logFile = nullptr;
  std::mutex mutex;
  bool opened = false;
};

// Local time as "%Y-%m-%d %H:%M:%S".
std::string GetTimestamp();

// " (Windows error N)", to end a line about a Windows call that failed with
// code; an HRESULT is written in hexadecimal.
std::string WindowsErrorText(unsigned long code);

// For a step that the operation goes on without: when it failed, logs WARN
// "<step> failed, going on (Windows error N)" with the code that GetLastError
// holds right after the failed call. Returns succeeded.
bool BestEffort(bool succeeded, std::string_view step);

}  // namespace zavex
