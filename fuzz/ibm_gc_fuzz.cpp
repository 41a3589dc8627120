// The J9 verbose-GC subscriber on arbitrary input: the input is a sequence of records separated by
// NUL bytes, each handed over in a buffer of exactly its size (bounded by its length, or
// NUL-terminated with no length when the first byte is odd), followed by the element reader on
// the raw input. Every queued record must keep its fixed-size fields terminated and within bounds.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "core/hires_time.h"
#include "gc/ibm_gc.h"
#include "gc/ibm_gc_xml.h"

namespace {

void check(bool condition) {
  if (!condition) abort();
}

void check_list(const ibm_gc_memory_list &list) {
  check(list.pool_count >= 2 && list.pool_count <= IBM_GC_MAX_POOLS);
  for (uint64_t i = 0; i < list.pool_count; ++i) {
    check(memchr(list.pools[i].pool_name, '\0', IBM_GC_POOL_NAME_SIZE) != nullptr);
  }
}

void push(const char *text, size_t size, bool terminated) {
  // A length of 0 means "no length": such a record must end in a NUL.
  if (size == 0) terminated = true;
  char *record = static_cast<char *>(malloc(size + (terminated ? 1 : 0)));
  if (record == nullptr) return;
  memcpy(record, text, size);
  if (terminated) record[size] = '\0';
  check(ibm_gc_subscriber(nullptr, record, terminated ? 0 : (jlong)size, nullptr) == JVMTI_ERROR_NONE);
  free(record);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  hires_conversions_initialise();
  ibm_gc_pre_initialise();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  // Each input starts with no collection open and no allocation failure.
  push("<heap-resize />", 15, true);
  push("<af-end />", 10, true);
  ibm_gc_record drained[IBM_GC_QUEUE_SIZE];
  ibm_gc_take_records(drained, IBM_GC_QUEUE_SIZE);

  const char *text = reinterpret_cast<const char *>(data);
  bool terminated = size > 0 && (data[0] & 1) != 0;
  size_t start = 0;
  for (size_t i = 0; i <= size; ++i) {
    if (i == size || data[i] == '\0') {
      push(text + start, i - start, terminated);
      start = i + 1;
    }
  }
  size_t count = ibm_gc_take_records(drained, IBM_GC_QUEUE_SIZE);
  check(count <= IBM_GC_QUEUE_SIZE);
  for (size_t r = 0; r < count; ++r) {
    check(drained[r].valid == 0);
    check(memchr(drained[r].type, '\0', IBM_GC_TYPE_SIZE) != nullptr);
    check(drained[r].in_allocation_failure <= 1);
    check_list(drained[r].before);
    check_list(drained[r].after);
  }

  // The element reader alone, over the raw bytes, bounded by their size.
  char *copy = static_cast<char *>(malloc(size > 0 ? size : 1));
  if (copy == nullptr) return 0;
  memcpy(copy, data, size);
  static const char *const names[] = {"type", "free", "total", nullptr};
  ibm_xml_value values[3];
  ibm_xml_text rest{copy, copy + size};
  while (rest.cursor < rest.end) {
    const char *before = rest.cursor;
    bool complete = ibm_xml_consume_element(rest, "<mem ", names, values);
    for (const ibm_xml_value &value : values) check(memchr(value, '\0', IBM_XML_VALUE_SIZE) != nullptr);
    check(rest.cursor >= before && rest.cursor <= rest.end);
    if (!complete && rest.cursor == before) break;
  }
  ibm_gc_memory_list list{};
  ibm_xml_text mems{copy, copy + size};
  if (ibm_xml_process_gc_mems(mems, list)) check_list(list);
  check(list.pool_count <= IBM_GC_MAX_POOLS);
  free(copy);
  return 0;
}
