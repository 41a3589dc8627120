#include "test_collector.h"

#include "http_message.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <strings.h>

namespace vt {

std::string HttpRequest::header(const std::string &name) const {
  for (const auto &[key, value] : headers) {
    if (strcasecmp(key.c_str(), name.c_str()) == 0) return value;
  }
  return "";
}

std::string HttpRequest::field(const std::string &name) const {
  for (const auto &[key, value] : query_fields) {
    if (key == name) return value;
  }
  for (const auto &[key, value] : body_fields) {
    if (key == name) return value;
  }
  return "";
}

bool parse_http_request(const std::string &raw, HttpRequest &request) {
  request.raw = raw;
  size_t head_end = raw.find("\r\n\r\n");
  if (head_end == std::string::npos) return false;
  request.request_line = raw.substr(0, raw.find("\r\n"));
  collector::RequestHead head;
  if (!collector::parse_head(raw.substr(0, head_end), head)) return false;
  request.method = head.method;
  request.target = head.target;
  request.path = head.path;
  request.query = head.query;
  request.version = head.version;
  request.headers = head.headers;
  request.query_fields = head.query_fields;
  request.body = raw.substr(head_end + 4);
  request.body_fields = collector::parse_form(request.body);
  return true;
}

TestCollector::TestCollector(CollectorAnswer answer, const std::string &address) : address_(address), answer_(answer) {
  listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int one = 1;
  setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  inet_pton(AF_INET, address.c_str(), &addr.sin_addr);
  addr.sin_port = 0;
  bind(listener_, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
  listen(listener_, 64);
  socklen_t length = sizeof addr;
  getsockname(listener_, reinterpret_cast<sockaddr *>(&addr), &length);
  port_ = ntohs(addr.sin_port);
  acceptor_ = std::thread([this] { serve(); });
}

TestCollector::~TestCollector() { stop(); }

int TestCollector::closed_port() {
  TestCollector gone;
  return gone.port();
}

void TestCollector::stop() {
  if (stopping_.exchange(true)) return;
  shutdown(listener_, SHUT_RDWR);
  if (acceptor_.joinable()) acceptor_.join();
  close(listener_);
  std::vector<std::thread> handlers;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    handlers.swap(handlers_);
  }
  for (std::thread &handler : handlers) handler.join();
}

std::vector<HttpRequest> TestCollector::requests() {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

bool TestCollector::wait_for_requests(size_t count, std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return requests_.size() >= count; });
}

void TestCollector::serve() {
  while (!stopping_) {
    pollfd fd{listener_, POLLIN, 0};
    if (poll(&fd, 1, 100) <= 0) continue;
    int client = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) continue;
    ++connections_;
    std::lock_guard<std::mutex> lock(mutex_);
    handlers_.emplace_back([this, client] { handle(client); });
  }
}

namespace {

// Reads one request: the head, then as many body bytes as Content-Length says (or until close).
std::string read_request(int client, const std::atomic<bool> &stopping) {
  std::string raw;
  char buffer[65536];
  size_t expected = std::string::npos;
  while (!stopping) {
    pollfd fd{client, POLLIN, 0};
    int ready = poll(&fd, 1, 100);
    if (ready == 0) continue;
    if (ready < 0) break;
    ssize_t n = recv(client, buffer, sizeof buffer, 0);
    if (n <= 0) break;
    raw.append(buffer, (size_t)n);
    size_t head_end = raw.find("\r\n\r\n");
    if (head_end != std::string::npos && expected == std::string::npos) {
      HttpRequest head;
      parse_http_request(raw, head);
      std::string length = head.header("Content-Length");
      expected = head_end + 4 + (length.empty() ? 0 : std::stoul(length));
    }
    if (expected != std::string::npos && raw.size() >= expected) break;
  }
  return raw;
}

void send_all(int client, const std::string &text) {
  size_t sent = 0;
  while (sent < text.size()) {
    ssize_t n = send(client, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return;
    sent += (size_t)n;
  }
}

}  // namespace

void TestCollector::handle(int client) {
  CollectorAnswer answer = answer_;
  if (answer == CollectorAnswer::close_at_once) {
    close(client);
    return;
  }
  if (answer == CollectorAnswer::deaf) {
    while (!stopping_) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    close(client);
    return;
  }
  std::string raw = read_request(client, stopping_);
  HttpRequest request;
  parse_http_request(raw, request);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    requests_.push_back(request);
  }
  changed_.notify_all();
  switch (answer) {
    case CollectorAnswer::ok:
      send_all(client, "HTTP/1.1 200 OK\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
      break;
    case CollectorAnswer::no_content:
      send_all(client, "HTTP/1.1 204 No Content\r\nConnection: close\r\n\r\n");
      break;
    case CollectorAnswer::garbage: {
      static const char garbage[] = "\x01\x02\xff garbage \x00\x7f no status line here";
      send_all(client, std::string(garbage, sizeof garbage - 1));
      break;
    }
    case CollectorAnswer::silent:
      while (!stopping_) {
        pollfd fd{client, POLLIN, 0};
        if (poll(&fd, 1, 100) > 0) {
          char byte;
          if (recv(client, &byte, 1, 0) <= 0) break;
        }
      }
      break;
    case CollectorAnswer::endless_header: {
      send_all(client, "HTTP/1.1 200 OK\r\nX-Endless: ");
      std::string chunk(65536, 'a');
      while (!stopping_) {
        ssize_t n = send(client, chunk.data(), chunk.size(), MSG_NOSIGNAL);
        if (n <= 0) break;
      }
      break;
    }
    case CollectorAnswer::trickle:
      send_all(client, "HTTP/1.1 200 OK\r\n");
      while (!stopping_) {
        if (send(client, "a", 1, MSG_NOSIGNAL) <= 0) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
      }
      break;
    case CollectorAnswer::slow: {
      const std::string answer = "HTTP/1.1 200 OK\r\nX-Slow: ";
      for (size_t at = 0; !stopping_; ++at) {
        if (send(client, at < answer.size() ? &answer[at] : "a", 1, MSG_NOSIGNAL) <= 0) break;
        // One second in steps, so that stop() is not held up.
        for (int step = 0; step < 10 && !stopping_; ++step) std::this_thread::sleep_for(std::chrono::milliseconds(100));
      }
      break;
    }
    case CollectorAnswer::reset: {
      // A zero linger time makes close() send a reset instead of the orderly end.
      linger abort{1, 0};
      setsockopt(client, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
      close(client);
      return;
    }
    case CollectorAnswer::close_at_once:
    case CollectorAnswer::deaf:
      break;
  }
  shutdown(client, SHUT_RDWR);
  close(client);
}

}  // namespace vt
