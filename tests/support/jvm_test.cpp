#include "jvm_test.h"

namespace vt {

std::vector<std::string> JvmFixture::command(const AgentHome &home, const std::string &scenario,
                                             JvmOptions &options) const {
  options.args.insert(options.args.begin(), scenario);
  return jvm_command(jdk(), home, options);
}

Results JvmFixture::run(const AgentHome &home, const std::string &scenario, JvmOptions options, Exit exit) {
  last_ = run_process(jdk().java, command(home, scenario, options), options.process);
  if (exit == Exit::zero && (last_.exit_code != 0 || last_.signal != 0)) {
    ADD_FAILURE() << "scenario " << scenario << " on " << jdk().name << " did not exit with 0\n" << output();
  }
  expect_no_warnings(last_);
  return scenario_results(last_.out);
}

std::unique_ptr<BackgroundProcess> JvmFixture::start(const AgentHome &home, const std::string &scenario,
                                                     JvmOptions options) {
  return std::make_unique<BackgroundProcess>(jdk().java, command(home, scenario, options), options.process);
}

bool JvmFixture::wait_for_result(BackgroundProcess &jvm, const std::string &key_value,
                                 std::chrono::milliseconds timeout) {
  bool printed = wait_until([&] { return contains(jvm.out(), "RESULT " + key_value + "\n"); }, timeout);
  last_.out = jvm.out();
  last_.err = jvm.err();
  expect_no_warnings(last_);
  return printed;
}

std::string JvmFixture::output() const {
  std::string text = "exit " + std::to_string(last_.exit_code) + ", signal " + std::to_string(last_.signal) +
                     (last_.timed_out ? ", timed out" : "") + "\n--- standard output\n" + last_.out;
  return text + "--- standard error\n" + last_.err;
}

void JvmFixture::expect_results(const Results &results,
                                std::initializer_list<std::pair<std::string, std::string>> expected) {
  bool all = true;
  for (const auto &[key, value] : expected) {
    auto found = results.find(key);
    if (found == results.end()) {
      ADD_FAILURE() << "no RESULT " << key << " (expected " << value << ")";
      all = false;
    } else if (found->second != value) {
      ADD_FAILURE() << "RESULT " << key << "=" << found->second << ", expected " << value;
      all = false;
    }
  }
  if (!all) ADD_FAILURE() << output();
}

void expect_no_warnings(const ProcessResult &result) {
  for (const std::string *text : {&result.out, &result.err}) {
    for (const std::string &line : split_lines(*text)) {
      if (line.rfind("WARNING", 0) == 0) ADD_FAILURE() << "the JVM warned: " << line;
    }
  }
}

void expect_snapshot_archive(const std::string &archive, const std::string &info, const std::string &graph) {
  EXPECT_EQ(run_process("/bin/bzip2", {"bzip2", "-t", archive}).exit_code, 0) << archive;
  TempDir out("vorkel-extract");
  ProcessResult extract = run_process("/bin/tar", {"tar", "-xjf", archive, "-C", out.path()});
  ASSERT_EQ(extract.exit_code, 0) << extract.err;
  EXPECT_EQ(list_directory(out.path()), (std::vector<std::string>{"oom_graph.bin", "oom_info.txt"}));
  // Compared whole, not printed: the files are large.
  EXPECT_TRUE(read_file(out / "oom_info.txt") == info) << archive;
  EXPECT_TRUE(read_file(out / "oom_graph.bin") == graph) << archive;
}

}  // namespace vt
