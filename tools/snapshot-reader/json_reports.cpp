#include "json_reports.h"

#include <algorithm>
#include <cstdlib>

#include "field_names.h"

namespace snapshot_reader {

namespace {

double share_of(uint64_t part, uint64_t whole) { return whole == 0 ? 0.0 : (double)part / (double)whole; }

void object_ref(JsonWriter &json, const Analysis &a, uint32_t id) {
  json.begin_object().field("id", id).field("type", a.names.describe_type(id)).end_object();
}

void steps(JsonWriter &json, const Analysis &a, const std::vector<PathStep> &list) {
  json.begin_array();
  for (const PathStep &step : list) {
    json.begin_object()
        .field("via", step.via)
        .field("id", step.id)
        .field("type", a.names.describe_type(step.id))
        .field("retained", a.dominators.retained[step.id])
        .end_object();
  }
  json.end_array();
}

void root_path(JsonWriter &json, const Analysis &a, const RootPath &path) {
  json.begin_object();
  json.key("root").begin_object().field("kind", root_kind_name(path.root_kind));
  json.key("thread");
  path.thread.empty() ? json.null() : json.value(path.thread);
  json.key("frame");
  path.frame.empty() ? json.null() : json.value(path.frame);
  json.end_object();
  json.key("steps");
  steps(json, a, path.steps);
  json.end_object();
}

void site(JsonWriter &json, const AllocationRow &row) {
  json.begin_object()
      .field("allocation_id", row.point.id)
      .field("listed", row.listed)
      .field("class", row.point.class_name)
      .field("birthplace", row.point.birthplace)
      .field("objects", row.live)
      .field("shallow", row.shallow)
      .field("retained", row.retained)
      .end_object();
}

void heap(JsonWriter &json, const Analysis &a, const WeakReach *weak) {
  json.key("heap").begin_object();
  json.field("bytes", a.heap()).field("objects", a.reachable_objects()).field("references", a.graph.references);
  json.field("soft_is_strong", a.dominators.soft_is_strong);
  if (weak) {
    json.key("not_strongly_reachable").begin_object();
    json.field("objects", weak->total_objects()).field("bytes", weak->total_bytes());
    const char *kinds[] = {"soft", "weak", "final", "phantom"};
    for (int k = 0; k < 4; ++k) {
      json.key(kinds[k]).begin_object().field("objects", weak->objects[k]).field("bytes", weak->bytes[k]).end_object();
    }
    json.end_object();
  }
  json.end_object();
}

void verdict(JsonWriter &json, const Verdict &v) {
  json.key("verdict").begin_object().field("kind", verdict_name(v.kind)).field("reason", v.reason);
  json.key("suspect");
  v.suspect < 0 ? json.null() : json.value(v.suspect + 1);
  json.key("thread");
  v.kind == Verdict::Kind::kSpike ? json.value(v.thread) : json.null();
  json.end_object();
}

void thread(JsonWriter &json, const Analysis &a, const ThreadRow &row) {
  json.begin_object()
      .field("id", row.java_id)
      .field("name", row.name)
      .field("state", row.state)
      .field("current", row.current)
      .field("retained", row.retained)
      .key("share")
      .fraction(share_of(row.retained, a.heap()));
  json.key("frames").begin_array();
  for (const FrameRow &frame : row.frames) {
    json.begin_object().field("depth", frame.depth).field("method", frame.method).key("line");
    frame.line < 0 ? json.null() : json.value(frame.line);
    json.field("retained", frame.retained).end_object();
  }
  json.end_array().end_object();
}

void current_thread(JsonWriter &json, const Analysis &a, const Findings &findings) {
  json.key("current_thread");
  for (const ThreadRow &row : findings.threads) {
    if (row.current) {
      thread(json, a, row);
      return;
    }
  }
  json.null();
}

void suspects(JsonWriter &json, const Analysis &a, const Findings &findings) {
  json.key("threshold").fraction(findings.share);
  json.key("suspects").begin_array();
  for (size_t i = 0; i < findings.suspects.size(); ++i) {
    const Suspect &s = findings.suspects[i];
    json.begin_object().field("rank", (uint64_t)i + 1).field("kind", s.group ? "group" : "object");
    if (s.group) {
      json.key("dominator");
      if (s.id == 0) {
        json.null();
      } else {
        object_ref(json, a, s.id);
      }
      json.field("class", java_class_name(a.names.class_signature(s.group_class))).field("members", s.members);
    } else {
      json.key("object");
      object_ref(json, a, s.id);
    }
    json.field("retained", s.retained).key("share").fraction(share_of(s.retained, a.heap()));
    json.field("held_by_a_stack", held_by_a_stack(a, s));
    json.key("made_at");
    if (s.holder_followed) {
      json.begin_object()
          .field("allocation_id", s.holder_site.id)
          .field("class", s.holder_site.class_name)
          .field("birthplace", s.holder_site.birthplace)
          .end_object();
    } else {
      json.null();
    }
    json.key("paths").begin_array();
    if (s.path.found) root_path(json, a, s.path);
    for (const RootPath &path : s.more_paths) root_path(json, a, path);
    json.end_array();
    json.key("inside");
    steps(json, a, s.inside);
    json.key("held");
    if (s.held_members > 0) {
      json.begin_object()
          .field("class", java_class_name(a.names.class_signature(s.held_class)))
          .field("members", s.held_members)
          .field("retained", s.held_retained)
          .end_object();
    } else {
      json.null();
    }
    json.key("largest");
    steps(json, a, s.sample);
    json.key("sites").begin_array();
    for (const AllocationRow &row : s.sites) site(json, row);
    json.end_array();
    json.end_object();
  }
  json.end_array();
}

void histogram_rows(JsonWriter &json, const Analysis &a, const std::vector<ClassRow> &rows, size_t top) {
  json.key("classes").begin_array();
  for (size_t i = 0; i < rows.size() && i < top; ++i) {
    json.begin_object()
        .field("class", java_class_name(a.names.class_signature(rows[i].class_id)))
        .field("instances", rows[i].instances)
        .field("shallow", rows[i].shallow)
        .field("retained", rows[i].retained)
        .key("share")
        .fraction(share_of(rows[i].retained, a.heap()))
        .end_object();
  }
  json.end_array();
}

void dominator_rows(JsonWriter &json, const Analysis &a, const std::vector<uint32_t> &ids) {
  json.key("dominators").begin_array();
  for (uint32_t id : ids) {
    json.begin_object()
        .field("id", id)
        .field("type", a.names.describe_type(id))
        .field("shallow", a.graph.shallow[id])
        .field("retained", a.dominators.retained[id])
        .key("share")
        .fraction(share_of(a.dominators.retained[id], a.heap()))
        .key("dominator");
    if (a.dominators.idom[id] == 0) {
      json.null();
    } else {
      object_ref(json, a, a.dominators.idom[id]);
    }
    json.end_object();
  }
  json.end_array();
}

std::string analysis_document(const Analysis &a, const std::string &command, const WeakReach *weak,
                              const GateResult &gate, auto &&body) {
  JsonWriter json;
  json_header(json, command);
  json_snapshot_facts(json, a.info);
  heap(json, a, weak);
  body(json);
  json_gate(json, gate);
  json.end_object();
  return json.text();
}

}  // namespace

void json_header(JsonWriter &json, const std::string &command) {
  json.begin_object()
      .field("schema", "vorkel-snapshot-analysis")
      .field("version", (int64_t)kJsonSchemaVersion)
      .field("command", command);
}

void json_snapshot_facts(JsonWriter &json, const InfoFile &info) {
  auto text = [&](const char *name, const char *key) {
    auto found = info.metadata.find(key);
    json.key(name);
    found == info.metadata.end() ? json.null() : json.value(found->second);
  };
  auto number = [&](const char *name, const char *key) {
    auto found = info.metadata.find(key);
    char *end = nullptr;
    long long value = found == info.metadata.end() ? 0 : strtoll(found->second.c_str(), &end, 10);
    json.key(name);
    found == info.metadata.end() || *end != '\0' ? json.null() : json.value((int64_t)value);
  };
  json.key("snapshot").begin_object();
  text("vm_name", "VM name");
  text("vm_version", "VM version");
  number("timestamp", "OOM timestamp");
  number("current_thread", "Current thread");
  text("class_size_type", "Class size type");
  json.end_object();
}

void json_root_path(JsonWriter &json, const Analysis &analysis, const RootPath &path) {
  root_path(json, analysis, path);
}

void json_gate(JsonWriter &json, const GateResult &gate) {
  if (!gate.asked) return;
  json.key("gate").begin_object().field("crossed", gate.crossed).field("reason", gate.reason).end_object();
}

std::string json_summary(const Report &report, size_t top) {
  JsonWriter json;
  json_header(json, "summary");
  json_snapshot_facts(json, report.info);
  const GraphStats &stats = report.stats;
  json.field("consistent", report.ok).key("problems").begin_array();
  for (const std::string &problem : report.problems) json.value(problem);
  json.end_array();
  json.field("objects", stats.objects).field("references", stats.references).field("roots", stats.root_references);
  json.key("references_by_kind").begin_array();
  for (const auto &[kind, count] : stats.references_by_kind) {
    json.begin_object().field("kind", reference_kind_name(kind)).field("count", count).end_object();
  }
  json.end_array();
  auto name_of = [&](uint32_t class_id) -> std::string {
    if (class_id == 0) return "(no class)";
    auto found = report.info.classes.find(class_id);
    return found != report.info.classes.end() ? java_class_name(found->second.signature)
                                              : "(unlisted class " + std::to_string(class_id) + ")";
  };
  std::vector<std::pair<uint32_t, GraphStats::PerClass>> classes(stats.classes.begin(), stats.classes.end());
  auto top_rows = [&](const char *name, auto better) {
    std::sort(classes.begin(), classes.end(), better);
    json.key(name).begin_array();
    for (size_t i = 0; i < classes.size() && i < top; ++i) {
      json.begin_object()
          .field("class", name_of(classes[i].first))
          .field("instances", classes[i].second.instances)
          .field("shallow", classes[i].second.shallow_bytes)
          .end_object();
    }
    json.end_array();
  };
  top_rows("top_by_instances", [](const auto &a, const auto &b) {
    return a.second.instances != b.second.instances ? a.second.instances > b.second.instances : a.first < b.first;
  });
  top_rows("top_by_shallow", [](const auto &a, const auto &b) {
    return a.second.shallow_bytes != b.second.shallow_bytes ? a.second.shallow_bytes > b.second.shallow_bytes
                                                            : a.first < b.first;
  });
  json.end_object();
  return json.text();
}

std::string json_histogram(const Analysis &a, const std::vector<ClassRow> &rows, size_t top, const GateResult &gate) {
  return analysis_document(a, "histogram", nullptr, gate,
                           [&](JsonWriter &json) { histogram_rows(json, a, rows, top); });
}

std::string json_dominators(const Analysis &a, const std::vector<uint32_t> &ids, const GateResult &gate) {
  return analysis_document(a, "dominators", nullptr, gate, [&](JsonWriter &json) { dominator_rows(json, a, ids); });
}

std::string json_findings(const Analysis &a, const Findings &findings, const std::string &command,
                          const GateResult &gate) {
  return analysis_document(a, command, &findings.weak, gate, [&](JsonWriter &json) {
    verdict(json, findings.verdict);
    if (command == "threads") {
      json.key("threads").begin_array();
      for (const ThreadRow &row : findings.threads) thread(json, a, row);
      json.end_array();
    } else {
      current_thread(json, a, findings);
      suspects(json, a, findings);
    }
  });
}

std::string json_report(const Analysis &a, const Findings &findings, const std::vector<ClassRow> &histogram,
                        const std::vector<uint32_t> &dominators, const std::vector<AllocationRow> &allocations,
                        const GateResult &gate) {
  return analysis_document(a, "report", &findings.weak, gate, [&](JsonWriter &json) {
    verdict(json, findings.verdict);
    current_thread(json, a, findings);
    suspects(json, a, findings);
    json.key("threads").begin_array();
    for (const ThreadRow &row : findings.threads) thread(json, a, row);
    json.end_array();
    histogram_rows(json, a, histogram, SIZE_MAX);
    dominator_rows(json, a, dominators);
    json.key("allocation_sites").begin_array();
    for (const AllocationRow &row : allocations) site(json, row);
    json.end_array();
  });
}

}  // namespace snapshot_reader
