// The file stream tracker's open files by descriptor number, on real descriptors (POSIX).
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

#include "test_util.h"
#include "transactions/file_descriptors.h"
#include "transactions/file_streams.h"

namespace {

// The open files by descriptor number: a registered path is found by the number it is open on and
// forgotten with it, or when the number is opened again; regular files are told from pipes and
// sockets once per registration (the number of a file replaced by a pipe keeps its answer until it
// is registered again); a key is cleared only from the slot that still holds it.
TEST(OpenFiles, AreFoundByDescriptorAndRegularFilesToldFromPipesAndSockets) {
  ASSERT_TRUE(file_streams_pre_initialise());
  vt::TempDir dir;
  int file = open((dir / "data").c_str(), O_CREAT | O_RDWR | O_CLOEXEC, 0600);
  int pipe_ends[2];
  ASSERT_EQ(pipe(pipe_ends), 0);
  int sock = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(file, 0);
  ASSERT_GE(sock, 0);
  uint64_t key = file_streams_open_descriptor("/data/catalogue.txt", file);
  ASSERT_NE(key, 0u);
  char *path = file_streams_registry_copy_path(file_descriptors_key(file));
  EXPECT_STREQ(path, "/data/catalogue.txt");
  free(path);
  uint64_t pipe_key = file_streams_open_descriptor("/a/fifo", pipe_ends[0]);
  uint64_t socket_key = file_streams_open_descriptor("/a/socket", sock);
  EXPECT_EQ(file_descriptors_regular_key(file), key);
  EXPECT_EQ(file_descriptors_regular_key(pipe_ends[0]), 0u);
  EXPECT_EQ(file_descriptors_key(pipe_ends[0]), pipe_key);
  EXPECT_EQ(file_descriptors_regular_key(sock), 0u);

  ASSERT_EQ(dup2(pipe_ends[1], file), file);
  EXPECT_EQ(file_descriptors_regular_key(file), key);
  file_descriptors_clear_key(file, key + 100);
  EXPECT_EQ(file_descriptors_key(file), key);
  file_streams_close_descriptor(file);
  EXPECT_EQ(file_descriptors_key(file), 0u);
  EXPECT_EQ(file_streams_registry_copy_path(key), nullptr);
  uint64_t unseen = file_streams_open_descriptor("/data/closed-unseen", file);
  uint64_t again = file_streams_open_descriptor("/data/again", file);  // the number opened anew
  EXPECT_EQ(file_streams_registry_copy_path(unseen), nullptr);
  EXPECT_EQ(file_descriptors_regular_key(file), 0u);  // now a pipe
  file_streams_registry_remove(again);                // the registry's removal empties the slot too
  EXPECT_EQ(file_descriptors_key(file), 0u);

  EXPECT_EQ(file_streams_open_descriptor("/x", -1), 0u);
  EXPECT_EQ(file_streams_open_descriptor("/x", FILE_DESCRIPTORS_LIMIT), 0u);
  EXPECT_EQ(file_descriptors_key(FILE_DESCRIPTORS_LIMIT), 0u);
  uint64_t last = file_streams_open_descriptor("/last", FILE_DESCRIPTORS_LIMIT - 1);
  EXPECT_EQ(file_descriptors_key(FILE_DESCRIPTORS_LIMIT - 1), last);
  std::vector<uint64_t> forgotten;
  static std::vector<uint64_t> *sink = nullptr;
  sink = &forgotten;
  file_descriptors_clear_all([](uint64_t forgotten_key) { sink->push_back(forgotten_key); });
  EXPECT_EQ(forgotten, (std::vector<uint64_t>{pipe_key, socket_key, last}));
  for (uint64_t each : forgotten) file_streams_registry_remove(each);
  close(file);
  close(pipe_ends[0]);
  close(pipe_ends[1]);
  close(sock);
}

}  // namespace
