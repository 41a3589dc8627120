// The analyser's metaspace report on a hand-made snapshot: class-size records with the parts of
// the metadata, loaders joined through the graph and through the records' loader addresses,
// duplicates, and the loaders that one object outside them keeps alive.
#include <gtest/gtest.h>

#include <cstdio>

#include "metaspace_report.h"
#include "snapshot_load.h"
#include "snapshot_maker.h"
#include "test_util.h"

namespace {

using namespace snapshot_reader;

TEST(MetaspaceRecords, PartsFollowTheSizeAndUnknownKeysAreLeft) {
  auto info_with = [](const std::string &record, InfoFile *info, std::string *error) {
    vt::SnapshotMaker m;
    m.add_class("LA;");
    std::string text = m.info();
    text.replace(text.find("            1 0\n"), 16, "            1 0 " + record + "\n");
    return parse_info(text, info, error);
  };
  InfoFile info;
  std::string error;
  ASSERT_TRUE(
      info_with("metaspace=40 shared=8 klass=24 constants=8 methods=8 fields=4 other=4 loader=0x7f10 "
                "unreadable=methods,annotations later=1",
                &info, &error))
      << error;
  const ClassMetadata &parts = info.class_metadata[1];
  EXPECT_EQ(parts.metaspace, 40u);
  EXPECT_EQ(parts.shared, 8u);
  EXPECT_EQ(parts.klass + parts.constants + parts.methods + parts.fields + parts.other, 48u);
  EXPECT_EQ(parts.unreadable, "methods,annotations");
  EXPECT_TRUE(parts.has_loader);
  EXPECT_EQ(parts.loader, 0x7f10u);
  for (const char *bad : {"metaspace=x", "metaspace=-8", "loader=12", "loader=0x", "klass"}) {
    EXPECT_FALSE(info_with(bad, &info, &error)) << bad;
  }
}

// App's static registry holds an array with an instance of Plugin from loader A; loader B, which
// defines a Plugin of its own, is a JNI global; a hidden class of A is in no graph edge, and one
// of a loader the graph does not name.
TEST(MetaspaceReport, LoadersByClassDuplicatesAndTheLoaderOneArrayHolds) {
  vt::SnapshotMaker m;
  m.add_class("Ljava/lang/Class;");
  uint32_t app_loader_class = m.add_class("Ljdk/internal/loader/ClassLoaders$AppClassLoader;");
  uint32_t plugin_loader_class = m.add_class("LPluginLoader;");
  uint32_t app = m.add_class("LApp;", {"static registry"});
  uint32_t plugin_a = m.add_class("LPlugin;"), plugin_b = m.add_class("LPlugin;");
  uint32_t hidden = m.add_class("LPlugin$$Lambda+0x0000000001000a00;");
  uint32_t array = m.add_class("[Ljava/lang/Object;");
  uint32_t orphan = m.add_class("LOrphan$$Lambda+0x0000000001000b00;");
  uint32_t string = m.add_class("Ljava/lang/String;");
  uint32_t app_loader = m.add_object(app_loader_class, 96);
  uint32_t loader_a = m.add_object(plugin_loader_class, 96), loader_b = m.add_object(plugin_loader_class, 96);
  uint32_t registry = m.add_object(array, 32);
  uint32_t instance_a = m.add_object(plugin_a, 16), instance_b = m.add_object(plugin_b, 16);
  m.root(app, 22);
  m.root(string, 22);
  m.ref(app, app_loader, 4);
  m.ref(plugin_loader_class, app_loader, 4);
  m.ref(app, registry, 8, 0);
  m.ref(registry, instance_a, 3, 0);
  m.ref(plugin_a, loader_a, 4);
  m.root(loader_b, 21);
  m.ref(loader_b, instance_b, 2, 0);
  m.ref(plugin_b, loader_b, 4);

  const std::map<uint32_t, std::string> records = {
      {app, "metaspace=1000 loader=0xa00"},           {plugin_loader_class, "metaspace=800 loader=0xa00"},
      {plugin_a, "metaspace=5000 loader=0xa1"},       {plugin_b, "metaspace=5000 loader=0xb1"},
      {hidden, "metaspace=700 loader=0xa1"},          {orphan, "metaspace=300 loader=0xff"},
      {string, "metaspace=0 shared=2000 loader=0x0"},
  };
  std::string text = m.info();
  for (const auto &[id, parts] : records) {
    char line[32];
    snprintf(line, sizeof line, "%13u 0\n", id);
    text.replace(text.find(line), strlen(line), std::string(line, strlen(line) - 1) + " " + parts + "\n");
  }
  LoadedSnapshot snapshot;
  std::string error;
  ASSERT_TRUE(parse_info(text, &snapshot.info, &error)) << error;
  const std::string &bytes = m.graph();
  ASSERT_TRUE(build_graph(reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size(),
                          graph_limits(snapshot.info, bytes.size()), bytes.size(), &snapshot.graph, &error))
      << error;
  Dominators dominators;
  compute_dominators(snapshot.graph, &dominators, nullptr);
  FieldNames names(snapshot.graph, snapshot.info);
  Analysis analysis{snapshot.graph, dominators, snapshot.info, names};

  MetaspaceReport report = metaspace_report(analysis, 10);
  std::string shown = format_metaspace(analysis, report);
  ASSERT_TRUE(report.available);
  ASSERT_EQ(report.by_class.size(), 2u) << shown;
  EXPECT_EQ(report.by_class[0].loader_class, "PluginLoader");
  EXPECT_EQ(report.by_class[0].loaders, 2u);
  EXPECT_EQ(report.by_class[0].metaspace, 5000u + 700 + 5000) << "the hidden class joins A by its loader address";
  EXPECT_EQ(report.by_class[1].loader_class, "jdk.internal.loader.ClassLoaders$AppClassLoader");
  EXPECT_EQ(report.by_class[1].metaspace, 1800u);
  ASSERT_EQ(report.loaders.size(), 3u);
  EXPECT_EQ(report.loaders[0].loader, loader_a);
  EXPECT_EQ(report.loaders[0].classes, 2u);
  ASSERT_TRUE(report.loaders[0].path.found);
  EXPECT_EQ(report.loaders[0].path.steps.back().via, "<class loader>") << shown;
  EXPECT_EQ(report.boot.shared, 2000u);
  EXPECT_EQ(report.unjoined_classes, 1u);
  EXPECT_EQ(report.unjoined_metaspace, 300u);
  ASSERT_EQ(report.duplicates.size(), 1u) << shown;
  EXPECT_EQ(report.duplicates[0].signature, "LPlugin;");
  EXPECT_EQ(report.duplicates[0].loaders, (std::vector<uint32_t>{loader_a, loader_b}));
  // Loader A lives through the registry's array alone (through its instance and class); B is a root.
  ASSERT_EQ(report.held.size(), 1u) << shown;
  EXPECT_EQ(report.held[0].holder, registry);
  EXPECT_EQ(report.held[0].loaders, (std::vector<uint32_t>{loader_a}));
  EXPECT_EQ(report.held[0].references, 1u);
  ASSERT_TRUE(report.held[0].path.found);
  EXPECT_EQ(report.held[0].path.steps.back().via, ".registry") << shown;
  EXPECT_TRUE(vt::contains(shown, "1 x PluginLoader, 5.6 kB, held only through java.lang.Object[] #")) << shown;
  std::string html = metaspace_html(analysis, report);
  EXPECT_TRUE(vt::contains(html, "<h2>Metaspace</h2>"));
  EXPECT_TRUE(vt::contains(html, "<td>1 \u00d7 PluginLoader</td>")) << html;
}

}  // namespace
