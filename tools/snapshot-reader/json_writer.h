// A small writer of JSON text: objects and arrays nested by begin and end calls, commas and
// escapes put in by the writer, numbers written the same way every time (the same input gives
// byte-identical output).
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace snapshot_reader {

class JsonWriter {
 public:
  JsonWriter &begin_object() { return open('{'); }
  JsonWriter &end_object() { return close('}'); }
  JsonWriter &begin_array() { return open('['); }
  JsonWriter &end_array() { return close(']'); }
  // The key of the next value inside an object.
  JsonWriter &key(std::string_view name) {
    separate();
    string_text(name);
    out_ += ':';
    after_key_ = true;
    return *this;
  }
  JsonWriter &value(std::string_view text) {
    separate();
    string_text(text);
    return *this;
  }
  JsonWriter &value(const char *text) { return value(std::string_view(text)); }
  JsonWriter &value(const std::string &text) { return value(std::string_view(text)); }
  JsonWriter &value(uint64_t number) { return raw(std::to_string(number)); }
  JsonWriter &value(int64_t number) { return raw(std::to_string(number)); }
  JsonWriter &value(uint32_t number) { return value((uint64_t)number); }
  JsonWriter &value(int32_t number) { return value((int64_t)number); }
  JsonWriter &value(bool flag) { return raw(flag ? "true" : "false"); }
  JsonWriter &null() { return raw("null"); }
  // A fraction with four decimals ("0.8321"), the form shares take.
  JsonWriter &fraction(double number) {
    char text[32];
    snprintf(text, sizeof text, "%.4f", number);
    return raw(text);
  }
  template <typename T>
  JsonWriter &field(std::string_view name, const T &v) {
    key(name);
    return value(v);
  }
  // The document, with a newline at its end.
  std::string text() const { return out_ + "\n"; }

 private:
  JsonWriter &open(char bracket) {
    separate();
    out_ += bracket;
    first_.push_back(true);
    return *this;
  }
  JsonWriter &close(char bracket) {
    out_ += bracket;
    first_.pop_back();
    return *this;
  }
  JsonWriter &raw(std::string_view text) {
    separate();
    out_ += text;
    return *this;
  }
  void separate() {
    if (after_key_) {
      after_key_ = false;
      return;
    }
    if (!first_.empty()) {
      if (!first_.back()) out_ += ',';
      first_.back() = false;
    }
  }
  // The length of a well-formed UTF-8 sequence at text[i] (0 when it is not one).
  static size_t utf8_length(std::string_view text, size_t i) {
    unsigned char c = (unsigned char)text[i];
    size_t length = c >= 0xF0 && c <= 0xF4 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 && c < 0xE0 ? 2 : 0;
    if (length == 0 || i + length > text.size()) return 0;
    for (size_t k = 1; k < length; ++k) {
      if (((unsigned char)text[i + k] & 0xC0) != 0x80) return 0;
    }
    unsigned char second = (unsigned char)text[i + 1];
    if ((c == 0xE0 && second < 0xA0) || (c == 0xED && second >= 0xA0) || (c == 0xF0 && second < 0x90) ||
        (c == 0xF4 && second >= 0x90)) {
      return 0;  // overlong, a surrogate, or beyond U+10FFFF
    }
    return length;
  }
  // Escapes quotes, backslashes and control characters; a byte that is not well-formed UTF-8
  // becomes U+FFFD.
  void string_text(std::string_view text) {
    out_ += '"';
    for (size_t i = 0; i < text.size(); ++i) {
      unsigned char c = (unsigned char)text[i];
      if (c >= 0x80) {
        size_t length = utf8_length(text, i);
        if (length == 0) {
          out_ += "\\ufffd";
        } else {
          out_.append(text.data() + i, length);
          i += length - 1;
        }
      } else if (c == '"' || c == '\\') {
        out_ += '\\';
        out_ += (char)c;
      } else if (c < 0x20 || c == 0x7F) {
        char code[8];
        snprintf(code, sizeof code, "\\u%04x", c);
        out_ += code;
      } else {
        out_ += (char)c;
      }
    }
    out_ += '"';
  }

  std::string out_;
  std::vector<bool> first_;
  bool after_key_ = false;
};

}  // namespace snapshot_reader
