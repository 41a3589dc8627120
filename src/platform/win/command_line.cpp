#include "platform/win/command_line.h"

#include "platform/platform_log.h"
#include "base/string_util.h"

namespace {

bool command_line_needs_quotes(const char *argument, bool quote_comma) {
  if (argument[0] == '\0') return true;
  for (const char *p = argument; *p != '\0'; ++p) {
    if (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\v' || *p == '"' || (quote_comma && *p == ',')) return true;
  }
  return false;
}

void command_line_append_backslashes(appendable *buffer, size_t count) {
  for (size_t i = 0; i < count; ++i) appendable_write_char(buffer, '\\');
}

}  // namespace

bool command_line_append_argument(appendable *buffer, const char *argument, bool quote_comma) {
  if (argument == nullptr) argument = "";
  if (!command_line_needs_quotes(argument, quote_comma)) {
    appendable_write(buffer, "%s", argument);
    return buffer->state == APPENDABLE_GOOD;
  }
  appendable_write_char(buffer, '"');
  for (const char *p = argument;; ++p) {
    size_t backslashes = 0;
    while (*p == '\\') {
      ++backslashes;
      ++p;
    }
    if (*p == '\0') {
      // The closing quote must not be escaped by the argument's own trailing backslashes.
      command_line_append_backslashes(buffer, backslashes * 2);
      break;
    }
    if (*p == '"') {
      command_line_append_backslashes(buffer, backslashes * 2 + 1);
    } else {
      command_line_append_backslashes(buffer, backslashes);
    }
    appendable_write_char(buffer, *p);
  }
  appendable_write_char(buffer, '"');
  return buffer->state == APPENDABLE_GOOD;
}

bool command_line_build(char *buffer, size_t size, char *const arguments[], int raw_index) {
  appendable line;
  appendable_init(&line, buffer, size);
  appendable_write(&line, "vorkel");
  for (int i = 0; arguments != nullptr && arguments[i] != nullptr; ++i) {
    appendable_write_char(&line, ' ');
    if (i == raw_index && arguments[i][0] != '\0')
      appendable_write(&line, "%s", arguments[i]);
    else
      command_line_append_argument(&line, arguments[i], false);
  }
  if (line.state != APPENDABLE_GOOD) {
    platform_log_error("%s (%s:%d)", "Argument buffer too small.", "create_process_special", 79);
    return false;
  }
  return true;
}

bool command_line_rundll_target(char *buffer, size_t size, const char *library_path) {
  appendable target;
  appendable_init(&target, buffer, size);
  command_line_append_argument(&target, library_path, true);
  appendable_write_char(&target, ',');
  command_line_append_argument(&target, "agent_win32_entry", true);
  return target.state == APPENDABLE_GOOD;
}
