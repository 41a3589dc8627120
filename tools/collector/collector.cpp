// vorkel-collector: a small collector on loopback for trying the agent out. It prints every
// notification and transaction report (JSON) it receives in a readable form, in the order the
// requests complete, answers each with 200 and stores uploaded snapshot archives in a directory.
//
//   vorkel-collector [--port N] [--store DIR] [--port-file FILE] [--requests N] [--timeout-ms N]
//
// --port 0 (the default) takes a free port; the port is printed on the first line and, with
// --port-file, written to that file. --requests N ends the collector after N requests; otherwise it
// runs until SIGINT or SIGTERM.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>
#include <thread>

#include "http_message.h"
#include "json.h"

namespace {

constexpr size_t kMaxHead = 65536;
constexpr uint64_t kMaxFormBody = 16 * 1024 * 1024;
constexpr uint64_t kMaxUpload = 64ull * 1024 * 1024 * 1024;
constexpr int kMaxConnections = 64;
constexpr const char *kUploadPath = "/oom/upload";

struct Options {
  int port = 0;
  std::string store = ".";
  std::string port_file;
  long requests = -1;
  int timeout_ms = 10000;
};

std::atomic<bool> stopping{false};
std::atomic<int> open_connections{0};
std::mutex output_lock;  // the printed records, the request count and the stored names
long request_count = 0;
Options options;

void on_signal(int) { stopping = true; }

std::string clock_text(std::chrono::system_clock::time_point when) {
  time_t seconds = std::chrono::system_clock::to_time_t(when);
  long millis = (long)(std::chrono::duration_cast<std::chrono::milliseconds>(when.time_since_epoch()).count() % 1000);
  struct tm local {};
  localtime_r(&seconds, &local);
  char text[64];
  snprintf(text, sizeof text, "%02d:%02d:%02d.%03ld", local.tm_hour, local.tm_min, local.tm_sec, millis);
  return text;
}

// Control characters shown as escapes so that one value stays on one line.
std::string printable(const std::string &text, size_t limit) {
  std::string out;
  for (size_t i = 0; i < text.size() && i < limit; ++i) {
    unsigned char c = (unsigned char)text[i];
    if (c == '\t')
      out += "\\t";
    else if (c == '\r')
      out += "\\r";
    else if (c < 0x20 || c == 0x7f) {
      char escape[8];
      snprintf(escape, sizeof escape, "\\x%02x", c);
      out += escape;
    } else
      out += (char)c;
  }
  if (text.size() > limit) out += "... (" + std::to_string(text.size()) + " bytes)";
  return out;
}

// A millisecond time stamp also shown as a local date and time.
std::string with_date(const std::string &value) {
  if (value.size() < 12 || value.size() > 15 || value.find_first_not_of("0123456789") != std::string::npos) {
    return value;
  }
  long long millis = std::stoll(value);
  time_t seconds = (time_t)(millis / 1000);
  struct tm local {};
  localtime_r(&seconds, &local);
  char text[96];
  snprintf(text, sizeof text, "%s (%04d-%02d-%02d %02d:%02d:%02d.%03lld)", value.c_str(), local.tm_year + 1900,
           local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec, millis % 1000);
  return text;
}

void print_field(std::string &out, const std::string &name, const std::string &value) {
  char label[64];
  snprintf(label, sizeof label, "    %-12s ", name.c_str());
  if (value.find('\n') == std::string::npos) {
    out += std::string(label) + printable(name == "timestamp" ? with_date(value) : value, 400) + "\n";
    return;
  }
  // Multi-line texts (a crash log): their size and first lines.
  size_t lines = 0;
  for (char c : value) lines += c == '\n';
  if (!value.empty() && value.back() != '\n') ++lines;
  out += std::string(label) + "(" + std::to_string(lines) + " lines, " + std::to_string(value.size()) + " bytes)\n";
  size_t at = 0;
  for (int shown = 0; shown < 8 && at < value.size(); ++shown) {
    size_t end = value.find('\n', at);
    if (end == std::string::npos) end = value.size();
    out += "      | " + printable(value.substr(at, end - at), 200) + "\n";
    at = end + 1;
  }
  if (at < value.size()) out += "      | ...\n";
}

// A JSON document (a transaction report) as indented "name value" lines: nested objects and arrays
// below their name, array elements numbered, multi-line texts (stacks) in full as "| " lines, and
// millisecond time stamps also as dates. An object with a "section" member is headed by its value.
void print_json(std::string &out, const std::string &name, const collector::JsonValue &value, int indent) {
  using Kind = collector::JsonValue::Kind;
  std::string pad(indent, ' ');
  char label[96];
  snprintf(label, sizeof label, "%s%-12s ", pad.c_str(), name.c_str());
  switch (value.kind) {
    case Kind::object:
    case Kind::array: {
      out += pad + name + "\n";
      if (value.kind == Kind::object) {
        for (const auto &[member, inner] : value.members) print_json(out, member, inner, indent + 2);
        return;
      }
      for (size_t i = 0; i < value.items.size(); ++i) {
        const collector::JsonValue &item = value.items[i];
        std::string heading = "[" + std::to_string(i + 1) + "]";
        if (item.kind != Kind::object) {
          print_json(out, heading, item, indent + 2);
          continue;
        }
        for (const auto &[member, inner] : item.members) {
          if (member == "section" && inner.kind == Kind::string) heading += " " + printable(inner.text, 80);
        }
        out += pad + "  " + heading + "\n";
        for (const auto &[member, inner] : item.members) {
          if (member != "section") print_json(out, member, inner, indent + 4);
        }
      }
      return;
    }
    case Kind::string: {
      if (value.text.find('\n') == std::string::npos) {
        out += std::string(label) + printable(value.text, 400) + "\n";
        return;
      }
      size_t lines = 0;
      for (char c : value.text) lines += c == '\n';
      if (value.text.back() != '\n') ++lines;
      out += std::string(label) + "(" + std::to_string(lines) + " lines)\n";
      size_t at = 0;
      for (size_t shown = 0; shown < 250 && at < value.text.size(); ++shown) {
        size_t end = value.text.find('\n', at);
        if (end == std::string::npos) end = value.text.size();
        out += pad + "  | " + printable(value.text.substr(at, end - at), 300) + "\n";
        at = end + 1;
      }
      if (at < value.text.size()) out += pad + "  | ...\n";
      return;
    }
    case Kind::number:
      out += std::string(label) + with_date(value.text) + "\n";
      return;
    case Kind::boolean:
      out += std::string(label) + (value.boolean ? "true" : "false") + "\n";
      return;
    case Kind::null:
      out += std::string(label) + "null\n";
      return;
  }
}

// Prints one finished request as a numbered record. Returns whether the collector should go on.
bool report(const collector::RequestHead &head, const collector::Fields &body_fields, const std::string &note,
            std::chrono::system_clock::time_point when, const std::string &printed_body = "") {
  std::lock_guard<std::mutex> guard(output_lock);
  ++request_count;
  std::string out = "[#" + std::to_string(request_count) + " " + clock_text(when) + "] " + printable(head.method, 16) +
                    " " + printable(head.path, 200) + "\n";
  for (const auto &[name, value] : head.query_fields) print_field(out, name, value);
  for (const auto &[name, value] : body_fields) print_field(out, name, value);
  out += printed_body;
  if (!note.empty()) out += "    " + note + "\n";
  fputs(out.c_str(), stdout);
  fflush(stdout);
  if (options.requests > 0 && request_count >= options.requests) stopping = true;
  return !stopping;
}

void print_note(const std::string &text) {
  std::lock_guard<std::mutex> guard(output_lock);
  printf("[%s] %s\n", clock_text(std::chrono::system_clock::now()).c_str(), text.c_str());
  fflush(stdout);
}

void send_all(int client, const std::string &text) {
  size_t sent = 0;
  while (sent < text.size()) {
    ssize_t n = send(client, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return;
    sent += (size_t)n;
  }
}

void answer(int client, int status, const char *reason) {
  send_all(client,
           "HTTP/1.1 " + std::to_string(status) + " " + reason + "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
}

// Receives up to size bytes; 0 at the end of the stream or after the time-out, -1 on an error.
ssize_t receive(int client, char *buffer, size_t size) {
  pollfd fd{client, POLLIN, 0};
  int ready = poll(&fd, 1, options.timeout_ms);
  if (ready <= 0) return ready == 0 ? 0 : -1;
  return recv(client, buffer, size, 0);
}

// A file name made only of safe characters, for a name that came over the network.
std::string safe_name(const std::string &wanted) {
  std::string name;
  for (char c : wanted) name += (isalnum((unsigned char)c) || c == '.' || c == '_' || c == '-') ? c : '_';
  while (!name.empty() && name[0] == '.') name.erase(0, 1);
  if (name.size() > 120) name.resize(120);
  return name.empty() ? "upload.tar.bz2" : name;
}

// A path in the store directory that no earlier upload took.
std::string unused_path(const std::string &name) {
  const std::string extension = ".tar.bz2";
  bool has_extension =
      name.size() > extension.size() && name.compare(name.size() - extension.size(), extension.size(), extension) == 0;
  std::string stem = has_extension ? name.substr(0, name.size() - extension.size()) : name;
  std::string suffix = has_extension ? extension : "";
  std::string path = options.store + "/" + name;
  struct stat info {};
  for (int n = 2; stat(path.c_str(), &info) == 0 || stat((path + ".part").c_str(), &info) == 0; ++n) {
    path = options.store + "/" + stem + "-" + std::to_string(n) + suffix;
  }
  return path;
}

void handle(int client) {
  auto finish = [&] {
    // Read what the client still sends (briefly) so that closing does not reset the connection
    // before the client has read the answer.
    shutdown(client, SHUT_WR);
    char rest[4096];
    for (int i = 0; i < 256; ++i) {
      pollfd fd{client, POLLIN, 0};
      if (poll(&fd, 1, 200) <= 0 || recv(client, rest, sizeof rest, 0) <= 0) break;
    }
    close(client);
    --open_connections;
  };
  std::string data;
  char buffer[65536];
  size_t head_end = std::string::npos;
  while (head_end == std::string::npos) {
    ssize_t n = receive(client, buffer, sizeof buffer);
    if (n <= 0) {
      if (!data.empty()) print_note("a connection ended before its request head was complete, ignored");
      finish();
      return;
    }
    data.append(buffer, (size_t)n);
    head_end = data.find("\r\n\r\n");
    if (head_end == std::string::npos && data.size() > kMaxHead) {
      answer(client, 431, "Request Header Fields Too Large");
      print_note("a request head longer than " + std::to_string(kMaxHead) + " bytes, refused");
      finish();
      return;
    }
  }
  collector::RequestHead head;
  if (!collector::parse_head(data.substr(0, head_end), head)) {
    answer(client, 400, "Bad Request");
    print_note("a request that is not HTTP, refused: " + printable(data.substr(0, head_end), 80));
    finish();
    return;
  }
  auto when = std::chrono::system_clock::now();
  std::string body = data.substr(head_end + 4);
  std::string length_text = head.header("Content-Length");
  if (!head.header("Transfer-Encoding").empty()) {
    answer(client, 411, "Length Required");
    print_note(head.method + " " + head.path + " without a Content-Length, refused");
    finish();
    return;
  }
  uint64_t length = 0;
  if (!length_text.empty()) {
    errno = 0;
    char *end = nullptr;
    unsigned long long parsed = strtoull(length_text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || !isdigit((unsigned char)length_text[0])) {
      answer(client, 400, "Bad Request");
      print_note("a request with the Content-Length \"" + printable(length_text, 40) + "\", refused");
      finish();
      return;
    }
    length = parsed;
  }
  bool upload = head.path == kUploadPath;
  if (length > (upload ? kMaxUpload : kMaxFormBody)) {
    answer(client, 413, "Payload Too Large");
    print_note(head.method + " " + head.path + " with a body of " + std::to_string(length) + " bytes, refused");
    finish();
    return;
  }
  if (body.size() > length) body.resize(length);

  std::string note;
  std::string printed_body;  // a JSON body, already as lines
  collector::Fields body_fields;
  if (upload) {
    std::string wanted;
    for (const auto &[name, value] : head.query_fields) {
      if (name == "archive" && wanted.empty()) wanted = value;
    }
    if (wanted.empty()) {
      for (const auto &[name, value] : head.query_fields) {
        if (name == "directory" && wanted.empty()) wanted = value + ".tar.bz2";
      }
    }
    std::string path;
    {
      std::lock_guard<std::mutex> guard(output_lock);
      path = unused_path(safe_name(wanted));
      FILE *reserve = fopen((path + ".part").c_str(), "wbx");
      if (reserve != nullptr) fclose(reserve);
    }
    FILE *file = fopen((path + ".part").c_str(), "wb");
    if (file == nullptr) {
      answer(client, 500, "Internal Server Error");
      print_note("cannot store an upload as " + path + ": " + strerror(errno));
      finish();
      return;
    }
    uint64_t received = body.size();
    bool stored = fwrite(body.data(), 1, body.size(), file) == body.size();
    while (stored && received < length) {
      ssize_t n = receive(client, buffer, (size_t)std::min<uint64_t>(sizeof buffer, length - received));
      if (n <= 0) break;
      stored = fwrite(buffer, 1, (size_t)n, file) == (size_t)n;
      received += (uint64_t)n;
    }
    stored = fclose(file) == 0 && stored;
    if (!stored || received < length) {
      unlink((path + ".part").c_str());
      print_note("an upload to " + path + " ended after " + std::to_string(received) + " of " + std::to_string(length) +
                 " bytes" + (stored ? "" : " (the store could not take it)") + ", dropped");
      if (!stored) answer(client, 500, "Internal Server Error");
      finish();
      return;
    }
    rename((path + ".part").c_str(), path.c_str());
    note = "stored " + std::to_string(received) + " bytes as " + path;
  } else {
    while (body.size() < length) {
      ssize_t n = receive(client, buffer, (size_t)std::min<uint64_t>(sizeof buffer, length - body.size()));
      if (n <= 0) break;
      body.append(buffer, (size_t)n);
    }
    if (body.size() < length) {
      print_note(head.method + " " + head.path + " ended after " + std::to_string(body.size()) + " of " +
                 std::to_string(length) + " body bytes, dropped");
      finish();
      return;
    }
    std::string type = head.header("Content-Type");
    if (type.empty() || type.rfind("application/x-www-form-urlencoded", 0) == 0) {
      body_fields = collector::parse_form(body);
    } else if (type.rfind("application/json", 0) == 0) {
      collector::JsonValue document;
      size_t error_at = 0;
      if (!collector::parse_json(body, document, &error_at)) {
        note = "body: " + std::to_string(body.size()) + " bytes of " + printable(type, 80) +
               " that are not JSON (at byte " + std::to_string(error_at) + "): " + printable(body, 120);
      } else if (document.kind == collector::JsonValue::Kind::object) {
        for (const auto &[name, value] : document.members) print_json(printed_body, name, value, 4);
      } else {
        print_json(printed_body, "body", document, 4);
      }
    } else if (!body.empty()) {
      note = "body: " + std::to_string(body.size()) + " bytes of " + printable(type, 80);
    }
  }
  report(head, body_fields, note, when, printed_body);
  answer(client, 200, "OK");
  finish();
}

bool parse_arguments(int argc, char **argv) {
  for (int i = 1; i < argc; ++i) {
    std::string argument = argv[i];
    bool has_value = i + 1 < argc;
    if (argument == "--port" && has_value)
      options.port = atoi(argv[++i]);
    else if (argument == "--store" && has_value)
      options.store = argv[++i];
    else if (argument == "--port-file" && has_value)
      options.port_file = argv[++i];
    else if (argument == "--requests" && has_value)
      options.requests = atol(argv[++i]);
    else if (argument == "--timeout-ms" && has_value)
      options.timeout_ms = atoi(argv[++i]);
    else
      return false;
  }
  return options.port >= 0 && options.port <= 65535 && options.timeout_ms > 0;
}

}  // namespace

int main(int argc, char **argv) {
  if (!parse_arguments(argc, argv)) {
    fprintf(stderr,
            "usage: vorkel-collector [--port N] [--store DIR] [--port-file FILE] [--requests N] [--timeout-ms N]\n");
    return 2;
  }
  if (mkdir(options.store.c_str(), 0777) != 0 && errno != EEXIST) {
    fprintf(stderr, "vorkel-collector: cannot create the store directory %s: %s\n", options.store.c_str(),
            strerror(errno));
    return 1;
  }
  struct sigaction action {};
  action.sa_handler = on_signal;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);

  int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int one = 1;
  setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons((uint16_t)options.port);
  if (listener < 0 || bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
      listen(listener, 64) != 0) {
    fprintf(stderr, "vorkel-collector: cannot listen on 127.0.0.1:%d: %s\n", options.port, strerror(errno));
    return 1;
  }
  socklen_t length = sizeof address;
  getsockname(listener, reinterpret_cast<sockaddr *>(&address), &length);
  int port = ntohs(address.sin_port);
  printf("vorkel-collector listening on 127.0.0.1:%d, uploads are stored in %s\n", port, options.store.c_str());
  fflush(stdout);
  if (!options.port_file.empty()) {
    std::string partial = options.port_file + ".part";
    FILE *file = fopen(partial.c_str(), "w");
    if (file == nullptr || fprintf(file, "%d\n", port) < 0 || fclose(file) != 0 ||
        rename(partial.c_str(), options.port_file.c_str()) != 0) {
      fprintf(stderr, "vorkel-collector: cannot write the port to %s\n", options.port_file.c_str());
      return 1;
    }
  }

  while (!stopping) {
    pollfd fd{listener, POLLIN, 0};
    if (poll(&fd, 1, 100) <= 0) continue;
    int client = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) continue;
    if (open_connections >= kMaxConnections) {
      close(client);
      continue;
    }
    ++open_connections;
    std::thread(handle, client).detach();
  }
  close(listener);
  // Requests under way end within the receive time-out.
  while (open_connections > 0) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  printf("vorkel-collector stopped after %ld requests\n", request_count);
  return 0;
}
