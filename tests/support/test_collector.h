// A collector on loopback for tests: records every HTTP request it receives and answers as told.
#pragma once

#include <atomic>
#include <condition_variable>
#include <chrono>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace vt {

struct HttpRequest {
  std::string raw;           // every byte received
  std::string request_line;  // "POST /path?query HTTP/1.1"
  std::string method, target, path, query, version;
  std::vector<std::pair<std::string, std::string>> headers;  // in order received
  std::string body;
  std::vector<std::pair<std::string, std::string>> query_fields;  // decoded
  std::vector<std::pair<std::string, std::string>> body_fields;   // decoded form fields
  std::string header(const std::string &name) const;              // first match, case-insensitive
  std::string field(const std::string &name) const;               // query field, else body field
};

// Parses a whole request with the collector's parser (tools/collector/http_message.h); false
// when its head is incomplete or malformed.
bool parse_http_request(const std::string &raw, HttpRequest &request);

enum class CollectorAnswer {
  ok,              // "HTTP/1.1 200 OK"
  no_content,      // "HTTP/1.1 204 No Content"
  silent,          // accept, read, never answer (until stopped)
  garbage,         // bytes that are not HTTP
  endless_header,  // a header line that never ends, until the client goes away
  close_at_once,   // accept and close without reading
  trickle,         // a status line, then one byte every 50 ms, until the client goes away
  slow,            // a 200 answer one byte a second, then header bytes at that pace, until the client goes away
  reset,           // read the request, then reset the connection (RST, no answer)
  deaf,            // accept, never read nor answer (until stopped): a large request fills the window
};

class TestCollector {
 public:
  // Listens on 127.0.0.1 (or the given address) at a free port.
  explicit TestCollector(CollectorAnswer answer = CollectorAnswer::ok, const std::string &address = "127.0.0.1");
  ~TestCollector();
  TestCollector(const TestCollector &) = delete;
  TestCollector &operator=(const TestCollector &) = delete;

  int port() const { return port_; }
  // "host=ADDRESS,port=PORT": the agent options that send the agent's reports here.
  std::string agent_options() const { return "host=" + address_ + ",port=" + std::to_string(port_); }
  // A loopback port where nobody listens: a collector that is down.
  static int closed_port();
  void set_answer(CollectorAnswer answer) { answer_ = answer; }
  std::vector<HttpRequest> requests();
  size_t connection_count() const { return connections_; }
  // Waits until at least count requests arrived.
  bool wait_for_requests(size_t count, std::chrono::milliseconds timeout);
  void stop();

 private:
  void serve();
  void handle(int client);

  int listener_ = -1;
  int port_ = 0;
  std::string address_;
  std::atomic<CollectorAnswer> answer_;
  std::atomic<bool> stopping_{false};
  std::atomic<size_t> connections_{0};
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<HttpRequest> requests_;
  std::vector<std::thread> handlers_;
  std::thread acceptor_;
};

}  // namespace vt
