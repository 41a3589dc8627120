#include "json.h"

#include <cstdint>
#include <cstring>

namespace collector {
namespace {

constexpr int kMaxDepth = 64;

struct Reader {
  const std::string &text;
  size_t at = 0;

  void skip_space() {
    while (at < text.size() && (text[at] == ' ' || text[at] == '\t' || text[at] == '\n' || text[at] == '\r')) ++at;
  }
  bool take(char c) {
    skip_space();
    if (at < text.size() && text[at] == c) {
      ++at;
      return true;
    }
    return false;
  }
  bool word(const char *literal) {
    size_t length = strlen(literal);
    if (text.compare(at, length, literal) != 0) return false;
    at += length;
    return true;
  }

  static void append_utf8(std::string &out, uint32_t code) {
    if (code < 0x80) {
      out += (char)code;
    } else if (code < 0x800) {
      out += (char)(0xC0 | (code >> 6));
      out += (char)(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
      out += (char)(0xE0 | (code >> 12));
      out += (char)(0x80 | ((code >> 6) & 0x3F));
      out += (char)(0x80 | (code & 0x3F));
    } else {
      out += (char)(0xF0 | (code >> 18));
      out += (char)(0x80 | ((code >> 12) & 0x3F));
      out += (char)(0x80 | ((code >> 6) & 0x3F));
      out += (char)(0x80 | (code & 0x3F));
    }
  }

  bool hex4(uint32_t &code) {
    if (at + 4 > text.size()) return false;
    code = 0;
    for (int i = 0; i < 4; ++i) {
      char c = text[at++];
      code <<= 4;
      if (c >= '0' && c <= '9')
        code |= (uint32_t)(c - '0');
      else if (c >= 'a' && c <= 'f')
        code |= (uint32_t)(c - 'a' + 10);
      else if (c >= 'A' && c <= 'F')
        code |= (uint32_t)(c - 'A' + 10);
      else
        return false;
    }
    return true;
  }

  bool string(std::string &out) {
    if (at >= text.size() || text[at] != '"') return false;
    ++at;
    while (at < text.size()) {
      unsigned char c = (unsigned char)text[at++];
      if (c == '"') return true;
      if (c < 0x20) return false;
      if (c != '\\') {
        out += (char)c;
        continue;
      }
      if (at >= text.size()) return false;
      char escape = text[at++];
      switch (escape) {
        case '"':
          out += '"';
          break;
        case '\\':
          out += '\\';
          break;
        case '/':
          out += '/';
          break;
        case 'b':
          out += '\b';
          break;
        case 'f':
          out += '\f';
          break;
        case 'n':
          out += '\n';
          break;
        case 'r':
          out += '\r';
          break;
        case 't':
          out += '\t';
          break;
        case 'u': {
          uint32_t code;
          if (!hex4(code)) return false;
          if (code >= 0xD800 && code < 0xDC00) {
            uint32_t low;
            if (!word("\\u") || !hex4(low) || low < 0xDC00 || low >= 0xE000) return false;
            code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
          } else if (code >= 0xDC00 && code < 0xE000) {
            return false;
          }
          append_utf8(out, code);
          break;
        }
        default:
          return false;
      }
    }
    return false;
  }

  bool number(std::string &out) {
    size_t start = at;
    if (at < text.size() && text[at] == '-') ++at;
    auto digits = [&] {
      size_t first = at;
      while (at < text.size() && text[at] >= '0' && text[at] <= '9') ++at;
      return at > first;
    };
    if (!digits()) return false;
    if (at < text.size() && text[at] == '.') {
      ++at;
      if (!digits()) return false;
    }
    if (at < text.size() && (text[at] == 'e' || text[at] == 'E')) {
      ++at;
      if (at < text.size() && (text[at] == '+' || text[at] == '-')) ++at;
      if (!digits()) return false;
    }
    out = text.substr(start, at - start);
    return true;
  }

  bool value(JsonValue &out, int depth) {
    if (depth > kMaxDepth) return false;
    skip_space();
    if (at >= text.size()) return false;
    char c = text[at];
    if (c == '{') {
      ++at;
      out.kind = JsonValue::Kind::object;
      if (take('}')) return true;
      do {
        skip_space();
        std::string name;
        if (!string(name) || !take(':')) return false;
        out.members.emplace_back(std::move(name), JsonValue{});
        if (!value(out.members.back().second, depth + 1)) return false;
      } while (take(','));
      return take('}');
    }
    if (c == '[') {
      ++at;
      out.kind = JsonValue::Kind::array;
      if (take(']')) return true;
      do {
        out.items.emplace_back();
        if (!value(out.items.back(), depth + 1)) return false;
      } while (take(','));
      return take(']');
    }
    if (c == '"') {
      out.kind = JsonValue::Kind::string;
      return string(out.text);
    }
    if (word("true")) {
      out.kind = JsonValue::Kind::boolean;
      out.boolean = true;
      return true;
    }
    if (word("false")) {
      out.kind = JsonValue::Kind::boolean;
      return true;
    }
    if (word("null")) {
      out.kind = JsonValue::Kind::null;
      return true;
    }
    out.kind = JsonValue::Kind::number;
    return number(out.text);
  }
};

}  // namespace

bool parse_json(const std::string &text, JsonValue &value, size_t *error_at) {
  Reader reader{text};
  value = JsonValue{};
  bool parsed = reader.value(value, 0);
  reader.skip_space();
  if (parsed && reader.at == text.size()) return true;
  if (error_at != nullptr) *error_at = reader.at;
  value = JsonValue{};
  return false;
}

}  // namespace collector
