#include "metaspace_report.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <map>
#include <unordered_map>

#include "dominators.h"
#include "field_names.h"
#include "text_reports.h"

namespace snapshot_reader {

namespace {

constexpr unsigned kClassReference = 1;        // JVMTI_HEAP_REFERENCE_CLASS, from an object to its class
constexpr unsigned kClassLoaderReference = 4;  // JVMTI_HEAP_REFERENCE_CLASS_LOADER, from a class object
constexpr uint32_t kNoLoader = 0xFFFFFFFFu;

// The loader object a class object refers to; 0 for the boot loader's classes.
uint32_t loader_of(const HeapGraph &graph, uint32_t class_id) {
  if (class_id >= graph.node_count) return 0;
  for (uint32_t e = graph.first[class_id], end = e + graph.degree[class_id]; e < end; ++e) {
    if (edge_kind(graph.label[e]) == kClassLoaderReference) return graph.target[e];
  }
  return 0;
}

LoaderKind kind_of(const std::string &loader_class) {
  if (loader_class == "jdk.internal.loader.ClassLoaders$PlatformClassLoader") return LoaderKind::platform;
  if (loader_class == "jdk.internal.loader.ClassLoaders$AppClassLoader") return LoaderKind::app;
  return LoaderKind::other;
}

// Hidden classes carry their address in their name ("Foo$$Lambda/0x..." or "Foo$$Lambda+0x...").
bool is_hidden(const std::string &signature) {
  return signature.find("/0x") != std::string::npos || signature.find("+0x") != std::string::npos;
}

bool more_metaspace(const LoaderRow &x, const LoaderRow &y) {
  return x.metaspace != y.metaspace ? x.metaspace > y.metaspace : x.loader < y.loader;
}

std::string loader_label(const Analysis &a, uint32_t loader) {
  return loader == 0 ? std::string("the boot loader") : object_label(a, loader);
}

std::string escape(const std::string &text) {
  std::string out;
  for (char c : text) {
    if (c == '&') {
      out += "&amp;";
    } else if (c == '<') {
      out += "&lt;";
    } else if (c == '>') {
      out += "&gt;";
    } else if (c == '"') {
      out += "&quot;";
    } else {
      out += c;
    }
  }
  return out;
}

// The graph with the reference every object has to its class, for the objects of classes of the
// loaders in other: the snapshot leaves these references out (an object record names its class),
// yet they are what keeps a loader alive through the instances of its classes.
HeapGraph with_class_references(const HeapGraph &graph, const std::vector<uint8_t> &other) {
  HeapGraph out;
  out.node_count = graph.node_count;
  out.class_id = graph.class_id;
  out.shallow = graph.shallow;
  out.roots = graph.roots;
  out.class_links = graph.class_links;
  out.objects = graph.objects;
  out.references = graph.references;
  out.total_shallow = graph.total_shallow;
  out.first.resize(graph.node_count);
  out.degree.resize(graph.node_count);
  out.target.reserve(graph.target.size());
  out.label.reserve(graph.label.size());
  for (uint32_t v = 0; v < graph.node_count; ++v) {
    out.first[v] = (uint32_t)out.target.size();
    for (uint32_t e = graph.first[v], end = e + graph.degree[v]; e < end; ++e) {
      auto large = graph.large_indexes.find(e);
      if (large != graph.large_indexes.end()) out.large_indexes[(uint32_t)out.target.size()] = large->second;
      out.target.push_back(graph.target[e]);
      out.label.push_back(graph.label[e]);
    }
    uint32_t class_id = graph.class_id[v];
    if (v != 0 && class_id != 0 && class_id < other.size() && other[class_id] && class_id != v) {
      out.target.push_back(class_id);
      out.label.push_back(kClassReference);
    }
    out.degree[v] = (uint32_t)out.target.size() - out.first[v];
  }
  return out;
}

std::string path_text(const Analysis &a, const RootPath &path, const std::string &indent) {
  if (!path.found) return indent + "(no path from a GC root)\n";
  std::string root = root_kind_name(path.root_kind);
  if (!path.thread.empty()) root += ", thread " + path.thread;
  std::string out = indent + "GC root: " + root + "\n";
  for (const PathStep &step : path.steps) out += indent + "  " + format_step(a, step) + "\n";
  return out;
}

}  // namespace

MetaspaceReport metaspace_report(const Analysis &a, size_t top) {
  const HeapGraph &graph = a.graph;
  MetaspaceReport report;
  report.available = !a.info.class_metadata.empty();
  report.boot.kind = LoaderKind::boot;
  report.boot.loader_class = "<boot>";
  report.platform.kind = LoaderKind::platform;
  if (!report.available) return report;

  // The graph names the loader of every class its walk reached; the records name the loader's
  // address, which joins the classes the walk did not reach (hidden ones) to the same loaders.
  std::unordered_map<uint64_t, uint32_t> loader_at;
  for (const auto &[id, parts] : a.info.class_metadata) {
    uint32_t loader = loader_of(graph, (uint32_t)id);
    if (loader != 0 && parts.has_loader && parts.loader != 0) loader_at.emplace(parts.loader, loader);
  }
  std::map<uint32_t, LoaderRow> rows;  // by loader object, boot loader included (0)
  std::unordered_map<uint32_t, uint32_t> class_loader;
  std::map<std::string, DuplicateClass> names;
  for (const auto &[id, parts] : a.info.class_metadata) {
    auto listed = a.info.classes.find(id);
    if (listed == a.info.classes.end()) continue;
    const std::string &signature = listed->second.signature;
    uint32_t loader = loader_of(graph, (uint32_t)id);
    if (loader == 0 && parts.has_loader && parts.loader != 0) {
      auto found = loader_at.find(parts.loader);
      if (found == loader_at.end()) {
        ++report.unjoined_classes;
        report.unjoined_metaspace += parts.metaspace;
        continue;
      }
      loader = found->second;
    }
    class_loader[(uint32_t)id] = loader;
    LoaderRow &row = rows[loader];
    row.loader = loader;
    ++row.classes;
    if (!signature.empty() && signature[0] == '[') ++row.array_classes;
    row.metaspace += parts.metaspace;
    row.shared += parts.shared;
    if (!parts.unreadable.empty()) ++row.unreadable_classes;
    ++report.classes;
    report.metaspace += parts.metaspace;
    report.shared += parts.shared;
    report.top_classes.push_back({(uint32_t)id, loader, parts});
    if (!signature.empty() && signature[0] != '[' && !is_hidden(signature)) {
      DuplicateClass &name = names[signature];
      name.signature = signature;
      name.loaders.push_back(loader);
      name.metaspace += parts.metaspace;
    }
  }

  std::map<std::string, LoaderClassRow> by_class;
  for (auto &[loader, row] : rows) {
    row.loader_class = loader == 0 ? "<boot>" : a.names.describe_type(loader);
    row.kind = loader == 0 ? LoaderKind::boot : kind_of(row.loader_class);
    if (row.kind == LoaderKind::boot) {
      report.boot = row;
    } else if (row.kind == LoaderKind::platform) {
      report.platform = row;
    } else {
      report.loaders.push_back(row);
      LoaderClassRow &group = by_class[row.loader_class];
      group.loader_class = row.loader_class;
      ++group.loaders;
      group.classes += row.classes;
      group.metaspace += row.metaspace;
      group.shared += row.shared;
    }
  }
  for (auto &[name, group] : by_class) report.by_class.push_back(group);
  std::sort(report.by_class.begin(), report.by_class.end(), [](const LoaderClassRow &x, const LoaderClassRow &y) {
    return x.metaspace != y.metaspace ? x.metaspace > y.metaspace : x.loader_class < y.loader_class;
  });
  std::sort(report.loaders.begin(), report.loaders.end(), more_metaspace);

  // Loaders kept alive through one object outside them: mark each loader's own world (the loader,
  // its classes and their instances), then climb the loader's dominators out of it.
  std::vector<uint32_t> owner(graph.node_count, kNoLoader);
  std::unordered_map<uint32_t, uint32_t> row_of_loader;
  for (uint32_t i = 0; i < report.loaders.size(); ++i) row_of_loader[report.loaders[i].loader] = i;
  for (const auto &[class_id, loader] : class_loader) {
    auto row = row_of_loader.find(loader);
    if (row == row_of_loader.end()) continue;
    if (class_id < graph.node_count) owner[class_id] = row->second;
    if (loader < graph.node_count) owner[loader] = row->second;
  }
  std::vector<uint32_t> class_row;  // by class id: the row of its loader
  for (const auto &[class_id, loader] : class_loader) {
    auto row = row_of_loader.find(loader);
    if (row == row_of_loader.end()) continue;
    if (class_row.size() <= class_id) class_row.resize((size_t)class_id + 1, kNoLoader);
    class_row[class_id] = row->second;
  }
  for (uint32_t id = 1; id < graph.node_count; ++id) {
    uint32_t class_id = graph.class_id[id];
    if (owner[id] == kNoLoader && class_id < class_row.size()) owner[id] = class_row[class_id];
  }
  // Reachability with the references of objects to their classes (those of the boot, platform and
  // application loaders' classes change nothing: their classes are roots).
  std::vector<uint8_t> other_class;
  for (const auto &[class_id, loader] : class_loader) {
    if (row_of_loader.count(loader) == 0 || report.loaders[row_of_loader[loader]].kind != LoaderKind::other) continue;
    if (other_class.size() <= class_id) other_class.resize((size_t)class_id + 1, 0);
    other_class[class_id] = 1;
  }
  HeapGraph linked = with_class_references(graph, other_class);
  Dominators linked_dominators;
  compute_dominators(linked, &linked_dominators, nullptr);
  FieldNames linked_names(linked, a.info);
  Analysis reach{linked, linked_dominators, a.info, linked_names};

  std::map<std::pair<uint32_t, std::string>, HeldLoaders> held;
  const std::vector<uint32_t> &idom = linked_dominators.idom;
  for (uint32_t i = 0; i < report.loaders.size(); ++i) {
    const LoaderRow &row = report.loaders[i];
    if (row.kind != LoaderKind::other || row.loader >= graph.node_count) continue;
    uint32_t at = idom[row.loader];
    for (int steps = 0; at != 0 && at != Dominators::kUnreached && owner[at] == i && steps < 1 << 20; ++steps) {
      at = idom[at];
    }
    if (at == 0 || at == Dominators::kUnreached) continue;
    HeldLoaders &group = held[{at, row.loader_class}];
    group.holder = at;
    group.loader_class = row.loader_class;
    group.loaders.push_back(row.loader);
    group.metaspace += row.metaspace;
    for (uint32_t e = linked.first[at], end = e + linked.degree[at]; e < end; ++e) {
      uint32_t to = linked.target[e];
      if (to < linked.node_count && owner[to] == i) ++group.references;
    }
  }
  std::vector<uint32_t> holders;
  for (auto &[key, group] : held) {
    report.held.push_back(group);
    holders.push_back(key.first);
  }
  std::vector<RootPath> holder_paths = paths_from_roots(reach, holders);
  for (size_t i = 0; i < report.held.size(); ++i) report.held[i].path = holder_paths[i];
  std::sort(report.held.begin(), report.held.end(), [](const HeldLoaders &x, const HeldLoaders &y) {
    return x.metaspace != y.metaspace ? x.metaspace > y.metaspace : x.holder < y.holder;
  });

  if (report.loaders.size() > top) report.loaders.resize(top);
  std::vector<uint32_t> loader_ids;
  for (const LoaderRow &row : report.loaders) loader_ids.push_back(row.loader);
  std::vector<RootPath> loader_paths = paths_from_roots(reach, loader_ids);
  for (size_t i = 0; i < report.loaders.size(); ++i) report.loaders[i].path = loader_paths[i];

  std::sort(
      report.top_classes.begin(), report.top_classes.end(), [](const MetaspaceClassRow &x, const MetaspaceClassRow &y) {
        return x.parts.metaspace != y.parts.metaspace ? x.parts.metaspace > y.parts.metaspace : x.class_id < y.class_id;
      });
  if (report.top_classes.size() > top) report.top_classes.resize(top);

  for (auto &[signature, name] : names) {
    std::sort(name.loaders.begin(), name.loaders.end());
    name.loaders.erase(std::unique(name.loaders.begin(), name.loaders.end()), name.loaders.end());
    if (name.loaders.size() > 1) report.duplicates.push_back(std::move(name));
  }
  std::sort(report.duplicates.begin(), report.duplicates.end(), [](const DuplicateClass &x, const DuplicateClass &y) {
    if (x.loaders.size() != y.loaders.size()) return x.loaders.size() > y.loaders.size();
    return x.metaspace != y.metaspace ? x.metaspace > y.metaspace : x.signature < y.signature;
  });
  if (report.duplicates.size() > top) report.duplicates.resize(top);
  return report;
}

std::string format_metaspace(const Analysis &a, const MetaspaceReport &r) {
  if (!r.available) {
    auto type = a.info.metadata.find("Class size type");
    return "No class-size records with the parts of the class metadata in this snapshot (Class size type: " +
           (type == a.info.metadata.end() ? std::string("?") : type->second) +
           "). The metaspace report needs a snapshot of HotSpot of JDK 11 to 25 with full class sizes.\n";
  }
  char line[256];
  std::string out = "Metaspace: " + human_bytes(r.metaspace) + " in " + std::to_string(r.classes) +
                    " classes; the class data archive holds " + human_bytes(r.shared) + " more\n";
  for (const LoaderRow *row : {&r.boot, &r.platform}) {
    snprintf(line, sizeof line, "%s: %s in metaspace and %s in the archive, %" PRIu64 " classes\n",
             row->kind == LoaderKind::boot ? "Boot loader" : "Platform loader", human_bytes(row->metaspace).c_str(),
             human_bytes(row->shared).c_str(), row->classes);
    out += line;
  }

  if (r.unjoined_classes > 0) {
    out += std::to_string(r.unjoined_classes) + " classes (" + human_bytes(r.unjoined_metaspace) +
           ") of loaders that define no class the heap walk reached are left out\n";
  }
  out += "\nClass loaders by their class, most metaspace first:\n";
  out += "   loaders    classes        metaspace  loader class\n";
  for (const LoaderClassRow &group : r.by_class) {
    snprintf(line, sizeof line, "%10" PRIu64 " %10" PRIu64 " %16" PRIu64 "  ", group.loaders, group.classes,
             group.metaspace);
    out += line + group.loader_class + "\n";
  }

  out += "\nClass loaders, most metaspace first:\n";
  out += "       metaspace           shared   classes  loader\n";
  for (const LoaderRow &row : r.loaders) {
    snprintf(line, sizeof line, "%16" PRIu64 " %16" PRIu64 " %9" PRIu64 "  ", row.metaspace, row.shared, row.classes);
    out += line + loader_label(a, row.loader) + "\n";
    if (row.unreadable_classes > 0) {
      out += "      " + std::to_string(row.unreadable_classes) +
             " of its classes have parts that could not be read (named in their class-size records)\n";
    }
    out += path_text(a, row.path, "      ");
  }

  out += "\nClasses that take the most metaspace:\n";
  out += "   metaspace      klass  constants    methods     fields      other  class (loader)\n";
  for (const MetaspaceClassRow &row : r.top_classes) {
    snprintf(line, sizeof line, "%12" PRIu64 " %10" PRIu64 " %10" PRIu64 " %10" PRIu64 " %10" PRIu64 " %10" PRIu64 "  ",
             row.parts.metaspace, row.parts.klass, row.parts.constants, row.parts.methods, row.parts.fields,
             row.parts.other);
    out += line + java_class_name(a.names.class_signature(row.class_id)) + " (" + loader_label(a, row.loader) + ")" +
           (row.parts.unreadable.empty() ? "" : " unreadable: " + row.parts.unreadable) + "\n";
  }

  out += "\nClasses defined by more than one loader (the usual mark of a loader leak):\n";
  if (r.duplicates.empty()) out += "  none\n";
  for (const DuplicateClass &name : r.duplicates) {
    snprintf(line, sizeof line, "%8zu loaders %16" PRIu64 "  ", name.loaders.size(), name.metaspace);
    out += line + java_class_name(name.signature) + "\n";
  }

  out += "\nLoaders that a single object outside them keeps alive (a likely leak):\n";
  if (r.held.empty()) out += "  none\n";
  for (const HeldLoaders &group : r.held) {
    out += "  " + std::to_string(group.loaders.size()) + " x " + group.loader_class + ", " +
           human_bytes(group.metaspace) + ", held only through " + object_label(a, group.holder) + " (" +
           std::to_string(group.references) + " references from it into them)\n";
    out += path_text(a, group.path, "      ");
  }
  return out;
}

std::string metaspace_html(const Analysis &a, const MetaspaceReport &r) {
  std::string html = "<h2>Metaspace</h2>\n";
  if (!r.available) {
    return html + "<p>" + escape(format_metaspace(a, r)) + "</p>\n";
  }
  html += "<p>" + escape(human_bytes(r.metaspace)) + " of class metadata in metaspace for " +
          std::to_string(r.classes) + " classes; the class data archive holds " + escape(human_bytes(r.shared)) +
          " more. Boot loader: " + escape(human_bytes(r.boot.metaspace)) + " in metaspace, " +
          escape(human_bytes(r.boot.shared)) + " in the archive (" + std::to_string(r.boot.classes) +
          " classes). Platform loader: " + escape(human_bytes(r.platform.metaspace)) + " and " +
          escape(human_bytes(r.platform.shared)) + " (" + std::to_string(r.platform.classes) + " classes).</p>\n";
  auto n = [](uint64_t value) { return "<td class=\"n\">" + std::to_string(value) + "</td>"; };
  auto c = [](const std::string &text) { return "<td>" + escape(text) + "</td>"; };
  auto path = [&](const RootPath &p) { return "<td class=\"path\">" + escape(path_text(a, p, "")) + "</td>"; };

  html +=
      "<h3>Class loaders by their class</h3>\n<table id=\"metaspace-loader-classes\" class=\"sortable\"><thead><tr>"
      "<th>Loader class</th><th data-type=\"n\">Loaders</th><th data-type=\"n\">Classes</th>"
      "<th data-type=\"n\">Metaspace bytes</th></tr></thead><tbody>\n";
  for (const LoaderClassRow &g : r.by_class) {
    html += "<tr>" + c(g.loader_class) + n(g.loaders) + n(g.classes) + n(g.metaspace) + "</tr>\n";
  }
  html +=
      "</tbody></table>\n<h3>Class loaders</h3>\n<table id=\"metaspace-loaders\" class=\"sortable\"><thead><tr>"
      "<th>Loader</th><th data-type=\"n\">Classes</th><th data-type=\"n\">Metaspace bytes</th>"
      "<th data-type=\"n\">Archive bytes</th><th>Path from a GC root</th></tr></thead><tbody>\n";
  for (const LoaderRow &row : r.loaders) {
    html += "<tr>" + c(loader_label(a, row.loader)) + n(row.classes) + n(row.metaspace) + n(row.shared) +
            path(row.path) + "</tr>\n";
  }
  html +=
      "</tbody></table>\n<h3>Classes that take the most metaspace</h3>\n<table id=\"metaspace-classes\" "
      "class=\"sortable\"><thead><tr><th>Class</th><th>Loader</th><th data-type=\"n\">Metaspace bytes</th>"
      "<th data-type=\"n\">Klass</th><th data-type=\"n\">Constants</th><th data-type=\"n\">Methods</th>"
      "<th data-type=\"n\">Fields</th><th data-type=\"n\">Other</th><th>Unreadable</th></tr></thead><tbody>\n";
  for (const MetaspaceClassRow &row : r.top_classes) {
    html += "<tr>" + c(java_class_name(a.names.class_signature(row.class_id))) + c(loader_label(a, row.loader)) +
            n(row.parts.metaspace) + n(row.parts.klass) + n(row.parts.constants) + n(row.parts.methods) +
            n(row.parts.fields) + n(row.parts.other) + c(row.parts.unreadable) + "</tr>\n";
  }
  html +=
      "</tbody></table>\n<h3>Classes defined by more than one loader</h3>\n<table id=\"metaspace-duplicates\" "
      "class=\"sortable\"><thead><tr><th>Class</th><th data-type=\"n\">Loaders</th>"
      "<th data-type=\"n\">Metaspace bytes</th></tr></thead><tbody>\n";
  for (const DuplicateClass &name : r.duplicates) {
    html += "<tr>" + c(java_class_name(name.signature)) + n(name.loaders.size()) + n(name.metaspace) + "</tr>\n";
  }
  if (r.duplicates.empty()) html += "<tr><td colspan=\"3\">None.</td></tr>\n";
  html +=
      "</tbody></table>\n<h3>Loaders that a single object outside them keeps alive</h3>\n<table "
      "id=\"metaspace-held\"><thead><tr><th>Loaders</th><th data-type=\"n\">Metaspace bytes</th><th>Held through</th>"
      "<th>Path from a GC root</th></tr></thead><tbody>\n";
  for (const HeldLoaders &g : r.held) {
    html += "<tr>" + c(std::to_string(g.loaders.size()) + " \u00d7 " + g.loader_class) + n(g.metaspace) +
            c(object_label(a, g.holder) + " (" + std::to_string(g.references) + " references)") + path(g.path) +
            "</tr>\n";
  }
  if (r.held.empty()) html += "<tr><td colspan=\"4\">None.</td></tr>\n";
  return html + "</tbody></table>\n";
}

namespace {

const char *loader_kind_name(LoaderKind kind) {
  switch (kind) {
    case LoaderKind::boot:
      return "boot";
    case LoaderKind::platform:
      return "platform";
    case LoaderKind::app:
      return "app";
    default:
      return "other";
  }
}

void loader_json(JsonWriter &json, const Analysis &analysis, const LoaderRow &row) {
  json.begin_object()
      .field("loader", row.loader)
      .field("kind", loader_kind_name(row.kind))
      .field("class", row.loader_class)
      .field("classes", row.classes)
      .field("arrayClasses", row.array_classes)
      .field("metaspace", row.metaspace)
      .field("shared", row.shared)
      .field("unreadableClasses", row.unreadable_classes);
  json.key("path");
  row.path.found ? json_root_path(json, analysis, row.path) : (void)json.null();
  json.end_object();
}

}  // namespace

std::string json_metaspace(const Analysis &analysis, const MetaspaceReport &report, const GateResult &gate) {
  JsonWriter json;
  json_header(json, "metaspace");
  json_snapshot_facts(json, analysis.info);
  json.field("available", report.available)
      .field("classes", report.classes)
      .field("metaspace", report.metaspace)
      .field("shared", report.shared)
      .field("unjoinedClasses", report.unjoined_classes)
      .field("unjoinedMetaspace", report.unjoined_metaspace);
  json.key("boot");
  loader_json(json, analysis, report.boot);
  json.key("platform");
  loader_json(json, analysis, report.platform);
  json.key("byLoaderClass").begin_array();
  for (const LoaderClassRow &row : report.by_class) {
    json.begin_object()
        .field("class", row.loader_class)
        .field("loaders", row.loaders)
        .field("classes", row.classes)
        .field("metaspace", row.metaspace)
        .field("shared", row.shared)
        .end_object();
  }
  json.end_array().key("loaders").begin_array();
  for (const LoaderRow &row : report.loaders) loader_json(json, analysis, row);
  json.end_array().key("topClasses").begin_array();
  for (const MetaspaceClassRow &row : report.top_classes) {
    json.begin_object()
        .field("id", row.class_id)
        .field("class", java_class_name(analysis.names.class_signature(row.class_id)))
        .field("loader", row.loader)
        .field("metaspace", row.parts.metaspace)
        .field("shared", row.parts.shared)
        .field("klass", row.parts.klass)
        .field("constants", row.parts.constants)
        .field("methods", row.parts.methods)
        .field("fields", row.parts.fields)
        .field("other", row.parts.other)
        .field("unreadable", row.parts.unreadable)
        .end_object();
  }
  json.end_array().key("duplicates").begin_array();
  for (const DuplicateClass &row : report.duplicates) {
    json.begin_object()
        .field("signature", row.signature)
        .field("metaspace", row.metaspace)
        .key("loaders")
        .begin_array();
    for (uint32_t loader : row.loaders) json.value(loader);
    json.end_array().end_object();
  }
  json.end_array().key("heldLoaders").begin_array();
  for (const HeldLoaders &row : report.held) {
    json.begin_object()
        .field("holder", row.holder)
        .field("loaderClass", row.loader_class)
        .field("metaspace", row.metaspace)
        .field("references", row.references)
        .key("loaders")
        .begin_array();
    for (uint32_t loader : row.loaders) json.value(loader);
    json.end_array().key("path");
    row.path.found ? json_root_path(json, analysis, row.path) : (void)json.null();
    json.end_object();
  }
  json.end_array();
  json_gate(json, gate);
  json.end_object();
  return json.text();
}

}  // namespace snapshot_reader
