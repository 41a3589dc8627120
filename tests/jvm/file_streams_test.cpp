// The file stream tracker in real JVMs: hooks installed and removed through the JVM's own binds,
// the stream registry, the per-transaction table and its summary.
#include <gtest/gtest.h>

#include "jvm.h"

namespace {

using vt::AgentHome;
using vt::JvmOptions;

class FileStreamsJvm : public ::testing::TestWithParam<vt::Jdk> {
 protected:
  std::map<std::string, std::string> run(AgentHome &home, const std::string &scenario, const vt::TempDir &dir,
                                         const std::string &agent_options = "") {
    JvmOptions options;
    options.agent_options = agent_options;
    options.args = {"FileStreams." + scenario, dir.path()};
    vt::ProcessResult result;
    auto results = vt::run_scenario(GetParam(), home, options, &result);
    out_ = result.out + result.err;
    return results;
  }
  std::string out_;
};

INSTANTIATE_TEST_SUITE_P(Jdks, FileStreamsJvm, ::testing::ValuesIn(vt::available_jdks()),
                         [](const auto &info) { return vt::jdk_test_name(info.param); });

TEST_P(FileStreamsJvm, RegistryFollowsOpenCloseAndGcAndBadInputPassesThrough) {
  AgentHome home(true);
  vt::TempDir dir;
  auto r = run(home, "registry", dir);
  EXPECT_EQ(r["key_before_enabled"], "0") << out_;
  EXPECT_EQ(r["read_before_enabled"], "0");
  EXPECT_EQ(r["baseline"], "0");
  EXPECT_EQ(r["input_path"], dir / "data.bin");
  EXPECT_EQ(r["output_path"], dir / "out.bin");
  EXPECT_EQ(r["random_path"], dir / "data.bin");
  EXPECT_EQ(r["keys_ascend"], "true");
  EXPECT_EQ(r["registered_three"], "3");
  EXPECT_EQ(r["read_through_hook"], "0,10,0");
  EXPECT_EQ(r["closed_untagged"], "0");
  EXPECT_EQ(r["closed_unregistered"], "true");
  EXPECT_EQ(r["closed_read"], "java.io.IOException:Stream Closed");
  EXPECT_EQ(r["closed_block_read"], "java.io.IOException:Stream Closed");
  EXPECT_EQ(r["closed_write"], "java.io.IOException:Stream Closed");
  EXPECT_EQ(r["dropped_registered"], "true");
  EXPECT_NE(r["dropped_rounds"], "-1");
  EXPECT_EQ(r["after_many"], "0");
  EXPECT_TRUE(vt::contains(r["missing_file"], "java.io.FileNotFoundException")) << r["missing_file"];
  EXPECT_TRUE(vt::contains(r["missing_file_output"], "java.io.FileNotFoundException"));
  EXPECT_EQ(r["after_failed_opens"], "0");
  EXPECT_EQ(r["null_path"], "java.lang.NullPointerException");
  EXPECT_EQ(r["after_null_path"], "0");
  EXPECT_EQ(r["starved_key"], "0");
  EXPECT_EQ(r["starved_read"], "100:99");
  EXPECT_EQ(r["after_starved"], "0");
  EXPECT_EQ(r["disabled_key"], "0");
  EXPECT_EQ(r["disabled_read"], "10");
  EXPECT_EQ(r["disabled_counted"], "null/null");
  EXPECT_EQ(r["reenabled_key_set"], "true");
  EXPECT_EQ(r["after_disable_key"], "0");
  EXPECT_EQ(r["after_disable_read"], "0");
  EXPECT_EQ(r["after_disable_counted"], "null/null");
  EXPECT_EQ(r["after_all"], "0");
  std::string log = home.native_log();
  EXPECT_EQ(vt::log_lines_with(log, "ERROR - Could not register file stream " + dir / "data.bin" + ": out of memory.")
                .size(),
            1u)
      << log;
  EXPECT_EQ(vt::log_lines_with(log, "File stream tracking enabled.").size(), 2u) << log;
  EXPECT_EQ(vt::log_lines_with(log, "The native agent is switched off, file stream tracking stays off.").size(), 1u);
  EXPECT_EQ(vt::agent_errors(log).size(), 1u) << log;
}

TEST_P(FileStreamsJvm, ATransactionGetsOneRowPerStreamAndKindWithTimingsAndStacks) {
  AgentHome home(true);
  vt::TempDir dir;
  auto r = run(home, "transaction", dir);
  // 255 blocks of 4 KiB and the end of the file; the last 4 KiB byte by byte and the end once.
  EXPECT_EQ(r["row.input.bin.read-block"], "256/1044480") << out_;
  EXPECT_EQ(r["row.input.bin.read"], "4097/4096");
  EXPECT_EQ(r["row.output.bin.write-block"], "256/1048576");
  EXPECT_EQ(r["row.output.bin.write"], "100/100");
  EXPECT_EQ(r["row_count"], "4");  // the stream opened before the tracker was enabled has none
  EXPECT_EQ(r["evicted"], "0/true");
  EXPECT_EQ(r["stack_methods"], "readInBlocksThenBytes,readInBlocksThenBytes,writeBlocksThenBytes,"
                                "writeBlocksThenBytes,");
  EXPECT_EQ(r["times_ordered"], "true");
  EXPECT_EQ(r["timings"], "4097,257,100,256");  // the early stream's read counts here only
  EXPECT_EQ(r["refetch"], "true");
  EXPECT_EQ(r["starved_flush_read"], "100");
  EXPECT_EQ(r["starved_flush"], "null");
  EXPECT_EQ(r["after_starved_flush"], "null");

  EXPECT_EQ(r["wrapped.lines.txt.read-block"], "2/14");  // the reader's buffer fill and the end
  EXPECT_EQ(r["wrapped.random.bin.write-block"], "1/300");
  EXPECT_EQ(r["wrapped.random.bin.write"], "1/1");
  EXPECT_EQ(r["wrapped.random.bin.read"], "1/1");
  EXPECT_EQ(r["wrapped.random.bin.read-block"], "1/200");
  EXPECT_EQ(r.count("wrapped.nio.txt.write-block"), 0u);
  EXPECT_EQ(r["wrapped_timings"], "1,3,1,1");
  EXPECT_EQ(r["outside"], "null/null");

  EXPECT_EQ(r["many_rows"], "51");
  EXPECT_EQ(r["many_evicted"], "10");
  EXPECT_EQ(r["many_aggregate"], "10/160/null");
  EXPECT_EQ(r["many_saved_stacks"], "10");
  EXPECT_EQ(r["many_saved_names_method"], "true");
  EXPECT_EQ(r["registry_left"], "0");
  std::string log = home.native_log();
  std::vector<std::string> errors = vt::agent_errors(log);
  ASSERT_EQ(errors.size(), 1u) << log;
  EXPECT_TRUE(vt::contains(errors[0], "ERROR - Failed to allocate buffer for flushing file stream transaction info. "
                                      "(file_streams_flush_transaction_inner:"))
      << errors[0];
}

}  // namespace
