#include "java_properties.h"

#include <cstdint>

namespace vorkel_command {

namespace {

void append_utf8(std::string *out, uint32_t code) {
  if (code < 0x80) {
    *out += (char)code;
  } else if (code < 0x800) {
    *out += (char)(0xC0 | (code >> 6));
    *out += (char)(0x80 | (code & 0x3F));
  } else {
    *out += (char)(0xE0 | (code >> 12));
    *out += (char)(0x80 | ((code >> 6) & 0x3F));
    *out += (char)(0x80 | (code & 0x3F));
  }
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The escape at text[at] (a backslash) appended to out; returns where the text goes on.
size_t unescape_at(const std::string &text, size_t at, std::string *out) {
  if (at + 1 >= text.size()) return at + 1;  // a lone backslash at the end of the line
  char c = text[at + 1];
  switch (c) {
    case 't':
      *out += '\t';
      return at + 2;
    case 'n':
      *out += '\n';
      return at + 2;
    case 'r':
      *out += '\r';
      return at + 2;
    case 'f':
      *out += '\f';
      return at + 2;
    case 'u': {
      uint32_t code = 0;
      for (size_t i = 0; i < 4; ++i) {
        int digit = at + 2 + i < text.size() ? hex_digit(text[at + 2 + i]) : -1;
        if (digit < 0) {
          out->append(text, at, 2);
          return at + 2;
        }
        code = code * 16 + (uint32_t)digit;
      }
      // A surrogate pair written as two escapes is one code point.
      if (code >= 0xD800 && code < 0xDC00 && at + 11 < text.size() && text.compare(at + 6, 2, "\\u") == 0) {
        uint32_t low = 0;
        bool ok = true;
        for (size_t i = 0; i < 4 && ok; ++i) {
          int digit = hex_digit(text[at + 8 + i]);
          ok = digit >= 0;
          low = low * 16 + (uint32_t)(ok ? digit : 0);
        }
        if (ok && low >= 0xDC00 && low < 0xE000) {
          uint32_t full = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
          *out += (char)(0xF0 | (full >> 18));
          *out += (char)(0x80 | ((full >> 12) & 0x3F));
          *out += (char)(0x80 | ((full >> 6) & 0x3F));
          *out += (char)(0x80 | (full & 0x3F));
          return at + 12;
        }
      }
      append_utf8(out, code);
      return at + 6;
    }
    default:
      *out += c;
      return at + 2;
  }
}

}  // namespace

std::map<std::string, std::string> parse_java_properties(const std::string &text) {
  std::map<std::string, std::string> properties;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    start = end + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    size_t at = line.find_first_not_of(" \t\f");
    if (at == std::string::npos || line[at] == '#' || line[at] == '!') continue;
    std::string key, value;
    // The key ends at the first unescaped '=', ':' or blank.
    while (at < line.size() && line[at] != '=' && line[at] != ':' && line[at] != ' ' && line[at] != '\t') {
      if (line[at] == '\\') {
        at = unescape_at(line, at, &key);
      } else {
        key += line[at++];
      }
    }
    while (at < line.size() && (line[at] == ' ' || line[at] == '\t')) ++at;
    if (at < line.size() && (line[at] == '=' || line[at] == ':')) ++at;
    while (at < line.size() && (line[at] == ' ' || line[at] == '\t')) ++at;
    while (at < line.size()) {
      if (line[at] == '\\') {
        at = unescape_at(line, at, &value);
      } else {
        value += line[at++];
      }
    }
    properties[key] = value;
  }
  return properties;
}

}  // namespace vorkel_command
