#include "gc/ibm_gc_xml.h"

#include <cstring>
#include <limits>

namespace {

constexpr size_t MAX_NAMES = 8;

bool ibm_xml_is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

const char *ibm_xml_find(const char *from, const char *end, char wanted) {
  const void *found = memchr(from, wanted, (size_t)(end - from));
  return static_cast<const char *>(found);
}

void ibm_xml_copy_value(ibm_xml_value &slot, const char *value, size_t length) {
  if (length > IBM_XML_VALUE_SIZE - 1) length = IBM_XML_VALUE_SIZE - 1;
  memcpy(slot, value, length);
  slot[length] = '\0';
}

int64_t ibm_xml_saturating_difference(int64_t a, int64_t b) {
  int64_t result = 0;
  if (!__builtin_sub_overflow(a, b, &result)) return result;
  return b < 0 ? std::numeric_limits<int64_t>::max() : std::numeric_limits<int64_t>::min();
}

}  // namespace

bool ibm_xml_consume_element(ibm_xml_text &text, std::string_view element, const char *const *names,
                             ibm_xml_value *values) {
  size_t name_count = 0;
  while (names[name_count] != nullptr) values[name_count++][0] = '\0';
  std::string_view rest(text.cursor, (size_t)(text.end - text.cursor));
  size_t start = rest.find(element);
  if (element.empty() || start == std::string_view::npos) return false;

  // An attribute repeated in the element counts once: every name must be present.
  bool found[MAX_NAMES] = {};
  size_t matches = 0;
  const char *p = text.cursor + start + element.size();
  const char *end = text.end;
  for (;;) {
    while (p < end && ibm_xml_is_space(*p)) ++p;
    if (p == end) return false;
    if (*p == '>' || *p == '/') break;
    const char *equals = ibm_xml_find(p, end, '=');
    if (equals == nullptr || equals + 1 == end || equals[1] != '"') return false;
    const char *value = equals + 2;
    const char *quote = ibm_xml_find(value, end, '"');
    if (quote == nullptr) return false;
    std::string_view name(p, (size_t)(equals - p));
    for (size_t i = 0; i < name_count && i < MAX_NAMES; ++i) {
      if (!found[i] && name == names[i]) {
        ibm_xml_copy_value(values[i], value, (size_t)(quote - value));
        found[i] = true;
        ++matches;
        break;
      }
    }
    p = quote + 1;
    if (p == end) return false;
  }
  const char *close = ibm_xml_find(p, end, '>');
  if (close == nullptr) return false;
  text.cursor = close + 1;
  return matches == name_count;
}

bool ibm_xml_process_gc_mems(ibm_xml_text &text, ibm_gc_memory_list &list) {
  static const char *const names[] = {"type", "free", "total", nullptr};
  ibm_xml_value values[3];
  while (ibm_xml_consume_element(text, "<mem ", names, values)) {
    if (list.pool_count >= IBM_GC_MAX_POOLS) break;
    ibm_gc_pool &pool = list.pools[list.pool_count];
    size_t length = strnlen(values[0], IBM_GC_POOL_NAME_SIZE - 1);
    memcpy(pool.pool_name, values[0], length);
    pool.pool_name[length] = '\0';
    pool.total = ibm_xml_parse_long(values[2]);
    pool.used = ibm_xml_saturating_difference(pool.total, ibm_xml_parse_long(values[1]));
    ++list.pool_count;
  }
  return list.pool_count >= 2;
}

int64_t ibm_xml_parse_long(const char *text) {
  bool negative = *text == '-';
  if (*text == '-' || *text == '+') ++text;
  // Accumulated as a negative number, which reaches the lowest value exactly.
  constexpr int64_t lowest = std::numeric_limits<int64_t>::min();
  int64_t value = 0;
  for (; *text >= '0' && *text <= '9'; ++text) {
    int digit = *text - '0';
    if (value < (lowest + digit) / 10) {
      value = lowest;
      while (text[1] >= '0' && text[1] <= '9') ++text;
      break;
    }
    value = value * 10 - digit;
  }
  if (negative) return value;
  return value == lowest ? std::numeric_limits<int64_t>::max() : -value;
}
