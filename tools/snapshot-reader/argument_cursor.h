// The arguments of a program's command line one at a time, as the programs built on this library
// (snapshot-reader, vorkel) read them: "--name=value" is the option with its value given inline;
// any other option that takes a value takes the next argument.
#pragma once

#include <string>

namespace snapshot_reader {

class ArgumentCursor {
 public:
  ArgumentCursor(int argc, char **argv) : argc_(argc), argv_(argv) {}

  // Moves to the next argument: false after the last.
  bool next() {
    if (++index_ >= argc_) return false;
    name_ = argv_[index_];
    size_t equals = name_.find('=');
    has_inline_ = name_.rfind("--", 0) == 0 && equals != std::string::npos;
    if (has_inline_) {
      inline_value_ = name_.substr(equals + 1);
      name_.resize(equals);
    }
    return true;
  }
  // The argument, without the inline value of a "--name=value".
  const std::string &name() const { return name_; }
  // The argument as it was given.
  const char *given() const { return argv_[index_]; }
  bool has_inline() const { return has_inline_; }
  // The option's value: the inline one, else the next argument (then passed over), else null.
  const char *value() {
    if (has_inline_) return inline_value_.c_str();
    return index_ + 1 < argc_ ? argv_[++index_] : nullptr;
  }

 private:
  int argc_;
  char **argv_;
  int index_ = 0;
  std::string name_, inline_value_;
  bool has_inline_ = false;
};

}  // namespace snapshot_reader
