// snapshot-reader as a program: its help, its commands on a snapshot directory and on an archive
// packed by the system's tar, its messages and exit statuses, the JSON documents, the gate and the
// diff, and the HTML report in headless Chromium (drawn, clickable, sortable, without console
// errors, not blank on screen).
#include <gtest/gtest.h>

#include "snapshot_maker.h"
#include "test_util.h"

namespace {

vt::ProcessResult reader(const std::vector<std::string> &arguments) {
  std::vector<std::string> argv{"snapshot-reader"};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  return vt::run_process(VORKEL_SNAPSHOT_READER, argv);
}

class ReaderProgram : public ::testing::Test {
 protected:
  void SetUp() override {
    shop_.m.set_current_thread(1);
    ASSERT_TRUE(shop_.m.write(snapshot_));
  }
  vt::TempDir dir_{"vorkel-reader-program"};
  std::string snapshot_ = dir_.path();
  vt::ShopSnapshot shop_;
};

TEST_F(ReaderProgram, HelpCommandsMessagesAndExitStatuses) {
  vt::ProcessResult help = reader({"--help"});
  EXPECT_EQ(help.exit_code, 0);
  for (const char *part :
       {"usage: snapshot-reader COMMAND [OPTIONS] SNAPSHOT", "  summary ", "  histogram ", "  dominators ",
        "  suspects ", "  threads ", "  report --html FILE", "  diff OLD NEW", "--format FORMAT", "--paths N", "--soft",
        "--fail-over PCT", "--fail-growth BYTES", "Exit status:"}) {
    EXPECT_TRUE(vt::contains(help.out, part)) << part;
  }
  vt::ProcessResult none = reader({});
  EXPECT_EQ(none.exit_code, 2);
  EXPECT_EQ(none.err, "snapshot-reader: no command and no snapshot given\n(see snapshot-reader --help)\n");
  EXPECT_EQ(reader({"suspects", "--frobnicate", snapshot_}).exit_code, 2);
  EXPECT_EQ(reader({"report", snapshot_}).err,
            "snapshot-reader: report needs --html FILE\n(see snapshot-reader --help)\n");
  EXPECT_EQ(reader({"diff", snapshot_}).exit_code, 2);
  EXPECT_EQ(reader({"suspects", "--fail-growth", "10", snapshot_}).exit_code, 2);
  EXPECT_EQ(reader({"suspects", "--format", "xml", snapshot_}).exit_code, 2);

  // Straight from an archive the system's tar packed (entries under a directory of their own),
  // written outside the directory it packs.
  vt::TempDir archives{"vorkel-reader-archive"};
  std::string archive = archives / "shop.tar.bz2";
  vt::ProcessResult tar = vt::run_process(
      "/bin/tar", {"tar", "-cjf", archive, "-C", dir_.path() + "/..", dir_.path().substr(dir_.path().rfind('/') + 1)});
  ASSERT_EQ(tar.exit_code, 0) << tar.err;
  vt::ProcessResult from_directory = reader({"suspects", snapshot_});
  vt::ProcessResult from_archive = reader({"suspects", archive});
  EXPECT_EQ(from_directory.exit_code, 0);
  EXPECT_EQ(from_archive.out, from_directory.out);
  // Standard error is no terminal here: no progress line.
  EXPECT_EQ(from_directory.err, "");
  EXPECT_EQ(from_archive.err, "");
  std::string map = "Map #" + std::to_string(shop_.map);
  EXPECT_TRUE(vt::contains(from_directory.out, "Suspect 1: one " + map + " retains 41336 bytes")) << from_directory.out;
  EXPECT_TRUE(vt::contains(from_directory.out, "    .CACHE -> " + map + "\n")) << from_directory.out;

  vt::ProcessResult histogram = reader({"histogram", "--top=3", snapshot_});
  EXPECT_EQ(vt::split_lines(histogram.out).size(), 5u) << histogram.out;
  EXPECT_TRUE(vt::contains(histogram.out, "            9            70064            70064    86.0%  byte[]\n"))
      << histogram.out;
  EXPECT_TRUE(vt::contains(histogram.out, "            1               48            41336    50.8%  Map\n"))
      << histogram.out;
  vt::ProcessResult dominators = reader({"dominators", "-n", "1", snapshot_});
  EXPECT_TRUE(vt::contains(dominators.out, "           41336     50.8%          0  class Shop #1 (the roots)\n"))
      << dominators.out;
  vt::ProcessResult summary = reader({"--top", "3", archive});
  EXPECT_EQ(summary.exit_code, 0) << summary.out;
  EXPECT_TRUE(vt::contains(summary.out, "Snapshot is consistent.")) << summary.out;

  // A graph cut inside a record: the message names where that record starts.
  vt::write_file(dir_ / "oom_graph.bin", shop_.m.graph().substr(0, 50));
  size_t record = 0;
  for (size_t start : shop_.m.record_starts()) record = start < 50 ? start : record;
  vt::ProcessResult cut = reader({"dominators", snapshot_});
  EXPECT_EQ(cut.exit_code, 1);
  EXPECT_EQ(cut.err, "snapshot-reader: " + snapshot_ + ": oom_graph.bin: offset " + std::to_string(record) +
                         ": reference record cut off at the end of the file\n");
}

// Checks a JSON document with Python's parser: the script reads it as `d` and prints what it finds.
std::string json_facts(const std::string &document, const std::string &script) {
  vt::ProcessResult parsed =
      vt::run_process("/usr/bin/python3", {"python3", "-c", "import json, sys\nd = json.load(sys.stdin)\n" + script},
                      {.stdin_text = document});
  EXPECT_EQ(parsed.exit_code, 0) << parsed.err << document.substr(0, 2000);
  return parsed.out;
}

// Every command's JSON: well formed, with the schema's name and version, and the same bytes from
// the directory, from the archive and on every run. A thread name that is not UTF-8 stays valid.
TEST_F(ReaderProgram, JsonOfEveryCommandIsWellFormedAndTheSameForTheSameSnapshot) {
  shop_.m.add_thread(9, 0, "bad \xff name\t\"quoted\"");
  ASSERT_TRUE(shop_.m.write(snapshot_));
  vt::TempDir archives{"vorkel-reader-json"};
  std::string archive = archives / "shop.tar.bz2";
  ASSERT_EQ(
      vt::run_process("/bin/tar", {"tar", "-cjf", archive, "-C", snapshot_, "oom_info.txt", "oom_graph.bin"}).exit_code,
      0);
  for (const char *command : {"summary", "histogram", "dominators", "suspects", "threads", "metaspace", "report"}) {
    SCOPED_TRACE(command);
    vt::ProcessResult first = reader({command, "--format", "json", snapshot_});
    ASSERT_EQ(first.exit_code, 0) << first.err;
    EXPECT_EQ(reader({command, "--format=json", snapshot_}).out, first.out);
    EXPECT_EQ(reader({command, "-f", "json", archive}).out, first.out);
    EXPECT_EQ(json_facts(first.out, "print(d['schema'], d['version'], d['command'])"),
              std::string("vorkel-snapshot-analysis 1 ") + command + "\n");
  }
  std::string suspects = reader({"suspects", "--format", "json", "--paths", "2", snapshot_}).out;
  EXPECT_EQ(json_facts(suspects,
                       "s = d['suspects'][0]\n"
                       "print(d['verdict']['kind'], d['verdict']['suspect'], d['current_thread']['name'])\n"
                       "print(s['kind'], s['object']['type'], s['retained'], s['share'], len(s['paths']))\n"
                       "print([step['via'] for step in s['paths'][0]['steps']], s['paths'][0]['root']['kind'])\n"
                       "print(s['sites'][0]['birthplace'], s['sites'][0]['objects'], s['sites'][0]['retained'])\n"
                       "print(d['suspects'][1]['paths'][0]['root']['frame'], d['suspects'][1]['held_by_a_stack'])"),
            "leak 1 main\n"
            "object Map 41336 0.5076 1\n"
            "['', '.CACHE'] system class\n"
            "Shop.main(Shop.java:10) 4 40096\n"
            "Shop.main (frame 2, slot 3) True\n");
  std::string threads = reader({"threads", "--format", "json", snapshot_}).out;
  EXPECT_EQ(json_facts(threads, "print(ascii([(t['name'], t['retained']) for t in d['threads']]))"),
            "[('main', 30000), ('bad \\ufffd name\\t\"quoted\"', 0)]\n");
}

// The gate for test suites: --fail-over on a suspect's share, --fail-growth on what grew between
// two snapshots (a directory and an archive); the diff shows the growth by site, class and path.
TEST_F(ReaderProgram, TheGateSetsTheExitStatusAndTheDiffShowsWhatGrew) {
  vt::ProcessResult over = reader({"suspects", "--fail-over", "40", snapshot_});
  EXPECT_EQ(over.exit_code, 3);
  EXPECT_EQ(over.err, "snapshot-reader: one Map #" + std::to_string(shop_.map) +
                          " retains 50.8% of the heap, more than --fail-over 40%\n");
  EXPECT_EQ(reader({"suspects", "--fail-over", "60", snapshot_}).exit_code, 0);
  EXPECT_EQ(json_facts(reader({"histogram", "--format", "json", "--fail-over", "40", snapshot_}).out,
                       "print(d['gate']['crossed'])"),
            "True\n");

  vt::TempDir later{"vorkel-reader-later"};
  vt::ShopSnapshot grown(8);
  ASSERT_TRUE(grown.m.write(later.path()));
  std::string archive = later / "later.tar.bz2";
  ASSERT_EQ(vt::run_process("/bin/tar", {"tar", "-cjf", archive, "-C", later.path(), "oom_info.txt", "oom_graph.bin"})
                .exit_code,
            0);
  vt::ProcessResult diff = reader({"diff", snapshot_, archive});
  ASSERT_EQ(diff.exit_code, 0) << diff.err;
  EXPECT_TRUE(vt::contains(diff.out, "Snapshot diff: the heap grew by +39.3 kB, from 79.5 kB in ")) << diff.out;
  EXPECT_TRUE(vt::contains(diff.out,
                           "             4             8           40096           80192      +39.2 kB  "
                           "Order @ Shop.main(Shop.java:10)\n"))
      << diff.out;
  EXPECT_TRUE(vt::contains(diff.out,
                           "      +39.2 kB  class Shop .CACHE -> Map .table -> Entry[] [*] -> Entry .value "
                           "-> Order\n"))
      << diff.out;
  vt::ProcessResult crossed = reader({"diff", "--fail-growth", "40000", snapshot_, archive});
  EXPECT_EQ(crossed.exit_code, 3);
  EXPECT_EQ(crossed.err, "snapshot-reader: the heap grew by 40288 bytes, more than --fail-growth 40000\n");
  EXPECT_EQ(reader({"diff", "--fail-growth", "50000", snapshot_, archive}).exit_code, 0);
  vt::ProcessResult json = reader({"diff", "--format", "json", "--top", "1", archive, snapshot_});
  EXPECT_EQ(json_facts(json.out,
                       "print(d['growth']['bytes'], d['sites'][0]['site'], d['sites'][0]['growth'], "
                       "d['sites'][0]['old']['objects'], len(d['paths']))"),
            "-40288 Order @ Shop.main(Shop.java:10) -40096 8 1\n");
}

// The synthetic snapshots of the scale benchmark: consistent, and analysed as their recipe says
// (the static table holds everything, one map node in 64 is followed).
TEST_F(ReaderProgram, ASyntheticSnapshotIsConsistentAndAnalysedAsItsRecipeSays) {
  vt::TempDir synthetic{"vorkel-reader-synthetic"};
  vt::ProcessResult made =
      vt::run_process(VORKEL_SYNTHETIC_SNAPSHOT, {"vorkel_synthetic_snapshot", synthetic.path(), "20000"});
  ASSERT_EQ(made.exit_code, 0) << made.err;
  uint64_t chunks = std::stoull(made.out.substr(made.out.find(" in ") + 4));
  EXPECT_EQ(made.out, std::to_string(3 + 9 * chunks) + " objects in " + std::to_string(chunks) + " chunks\n");
  vt::ProcessResult summary = reader({synthetic.path()});
  EXPECT_EQ(summary.exit_code, 0) << summary.out;
  EXPECT_EQ(json_facts(reader({"suspects", "--format", "json", synthetic.path()}).out,
                       "s = d['suspects'][0]\n"
                       "print(s['object']['type'], round(s['share'], 2), [x['via'] for x in s['paths'][0]['steps']])\n"
                       "print(s['sites'][0]['birthplace'], s['sites'][0]['objects'], d['verdict']['kind'])"),
            "java.lang.Object[] 1.0 ['', '.CHUNKS']\nSyntheticHeap.put(SyntheticHeap.java:42) " +
                std::to_string((chunks + 63) / 64) + " leak\n");
}

// Chromium as the brief says it runs here: headless, as root, with a profile of its own.
vt::ProcessResult chromium(const vt::TempDir &profile, const std::vector<std::string> &arguments) {
  std::vector<std::string> argv{"chromium",
                                "--headless",
                                "--no-sandbox",
                                "--disable-gpu",
                                "--disable-quic",
                                "--no-first-run",
                                "--disable-background-networking",
                                "--disable-component-update",
                                "--disable-sync",
                                "--user-data-dir=" + profile.path(),
                                "--enable-logging=stderr",
                                "--v=0",
                                "--window-size=1280,1400"};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  return vt::run_process("/usr/bin/chromium", argv, {.timeout = std::chrono::seconds(180)});
}

std::vector<std::string> console_lines(const std::string &log) {
  std::vector<std::string> lines;
  for (const std::string &line : vt::split_lines(log)) {
    if (vt::contains(line, ":CONSOLE")) lines.push_back(line);
  }
  return lines;
}

// What a user does on the page, done by a script added at its end: count what was drawn, click the
// biggest box of the treemap, sort the histogram by instances. The findings go into the page.
const char kProbe[] = R"(<script>
(function () {
  var svg = document.getElementById('treemap');
  var found = {verdict: document.getElementById('verdict').textContent.slice(0, 14),
               threads: document.querySelectorAll('#threads tbody tr.current').length,
               suspects: document.querySelectorAll('#suspects tbody tr').length,
               rects: svg.querySelectorAll('rect').length, labels: svg.querySelectorAll('text').length,
               crumbs: document.querySelectorAll('#crumbs a').length};
  var zoom = svg.querySelector('rect.zoom');
  zoom.dispatchEvent(new MouseEvent('click', {bubbles: true}));
  var crumbs = document.querySelectorAll('#crumbs a');
  found.crumbs_after_click = crumbs.length;
  found.zoomed_into = crumbs[crumbs.length - 1].textContent;
  found.rects_after_click = svg.querySelectorAll('rect').length;
  var header = document.querySelectorAll('#histogram thead th')[1];
  header.dispatchEvent(new MouseEvent('click', {bubbles: true}));
  found.most_instances = document.querySelector('#histogram tbody tr td').textContent;
  var out = document.createElement('pre');
  out.id = 'probe';
  out.textContent = JSON.stringify(found);
  document.body.appendChild(out);
})();
</script>
)";

// Pixels of a PNG that are not the page's background, in thousandths (0 for a blank page).
const char kInkShare[] = R"(
import struct, sys, zlib
data = open(sys.argv[1], 'rb').read()
assert data[:8] == b'\x89PNG\r\n\x1a\n'
pos, idat = 8, b''
while pos < len(data):
    length, kind = struct.unpack('>I4s', data[pos:pos + 8])
    body = data[pos + 8:pos + 8 + length]
    if kind == b'IHDR':
        width, height, depth, colour = struct.unpack('>IIBB', body[:10])
    elif kind == b'IDAT':
        idat += body
    pos += 12 + length
assert depth == 8 and colour in (2, 6)
step = 3 if colour == 2 else 4
raw, stride, rows, previous = zlib.decompress(idat), width * step, [], bytearray(width * step)
for y in range(height):
    kind, line = raw[y * (stride + 1)], bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
    for x in range(stride):
        a = line[x - step] if x >= step else 0
        b, c = previous[x], previous[x - step] if x >= step else 0
        if kind == 1: line[x] = (line[x] + a) & 255
        elif kind == 2: line[x] = (line[x] + b) & 255
        elif kind == 3: line[x] = (line[x] + (a + b) // 2) & 255
        elif kind == 4:
            p = a + b - c
            pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
            line[x] = (line[x] + (a if pa <= pb and pa <= pc else b if pb <= pc else c)) & 255
    rows.append(bytes(line))
    previous = line
background = rows[0][:3]
ink = sum(1 for row in rows for x in range(0, stride, step) if row[x:x + 3] != background)
print(ink * 1000 // (width * height))
)";

TEST_F(ReaderProgram, TheHtmlReportIsSelfContainedAndDrawsInHeadlessChromium) {
  std::string page = dir_ / "report.html";
  vt::ProcessResult written = reader({"report", "--html", page, snapshot_});
  ASSERT_EQ(written.exit_code, 0) << written.err;
  std::string html = vt::read_file(page);
  // Nothing is fetched: no link, source, import or address but the SVG namespace's name.
  std::string svg_namespace = "'http://www.w3.org/2000/svg'";
  ASSERT_EQ(vt::count_occurrences(html, svg_namespace), 1u);
  std::string rest =
      html.substr(0, html.find(svg_namespace)) + html.substr(html.find(svg_namespace) + svg_namespace.size());
  for (const char *external : {"http:", "https:", "<link", "src=", "@import", "url(", "fetch(", "XMLHttpRequest"}) {
    EXPECT_FALSE(vt::contains(rest, external)) << external;
  }
  std::string probe = dir_ / "probe.html";
  ASSERT_TRUE(vt::write_file(probe, html.substr(0, html.rfind("</body>")) + kProbe + "</body></html>\n"));

  vt::TempDir profile("vorkel-chromium");
  vt::ProcessResult dom = chromium(profile, {"--dump-dom", "file://" + probe});
  ASSERT_EQ(dom.exit_code, 0) << dom.err;
  EXPECT_EQ(console_lines(dom.err), std::vector<std::string>{}) << dom.err;
  size_t start = dom.out.find("<pre id=\"probe\">");
  ASSERT_NE(start, std::string::npos) << dom.out.substr(0, 3000);
  std::string found = dom.out.substr(start + 16, dom.out.find("</pre>", start) - start - 16);
  // Three suspects; the treemap's boxes with their labels; a click goes one level down.
  EXPECT_TRUE(vt::contains(found, "\"verdict\":\"Verdict: leak:\",\"threads\":1,\"suspects\":3,")) << found;
  // The biggest box is the shop's class; a click shows what it holds, down its chain of single
  // children to the table (class Shop > Map > Entry[]).
  EXPECT_TRUE(vt::contains(found, "\"crumbs\":1,\"crumbs_after_click\":4,\"zoomed_into\":\"Entry[] #")) << found;
  EXPECT_TRUE(vt::contains(found, "\"most_instances\":\"byte[]\"")) << found;
  int rects = std::stoi(found.substr(found.find("\"rects\":") + 8));
  int labels = std::stoi(found.substr(found.find("\"labels\":") + 9));
  EXPECT_GE(rects, 8) << found;
  EXPECT_GE(labels, 3) << found;

  std::string screenshot = dir_ / "report.png";
  vt::ProcessResult shot = chromium(profile, {"--screenshot=" + screenshot, "file://" + page});
  ASSERT_EQ(shot.exit_code, 0) << shot.err;
  EXPECT_EQ(console_lines(shot.err), std::vector<std::string>{}) << shot.err;
  vt::ProcessResult ink = vt::run_process("/usr/bin/python3", {"python3", "-c", kInkShare, screenshot});
  ASSERT_EQ(ink.exit_code, 0) << ink.err;
  EXPECT_GE(std::stoi(ink.out), 100) << "thousandths of the screenshot that are not background: " << ink.out;
}

}  // namespace
