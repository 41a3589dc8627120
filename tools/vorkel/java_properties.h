// The JVM's system properties as its attach mechanism lists them: the text of
// java.util.Properties.store (comment lines, "key=value" lines with backslash escapes).
#pragma once

#include <map>
#include <string>

namespace vorkel_command {

// Every key and value, unescaped (\uXXXX as UTF-8). A malformed escape is kept as it stands.
std::map<std::string, std::string> parse_java_properties(const std::string &text);

}  // namespace vorkel_command
