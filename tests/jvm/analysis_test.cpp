// The snapshot analyser on snapshots of real JVMs: field names by the JVMTI field index (interfaces
// with fields, superclasses, statics), array elements, and the suspects with their roots.
#include <gtest/gtest.h>

#include <set>

#include "analysis.h"
#include "jvm_test.h"
#include "snapshot_load.h"
#include "text_reports.h"

namespace {

using namespace snapshot_reader;

class AnalysedSnapshot : public vt::JvmTest {};
VT_JDK_TEST_SUITE(AnalysedSnapshot);

TEST_P(AnalysedSnapshot, FieldsAreNamedByTheirJvmtiIndexAndBothSuspectsHaveTheirRoots) {
  vt::AgentHome home;
  auto results =
      run(home, "AnalysisScenarios.fieldsAndRoots", {.agent_options = "notifications=false", .jvm_flags = {"-Xmx64m"}});
  EXPECT_RESULTS(results, {{"interfaces", "true"}, {"taken", "true"}});
  std::vector<std::string> dirs = vt::entries_with_prefix(home.work(), "oom_");
  ASSERT_EQ(dirs.size(), 1u);
  LoadedSnapshot snapshot;
  std::string error;
  ASSERT_TRUE(load_snapshot(dirs[0], &snapshot, nullptr, &error)) << error;
  Dominators dominators;
  compute_dominators(snapshot.graph, &dominators, nullptr);
  FieldNames names(snapshot.graph, snapshot.info);
  Analysis analysis{snapshot.graph, dominators, snapshot.info, names};

  // Every field and static field reference of the scenario's own objects and classes, named.
  const HeapGraph &graph = snapshot.graph;
  const std::string prefix = "vorkel.test.AnalysisScenarios";
  std::set<std::string> named;
  for (uint32_t id = 1; id < graph.node_count; ++id) {
    std::string type = names.describe_type(id);
    if (type.find(prefix) == std::string::npos) continue;
    for (uint32_t e = graph.first[id]; e < graph.first[id] + graph.degree[id]; ++e) {
      unsigned kind = edge_kind(graph.label[e]);
      if (kind != 2 && kind != 8) continue;
      named.insert(type.substr(type.find(prefix) + prefix.size()) + names.edge_name(id, e) + " -> " +
                   names.describe_type(graph.target[e]));
    }
  }
  std::set<std::string> expected{"$Holder.baseRef -> short[]",
                                 "$Holder.first -> long[]",
                                 "$Holder.second -> java.lang.Object[]",
                                 "$Holder.holderStatic -> char[]",
                                 "$Limits.DEFAULT_LIMIT -> int[]",
                                 "$Named.PREFIX -> java.lang.String",
                                 ".holder -> vorkel.test.AnalysisScenarios$Holder"};
  EXPECT_EQ(named, expected);

  std::vector<Suspect> suspects = find_suspects(analysis);
  std::string text = format_suspects(analysis, suspects, 0.10);
  ASSERT_GE(suspects.size(), 2u) << text;
  const Suspect &holder = suspects[0];
  EXPECT_EQ(names.describe_type(holder.id), prefix + "$Holder") << text;
  EXPECT_GE(holder.retained, 4u << 20);
  EXPECT_LT(holder.retained, (4u << 20) + 4096);
  ASSERT_TRUE(holder.path.found) << text;
  EXPECT_EQ(holder.path.steps.back().via, ".holder") << text;
  ASSERT_EQ(holder.inside.size(), 2u) << text;
  EXPECT_EQ(holder.inside[0].via, ".second");
  EXPECT_EQ(holder.inside[1].via, "[2]");
  EXPECT_EQ(names.describe_type(holder.inside[1].id), "double[]");

  const Suspect &local = suspects[1];
  EXPECT_EQ(names.describe_type(local.id), "byte[]") << text;
  EXPECT_GE(local.retained, 3u << 20);
  EXPECT_EQ(local.path.root_kind, 24u) << text;
  EXPECT_EQ(local.path.thread.rfind("\"main\" (id ", 0), 0u) << text;
  EXPECT_EQ(local.path.frame.rfind(prefix + ".fieldsAndRoots (frame ", 0), 0u) << text;
}

}  // namespace
