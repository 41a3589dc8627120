#include "http_message.h"

#include <strings.h>

#include <cctype>

namespace collector {

std::string RequestHead::header(const std::string &name) const {
  for (const auto &[key, value] : headers) {
    if (strcasecmp(key.c_str(), name.c_str()) == 0) return value;
  }
  return "";
}

namespace {

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::string url_decode(const std::string &text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '+') {
      out += ' ';
    } else if (c == '%' && i + 2 < text.size() && hex_value(text[i + 1]) >= 0 && hex_value(text[i + 2]) >= 0) {
      out += (char)(hex_value(text[i + 1]) * 16 + hex_value(text[i + 2]));
      i += 2;
    } else {
      out += c;
    }
  }
  return out;
}

Fields parse_form(const std::string &text) {
  Fields fields;
  if (text.empty()) return fields;
  size_t start = 0;
  while (true) {
    size_t end = text.find('&', start);
    if (end == std::string::npos) end = text.size();
    std::string pair = text.substr(start, end - start);
    if (!pair.empty()) {
      size_t equals = pair.find('=');
      if (equals == std::string::npos)
        fields.emplace_back(url_decode(pair), "");
      else
        fields.emplace_back(url_decode(pair.substr(0, equals)), url_decode(pair.substr(equals + 1)));
    }
    if (end == text.size()) break;
    start = end + 1;
  }
  return fields;
}

bool parse_head(const std::string &head, RequestHead &request) {
  size_t line_end = head.find("\r\n");
  std::string line = head.substr(0, line_end);
  size_t first_space = line.find(' ');
  size_t last_space = line.rfind(' ');
  if (first_space == std::string::npos || last_space == first_space) return false;
  request.method = line.substr(0, first_space);
  request.target = line.substr(first_space + 1, last_space - first_space - 1);
  request.version = line.substr(last_space + 1);
  if (request.method.empty() || request.target.empty() || request.version.rfind("HTTP/", 0) != 0) return false;
  size_t question = request.target.find('?');
  request.path = request.target.substr(0, question);
  request.query = question == std::string::npos ? "" : request.target.substr(question + 1);
  request.query_fields = parse_form(request.query);
  size_t at = line_end == std::string::npos ? head.size() : line_end + 2;
  while (at < head.size()) {
    size_t end = head.find("\r\n", at);
    if (end == std::string::npos) end = head.size();
    std::string header_line = head.substr(at, end - at);
    size_t colon = header_line.find(':');
    if (colon == std::string::npos || colon == 0) return false;
    std::string value = header_line.substr(colon + 1);
    while (!value.empty() && (value[0] == ' ' || value[0] == '\t')) value.erase(0, 1);
    while (!value.empty() && (value.back() == ' ' || value.back() == '\t')) value.pop_back();
    request.headers.emplace_back(header_line.substr(0, colon), value);
    at = end + 2;
  }
  return true;
}

}  // namespace collector
