#include "html_report.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <unordered_map>
#include <algorithm>

#include "allocation_sites.h"
#include "metaspace_report.h"
#include "text_reports.h"

namespace snapshot_reader {

namespace {

std::string escape_html(const std::string &text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

// A JSON string that is also safe inside a script element.
std::string json_string(const std::string &text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += (char)c;
    } else if (c < 0x20 || c == '<' || c == '>' || c == '&') {
      char code[8];
      snprintf(code, sizeof code, "\\u%04x", c);
      out += code;
    } else {
      out += (char)c;
    }
  }
  return out + "\"";
}

std::string cell(const std::string &text, const char *cls = nullptr) {
  return std::string("<td") + (cls ? std::string(" class=\"") + cls + "\"" : "") + ">" + escape_html(text) + "</td>";
}
std::string number_cell(uint64_t value) { return "<td class=\"n\">" + std::to_string(value) + "</td>"; }

// The dominator tree, cut to what can be seen, as nested JSON nodes: i id, n label, k class (for
// the colour), r retained and s shallow bytes, c children. A node's children retaining at least 1%
// of it come one by one; the others are grouped by class, each group (g members) showing its
// largest members; what is left is one "o" box. At most 12 levels and about 4000 nodes.
class TreeJson {
 public:
  explicit TreeJson(const Analysis &a) : a_(a), d_(a.dominators) {}
  std::string build() {
    node(0, 0);
    return std::move(out_);
  }

 private:
  static constexpr int kMaxDepth = 12;
  static constexpr size_t kSingles = 30, kGroups = 12, kMembers = 12;
  static constexpr uint32_t kClassObjects = 0xFFFFFFFFu;  // the group key of class objects
  static constexpr uint32_t kStackNodes = 0xFFFFFFFEu;    // and of threads' stacks

  void node(uint32_t id, int depth) {
    --budget_;
    std::string type = id == 0 ? "all objects" : a_.names.describe_type(id);
    out_ += "{\"i\":" + std::to_string(id) + ",\"n\":" + json_string(id == 0 ? type : object_label(a_, id)) +
            ",\"k\":" + json_string(type) + ",\"r\":" + std::to_string(d_.retained[id]) +
            ",\"s\":" + std::to_string(id == 0 ? 0 : a_.graph.shallow[id]);
    if (depth < kMaxDepth && d_.children_begin(id) != d_.children_end(id)) children(id, depth);
    out_ += "}";
  }

  void children(uint32_t id, int depth) {
    out_ += ",\"c\":[";
    size_t opened = out_.size();
    uint64_t floor = d_.retained[id] / 100;
    std::unordered_map<uint32_t, std::vector<uint32_t>> groups;  // class -> members, largest first
    std::vector<uint32_t> sorted(d_.children_begin(id), d_.children_end(id));
    std::sort(sorted.begin(), sorted.end(), [&](uint32_t x, uint32_t y) {
      return d_.retained[x] != d_.retained[y] ? d_.retained[x] > d_.retained[y] : x < y;
    });
    size_t singles = 0;
    for (uint32_t c : sorted) {
      if (singles < kSingles && budget_ > 0 && d_.retained[c] >= floor) {
        comma(opened);
        node(c, depth + 1);
        ++singles;
      } else {
        uint32_t key = a_.names.is_class_object(c) ? kClassObjects
                       : a_.graph.is_stack_node(c) ? kStackNodes
                                                   : a_.graph.class_id[c];
        groups[key].push_back(c);
      }
    }
    std::vector<std::pair<uint64_t, uint32_t>> by_size;  // (retained, class)
    for (const auto &[klass, members] : groups) {
      uint64_t sum = 0;
      for (uint32_t member : members) sum += d_.retained[member];
      by_size.push_back({sum, klass});
    }
    std::sort(by_size.begin(), by_size.end(), [](const auto &x, const auto &y) {
      return x.first != y.first ? x.first > y.first : x.second < y.second;
    });
    uint64_t rest = 0, rest_count = 0;
    for (size_t g = 0; g < by_size.size(); ++g) {
      const std::vector<uint32_t> &members = groups[by_size[g].second];
      if (g >= kGroups || budget_ == 0 || by_size[g].first * 200 < d_.retained[id]) {
        rest += by_size[g].first;
        rest_count += members.size();
        continue;
      }
      comma(opened);
      group(members, by_size[g].first, depth);
    }
    if (rest_count > 0) {
      comma(opened);
      out_ += "{\"n\":" + json_string(std::to_string(rest_count) + " smaller objects") +
              ",\"r\":" + std::to_string(rest) + ",\"o\":1}";
    }
    out_ += "]";
  }

  void group(const std::vector<uint32_t> &members, uint64_t retained, int depth) {
    std::string type = a_.names.is_class_object(members[0]) ? "java.lang.Class"
                       : a_.graph.is_stack_node(members[0]) ? "thread stacks"
                                                            : a_.names.describe_type(members[0]);
    out_ += "{\"n\":" + json_string(std::to_string(members.size()) + " \u00d7 " + type) +
            ",\"k\":" + json_string(type) + ",\"g\":" + std::to_string(members.size()) +
            ",\"r\":" + std::to_string(retained) + ",\"c\":[";
    size_t opened = out_.size();
    uint64_t shown = 0;
    size_t count = 0;
    for (; count < members.size() && count < kMembers && budget_ > 0; ++count) {
      comma(opened);
      node(members[count], depth + 1);
      shown += d_.retained[members[count]];
    }
    if (count < members.size()) {
      comma(opened);
      out_ += "{\"n\":" + json_string(std::to_string(members.size() - count) + " more") +
              ",\"r\":" + std::to_string(retained - shown) + ",\"o\":1}";
    }
    out_ += "]}";
  }

  void comma(size_t opened) {
    if (out_.size() > opened) out_ += ",";
  }

  const Analysis &a_;
  const Dominators &d_;
  std::string out_;
  size_t budget_ = 4000;
};

const char kStyle[] = R"(
body{font:14px/1.4 system-ui,sans-serif;margin:0 24px 40px;color:#1d2330;background:#fafbfc}
h1{font-size:22px;margin:20px 0 4px}h2{font-size:17px;margin:28px 0 8px;border-bottom:1px solid #d8dde6}
.facts{color:#4a5467}.facts span{margin-right:18px}
table{border-collapse:collapse;background:#fff;font-size:13px}
th,td{border:1px solid #dde2ea;padding:3px 8px;text-align:left;vertical-align:top}
th{background:#eef1f6}th.sortable{cursor:pointer}th.sortable:after{content:" \2195";color:#99a}
td.n{text-align:right;font-variant-numeric:tabular-nums}
.verdict{font-weight:600;background:#fff;border:1px solid #d8dde6;padding:6px 10px}tr.current{background:#f3f7ff}
.path{font-family:ui-monospace,monospace;font-size:12px;white-space:pre}
#crumbs{margin:6px 0}#crumbs a{cursor:pointer;color:#2456b3;text-decoration:underline}
#treemap{background:#fff;border:1px solid #d8dde6;display:block}
#treemap rect{stroke:#fff;stroke-width:1}#treemap .zoom{cursor:pointer}
#treemap text{font-size:11px;pointer-events:none;fill:#10151f}
)";

const char kScript[] = R"(
(function () {
  'use strict';
  var tree = JSON.parse(document.getElementById('tree-data').textContent);
  var svg = document.getElementById('treemap');
  var crumbs = document.getElementById('crumbs');
  var NS = 'http://www.w3.org/2000/svg';
  var W = 1100, H = 560;
  function hue(name) {
    var h = 0;
    for (var k = 0; k < name.length; k++) h = (h * 31 + name.charCodeAt(k)) % 360;
    return h;
  }
  function bytes(n) {
    var u = ['bytes', 'kB', 'MB', 'GB'], i = 0;
    while (n >= 1024 && i < 3) { n /= 1024; i++; }
    return (i ? n.toFixed(1) : n) + ' ' + u[i];
  }
  // A chain of single children is shown as its last link (a group is shown as itself).
  function unfold(node, trail) {
    while (node.c && node.c.length === 1 && node.c[0].c && !node.c[0].g) { node = node.c[0]; trail = trail.concat([node]); }
    return {node: node, trail: trail};
  }
  function squarify(items, x, y, w, h, out) {
    var total = 0, i, k;
    for (i = 0; i < items.length; i++) total += items[i].r;
    if (total <= 0 || w <= 0 || h <= 0) return;
    var scale = (w * h) / total;
    i = 0;
    while (i < items.length) {
      var side = Math.min(w, h), row = [], sum = 0, best = Infinity, j = i;
      while (j < items.length) {
        var area = items[j].r * scale, s = sum + area, big = row.length ? row[0] : area;
        var worst = Math.max(side * side * big / (s * s), s * s / (side * side * Math.max(area, 1e-9)));
        if (row.length && worst > best) break;
        best = worst; row.push(area); sum = s; j++;
      }
      var thick = sum / side, off = 0;
      for (k = 0; k < row.length; k++) {
        var len = row[k] / thick;
        if (w >= h) out.push({x: x, y: y + off, w: thick, h: len, node: items[i + k]});
        else out.push({x: x + off, y: y, w: len, h: thick, node: items[i + k]});
        off += len;
      }
      if (w >= h) { x += thick; w -= thick; } else { y += thick; h -= thick; }
      i = j;
    }
  }
  function box(r, inner, zoom) {
    var rect = document.createElementNS(NS, 'rect');
    rect.setAttribute('x', r.x.toFixed(1)); rect.setAttribute('y', r.y.toFixed(1));
    rect.setAttribute('width', Math.max(r.w, 0).toFixed(1)); rect.setAttribute('height', Math.max(r.h, 0).toFixed(1));
    rect.setAttribute('fill', r.node.o ? '#d5d9e0' : 'hsl(' + hue(r.node.k || r.node.n) + ',55%,' + (inner ? 82 : 68) + '%)');
    var title = document.createElementNS(NS, 'title');
    title.textContent = r.node.n + ': retains ' + bytes(r.node.r) + ' (' + (100 * r.node.r / tree.r).toFixed(1) + '% of the heap)';
    rect.appendChild(title);
    if (zoom) {
      rect.setAttribute('class', 'zoom');
      rect.addEventListener('click', zoom);
    }
    svg.appendChild(rect);
    if (r.w > 60 && r.h > 14 && !inner) {
      var text = document.createElementNS(NS, 'text');
      text.setAttribute('x', (r.x + 3).toFixed(1)); text.setAttribute('y', (r.y + 12).toFixed(1));
      var label = r.node.n + ' ' + bytes(r.node.r);
      text.textContent = label.length * 6 > r.w ? label.slice(0, Math.max(1, Math.floor(r.w / 6) - 1)) + '\u2026' : label;
      svg.appendChild(text);
    }
  }
  function show(node, trail) {
    while (svg.firstChild) svg.removeChild(svg.firstChild);
    var rects = [];
    squarify(node.c || [node], 0, 0, W, H, rects);
    rects.forEach(function (r) {
      var zoom = r.node.c ? function () { var u = unfold(r.node, trail.concat([r.node])); show(u.node, u.trail); } : null;
      box(r, false, zoom);
      var shown = unfold(r.node, []).node;
      if (shown.c && r.w > 30 && r.h > 30) {
        var inner = [];
        squarify(shown.c, r.x + 2, r.y + 16, r.w - 4, r.h - 18, inner);
        inner.forEach(function (q) { box(q, true, zoom); });
      }
    });
    crumbs.textContent = '';
    trail.forEach(function (step, k) {
      if (k) crumbs.appendChild(document.createTextNode(' \u203a '));
      var a = document.createElement('a');
      a.textContent = step.n;
      a.addEventListener('click', function () { show(step, trail.slice(0, k + 1)); });
      crumbs.appendChild(a);
    });
  }
  show(tree, [tree]);

  Array.prototype.forEach.call(document.querySelectorAll('table.sortable'), function (table) {
    Array.prototype.forEach.call(table.tHead.rows[0].cells, function (th, column) {
      th.className = 'sortable';
      th.addEventListener('click', function () {
        var body = table.tBodies[0], rows = Array.prototype.slice.call(body.rows);
        var numeric = th.getAttribute('data-type') === 'n';
        var down = th.getAttribute('data-down') !== '1';
        th.setAttribute('data-down', down ? '1' : '0');
        rows.sort(function (p, q) {
          var x = p.cells[column].textContent, y = q.cells[column].textContent;
          var c = numeric ? parseFloat(x) - parseFloat(y) : x.localeCompare(y);
          return down ? -c : c;
        });
        rows.forEach(function (row) { body.appendChild(row); });
      });
    });
  });
})();
)";

}  // namespace

std::string html_report(const Analysis &a, const std::string &title, const Findings &findings) {
  const std::vector<Suspect> &suspects = findings.suspects;
  double share = findings.share;
  std::vector<ClassRow> histogram = class_histogram(a);
  std::vector<uint32_t> top = top_dominators(a, 50);
  std::vector<AllocationRow> allocations = allocation_rows(a);
  auto meta = [&](const char *key) {
    auto found = a.info.metadata.find(key);
    return found == a.info.metadata.end() ? std::string("?") : found->second;
  };

  std::string html = "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">\n<title>Heap snapshot " +
                     escape_html(title) + "</title>\n<style>" + kStyle + "</style></head><body>\n";
  html += "<h1>Heap snapshot analysis</h1>\n<p class=\"facts\"><span>" + escape_html(title) + "</span><span>" +
          escape_html(meta("VM name") + " " + meta("VM version")) + "</span><span>OOM timestamp " +
          escape_html(meta("OOM timestamp")) + "</span></p>\n<p class=\"facts\"><span id=\"heap\">" +
          human_bytes(a.heap()) + " in " + std::to_string(a.reachable_objects()) + " reachable objects</span><span>" +
          std::to_string(a.graph.references) + " references</span><span>" + std::to_string(histogram.size()) +
          " classes</span>" +
          (findings.weak.total_objects() > 0
               ? "<span>" + human_bytes(findings.weak.total_bytes()) + " in " +
                     std::to_string(findings.weak.total_objects()) +
                     " objects only soft, weak, final or phantom references reach, left out</span>"
               : std::string()) +
          "</p>\n";
  html += "<p id=\"verdict\" class=\"verdict\">" + escape_html(format_verdict(findings.verdict)) + "</p>\n";

  char threshold[16];
  snprintf(threshold, sizeof threshold, "%g%%", share * 100);
  html +=
      std::string(
          "<h2>Leak suspects</h2>\n<p>Objects, and groups of one class under one dominator, that retain at least ") +
      threshold + " of the heap.</p>\n";
  html +=
      "<table id=\"suspects\"><thead><tr><th>#</th><th>Retained bytes</th><th>Share</th><th>Suspect</th>"
      "<th>GC root</th><th>Path from the root</th></tr></thead><tbody>\n";
  for (size_t i = 0; i < suspects.size(); ++i) {
    const Suspect &s = suspects[i];
    std::string root = s.path.found ? root_kind_name(s.path.root_kind) : "none";
    if (!s.path.thread.empty()) root += ", thread " + s.path.thread;
    if (!s.path.frame.empty()) root += ", in " + s.path.frame;
    std::string path;
    for (const PathStep &step : s.path.steps) path += format_step(a, step) + "\n";
    for (const PathStep &step : s.inside) path += "  " + format_step(a, step) + "\n";
    if (s.held_members > 0) {
      path += "  holding " + std::to_string(s.held_members) + " \u00d7 " +
              java_class_name(a.names.class_signature(s.held_class)) + " (" + percent(s.held_retained, a.heap()) +
              ")\n";
    }
    if (!s.sample.empty()) path += s.group ? "  the largest of them:\n" : "  the largest of those:\n";
    for (const PathStep &step : s.sample) path += "    " + format_step(a, step) + "\n";
    if (s.holder_followed) path = "made at " + s.holder_site.birthplace + "\n" + path;
    for (const RootPath &more : s.more_paths) {
      path += "another path, from a " + root_kind_name(more.root_kind) + " root:\n";
      for (const PathStep &step : more.steps) path += "  " + format_step(a, step) + "\n";
    }
    if (!s.sites.empty()) path += "holds followed objects made at:\n";
    for (size_t k = 0; k < s.sites.size() && k < 5; ++k) {
      path += "  " + std::to_string(s.sites[k].live) + " \u00d7 " + site_name(s.sites[k]) + ", retaining " +
              human_bytes(s.sites[k].retained) + "\n";
    }
    html += "<tr>" + number_cell(i + 1) + number_cell(s.retained) + cell(percent(s.retained, a.heap()), "n") +
            cell(describe_suspect(a, s)) + cell(root) + cell(path, "path") + "</tr>\n";
  }
  if (suspects.empty()) html += "<tr><td colspan=\"6\">No object or group retains that much.</td></tr>\n";
  html += "</tbody></table>\n";

  html +=
      "<h2>Dominator tree</h2>\n<p>Each box is an object, sized by what it retains; click a box to look "
      "inside it, and a name above to go back.</p>\n<div id=\"crumbs\"></div>\n"
      "<svg id=\"treemap\" viewBox=\"0 0 1100 560\" width=\"1100\" height=\"560\" role=\"img\"></svg>\n";

  html +=
      "<h2>Threads</h2>\n<p>The thread that took the snapshot (the one that hit the error) first; what a "
      "thread's stack frames retain is what only their locals keep alive.</p>\n<table id=\"threads\"><thead><tr>"
      "<th>Thread</th><th>State</th><th>Frames retain</th><th>Share</th><th>Stack, with what each frame "
      "retains</th></tr></thead><tbody>\n";
  for (const ThreadRow &thread : findings.threads) {
    std::string stack;
    for (const FrameRow &frame : thread.frames) {
      stack += frame.method + (frame.line >= 0 ? ":" + std::to_string(frame.line) : std::string()) +
               (frame.retained > 0 ? "  (" + human_bytes(frame.retained) + ")" : std::string()) + "\n";
    }
    html += std::string("<tr") + (thread.current ? " class=\"current\"" : "") + ">" +
            cell("\"" + thread.name + "\" (id " + std::to_string(thread.java_id) + ")" +
                 (thread.current ? ", took the snapshot" : "")) +
            cell(thread.state) + number_cell(thread.retained) + cell(percent(thread.retained, a.heap()), "n") +
            cell(stack, "path") + "</tr>\n";
  }
  if (findings.threads.empty()) html += "<tr><td colspan=\"5\">No threads listed.</td></tr>\n";
  html += "</tbody></table>\n";

  html +=
      "<h2>Class histogram</h2>\n<table id=\"histogram\" class=\"sortable\"><thead><tr><th>Class</th>"
      "<th data-type=\"n\">Instances</th><th data-type=\"n\">Shallow bytes</th><th data-type=\"n\">Retained bytes</th>"
      "<th data-type=\"n\">Retained</th></tr></thead><tbody>\n";
  for (const ClassRow &row : histogram) {
    html += "<tr>" + cell(java_class_name(a.names.class_signature(row.class_id))) + number_cell(row.instances) +
            number_cell(row.shallow) + number_cell(row.retained) + cell(percent(row.retained, a.heap()), "n") +
            "</tr>\n";
  }
  html += "</tbody></table>\n";

  html +=
      "<h2>Biggest objects</h2>\n<table id=\"dominators\" class=\"sortable\"><thead><tr><th>Object</th>"
      "<th data-type=\"n\">Shallow bytes</th><th data-type=\"n\">Retained bytes</th><th data-type=\"n\">Retained</th>"
      "</tr></thead><tbody>\n";
  for (uint32_t id : top) {
    html += "<tr>" + cell(object_label(a, id)) + number_cell(a.graph.shallow[id]) +
            number_cell(a.dominators.retained[id]) + cell(percent(a.dominators.retained[id], a.heap()), "n") +
            "</tr>\n";
  }
  html += "</tbody></table>\n";

  html +=
      "<h2>Allocation points</h2>\n<p>Followed instances still alive, joined to their allocation point "
      "through the tag they had before the snapshot.</p>\n<table id=\"allocations\" class=\"sortable\"><thead><tr>"
      "<th data-type=\"n\">Allocation id</th><th>Class</th><th>Allocated at</th><th data-type=\"n\">Live objects</th>"
      "<th data-type=\"n\">Shallow bytes</th><th data-type=\"n\">Retained bytes</th></tr></thead><tbody>\n";
  for (const AllocationRow &row : allocations) {
    html += "<tr>" + number_cell(row.point.id) + cell(row.listed ? row.point.class_name : "(not listed)") +
            cell(row.point.birthplace) + number_cell(row.live) + number_cell(row.shallow) + number_cell(row.retained) +
            "</tr>\n";
  }
  if (allocations.empty()) html += "<tr><td colspan=\"6\">No followed instances.</td></tr>\n";
  html += "</tbody></table>\n";

  html += metaspace_html(a, metaspace_report(a, 50));

  std::string tree = TreeJson(a).build();
  html += "<script type=\"application/json\" id=\"tree-data\">" + tree + "</script>\n<script>" + kScript +
          "</script>\n</body></html>\n";
  return html;
}

bool write_html_report(const Analysis &a, const std::string &title, const Findings &findings, const std::string &path,
                       std::string *error) {
  std::string html = html_report(a, title, findings);
  FILE *file = fopen(path.c_str(), "wb");
  if (!file) {
    *error = "cannot write " + path + ": " + strerror(errno);
    return false;
  }
  bool ok = fwrite(html.data(), 1, html.size(), file) == html.size();
  ok = fclose(file) == 0 && ok;
  if (!ok) *error = "cannot write " + path + ": " + strerror(errno);
  return ok;
}

}  // namespace snapshot_reader
