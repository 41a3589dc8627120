// HTTP request heads and URL-encoded forms, as the collector reads them.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace collector {

using Fields = std::vector<std::pair<std::string, std::string>>;

struct RequestHead {
  std::string method, target, path, query, version;
  Fields headers;       // in order received
  Fields query_fields;  // decoded
  // The first header of that name (case-insensitive), "" when absent.
  std::string header(const std::string &name) const;
};

std::string url_decode(const std::string &text);
// "a=1&b=x+y" as decoded (name, value) pairs in order; a part without "=" has an empty value.
Fields parse_form(const std::string &text);
// Parses the head (request line and headers, without the blank line that ends it).
bool parse_head(const std::string &head, RequestHead &request);

}  // namespace collector
