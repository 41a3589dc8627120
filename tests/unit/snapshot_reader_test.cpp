// The snapshot reader: the info file by sections, and the checks that bind it to the graph.
#include <gtest/gtest.h>

#include <string>

#include "snapshot/oom_writer.h"
#include "snapshot_reader.h"
#include "test_util.h"

namespace {

std::string header(const std::string &name) {
  char line[128];
  snprintf(line, sizeof line, "--- %-15s ---------------------------------\n", name.c_str());
  return line;
}

// An info file for two classes (ids 1 and 2) and two objects met by the walk (ids 3 and 4).
std::string info_text(int64_t objects = 5, int64_t references = 4) {
  std::string text = header("Metadata") + "Dump version: 5\nBuild number: 2106\nClass size type: partial\n";
  text += header("Allocation Points") +
          "     16777248               Ljava/lang/String; @                                    X.java:1\n";
  text += header("Classes");
  text += "            1 Ljava/lang/Object;\n";
  text += std::string(13, ' ') + "  #140 1 ()V <init>\n";
  text += "            2 [I\n";
  text += std::string(13, ' ') + "  . 2 I count\n";
  text += header("Class Sizes") + "            1 112\n            2 120\n";
  text += header("Threads") + "               1          3        5 main\nLMain;.main:3(0)\n";
  text += header("Classloaders") + "            4 123456\n";
  text += header("Summary");
  text += "Object count: " + std::to_string(objects) + "\nReference count: " + std::to_string(references) +
          "\nLocal reference count: 1\nClass reference count: 0\nClass count: 2\nClass max ID: 2\n";
  text += header("End");
  return text;
}

std::string graph_bytes() {
  std::string graph;
  uint8_t out[GRAPH_STACK_LOCAL_MAX];
  auto add = [&](size_t length) { graph.append(reinterpret_cast<const char *>(out), length); };
  add(oom_graph_encode_reference(out, 22, 0, 0, 1, true));  // the class object of class 1
  add(oom_graph_encode_object(out, 0, 1, 0));
  add(oom_graph_encode_stack_local(out, 140, 0, 0, 1, 0, 3, true));
  add(oom_graph_encode_object(out, 0x01000020, 1, 16));
  add(oom_graph_encode_reference(out, 2, 0, 3, 4, true));
  add(oom_graph_encode_object(out, 0, 2, 24));
  add(oom_graph_encode_reference(out, 3, 1, 4, 3, false));
  return graph;
}

snapshot_reader::GraphStats stats_of(const std::string &graph) {
  snapshot_reader::GraphStats stats;
  std::string error;
  EXPECT_TRUE(
      snapshot_reader::read_graph_stats(reinterpret_cast<const uint8_t *>(graph.data()), graph.size(), &stats, &error))
      << error;
  return stats;
}

TEST(SnapshotReader, InfoSectionsClassesAndSummary) {
  snapshot_reader::InfoFile info;
  std::string error;
  ASSERT_TRUE(snapshot_reader::parse_info(info_text(), &info, &error)) << error;
  EXPECT_EQ(info.sections, (std::vector<std::string>{"Metadata", "Allocation Points", "Classes", "Class Sizes",
                                                     "Threads", "Classloaders", "Summary", "End"}));
  EXPECT_TRUE(info.complete);
  EXPECT_EQ(info.metadata["Class size type"], "partial");
  ASSERT_EQ(info.classes.size(), 2u);
  EXPECT_EQ(info.classes[1].signature, "Ljava/lang/Object;");
  EXPECT_EQ(info.classes[1].methods, 1);
  EXPECT_EQ(info.classes[2].fields, 1);
  EXPECT_EQ(info.class_sizes[2], 120u);
  EXPECT_EQ(info.threads, 1);
  EXPECT_EQ(info.classloaders, 1);
  EXPECT_EQ(info.allocation_points, 1);
  EXPECT_EQ(info.summary["Object count"], 5);

  EXPECT_FALSE(snapshot_reader::parse_info("Dump version: 5\n", &info, &error));
  EXPECT_FALSE(snapshot_reader::parse_info(header("Classes") + "            x Lbad;\n", &info, &error));
  EXPECT_FALSE(
      snapshot_reader::parse_info(header("Classes") + "            1 LA;\n            1 LB;\n", &info, &error));
  EXPECT_TRUE(vt::contains(error, "listed twice")) << error;
  EXPECT_FALSE(snapshot_reader::parse_info(header("End") + "more\n", &info, &error));
}

TEST(SnapshotReader, AConsistentPairPassesAndEachMismatchIsNamed) {
  snapshot_reader::InfoFile info;
  std::string error;
  ASSERT_TRUE(snapshot_reader::parse_info(info_text(), &info, &error)) << error;
  snapshot_reader::GraphStats stats = stats_of(graph_bytes());
  EXPECT_EQ(stats.references, 4u);
  EXPECT_EQ(stats.objects, 3u);
  EXPECT_EQ(stats.classes[1].instances, 2u);
  EXPECT_EQ(stats.classes[1].shallow_bytes, 16u);
  std::vector<std::string> problems;
  EXPECT_TRUE(snapshot_reader::check_consistency(stats, info, &problems)) << testing::PrintToString(problems);

  // Counts that disagree with the Summary.
  ASSERT_TRUE(snapshot_reader::parse_info(info_text(6, 5), &info, &error));
  problems.clear();
  EXPECT_FALSE(snapshot_reader::check_consistency(stats, info, &problems));
  ASSERT_EQ(problems.size(), 2u) << testing::PrintToString(problems);
  EXPECT_TRUE(vt::contains(problems[0], "\"Reference count\" is 5 but the graph has 4")) << problems[0];
  EXPECT_TRUE(vt::contains(problems[1], "means 3 objects met by the walk, but the graph describes 2")) << problems[1];

  // An object of a class that is not listed, and an id beyond the object count.
  std::string graph = graph_bytes();
  uint8_t out[GRAPH_REFERENCE_MAX];
  graph.append(reinterpret_cast<const char *>(out), oom_graph_encode_reference(out, 2, 1, 4, 5, true));
  graph.append(reinterpret_cast<const char *>(out), oom_graph_encode_object(out, 0, 9, 16));
  ASSERT_TRUE(snapshot_reader::parse_info(info_text(5, 5), &info, &error));
  problems.clear();
  EXPECT_FALSE(snapshot_reader::check_consistency(stats_of(graph), info, &problems));
  std::string all = testing::PrintToString(problems);
  EXPECT_TRUE(vt::contains(all, "class id 9 of 1 objects is not a listed class")) << all;
  EXPECT_TRUE(vt::contains(all, "id 5 is not below the object count 5")) << all;

  // An info file cut before its end.
  std::string cut = info_text();
  cut.resize(cut.find("--- Summary"));
  ASSERT_TRUE(snapshot_reader::parse_info(cut, &info, &error));
  problems.clear();
  EXPECT_FALSE(snapshot_reader::check_consistency(stats, info, &problems));
  EXPECT_EQ(problems[0], "the info file does not end with the End section");
}

TEST(SnapshotReader, ProgramReportsADirectoryAndFailsOnAGraphCutShort) {
  vt::TempDir dir("vorkel-reader");
  vt::write_file(dir / "oom_info.txt", info_text());
  vt::write_file(dir / "oom_graph.bin", graph_bytes());
  snapshot_reader::Report report = snapshot_reader::read_directory(dir.path());
  EXPECT_TRUE(report.ok) << testing::PrintToString(report.problems);
  std::string text = snapshot_reader::format_report(report, 5);
  EXPECT_TRUE(vt::contains(text, "Snapshot is consistent.")) << text;
  EXPECT_TRUE(vt::contains(text, "  stack local                   1\n")) << text;
  // Ljava/lang/Object; has two instances (the class object and one walk object), [I the most bytes.
  size_t by_count = text.find("by instance count");
  size_t by_bytes = text.find("by shallow bytes");
  ASSERT_NE(by_bytes, std::string::npos);
  EXPECT_LT(text.find("Ljava/lang/Object;", by_count), text.find("[I", by_count));
  EXPECT_LT(text.find("[I", by_bytes), text.find("Ljava/lang/Object;", by_bytes));

  std::string graph = graph_bytes();
  vt::write_file(dir / "oom_graph.bin", graph.substr(0, graph.size() - 3));
  report = snapshot_reader::read_directory(dir.path());
  EXPECT_FALSE(report.ok);
  ASSERT_EQ(report.problems.size(), 1u);
  EXPECT_TRUE(vt::contains(report.problems[0], "cut off at the end of the file")) << report.problems[0];
}

}  // namespace
