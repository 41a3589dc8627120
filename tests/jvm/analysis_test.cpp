// The snapshot analyser on snapshots of real JVMs: field names by the JVMTI field index (interfaces
// with fields, superclasses, statics), array elements, the suspects with their roots, weak
// referents left out, a ThreadLocal's path, and the verdicts of a leak and of a spike.
#include <gtest/gtest.h>

#include <set>

#include "analysis.h"
#include "findings.h"
#include "jvm_test.h"
#include "reference_strength.h"
#include "snapshot_load.h"
#include "text_reports.h"

namespace {

using namespace snapshot_reader;

class AnalysedSnapshot : public vt::JvmTest {
 protected:
  // Runs a scenario that takes one snapshot and analyses it as the program does.
  void take(const std::string &scenario, const std::vector<std::string> &jvm_flags) {
    results_ = run(home_, scenario, {.agent_options = "notifications=false", .jvm_flags = jvm_flags});
    EXPECT_RESULTS(results_, {{"taken", "true"}});
    std::vector<std::string> dirs = vt::entries_with_prefix(home_.work(), "oom_");
    ASSERT_EQ(dirs.size(), 1u);
    std::string error;
    ASSERT_TRUE(load_snapshot(dirs[0], &snapshot_, nullptr, &error)) << error;
    names_ = std::make_unique<FieldNames>(snapshot_.graph, snapshot_.info);
    mark_referents(&snapshot_.graph, snapshot_.info, *names_);
    compute_dominators(snapshot_.graph, &dominators_, nullptr);
    analysis_ = std::make_unique<Analysis>(Analysis{snapshot_.graph, dominators_, snapshot_.info, *names_});
  }
  vt::AgentHome home_;
  vt::Results results_;
  LoadedSnapshot snapshot_;
  Dominators dominators_;
  std::unique_ptr<FieldNames> names_;
  std::unique_ptr<Analysis> analysis_;
};
VT_JDK_TEST_SUITE(AnalysedSnapshot);

std::string vias(const std::vector<PathStep> &steps) {
  std::string text;
  for (const PathStep &step : steps) text += step.via + " ";
  return text;
}

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

// 30 MB only a static WeakReference reaches are left out; the worker thread's ThreadLocal is a
// leak whose path runs through the thread's map, never through a referent.
TEST_P(AnalysedSnapshot, WeakReferentsAreLeftOutAndAThreadLocalLeakReadsThroughItsMap) {
  ASSERT_NO_FATAL_FAILURE(take("AnalysisScenarios.weakAndThreadLocal", {"-Xms256m", "-Xmx256m"}));
  EXPECT_RESULTS(results_, {{"weak", "true"}});
  const Analysis &a = *analysis_;
  Findings findings = gather_findings(a, 0.10, 1);
  std::string text = format_findings(a, findings);
  EXPECT_GE(findings.weak.bytes[1], 30u << 20) << text;
  EXPECT_LT(a.heap(), 40u << 20) << text;
  ASSERT_GE(findings.suspects.size(), 2u) << text;
  const Suspect &session = findings.suspects[0];
  EXPECT_EQ(names_->describe_type(session.id), "java.lang.Thread") << text;
  EXPECT_GE(session.retained, 16u << 20) << text;
  std::string inside = vias(session.inside);
  EXPECT_EQ(inside.rfind(".threadLocals .table [", 0), 0u) << text;
  EXPECT_TRUE(vt::contains(inside, "] .value .elementData ")) << text;
  EXPECT_FALSE(vt::contains(vias(session.path.steps) + inside, "referent")) << text;
  EXPECT_EQ(names_->describe_type(findings.suspects[1].id), "java.util.ArrayList") << text;
  EXPECT_TRUE(vt::contains(vias(findings.suspects[1].path.steps), ".KEPT")) << text;
  for (const Suspect &s : findings.suspects) EXPECT_FALSE(vt::contains(names_->describe_type(s.id), "Reference"));
  EXPECT_EQ(findings.verdict.kind, Verdict::Kind::kLeak) << text;
}

// A request's locals hold 24 MB of a heap whose static holder has 4: the thread that took the
// snapshot comes first, its handleRequest frame holds the 24 MB, and the verdict is a spike.
TEST_P(AnalysedSnapshot, ARequestWhoseLocalsFillTheHeapIsASpike) {
  ASSERT_NO_FATAL_FAILURE(take("AnalysisScenarios.spike", {"-Xmx256m"}));
  const Analysis &a = *analysis_;
  Findings findings = gather_findings(a, 0.10, 1);
  std::string text = format_findings(a, findings);
  ASSERT_FALSE(findings.threads.empty());
  const ThreadRow &current = findings.threads[0];
  EXPECT_TRUE(current.current) << text;
  EXPECT_EQ(current.name, "main") << text;
  EXPECT_GE(current.retained, 24u << 20) << text;
  bool found = false;
  for (const FrameRow &frame : current.frames) {
    if (frame.method != "vorkel.test.AnalysisScenarios.handleRequest") continue;
    found = true;
    EXPECT_GE(frame.retained, 24u << 20) << text;
    EXPECT_GT(frame.line, 0) << text;
  }
  EXPECT_TRUE(found) << text;
  EXPECT_EQ(findings.verdict.kind, Verdict::Kind::kSpike) << text;
  EXPECT_EQ(findings.verdict.thread, current.java_id) << text;
}

}  // namespace
