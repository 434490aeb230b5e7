#include "bench/ops/platform_floor.h"

#include <windows.h>

#include "base/text_conversion.h"
#include "platform/file_system.h"
#include "platform/http_client.h"
#include "platform/sha256_hasher.h"

namespace zavex::bench {
namespace {

double NowSeconds() {
  LARGE_INTEGER now, frequency;
  QueryPerformanceCounter(&now);
  QueryPerformanceFrequency(&frequency);
  return static_cast<double>(now.QuadPart) / frequency.QuadPart;
}

void CreateParentOf(const std::wstring& path) {
  const size_t separator = path.find_last_of(L"\\/");
  if (separator != std::wstring::npos) CreateDirectoryRecursive(path.substr(0, separator));
}

}  // namespace

bool FetchAndVerify(const std::vector<ManifestFile>& files, const std::wstring& baseUrl,
                    const std::wstring& folder, FloorFigures& figures, std::string& error) {
  const double start = NowSeconds();
  HttpClient http;
  Sha256Hasher hasher;
  figures = FloorFigures{};
  for (const ManifestFile& file : files) {
    const std::wstring path = Utf8ToWide(file.path);
    const std::wstring target = folder + L"\\" + path;
    CreateParentOf(target);
    if (!http.DownloadFile(baseUrl + path, target, {})) {
      error = "download failed: " + file.path;
      return false;
    }
    if (hasher.HashFile(target) != file.hash) {
      error = "hash differs: " + file.path;
      return false;
    }
    ++figures.files;
    figures.bytes += file.size;
  }
  figures.seconds = NowSeconds() - start;
  return true;
}

}  // namespace zavex::bench
