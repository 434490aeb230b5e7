#include "base/logger.h"

#include <windows.h>

#include <cstdio>
#include <ctime>
#include <iomanip>
#include <locale>
#include <sstream>

namespace zavex {

// Never destroyed: detached workers may still log while the process exits.
// The C runtime flushes and closes the stream at exit.
Logger& Logger::Instance() {
  static Logger* instance = new Logger;
  return *instance;
}

void Logger::Open(const std::wstring& path) {
  std::lock_guard<std::mutex> lock(mutex);
  logPath = path;
  opened = true;
  FILE* file = nullptr;
  if (_wfopen_s(&file, path.c_str(), L"a") != 0 || file == nullptr) return;
  logFile = file;
  const std::string rule = "========================================\n";
  std::fprintf(logFile, "\n");
  std::fprintf(logFile, "%s", rule.c_str());
  std::fprintf(logFile, "ZAVEX Updater Log - %s\n", GetTimestamp().c_str());
  std::fprintf(logFile, "%s", rule.c_str());
  std::fflush(logFile);
}

void LogLines::Write(const std::string& level, const std::string& message) {
  lines.push_back(Line{GetTimestamp(), level, message});
}

void Logger::Write(const std::string& level, const std::string& message) {
  std::lock_guard<std::mutex> lock(mutex);
  WriteLineLocked(GetTimestamp(), level, message);
}

void Logger::Write(const LogLines& kept) {
  std::lock_guard<std::mutex> lock(mutex);
  for (const LogLines::Line& line : kept.lines) {
    WriteLineLocked(line.timestamp, line.level, line.message);
  }
}

void Logger::WriteLineLocked(const std::string& timestamp, const std::string& level,
                             const std::string& message) {
  if (!opened || logFile == nullptr) return;
  std::fprintf(logFile, "[%s] [%s] %s\n", timestamp.c_str(), level.c_str(), message.c_str());
  std::fflush(logFile);
}

void Logger::Close() {
  std::lock_guard<std::mutex> lock(mutex);
  CloseLocked();
}

void Logger::CloseLocked() {
  if (logFile == nullptr) return;
  std::fclose(logFile);
  logFile = nullptr;
}

std::string GetTimestamp() {
  const __time64_t now = _time64(nullptr);
  std::tm local = {};
  _localtime64_s(&local, &now);
  std::ostringstream text;
  text.imbue(std::locale::classic());
  text << std::put_time(&local, "%Y-%m-%d %H:%M:%S");
  return text.str();
}

std::string WindowsErrorText(unsigned long code) {
  constexpr unsigned long kLargestWin32Code = 0xFFFF;
  char text[16] = {};
  std::snprintf(text, sizeof(text), code > kLargestWin32Code ? "0x%08lX" : "%lu", code);
  return std::string(" (Windows error ") + text + ")";
}

bool BestEffort(bool succeeded, std::string_view step) {
  if (succeeded) return true;
  const DWORD code = GetLastError();
  Logger::Instance().Warn(std::string(step) + " failed, going on" + WindowsErrorText(code));
  return false;
}

}  // namespace zavex
