// snapshot-reader: checks a snapshot directory (oom_graph.bin against oom_info.txt) and prints a summary.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "snapshot_reader.h"

int main(int argc, char **argv) {
  size_t top = 20;
  const char *directory = nullptr;
  for (int i = 1; i < argc; ++i) {
    if (strcmp(argv[i], "--top") == 0 && i + 1 < argc) {
      top = (size_t)strtoul(argv[++i], nullptr, 10);
    } else if (argv[i][0] != '-' && directory == nullptr) {
      directory = argv[i];
    } else {
      directory = nullptr;
      break;
    }
  }
  if (directory == nullptr) {
    fprintf(stderr, "usage: %s [--top N] SNAPSHOT_DIRECTORY\n", argv[0]);
    return 2;
  }
  snapshot_reader::Report report = snapshot_reader::read_directory(directory);
  fputs(snapshot_reader::format_report(report, top).c_str(), stdout);
  return report.ok ? 0 : 1;
}
