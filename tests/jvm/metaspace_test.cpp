// Class metadata sizes on current HotSpot against the JVM's own figures: plugins of records,
// lambdas and annotations and a loader of generated classes, summed per loader from a snapshot
// and compared with jcmd VM.metaspace of the moments before and after it (and, where the JVM has
// VM.classes, every klass size); and a loader leak that exhausts a bounded metaspace, whose
// metaspace report names the leaking loader first.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <map>
#include <regex>

#include "jvm_test.h"
#include "metaspace_report.h"
#include "snapshot_load.h"
#include "text_reports.h"

namespace {

using namespace snapshot_reader;

// The live bytes (used less the deallocated blocks that still count as used) of each loader in
// "jcmd VM.metaspace show-loaders scale=1", by the loader's class ("<boot>" for the boot loader);
// the class loader data of hidden classes count for the loader that defined them.
std::map<std::string, uint64_t> metaspace_by_loader_class(const std::string &text) {
  static const std::regex cld(R"(^\s*\d+: CLD 0x[0-9a-f]+: (.*)$)");
  static const std::regex usage(
      R"(^\s*(Non-Class|Class|Both):.*?(\d+) bytes \([^)]*\) used.*deallocated: \d+ blocks with (\d+) bytes)");
  std::map<std::string, uint64_t> live;
  std::string loader;
  uint64_t parts = 0;
  bool both = false;
  auto finish = [&] {
    if (!loader.empty()) live[loader] += parts;
    loader.clear();
    parts = 0;
    both = false;
  };
  for (const std::string &line : vt::split_lines(text)) {
    std::smatch match;
    if (std::regex_match(line, match, cld)) {
      finish();
      std::string name = match[1];
      size_t instance = name.find(" instance of ");
      loader = name.find("\"<bootstrap>\"") != std::string::npos && instance == std::string::npos
                   ? "<boot>"
                   : name.substr(instance + 13, name.find(',', instance) - instance - 13);
    } else if (!loader.empty() && std::regex_search(line, match, usage) && !both) {
      uint64_t bytes = std::stoull(match[2]) - std::stoull(match[3]);
      if (match[1] == "Both") {
        parts = bytes;
        both = true;
      } else {
        parts += bytes;
      }
    } else if (line.rfind("Total Usage", 0) == 0) {
      finish();
    }
  }
  finish();
  return live;
}

// "KlassAddr Size State Flags ClassName" of jcmd VM.classes: the klass size in words by class name,
// for the names that occur once.
std::map<std::string, uint64_t> klass_words(const std::string &text) {
  static const std::regex row(R"(^0x[0-9a-f]+\s+(\d+)\s+\S+\s+\S*\s+(\S+)\s*$)");
  std::map<std::string, uint64_t> words;
  std::map<std::string, int> seen;
  for (const std::string &line : vt::split_lines(text)) {
    std::smatch match;
    if (!std::regex_match(line, match, row)) continue;
    std::string name = match[2];
    if (++seen[name] == 1) {
      words[name] = std::stoull(match[1]);
    } else {
      words.erase(name);
    }
  }
  return words;
}

struct LoadedAnalysis {
  LoadedSnapshot snapshot;
  Dominators dominators;
  std::unique_ptr<FieldNames> names;
  std::unique_ptr<Analysis> analysis;

  bool load(const std::string &dir, std::string *error) {
    if (!load_snapshot(dir, &snapshot, nullptr, error)) return false;
    compute_dominators(snapshot.graph, &dominators, nullptr);
    names = std::make_unique<FieldNames>(snapshot.graph, snapshot.info);
    analysis = std::make_unique<Analysis>(Analysis{snapshot.graph, dominators, snapshot.info, *names});
    return true;
  }
};

class MetaspaceJvm : public vt::JvmTest {};
VT_JDK_TEST_SUITE(MetaspaceJvm);

TEST_P(MetaspaceJvm, PerLoaderSumsMatchTheJvmsOwnFiguresAndEveryKlassSizeItsVmClassesSize) {
  VT_ONLY_ON_JDK(jdk.major >= 17);
  vt::AgentHome home;
  constexpr int generated = 2000;
  auto results = run(home, "Metaspace.plugins",
                     {.agent_options = "notifications=false",
                      .jvm_flags = {"-Xmx256m"},
                      .args = {std::to_string(generated), home.work()}});
  EXPECT_RESULTS(results, {{"taken", "true"}, {"jcmd_VM.metaspace", "0"}, {"kept", std::to_string(generated + 3)}});
  std::vector<std::string> dirs = vt::entries_with_prefix(home.work(), "oom_");
  ASSERT_EQ(dirs.size(), 1u);
  LoadedAnalysis loaded;
  std::string error;
  ASSERT_TRUE(loaded.load(dirs[0], &error)) << error;
  const InfoFile &info = loaded.snapshot.info;
  EXPECT_EQ(info.metadata.at("Hotspot symbols"), "available");
  EXPECT_EQ(info.metadata.at("Class size type"), "full");
  for (const auto &[id, parts] : info.class_metadata) {
    EXPECT_EQ(parts.unreadable, "") << info.classes.at(id).signature;
    EXPECT_EQ(parts.metaspace + parts.shared,
              parts.klass + parts.constants + parts.methods + parts.fields + parts.other)
        << info.classes.at(id).signature;
  }

  MetaspaceReport report = metaspace_report(*loaded.analysis, SIZE_MAX);
  std::map<std::string, uint64_t> before =
      metaspace_by_loader_class(vt::read_file(home.work() + "/metaspace-before.txt"));
  std::map<std::string, uint64_t> after =
      metaspace_by_loader_class(vt::read_file(home.work() + "/metaspace-after.txt"));
  printf("%-52s %12s %12s %12s %8s\n", "loader", "ours", "VM before", "VM after", "ratio");
  size_t compared = 0;
  for (const LoaderRow &row : report.loaders) {
    uint64_t theirs = after[row.loader_class];
    double ratio = theirs == 0 ? 0 : (double)row.metaspace / (double)theirs;
    printf("%-52s %12llu %12llu %12llu %8.4f\n", row.loader_class.c_str(), (unsigned long long)row.metaspace,
           (unsigned long long)before[row.loader_class], (unsigned long long)theirs, ratio);
    if (before[row.loader_class] < 64 * 1024) continue;
    ++compared;
    // The snapshot lies between the two figures; compilations may add method data meanwhile.
    double low = (double)std::min(before[row.loader_class], theirs),
           high = (double)std::max(before[row.loader_class], theirs);
    EXPECT_GE((double)row.metaspace, 0.97 * low) << row.loader_class;
    EXPECT_LE((double)row.metaspace, 1.03 * high) << row.loader_class;
  }
  printf("%-52s %12llu %12llu %12llu  (archive: %llu more)\n", "<boot>", (unsigned long long)report.boot.metaspace,
         (unsigned long long)before["<boot>"], (unsigned long long)after["<boot>"],
         (unsigned long long)report.boot.shared);
  EXPECT_EQ(compared, 2u) << "the generated classes' loader and the application loader are above 64 KiB";
  auto generated_loader = std::find_if(report.loaders.begin(), report.loaders.end(), [](const LoaderRow &row) {
    return row.loader_class == "vorkel.test.Metaspace$GeneratedLoader";
  });
  ASSERT_NE(generated_loader, report.loaders.end());
  EXPECT_EQ(generated_loader->classes, (uint64_t)generated);
  EXPECT_TRUE(generated_loader->path.found);
  EXPECT_GT(report.boot.shared, report.boot.metaspace) << "most of the boot loader's classes are archived";

  // The klass part of every class is the klass size the JVM gives (JDK 21 and later).
  if (jdk().major < 21) return;
  std::map<std::string, uint64_t> words = klass_words(vt::read_file(home.work() + "/classes.txt"));
  size_t matched = 0;
  for (const auto &[id, parts] : info.class_metadata) {
    auto found = words.find(java_class_name(info.classes.at(id).signature));
    if (found == words.end()) continue;
    ++matched;
    EXPECT_EQ(parts.klass, found->second * 8) << found->first;
  }
  EXPECT_GT(matched, (size_t)generated);
}

TEST_P(MetaspaceJvm, ALoaderLeakThatExhaustsMetaspaceHasTheLeakingLoaderFirst) {
  VT_ONLY_ON_JDK(jdk.major >= 17);
  vt::AgentHome home;
  auto results =
      run(home, "Metaspace.leak", {.agent_options = "notifications=false", .jvm_flags = {"-XX:MaxMetaspaceSize=32m"}});
  EXPECT_RESULTS(results, {{"error", "Metaspace"}});
  std::vector<std::string> dirs = vt::entries_with_prefix(home.work(), "oom_");
  ASSERT_EQ(dirs.size(), 1u);
  LoadedAnalysis loaded;
  std::string error;
  ASSERT_TRUE(loaded.load(dirs[0], &error)) << error;
  MetaspaceReport report = metaspace_report(*loaded.analysis, 5);
  std::string text = format_metaspace(*loaded.analysis, report);
  printf("%s", text.c_str());

  const std::string leaking = "vorkel.test.Metaspace$DeploymentLoader";
  ASSERT_FALSE(report.by_class.empty()) << text;
  EXPECT_EQ(report.by_class[0].loader_class, leaking) << text;
  uint64_t deployments = report.by_class[0].loaders;
  EXPECT_EQ(std::to_string(deployments), results["leaked"]);
  EXPECT_GT(report.by_class[0].metaspace, 24u << 20) << text;
  ASSERT_FALSE(report.loaders.empty());
  EXPECT_EQ(report.loaders[0].loader_class, leaking);
  ASSERT_FALSE(report.duplicates.empty());
  EXPECT_EQ(report.duplicates[0].loaders.size(), deployments) << text;
  EXPECT_EQ(report.duplicates[0].signature.rfind("Lvorkel/deployed/Handler", 0), 0u) << text;
  // All but the deployment being made hang on the registry's array, which a frame of main holds.
  ASSERT_FALSE(report.held.empty()) << text;
  const HeldLoaders &held = report.held[0];
  EXPECT_EQ(held.loader_class, leaking);
  EXPECT_GE(held.loaders.size() + 1, deployments) << text;
  EXPECT_EQ(loaded.names->describe_type(held.holder), "java.lang.Object[]");
  ASSERT_TRUE(held.path.found);
  EXPECT_EQ(held.path.root_kind, 24u) << text;
  EXPECT_EQ(held.path.steps.back().via, ".elementData") << text;
}

}  // namespace
