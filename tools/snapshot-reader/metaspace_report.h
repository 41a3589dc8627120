// The metaspace report: what the class metadata of a snapshot's classes takes, by class loader
// (joined through the graph's class-loader references) and by class, the class names defined by
// more than one loader, and the loaders that only one object outside them keeps alive. It needs
// the class-size records with their parts, which current HotSpot writes ("Class size type: full").
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "analysis.h"
#include "json_reports.h"

namespace snapshot_reader {

enum class LoaderKind { boot, platform, app, other };

struct LoaderRow {
  uint32_t loader = 0;  // the loader object's id; 0 for the boot loader
  LoaderKind kind = LoaderKind::other;
  std::string loader_class;  // "java.net.URLClassLoader"
  uint64_t classes = 0, array_classes = 0, metaspace = 0, shared = 0;
  uint64_t unreadable_classes = 0;  // classes whose record names parts that could not be read
  RootPath path;                    // from a GC root to the loader object
};

struct LoaderClassRow {
  std::string loader_class;
  uint64_t loaders = 0, classes = 0, metaspace = 0, shared = 0;
};

struct MetaspaceClassRow {
  uint32_t class_id = 0;
  uint32_t loader = 0;
  ClassMetadata parts;
};

struct DuplicateClass {
  std::string signature;
  std::vector<uint32_t> loaders;  // the loader objects that define it (0: the boot loader)
  uint64_t metaspace = 0;         // of all of its copies
};

// Loaders whose classes, their instances and the loader itself are all reached through one object
// outside them: the loader lives only as long as that object holds it.
struct HeldLoaders {
  uint32_t holder = 0;            // the object
  std::string loader_class;       // of the loaders it holds
  std::vector<uint32_t> loaders;  // largest first
  uint64_t metaspace = 0;         // of those loaders
  uint64_t references = 0;        // from the holder into the loaders' classes, instances and loaders
  RootPath path;                  // from a GC root to the holder
};

struct MetaspaceReport {
  bool available = false;  // the snapshot has class-size records with parts
  uint64_t classes = 0, metaspace = 0, shared = 0;
  uint64_t unjoined_classes = 0, unjoined_metaspace = 0;  // of loaders the graph does not name
  LoaderRow boot, platform;                               // reported apart: the class data archive holds much of them
  std::vector<LoaderClassRow> by_class;  // loaders by their class, most metaspace first (boot and platform apart)
  std::vector<LoaderRow> loaders;        // every other loader, most metaspace first
  std::vector<MetaspaceClassRow> top_classes;
  std::vector<DuplicateClass> duplicates;  // most copies first
  std::vector<HeldLoaders> held;           // most metaspace first
};

// top: the rows of the per-loader, per-class and duplicate lists (the loader classes are all listed).
MetaspaceReport metaspace_report(const Analysis &analysis, size_t top);
std::string format_metaspace(const Analysis &analysis, const MetaspaceReport &report);
// The report as the metaspace command's --format json document.
std::string json_metaspace(const Analysis &analysis, const MetaspaceReport &report, const GateResult &gate);
// The report as a section of the HTML page.
std::string metaspace_html(const Analysis &analysis, const MetaspaceReport &report);

}  // namespace snapshot_reader
