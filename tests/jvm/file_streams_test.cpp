// The file stream tracker in real JVMs: hooks installed and removed through the JVM's own binds,
// the stream registry, the per-transaction table and its summary.
#include <gtest/gtest.h>

#include "jvm_test.h"

namespace {

using vt::AgentHome;

class FileStreamsJvm : public vt::JvmTest {};
VT_JDK_TEST_SUITE(FileStreamsJvm);

TEST_P(FileStreamsJvm, RegistryFollowsOpenCloseAndGcAndBadInputPassesThrough) {
  AgentHome home(true);
  vt::TempDir dir;
  auto r = run(home, "FileStreams.registry", {.args = {dir.path()}});
  EXPECT_RESULTS(r, {{"key_before_enabled", "0"},
                     {"read_before_enabled", "0"},
                     {"baseline", "0"},
                     {"input_path", dir / "data.bin"},
                     {"output_path", dir / "out.bin"},
                     {"random_path", dir / "data.bin"},
                     {"keys_ascend", "true"},
                     {"registered_three", "3"},
                     {"read_through_hook", "0,10,0"},
                     {"closed_untagged", "0"},
                     {"closed_unregistered", "true"},
                     {"closed_read", "java.io.IOException:Stream Closed"},
                     {"closed_block_read", "java.io.IOException:Stream Closed"},
                     {"closed_write", "java.io.IOException:Stream Closed"},
                     {"dropped_registered", "true"},
                     {"dropped_forgotten", "true"},
                     {"after_many", "0"},
                     {"after_failed_opens", "0"},
                     {"null_path", "java.lang.NullPointerException"},
                     {"after_null_path", "0"},
                     {"starved_key", "0"},
                     {"starved_read", "100:99"},
                     {"after_starved", "0"},
                     {"disabled_key", "0"},
                     {"disabled_read", "10"},
                     {"disabled_counted", "null/null"},
                     {"reenabled_key_set", "true"},
                     {"after_disable_key", "0"},
                     {"after_disable_read", "0"},
                     {"after_disable_counted", "null/null"},
                     {"after_all", "0"}});
  EXPECT_TRUE(vt::contains(r["missing_file"], "java.io.FileNotFoundException")) << r["missing_file"];
  EXPECT_TRUE(vt::contains(r["missing_file_output"], "java.io.FileNotFoundException"));
  vt::NativeLog log = home.log();
  EXPECT_EQ(log.count("ERROR - Could not register file stream " + dir / "data.bin" + ": out of memory."), 1u) << log;
  EXPECT_EQ(log.count("File stream tracking enabled."), 2u) << log;
  EXPECT_EQ(log.count("The native agent is switched off, file stream tracking stays off."), 1u);
  EXPECT_EQ(log.agent_errors().size(), 1u) << log;
}

// Every native of the stream classes and of the file channels is bound through the agent at its first call, and bound
// again after each switch (not after setting the same state): with the hooks while enabled, with the JDK's own
// functions while disabled.
TEST_P(FileStreamsJvm, TheJvmBindsEachNativeAtItsFirstCallAndAgainAfterEverySwitch) {
  AgentHome home(true);
  vt::TempDir dir;
  auto r = run(home, "FileStreams.binds", {.args = {dir.path()}});
  EXPECT_RESULTS(r, {{"enabled_counted", "2,2,2,2"}, {"disabled_counted", "null"}, {"reenabled_counted", "2,2,2,2"}});
  std::string bound;
  int natives = 0;
  for (const auto &[key, value] : r) {
    if (key.rfind("bound.", 0) != 0) continue;
    // A native of the class library is found and bound once per switch, not when the state stays.
    // A name it lacks is not found, or is found as a Java method (FileOutputStream.write(I)V), which
    // the JVM never binds.
    EXPECT_TRUE(value == "native:1,2,3,3" || value == "not-native:absent" || value == "not-native:0,0,0,0")
        << key << "=" << value;
    if (value == "native:1,2,3,3") {
      ++natives;
      bound += " " + key.substr(6);
    }
  }
  // The streams' twelve, and the channels' (17: the dispatcher's six, FileChannelImpl.transferTo0,
  // open0 and close0, UnixCopyFile.transfer, FileCleanable.cleanupClose0; 25: also
  // FileDispatcherImpl.transferFrom0 and the two copies of LinuxNativeDispatcher and
  // UnixFileSystem in the place of UnixCopyFile's).
  EXPECT_EQ(natives, jdk().major < 25 ? 23 : 25) << bound;
  std::cout << "[ binds    ] " << jdk().name << ":" << bound << std::endl;
}

TEST_P(FileStreamsJvm, WritesToAFullDiskKeepTheirIOExceptionAndCountWithoutBytes) {
  VT_REQUIRE_TMPFS(disk, "256k");
  AgentHome home(true);
  auto r = run(home, "FileStreams.fullDisk", {.jvm_flags = {"-Xcheck:jni"}, .args = {disk.path()}});
  EXPECT_RESULTS(r, {{"block_failure", "java.io.IOException:No space left on device"},
                     {"byte_failure", "java.io.IOException:No space left on device"},
                     {"blocks_counted", "true"},
                     {"byte_row", "1/0/true"}});
  EXPECT_FALSE(vt::contains(last().out + last().err, "WARNING")) << output();
  EXPECT_TRUE(home.log().agent_errors().empty()) << home.log();
}

TEST_P(FileStreamsJvm, ATransactionGetsOneRowPerStreamAndKindWithTimingsAndStacks) {
  AgentHome home(true);
  vt::TempDir dir;
  auto r = run(home, "FileStreams.transaction", {.args = {dir.path()}});
  EXPECT_RESULTS(
      r, {// 255 blocks of 4 KiB and the end of the file; the last 4 KiB byte by byte and the end once.
          {"row.input.bin.read-block", "256/1044480"},
          {"row.input.bin.read", "4097/4096"},
          {"row.output.bin.write-block", "256/1048576"},
          {"row.output.bin.write", "100/100"},
          {"row_count", "4"},  // the stream opened before the tracker was enabled has none
          {"evicted", "0/true"},
          {"stack_methods", "readInBlocksThenBytes,readInBlocksThenBytes,writeBlocksThenBytes,writeBlocksThenBytes,"},
          {"times_ordered", "true"},
          {"timings", "4097,257,100,256"},  // the early stream's read counts here only
          {"refetch", "true"},
          {"starved_flush_read", "100"},
          {"starved_flush", "null"},
          {"after_starved_flush", "null"},
          {"wrapped.lines.txt.read-block", "2/14"},  // the reader's buffer fill and the end
          {"wrapped.random.bin.write-block", "1/300"},
          {"wrapped.random.bin.write", "1/1"},
          {"wrapped.random.bin.read", "1/1"},
          {"wrapped.random.bin.read-block", "1/200"},
          {"wrapped.nio.txt.channel-write", "1/8"},
          {"wrapped_timings", "1,3,1,1"},  // the streams' kinds
          {"outside", "null/null"},
          {"many_rows", "51"},
          {"many_evicted", "10"},
          {"many_aggregate", "10/160/null"},
          {"many_saved_stacks", "10"},
          {"many_saved_names_method", "true"},
          {"registry_left", "0"}});
  EXPECT_EQ(r.count("wrapped.nio.txt.write-block"), 0u);
  std::vector<std::string> errors = home.log().agent_errors();
  ASSERT_EQ(errors.size(), 1u) << home.log();
  EXPECT_TRUE(vt::contains(errors[0],
                           "ERROR - Failed to allocate buffer for flushing file stream transaction info. "
                           "(file_streams_flush_transaction_inner:"))
      << errors[0];
}

}  // namespace

namespace {

class FileChannelsJvm : public vt::JvmTest {};
VT_JDK_TEST_SUITE(FileChannelsJvm);

// Every way through the file channels, inside one transaction: one row per file and kind with its
// count and bytes (reads at the end of a file count without bytes; Files.write writes 8 KiB at a
// time). The class libraries differ in transferFrom (17: the source mapped, written to the target
// at the position; 25: a transfer by the kernel) and FileInputStream.transferTo (17: block reads
// and writes of the streams; 25: a transfer of the stream's channel). Mapped files, sockets and
// pipes give no row.
TEST_P(FileChannelsJvm, EveryChannelPathCountsPerFileAndKindAndNothingOutsideOrOnSocketsAndPipes) {
  AgentHome home(true);
  vt::TempDir dir;
  auto r = run(home, "FileChannels.transaction", {.jvm_flags = {"-Xcheck:jni"}, .args = {dir.path()}});
  const bool library_17 = jdk().major < 25;
  EXPECT_RESULTS(r, {{"row.all.bin.channel-read", "2/10000"},
                     {"row.reader.txt.channel-read", "2/14"},
                     {"row.written.bin.channel-write", "2/10000"},
                     {"row.writer.txt.channel-write", "1/11"},
                     {"row.channel.bin.channel-read", "2/100"},
                     {"row.channel.bin.positional-read", "1/100"},
                     {"row.channel.bin.scatter-read", "1/100"},
                     {"row.channel-out.bin.channel-write", "1/100"},
                     {"row.channel-out.bin.positional-write", "1/200"},
                     {"row.channel-out.bin.gather-write", "1/70"},
                     {"row.to-source.bin.transfer", "1/10000"},
                     {"row.copy-source.bin.transfer", "1/10000"},
                     {"row.empty-source.bin.transfer", "1/0"},
                     {"row.stream-channel.bin.channel-read", "1/500"},
                     {"first_stack", "everyPath"},
                     {"registry_after", "0"},
                     {"outside", "null/null"}});
  if (library_17) {
    EXPECT_RESULTS(r, {{"row.from-target.bin.positional-write", "1/10000"},
                       {"row.stream-source.bin.read-block", "3/10000"},
                       {"row.stream-target.bin.write-block", "2/10000"},
                       {"row_count", "17"},
                       {"channel_timings", "7,4,1,2,1,1,3"}});
  } else {
    EXPECT_RESULTS(r, {{"row.from-source.bin.transfer", "1/10000"},
                       {"row.stream-source.bin.transfer", "1/10000"},
                       {"row_count", "16"},
                       {"channel_timings", "7,4,1,1,1,1,5"}});
  }
  EXPECT_EQ(r["files"].find("mapped.bin"), std::string::npos) << r["files"];
  EXPECT_EQ(r["files"].find("none"), std::string::npos) << r["files"];  // no row without a path
  EXPECT_FALSE(vt::contains(last().out + last().err, "WARNING")) << output();
  EXPECT_TRUE(home.log().agent_errors().empty()) << home.log();
}

TEST_P(FileChannelsJvm, FailuresInATransactionKeepTheJdksExceptionsAndAnInterruptedChannelCloses) {
  VT_REQUIRE_TMPFS(disk, "256k");
  AgentHome home(true);
  vt::TempDir dir;
  auto r = run(home, "FileChannels.failures", {.jvm_flags = {"-Xcheck:jni"}, .args = {dir.path(), disk.path()}});
  EXPECT_RESULTS(r, {{"write_only_read", "java.nio.channels.NonReadableChannelException:null"},
                     {"directory_read", "java.io.IOException:Is a directory"},
                     {"missing_open", "java.nio.file.NoSuchFileException:" + dir / "missing.bin"},
                     {"interrupted_read", "java.nio.channels.ClosedByInterruptException:null"},
                     {"interrupted_open", "false/true"},
                     {"full_write", "java.io.IOException:No space left on device"},
                     {"full_counted", "true"},  // the failed write once, without bytes
                     {"registry_after", "0"}});
  for (const auto &[key, value] : r) EXPECT_NE(key.rfind("row.", 0), 0u) << key << "=" << value;
  EXPECT_FALSE(vt::contains(last().out + last().err, "WARNING")) << output();
  EXPECT_TRUE(home.log().agent_errors().empty()) << home.log();
}

}  // namespace
