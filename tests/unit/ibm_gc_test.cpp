// The J9 verbose-GC reader on malformed and hostile text: it stays inside the text it was given,
// refuses incomplete elements, and the subscriber queues only complete collections. The records'
// way to the Java half, with the ring and the name tables, is tested in a JVM (gc_test.cpp).
#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <memory>
#include <string>

#include "gc/ibm_gc.h"
#include "gc/ibm_gc_xml.h"

namespace {

const char *const MEM_NAMES[] = {"type", "free", "total", nullptr};

// Reads one element from a copy of exactly the text's size, so that a read past its end shows
// under AddressSanitizer.
bool read_element(const std::string &text, ibm_xml_value *values, size_t *consumed = nullptr) {
  std::unique_ptr<char[]> copy(new char[text.size() + 1]);
  memcpy(copy.get(), text.data(), text.size());
  ibm_xml_text rest{copy.get(), copy.get() + text.size()};
  bool complete = ibm_xml_consume_element(rest, "<mem ", MEM_NAMES, values);
  if (consumed != nullptr) *consumed = (size_t)(rest.cursor - copy.get());
  return complete;
}

size_t drain() {
  ibm_gc_record records[IBM_GC_QUEUE_SIZE];
  return ibm_gc_take_records(records, IBM_GC_QUEUE_SIZE);
}

void push(const std::string &record) { ibm_gc_subscriber(nullptr, record.c_str(), (jlong)record.size(), nullptr); }

std::string mem(const std::string &type, const std::string &free, const std::string &total) {
  return "<mem type=\"" + type + "\" free=\"" + free + "\" total=\"" + total + "\" percent=\"50\" />";
}

TEST(J9ElementReader, RefusesBrokenAttributesWithoutReadingPastTheText) {
  ibm_xml_value values[3];
  for (const char *broken : {"<mem type=\"a\" free=\"1\" total=\"2",     // value never closed
                             "<mem type=\"a\" free=\"1\" total=\"2\"",   // ends right after the quote
                             "<mem type=\"a\" free=1 total=\"2\" />",    // no quote after '='
                             "<mem type=\"a\" free=\"1\" total=\"2\" ",  // ends inside the element
                             "<mem type=\"a\" free=\"1\" total",         // name without '='
                             "<mem type=\"a\" free=\"1\" total=",        // '=' at the very end
                             "<mem-info type=\"a\" free=\"1\" total=\"2\" />"}) {
    EXPECT_FALSE(read_element(broken, values)) << broken;
  }
  // A '/' ends the attributes, but the element needs its '>'.
  EXPECT_FALSE(read_element("<mem type=\"a\" free=\"1\" total=\"2\" /", values));
}

TEST(J9ElementReader, MatchesNamesExactlyOnceAndCutsValues) {
  ibm_xml_value values[3];
  size_t consumed = 0;
  std::string element = "<mem xtype=\"no\" type=\"" + std::string(40, 'n') + "\" free=\"1\"\ttotal=\"2\"\r\n/>rest";
  EXPECT_TRUE(read_element(element, values, &consumed));
  EXPECT_EQ(std::string(values[0]), std::string(31, 'n'));
  EXPECT_STREQ(values[1], "1");
  EXPECT_STREQ(values[2], "2");
  EXPECT_EQ(element.substr(consumed), "rest");
  // A repeated attribute does not stand in for a missing one.
  EXPECT_FALSE(read_element("<mem type=\"a\" type=\"b\" free=\"1\" />", values));
  EXPECT_STREQ(values[0], "a");
  EXPECT_STREQ(values[2], "");
}

TEST(J9ElementReader, NumbersAreBase10AndHeldAtTheLimits) {
  EXPECT_EQ(ibm_xml_parse_long("12.75"), 12);
  EXPECT_EQ(ibm_xml_parse_long(""), 0);
  EXPECT_EQ(ibm_xml_parse_long("-42x"), -42);
  EXPECT_EQ(ibm_xml_parse_long("9223372036854775807"), std::numeric_limits<int64_t>::max());
  EXPECT_EQ(ibm_xml_parse_long("99999999999999999999999"), std::numeric_limits<int64_t>::max());
  EXPECT_EQ(ibm_xml_parse_long("-9223372036854775808"), std::numeric_limits<int64_t>::min());
  EXPECT_EQ(ibm_xml_parse_long("-99999999999999999999999"), std::numeric_limits<int64_t>::min());

  ibm_gc_memory_list list{};
  std::string text = mem("a", "-9223372036854775808", "9223372036854775807") + mem("b", "5", "-9223372036854775808");
  ibm_xml_text rest{text.data(), text.data() + text.size()};
  ASSERT_TRUE(ibm_xml_process_gc_mems(rest, list));
  EXPECT_EQ(list.pools[0].used, std::numeric_limits<int64_t>::max());
  EXPECT_EQ(list.pools[1].used, std::numeric_limits<int64_t>::min());
}

TEST(J9Subscriber, QueuesOnlyCompleteCollectionsWithinTheRecordLength) {
  drain();
  std::string pools =
      "<mem-info free=\"3\" total=\"8\">" + mem("nursery", "1", "4") + mem("tenure", "2", "4") + "</mem-info>";
  std::string start = "<gc-start id=\"1\" type=\"scavenge\">" + pools + "</gc-start>";
  std::string end = "<gc-end id=\"2\" type=\"scavenge\" durationms=\"3.5\">" + pools + "</gc-end>";
  push(start);
  push("<heap-resize id=\"3\" type=\"expand\" space=\"nursery\" amount=\"1\" />");  // closes it, no record
  push(end);
  EXPECT_EQ(drain(), 0u);

  push(start);
  push("<gc-end id=\"2\" type=\"scavenge\">" + pools + "</gc-end>");  // no durationms
  push(end);
  EXPECT_EQ(drain(), 0u);

  // Only the given length counts: the second pool lies beyond it.
  push(start);
  std::string cut = end + "junk";
  ibm_gc_subscriber(nullptr, cut.c_str(), (jlong)(end.find("<mem type=\"tenure\"")), nullptr);
  EXPECT_EQ(drain(), 0u);

  push("<af-start id=\"4\" />");
  push(start);
  push(end);
  ibm_gc_record record{};
  ASSERT_EQ(ibm_gc_take_records(&record, 1), 1u);
  EXPECT_STREQ(record.type, "scavenge");
  EXPECT_EQ(record.duration_ms, 3);
  EXPECT_EQ(record.in_allocation_failure, 1);
  EXPECT_EQ(record.before.pool_count, 2u);
  EXPECT_STREQ(record.before.pools[1].pool_name, "tenure");
  EXPECT_EQ(record.before.pools[1].used, 2);
  // The completed record ended the allocation failure.
  push(start);
  push(end);
  ASSERT_EQ(ibm_gc_take_records(&record, 1), 1u);
  EXPECT_EQ(record.in_allocation_failure, 0);
}

}  // namespace
