#pragma once

#include <winsock2.h>
#include <windows.h>

#include <atomic>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace zavex::test {

// How the server answers GET requests for one path (query ignored, "%XX"
// escapes decoded).
struct HttpRoute {
  int status = 200;
  std::string body;
  // When non-zero, the body is this many bytes of GeneratedBytes, made while
  // sending and never held in memory; body is then ignored.
  uint64_t generatedSize = 0;
  // No Content-Length; the body goes in chunked transfer encoding.
  bool chunked = false;
  // When non-zero, the connection is reset once this many body bytes are
  // sent, although the full size was announced (the client may get fewer).
  uint64_t cutAfterBytes = 0;
  // When non-zero, the server falls silent once this many body bytes are
  // sent and keeps the connection open until the client closes it.
  uint64_t stallAfterBytes = 0;
  // When non-zero, the body goes in pieces of this size, each after a pause
  // of pieceDelayMs; with chunked, each piece is one chunk.
  size_t pieceBytes = 0;
  DWORD pieceDelayMs = 0;
  // When not empty, sent as the Location header (with a 301 or 302 status).
  std::string location;
  // Further header lines, each ending in "\r\n".
  std::string headers;
  // When set, the Content-Length sent instead of the body's size.
  std::optional<uint64_t> announcedSize;
  // Answers "Range: bytes=<from>-" with 206, its Content-Range and the
  // body from there on; cuts and stalls count from that byte.
  bool servesRanges = false;
};

struct ReceivedRequest {
  std::string method;
  std::string target;  // path with query, as sent
  std::string head;    // request line and headers
};

// A test HTTP/1.1 server on 127.0.0.1, answering on its own threads; as a
// proxy it answers for every server from its own routes.
// Unknown paths get 404 with the body "Not Found".
class HttpServer {
 public:
  // port 0 picks a free port. listening() is false when the port is taken.
  explicit HttpServer(int port = 0);
  ~HttpServer();
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;

  bool listening() const { return listener != INVALID_SOCKET; }
  int port() const { return boundPort; }
  // L"http://127.0.0.1:<port>" followed by path (which starts with "/").
  std::wstring Url(const std::string& path) const;

  void SetRoute(const std::string& path, const HttpRoute& route);
  // Each request takes the next answer; the last one stays.
  void SetRoutes(const std::string& path, const std::vector<HttpRoute>& answers);
  // Shorthand for a route with a fixed status and body.
  void SetRoute(const std::string& path, int status, const std::string& body);
  std::vector<ReceivedRequest> Requests() const;
  // Body bytes sent for paths starting with prefix, over every request.
  uint64_t BodyBytesSent(const std::string& prefix) const;

 private:
  void AcceptLoop();
  void ServeConnection(SOCKET client);
  bool Respond(SOCKET client, const ReceivedRequest& request);
  HttpRoute RouteFor(const std::string& target);
  bool SendBody(SOCKET client, const std::string& path, const HttpRoute& route, uint64_t from);

  SOCKET listener = INVALID_SOCKET;
  int boundPort = 0;
  std::atomic<bool> stopping{false};
  mutable std::mutex mutex;
  std::map<std::string, std::deque<HttpRoute>> routes;
  std::map<std::string, uint64_t> bodyBytesSent;
  std::vector<ReceivedRequest> received;
  std::vector<std::thread> connectionThreads;
  std::thread acceptThread;
};

// Deterministic, random-looking content: the count bytes from offset on.
std::string GeneratedBytes(uint64_t offset, size_t count);

// The port written in zavex::ServerBaseUrl (80 when it names none).
int ServerPortFromBaseUrl();

}  // namespace zavex::test
