// The helpers' argument lists and the requests built from them. The input is the list, its
// arguments separated by NUL bytes. It is read as a "notify" and as a "monitor" list; a list that
// is taken must give back its arguments exactly, and every request built from it (and from the raw
// host argument, with the builder left to refuse it) must be a single well-formed head: the
// request line, the four header lines, an empty line, then a body as long as Content-Length says.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "helpers/death_monitor.h"
#include "agent/execute_modes.h"
#include "helpers/http_query.h"
#include "snapshot/oom_notify.h"

namespace {

// A failed check names itself on standard error (shown when the input is run again by hand).
void fail(const char *condition, int line) {
  fprintf(stderr, "check failed at line %d: %s\n", line, condition);
  abort();
}
#define check(condition) ((condition) ? (void)0 : fail(#condition, __LINE__))

bool starts_with(const char *text, const char *prefix) { return strncmp(text, prefix, strlen(prefix)) == 0; }

void check_request(const char *request, size_t length, const char *host, const char *path) {
  check(strlen(request) == length);
  const char *head_end = strstr(request, "\r\n\r\n");
  check(head_end != nullptr);
  size_t head_length = (size_t)(head_end - request) + 4;
  std::vector<std::string> lines;
  const char *line = request;
  while (line < head_end + 2) {
    const char *end = strstr(line, "\r\n");
    lines.emplace_back(line, end);
    line = end + 2;
  }
  check(lines.size() == 5);
  for (const std::string &text : lines) check(text.find_first_of("\r\n") == std::string::npos);
  check(starts_with(lines[0].c_str(), "POST ") && lines[0].compare(5, strlen(path), path) == 0);
  check(lines[0].size() > 5 + strlen(path) && (lines[0][5 + strlen(path)] == '?' || lines[0][5 + strlen(path)] == ' '));
  check(lines[0].size() >= 9 && lines[0].compare(lines[0].size() - 9, 9, " HTTP/1.1") == 0);
  check(lines[1] == std::string("Host: ") + host);
  check(lines[2] == "Content-Length: " + std::to_string(length - head_length));
  check(lines[3] == "Content-Type: application/x-www-form-urlencoded");
  check(lines[4] == "Connection: Close");
}

void build_and_check(const char *host, const char *path, const http_field *main, const http_field *extra) {
  size_t length = 0;
  char *request = http_build_request(host, path, main, extra, &length);
  if (request == nullptr) return;
  check(http_valid_host_name(host));
  check_request(request, length, host, path);
  free(request);
}

void check_notify(char **arguments, int count) {
  oom_notify_request request;
  if (!oom_notify_parse_arguments(arguments, count, &request)) return;
  check(count == OOM_NOTIFY_ARGUMENT_COUNT);
  check(strcmp(request.host.host, arguments[1]) == 0);
  check(request.host.port >= 1 && request.host.port <= 65535 && request.host.port == strtol(arguments[2], nullptr, 10));
  for (int i = 3; i < count; ++i)
    check(request.fields[i - 3].name != nullptr && request.fields[i - 3].value == arguments[i]);
  check(request.fields[count - 3].name == nullptr);
  build_and_check(request.host.host, "/oom/notification", request.fields, nullptr);
}

void check_monitor(char **arguments, int count) {
  static death_monitor_parameters parameters;
  if (!death_monitor_parse_arguments(arguments, count, &parameters)) return;
  check(count == DEATH_MONITOR_ARGUMENT_COUNT);
  check(parameters.pid > 0 && parameters.pid == strtol(arguments[1], nullptr, 10));
  check(strcmp(parameters.work_dir, arguments[2]) == 0);
  check(strcmp(parameters.account_id, arguments[3]) == 0);
  check(strcmp(parameters.jvm_id, arguments[4]) == 0);
  check(strcmp(parameters.session_id, arguments[5]) == 0);
  check(strcmp(parameters.collector.host, arguments[6]) == 0);
  check(parameters.collector.port >= 1 && parameters.collector.port <= 65535 &&
        parameters.collector.port == strtol(arguments[7], nullptr, 10));
  check(parameters.has_pattern == (strlen(arguments[8]) >= 2));
  check(strcmp(parameters.crash_log_pattern, parameters.has_pattern ? arguments[8] : "") == 0);
  const http_field fields[] = {
      {"accountId", parameters.account_id},
      {"jvmId", parameters.jvm_id},
      {"sessionId", parameters.session_id},
      {"type", "killed"},
      {nullptr, nullptr},
  };
  const http_field extra[] = {{"crashLog", arguments[8]}, {nullptr, nullptr}};
  build_and_check(parameters.collector.host, "/shutdown/termination", fields, extra);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::string copy(reinterpret_cast<const char *>(data), size);
  std::vector<char *> arguments;
  for (size_t start = 0; start <= size && arguments.size() < 16;) {
    arguments.push_back(copy.data() + start);
    size_t end = copy.find('\0', start);
    if (end == std::string::npos) break;
    start = end + 1;
  }
  int count = (int)arguments.size();
  arguments.push_back(nullptr);

  execute_mode mode = execute_parse_mode(arguments.data(), count);
  check(mode == EXECUTE_MODE_UNKNOWN || mode == EXECUTE_MODE_MONITOR || mode == EXECUTE_MODE_NOTIFY);
  check_notify(arguments.data(), count);
  check_monitor(arguments.data(), count);

  // The builder on its own, with the host argument as it came and the rest as query fields.
  if (count >= 2) {
    std::vector<http_field> fields;
    for (int i = 2; i < count; ++i) fields.push_back({"field", arguments[i]});
    fields.push_back({nullptr, nullptr});
    const http_field extra[] = {{"body", arguments[0]}, {nullptr, nullptr}};
    build_and_check(arguments[1], "/oom/notification", fields.data(), (data[0] & 1) != 0 ? extra : nullptr);
  }
  return 0;
}
