#include "diff_reports.h"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>

#include "text_reports.h"

namespace snapshot_reader {

namespace {

std::string signed_bytes(int64_t bytes) {
  std::string size = human_bytes((uint64_t)std::llabs(bytes));
  return (bytes < 0 ? "-" : "+") + size;
}

void text_rows(std::string *out, const char *title, const char *column, const std::vector<DiffRow> &rows, size_t top) {
  *out += std::string("\n") + title + "\n";
  *out += "   old objects   new objects    old retained    new retained        growth  " + std::string(column) + "\n";
  size_t shown = 0;
  for (const DiffRow &row : rows) {
    if (shown == top) break;
    char line[128];
    snprintf(line, sizeof line, "%14" PRIu64 " %13" PRIu64 " %15" PRIu64 " %15" PRIu64 " %13s  ", row.old_side.objects,
             row.new_side.objects, row.old_side.retained, row.new_side.retained, signed_bytes(row.growth()).c_str());
    *out += line + row.key + "\n";
    ++shown;
  }
  if (shown == 0) *out += "  (none)\n";
}

void json_side(JsonWriter &json, const char *name, const Profile &profile) {
  json.key(name).begin_object();
  json_snapshot_facts(json, profile.facts);
  json.key("heap").begin_object().field("bytes", profile.heap).field("objects", profile.objects).end_object();
  json.end_object();
}

void json_rows(JsonWriter &json, const char *name, const char *key, const std::vector<DiffRow> &rows, size_t top) {
  json.key(name).begin_array();
  for (size_t i = 0; i < rows.size() && i < top; ++i) {
    const DiffRow &row = rows[i];
    json.begin_object().field(key, row.key);
    for (const auto &[side, values] : {std::pair{"old", &row.old_side}, std::pair{"new", &row.new_side}}) {
      json.key(side)
          .begin_object()
          .field("objects", values->objects)
          .field("shallow", values->shallow)
          .field("retained", values->retained)
          .end_object();
    }
    json.field("growth", row.growth()).end_object();
  }
  json.end_array();
}

}  // namespace

std::string format_diff(const SnapshotDiff &diff, const std::string &old_name, const std::string &new_name,
                        size_t top) {
  const Profile &o = *diff.old_profile, &n = *diff.new_profile;
  std::string out = "Snapshot diff: the heap " + std::string(diff.heap_growth() < 0 ? "shrank" : "grew") + " by " +
                    signed_bytes(diff.heap_growth()) + ", from " + human_bytes(o.heap) + " in " +
                    std::to_string(o.objects) + " objects to " + human_bytes(n.heap) + " in " +
                    std::to_string(n.objects) + " objects\n";
  out += "  old: " + old_name + "\n  new: " + new_name + "\n";
  text_rows(&out, "Growth by allocation site (followed objects, retained bytes counted once):", "site", diff.sites,
            top);
  text_rows(&out, "Growth by class (instances, retained bytes counted once):", "class", diff.classes, top);
  text_rows(&out,
            ("Growth by dominator path (objects on the path, retained bytes counted once; " +
             std::to_string(diff.path_count) + " paths):")
                .c_str(),
            "path", diff.paths, top);
  return out;
}

std::string json_diff(const SnapshotDiff &diff, size_t top, const GateResult &gate) {
  JsonWriter json;
  json_header(json, "diff");
  json_side(json, "old", *diff.old_profile);
  json_side(json, "new", *diff.new_profile);
  json.key("growth")
      .begin_object()
      .field("bytes", diff.heap_growth())
      .field("objects", (int64_t)diff.new_profile->objects - (int64_t)diff.old_profile->objects)
      .end_object();
  json_rows(json, "sites", "site", diff.sites, top);
  json_rows(json, "classes", "class", diff.classes, top);
  json.field("path_count", (uint64_t)diff.path_count);
  json_rows(json, "paths", "path", diff.paths, top);
  json_gate(json, gate);
  json.end_object();
  return json.text();
}

}  // namespace snapshot_reader
