#include "support/http_server.h"

#include <ws2tcpip.h>

#include <algorithm>
#include <cctype>
#include <string>
#include <utility>

#include "app/server_config.h"

namespace zavex::test {
namespace {

constexpr size_t kDefaultPieceBytes = 65536;
constexpr size_t kMaxHeadBytes = 65536;
constexpr char kHeadEnd[] = "\r\n\r\n";
constexpr long kStopPollMicroseconds = 50000;

uint64_t Mix(uint64_t value) {
  value += 0x9e3779b97f4a7c15ull;
  value = (value ^ (value >> 30)) * 0xbf58476d1ce4e5b9ull;
  value = (value ^ (value >> 27)) * 0x94d049bb133111ebull;
  return value ^ (value >> 31);
}

// Byte n is byte (n % 8) of Mix(n / 8).
void FillGeneratedBytes(uint64_t offset, char* out, size_t count) {
  for (size_t i = 0; i < count;) {
    const uint64_t position = offset + i;
    const uint64_t word = Mix(position >> 3);
    for (unsigned byte = position & 7; byte < 8 && i < count; ++byte, ++i) {
      out[i] = static_cast<char>(word >> (byte * 8));
    }
  }
}

const char* ReasonPhrase(int status) {
  switch (status) {
    case 200: return "OK";
    case 206: return "Partial Content";
    case 301: return "Moved Permanently";
    case 302: return "Found";
    case 404: return "Not Found";
    case 500: return "Internal Server Error";
    case 503: return "Service Unavailable";
    default: return "Status";
  }
}

// Waits until the socket has something to read or stopping is set.
bool WaitReadable(SOCKET socket, const std::atomic<bool>& stopping) {
  while (!stopping) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(socket, &readable);
    timeval pause = {0, kStopPollMicroseconds};
    const int ready = select(0, &readable, nullptr, nullptr, &pause);
    if (ready < 0) return false;
    if (ready > 0) return true;
  }
  return false;
}

// Waits, sending nothing, until the client closes or stopping is set.
void WaitForClientClose(SOCKET socket, const std::atomic<bool>& stopping) {
  char ignored[4096];
  while (WaitReadable(socket, stopping) && recv(socket, ignored, sizeof(ignored), 0) > 0) {
  }
}

bool SendAll(SOCKET socket, const char* data, size_t size) {
  while (size > 0) {
    const int sent = send(socket, data, static_cast<int>(std::min<size_t>(size, 1 << 20)), 0);
    if (sent <= 0) return false;
    data += sent;
    size -= static_cast<size_t>(sent);
  }
  return true;
}

bool SendText(SOCKET socket, const std::string& text) {
  return SendAll(socket, text.data(), text.size());
}

// Closes with a reset, so the server side never lingers in TIME_WAIT.
void ResetConnection(SOCKET socket) {
  linger abort = {1, 0};
  setsockopt(socket, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&abort), sizeof(abort));
  closesocket(socket);
}

uint64_t BodySize(const HttpRoute& route) {
  return route.generatedSize ? route.generatedSize : route.body.size();
}

std::string BodyPiece(const HttpRoute& route, uint64_t offset, size_t count) {
  if (route.generatedSize) return GeneratedBytes(offset, count);
  return route.body.substr(static_cast<size_t>(offset), count);
}

// The head of an answer whose body starts at byte from (a range when not 0).
std::string ResponseHead(const HttpRoute& route, uint64_t from) {
  const int status = from ? 206 : route.status;
  const uint64_t size = BodySize(route);
  std::string head = "HTTP/1.1 " + std::to_string(status) + " " + ReasonPhrase(status) + "\r\n";
  if (route.chunked) {
    head += "Transfer-Encoding: chunked\r\n";
  } else {
    head += "Content-Length: " + std::to_string(route.announcedSize.value_or(size - from)) + "\r\n";
  }
  if (from) {
    head += "Content-Range: bytes " + std::to_string(from) + "-" + std::to_string(size - 1) + "/" +
            std::to_string(size) + "\r\n";
  }
  if (!route.location.empty()) head += "Location: " + route.location + "\r\n";
  return head + route.headers + "Content-Type: application/octet-stream\r\n\r\n";
}

// The first byte of a "Range: bytes=<from>-" header within the body; 0 for
// none or one that the route does not serve.
uint64_t RangeStart(const HttpRoute& route, const std::string& head) {
  constexpr char kRange[] = "\r\nRange: bytes=";
  const size_t at = head.find(kRange);
  if (!route.servesRanges || at == std::string::npos) return 0;
  const uint64_t from = std::stoull(head.substr(at + sizeof(kRange) - 1));
  return from < BodySize(route) ? from : 0;
}

// Sleeps for ms, or less once stopping is set.
void Pause(DWORD ms, const std::atomic<bool>& stopping) {
  const ULONGLONG end = GetTickCount64() + ms;
  while (!stopping && GetTickCount64() < end) Sleep(std::min<ULONGLONG>(50, end - GetTickCount64()));
}

// "%XX" sequences become their bytes, as a web server reads a path.
std::string PercentDecoded(const std::string& path) {
  std::string decoded;
  for (size_t i = 0; i < path.size(); ++i) {
    if (path[i] == '%' && i + 2 < path.size() && isxdigit(static_cast<unsigned char>(path[i + 1])) &&
        isxdigit(static_cast<unsigned char>(path[i + 2]))) {
      decoded += static_cast<char>(std::stoi(path.substr(i + 1, 2), nullptr, 16));
      i += 2;
    } else {
      decoded += path[i];
    }
  }
  return decoded;
}

std::string ChunkFrame(size_t size) {
  char text[32];
  snprintf(text, sizeof(text), "%zx\r\n", size);
  return text;
}

// Reads one request head into request; leftover keeps bytes read past it.
bool ReceiveHead(SOCKET client, const std::atomic<bool>& stopping, std::string& leftover,
                 ReceivedRequest& request) {
  size_t end;
  while ((end = leftover.find(kHeadEnd)) == std::string::npos) {
    if (leftover.size() > kMaxHeadBytes || !WaitReadable(client, stopping)) return false;
    char buffer[4096];
    const int got = recv(client, buffer, sizeof(buffer), 0);
    if (got <= 0) return false;
    leftover.append(buffer, static_cast<size_t>(got));
    // Not HTTP (a TLS handshake, for one): give up at once.
    if (leftover[0] < 'A' || leftover[0] > 'Z') return false;
  }
  request.head = leftover.substr(0, end);
  leftover.erase(0, end + sizeof(kHeadEnd) - 1);
  const size_t methodEnd = request.head.find(' ');
  const size_t targetEnd = request.head.find(' ', methodEnd + 1);
  if (methodEnd == std::string::npos || targetEnd == std::string::npos) return false;
  request.method = request.head.substr(0, methodEnd);
  request.target = request.head.substr(methodEnd + 1, targetEnd - methodEnd - 1);
  return true;
}

}  // namespace

HttpServer::HttpServer(int port) {
  WSADATA data;
  WSAStartup(MAKEWORD(2, 2), &data);
  listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (listener == INVALID_SOCKET) return;
  BOOL exclusive = TRUE;
  setsockopt(listener, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&exclusive),
             sizeof(exclusive));
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<u_short>(port));
  int length = sizeof(address);
  if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
      listen(listener, SOMAXCONN) != 0 ||
      getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    closesocket(std::exchange(listener, INVALID_SOCKET));
    return;
  }
  boundPort = ntohs(address.sin_port);
  acceptThread = std::thread(&HttpServer::AcceptLoop, this);
}

HttpServer::~HttpServer() {
  // Every thread sees the flag within one poll and ends its connection.
  stopping = true;
  if (acceptThread.joinable()) acceptThread.join();
  for (std::thread& thread : connectionThreads) thread.join();
  if (listener != INVALID_SOCKET) closesocket(listener);
  WSACleanup();
}

std::wstring HttpServer::Url(const std::string& path) const {
  return L"http://127.0.0.1:" + std::to_wstring(boundPort) + std::wstring(path.begin(), path.end());
}

void HttpServer::SetRoute(const std::string& path, const HttpRoute& route) {
  SetRoutes(path, {route});
}

void HttpServer::SetRoutes(const std::string& path, const std::vector<HttpRoute>& answers) {
  std::lock_guard<std::mutex> lock(mutex);
  routes[path].assign(answers.begin(), answers.end());
}

void HttpServer::SetRoute(const std::string& path, int status, const std::string& body) {
  HttpRoute route;
  route.status = status;
  route.body = body;
  SetRoute(path, route);
}

std::vector<ReceivedRequest> HttpServer::Requests() const {
  std::lock_guard<std::mutex> lock(mutex);
  return received;
}

uint64_t HttpServer::BodyBytesSent(const std::string& prefix) const {
  std::lock_guard<std::mutex> lock(mutex);
  uint64_t total = 0;
  for (const auto& [path, bytes] : bodyBytesSent) {
    if (path.compare(0, prefix.size(), prefix) == 0) total += bytes;
  }
  return total;
}

void HttpServer::AcceptLoop() {
  while (WaitReadable(listener, stopping)) {
    SOCKET client = accept(listener, nullptr, nullptr);
    if (client == INVALID_SOCKET) continue;
    std::lock_guard<std::mutex> lock(mutex);
    connectionThreads.emplace_back(&HttpServer::ServeConnection, this, client);
  }
}

// Answers requests until the client closes; the client closes first, so a
// fixed port can be bound again at once.
void HttpServer::ServeConnection(SOCKET client) {
  std::string leftover;
  ReceivedRequest request;
  bool keepOpen = true;
  while (keepOpen && ReceiveHead(client, stopping, leftover, request)) {
    {
      std::lock_guard<std::mutex> lock(mutex);
      received.push_back(request);
    }
    keepOpen = Respond(client, request);
  }
  ResetConnection(client);
}

// False when the connection must end (cut body, failed send, stopping).
bool HttpServer::Respond(SOCKET client, const ReceivedRequest& request) {
  const HttpRoute route = RouteFor(request.target);
  const uint64_t from = RangeStart(route, request.head);
  if (!SendText(client, ResponseHead(route, from))) return false;
  if (!SendBody(client, request.target.substr(0, request.target.find('?')), route, from)) {
    return false;
  }
  const bool endsEarly = route.cutAfterBytes || route.stallAfterBytes;
  if (route.stallAfterBytes) WaitForClientClose(client, stopping);
  if (endsEarly) return false;
  return !route.chunked || SendText(client, "0\r\n\r\n");
}

// The body from byte from to its end, or to where the route cuts or stalls
// it, counting from from.
bool HttpServer::SendBody(SOCKET client, const std::string& path, const HttpRoute& route,
                          uint64_t from) {
  const uint64_t size = BodySize(route);
  const uint64_t endAfter = route.cutAfterBytes ? route.cutAfterBytes : route.stallAfterBytes;
  const uint64_t sendUntil = endAfter ? std::min(from + endAfter, size) : size;
  const size_t pieceBytes = route.pieceBytes ? route.pieceBytes : kDefaultPieceBytes;
  for (uint64_t offset = from; offset < sendUntil;) {
    if (route.pieceDelayMs) Pause(route.pieceDelayMs, stopping);
    if (stopping) return false;
    const size_t count = static_cast<size_t>(std::min<uint64_t>(pieceBytes, sendUntil - offset));
    const std::string piece = BodyPiece(route, offset, count);
    if (route.chunked && !SendText(client, ChunkFrame(count))) return false;
    if (!SendText(client, piece)) return false;
    if (route.chunked && !SendText(client, "\r\n")) return false;
    offset += count;
    std::lock_guard<std::mutex> lock(mutex);
    bodyBytesSent[path] += count;
  }
  return true;
}

HttpRoute HttpServer::RouteFor(const std::string& target) {
  std::string path = PercentDecoded(target.substr(0, target.find('?')));
  // As a proxy: Windows sends the absolute address, Wine the path alone.
  if (path.rfind("http://", 0) == 0) path.erase(0, std::min(path.find('/', 7), path.size()));
  std::lock_guard<std::mutex> lock(mutex);
  const auto found = routes.find(path);
  if (found != routes.end()) {
    std::deque<HttpRoute>& answers = found->second;
    const HttpRoute route = answers.front();
    if (answers.size() > 1) answers.pop_front();
    return route;
  }
  HttpRoute missing;
  missing.status = 404;
  missing.body = "Not Found";
  return missing;
}

std::string GeneratedBytes(uint64_t offset, size_t count) {
  std::string bytes(count, '\0');
  FillGeneratedBytes(offset, bytes.data(), count);
  return bytes;
}

int ServerPortFromBaseUrl() {
  const std::wstring url = ServerBaseUrl;
  const size_t hostStart = url.find(L"://");
  const size_t authorityStart = hostStart == std::wstring::npos ? 0 : hostStart + 3;
  const size_t authorityEnd = url.find(L'/', authorityStart);
  const std::wstring authority = url.substr(authorityStart, authorityEnd - authorityStart);
  const size_t colon = authority.rfind(L':');
  if (colon == std::wstring::npos) return 80;
  return std::stoi(authority.substr(colon + 1));
}

}  // namespace zavex::test
