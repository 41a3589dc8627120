// Bounded text: copies, formatting and appendable buffers.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "base/common.h"
#include "base/string_util.h"

namespace {

TEST(BoundedCopy, SafeStrncpyTerminatesPadsAndCuts) {
  char buffer[8];
  memset(buffer, 'x', sizeof buffer);
  safe_strncpy(buffer, "abc", sizeof buffer);
  EXPECT_STREQ(buffer, "abc");
  for (size_t i = 3; i < sizeof buffer; ++i) EXPECT_EQ(buffer[i], '\0');
  safe_strncpy(buffer, "abcdefghijkl", sizeof buffer);
  EXPECT_STREQ(buffer, "abcdefg");
  safe_strncpy(buffer, "abc", 1);
  EXPECT_STREQ(buffer, "");
  buffer[0] = 'q';
  safe_strncpy(buffer, "abc", 0);  // size 0 touches nothing
  EXPECT_EQ(buffer[0], 'q');
}

TEST(BoundedCopy, SafeMemncpyCopiesAtMostRoomMinusOne) {
  char buffer[5];
  safe_memncpy(buffer, sizeof buffer, "abcdefgh", 8);
  EXPECT_STREQ(buffer, "abcd");
  safe_memncpy(buffer, sizeof buffer, "ab\0cd", 2);
  EXPECT_STREQ(buffer, "ab");
}

TEST(BoundedFormat, ResultAtOrAboveSizeMeansCut) {
  char buffer[6];
  EXPECT_EQ(xsnprintf(buffer, sizeof buffer, "%s", "hello"), 5);
  EXPECT_STREQ(buffer, "hello");
  EXPECT_GE(xsnprintf(buffer, sizeof buffer, "%s-%d", "hello", 42), (int)sizeof buffer);
  EXPECT_STREQ(buffer, "hello");
}

TEST(OwnedStrings, DuplicateAndReallocate) {
  char *copy = string_duplicate("text");
  ASSERT_NE(copy, nullptr);
  EXPECT_STREQ(copy, "text");
  EXPECT_EQ(string_duplicate(nullptr), nullptr);
  char *big = static_cast<char *>(malloc(4096));
  strcpy(big, "short");
  char *small = string_reallocate(big);
  ASSERT_NE(small, nullptr);
  EXPECT_STREQ(small, "short");
  EXPECT_EQ(string_reallocate(nullptr), nullptr);
  free(small);
  free(copy);
}

// Paths as the system gives them, for NewStringUTF: U+1F600 becomes its two surrogates, a Latin-1
// byte, a stray continuation byte and an overlong form become '?', and a cut keeps whole characters.
TEST(ModifiedUtf8, SupplementaryCharactersBecomeSurrogatesAndMalformedBytesQuestionMarks) {
  char buffer[64];
  EXPECT_EQ(string_to_modified_utf8("/d/\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80", buffer, sizeof buffer), 14u);
  EXPECT_STREQ(buffer, "/d/\xc3\xa9\xe2\x82\xac\xed\xa0\xbd\xed\xb8\x80");
  string_to_modified_utf8(
      "a\xe9"
      "b\x80"
      "c\xe0\x80\xaf"
      "d\xc3",
      buffer, sizeof buffer);
  EXPECT_STREQ(buffer, "a?b?c???d?");
  EXPECT_EQ(string_to_modified_utf8("ab\xe2\x82\xac", buffer, 5), 2u);  // the euro sign needs 3 + 1
  EXPECT_STREQ(buffer, "ab");
}

TEST(Appendable, TwentyCharactersIntoTenCutsToNineAndSticks) {
  char storage[10];
  appendable buffer;
  appendable_init(&buffer, storage, sizeof storage);
  EXPECT_FALSE(appendable_write(&buffer, "%s", "abcdefghijklmnopqrst"));
  EXPECT_STREQ(storage, "abcdefghi");
  EXPECT_EQ(buffer.length, 9u);
  EXPECT_EQ(buffer.state, APPENDABLE_TRUNCATED);
  EXPECT_FALSE(appendable_write(&buffer, "%s", "x"));
  EXPECT_STREQ(storage, "abcdefghi");
  EXPECT_EQ(buffer.length, 9u);
}

TEST(Appendable, TextExactlyAsLongAsTheRoomIsCutByOne) {
  char storage[10];
  appendable buffer;
  appendable_init(&buffer, storage, sizeof storage);
  ASSERT_TRUE(appendable_write(&buffer, "abc"));
  // 7 characters of room remain: a 7-character text loses its last character.
  EXPECT_FALSE(appendable_write(&buffer, "%s", "defghij"));
  EXPECT_STREQ(storage, "abcdefghi");
  EXPECT_EQ(buffer.state, APPENDABLE_TRUNCATED);

  appendable_init(&buffer, storage, sizeof storage);
  ASSERT_TRUE(appendable_write(&buffer, "abc"));
  EXPECT_TRUE(appendable_write(&buffer, "%s", "defghi"));
  EXPECT_EQ(buffer.length, 9u);
  EXPECT_EQ(buffer.state, APPENDABLE_GOOD);
}

TEST(Appendable, WriteCharNeedsRoomAndStillAppendsAfterAnError) {
  char storage[4];
  appendable buffer;
  appendable_init(&buffer, storage, sizeof storage);
  EXPECT_TRUE(appendable_write_char(&buffer, 'a'));
  EXPECT_TRUE(appendable_write(&buffer, "bc"));
  EXPECT_FALSE(appendable_write_char(&buffer, 'd'));  // length is capacity - 1
  EXPECT_EQ(buffer.state, APPENDABLE_TRUNCATED);
  EXPECT_STREQ(storage, "abc");

  // The room, not the state, decides whether a character is stored.
  char other[8];
  appendable_init(&buffer, other, sizeof other);
  buffer.state = APPENDABLE_FORMAT_FAILED;
  EXPECT_FALSE(appendable_write_char(&buffer, 'z'));
  EXPECT_STREQ(other, "z");
}

TEST(Appendable, ABufferWithoutRoomTakesNothing) {
  // Before, a formatted write into zero bytes set the length to capacity - 1, wrapping to 2^64 - 1.
  char storage[4] = "abc";
  appendable buffer;
  appendable_init(&buffer, storage, 0);
  EXPECT_EQ(buffer.state, APPENDABLE_TRUNCATED);
  buffer.state = APPENDABLE_GOOD;
  EXPECT_FALSE(appendable_write(&buffer, "%d", 42));
  EXPECT_EQ(buffer.length, 0u);
  EXPECT_EQ(buffer.state, APPENDABLE_TRUNCATED);
  EXPECT_STREQ(storage, "abc");
  buffer.state = APPENDABLE_GOOD;
  EXPECT_FALSE(appendable_truncate(&buffer, storage + 1));
  buffer.state = APPENDABLE_GOOD;
  EXPECT_FALSE(appendable_write_char(&buffer, 'x'));
  EXPECT_STREQ(storage, "abc");
}

TEST(Appendable, TruncateWithinTheTextOnly) {
  char storage[16];
  appendable buffer;
  appendable_init(&buffer, storage, sizeof storage);
  appendable_write(&buffer, "line1\nline2");
  EXPECT_TRUE(appendable_truncate(&buffer, storage + buffer.length));  // the end itself is allowed
  EXPECT_STREQ(storage, "line1\nline2");
  EXPECT_TRUE(appendable_truncate(&buffer, storage + 6));
  EXPECT_STREQ(storage, "line1\n");
  EXPECT_EQ(buffer.length, 6u);
  EXPECT_FALSE(appendable_truncate(&buffer, storage + 7));  // one beyond the end
  EXPECT_EQ(buffer.state, APPENDABLE_BAD_POSITION);

  appendable_init(&buffer, storage, sizeof storage);
  EXPECT_FALSE(appendable_truncate(&buffer, nullptr));
  EXPECT_EQ(buffer.state, APPENDABLE_BAD_POSITION);
}

TEST(Appendable, InitExistingTakesOverTheText) {
  char storage[16] = "existing";
  appendable buffer;
  appendable_init_existing(&buffer, storage, sizeof storage);
  EXPECT_EQ(buffer.length, 8u);
  EXPECT_TRUE(appendable_write(&buffer, "+%d", 1));
  EXPECT_STREQ(storage, "existing+1");
}

TEST(Names, TableNameFallsBackOutsideTheTable) {
  static const char *const names[] = {"zero", "one"};
  EXPECT_STREQ(string_table_name(names, 1, "other"), "one");
  EXPECT_STREQ(string_table_name(names, 2, "other"), "other");
  EXPECT_STREQ(string_table_name(names, -1, "other"), "other");
}

TEST(Names, FlagNamesJoinInTableOrderAndStopAtTheFirstThatDoesNotFit) {
  static const string_flag_name names[] = {{4, "four"}, {1, "one"}, {2, "two"}};
  char buffer[16];
  EXPECT_EQ(string_join_flag_names(buffer, sizeof buffer, 7, names, 3, ", "), 14u);
  EXPECT_STREQ(buffer, "four, one, two");
  EXPECT_EQ(string_join_flag_names(buffer, 12, 7, names, 3, ", "), 9u);  // ", two" is cut
  EXPECT_EQ(strncmp(buffer, "four, one", 9), 0);
  EXPECT_EQ(string_join_flag_names(buffer, sizeof buffer, 8, names, 3, ", "), 0u);
  EXPECT_STREQ(buffer, "");
}

TEST(Numbers, MinAndMaxAreUnsigned) {
  EXPECT_EQ(u64_min(1, ~0ULL), 1u);
  EXPECT_EQ(u64_max(1, ~0ULL), ~0ULL);
}

}  // namespace
