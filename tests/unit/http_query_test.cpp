// The HTTP client against a real collector on loopback: the request text, answers that count as
// failures, time-outs, hostile answers, the connect loop over several addresses, and the
// parameters file.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>

#include "helpers/http_query.h"
#include "core/log.h"
#include "test_collector.h"
#include "test_util.h"

namespace {

std::string encode(const char *text) {
  char *encoded = url_encode(text);
  EXPECT_NE(encoded, nullptr);
  std::string result = encoded != nullptr ? encoded : "";
  free(encoded);
  return result;
}

TEST(UrlEncode, KeepsUnreservedCharactersAndEncodesTheRestInLowercase) {
  EXPECT_EQ(encode("a b/c~"), "a+b%2fc~");
  EXPECT_EQ(encode(""), "");
  EXPECT_EQ(encode("AZaz09-_.~()"), "AZaz09-_.~()");
  EXPECT_EQ(encode("=&?%+\n"), "%3d%26%3f%25%2b%0a");
  // Bytes above 127 are encoded as the unsigned byte.
  EXPECT_EQ(encode("\xc3\xa9\xff"), "%c3%a9%ff");
  EXPECT_EQ(url_encode(nullptr), nullptr);
}

class HttpClient : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(log_use_directory("unit", (dir_ / "logs").c_str())); }
  std::string log() { return vt::NativeLog::read(dir_ / "logs").text(); }
  http_host host(const vt::TestCollector &collector) {
    http_host record;
    std::string port = std::to_string(collector.port());
    http_init_host(&record, "127.0.0.1", port.c_str());
    return record;
  }
  vt::TempDir dir_{"vorkel-http"};
};

const http_field kMain[] = {
    {"accountId", "acc 1"},
    {"jvmId", "jvm/2"},
    {"empty", ""},
    {nullptr, nullptr},
};

TEST_F(HttpClient, SendsTheRequestByteForByte) {
  vt::TestCollector collector;
  http_host record = host(collector);
  const http_field extra[] = {{"crashLog", "line 1\nline&2"}, {"second", "x"}, {nullptr, nullptr}};
  ASSERT_TRUE(http_execute_post(&record, "/shutdown/termination", kMain, extra, 2000)) << log();
  ASSERT_TRUE(collector.wait_for_requests(1, std::chrono::seconds(5)));
  std::vector<vt::HttpRequest> requests = collector.requests();
  ASSERT_EQ(requests.size(), 1u);
  const std::string body = "crashLog=line+1%0aline%262&second=x";
  EXPECT_EQ(requests[0].raw,
            "POST /shutdown/termination?accountId=acc+1&jvmId=jvm%2f2&empty= HTTP/1.1\r\n"
            "Host: 127.0.0.1\r\n"
            "Content-Length: " +
                std::to_string(body.size()) +
                "\r\n"
                "Content-Type: application/x-www-form-urlencoded\r\n"
                "Connection: Close\r\n"
                "\r\n" +
                body);
  EXPECT_EQ(requests[0].body_fields[0].second, "line 1\nline&2");
}

TEST_F(HttpClient, WithoutExtraFieldsTheBodyIsEmpty) {
  size_t length = 0;
  char *request = http_build_request("collector.example", "/oom/notification", kMain, nullptr, &length);
  ASSERT_NE(request, nullptr);
  EXPECT_EQ(std::string(request, length),
            "POST /oom/notification?accountId=acc+1&jvmId=jvm%2f2&empty= HTTP/1.1\r\nHost: collector.example\r\n"
            "Content-Length: 0\r\nContent-Type: application/x-www-form-urlencoded\r\nConnection: Close\r\n\r\n");
  free(request);
  // An empty extra list gives an empty body as well, and no fields give a path without a query.
  const http_field none[] = {{nullptr, nullptr}};
  request = http_build_request("h", "/p", none, none, &length);
  ASSERT_NE(request, nullptr);
  EXPECT_EQ(std::string(request, length),
            "POST /p HTTP/1.1\r\nHost: h\r\nContent-Length: 0\r\nContent-Type: application/x-www-form-urlencoded\r\n"
            "Connection: Close\r\n\r\n");
  free(request);
}

TEST_F(HttpClient, AHostNameThatWouldBreakTheHeadIsRefused) {
  // A line end in the name put a header of the caller's choosing into the request.
  size_t length = 0;
  for (const char *name : {"collector\r\nX-Injected: 1", "a b", "", "caf\xc3\xa9"}) {
    EXPECT_EQ(http_build_request(name, "/p", kMain, nullptr, &length), nullptr) << name;
  }
  EXPECT_EQ(vt::count_occurrences(log(), "ERROR - Invalid host name for HTTP query."), 4u) << log();
  EXPECT_TRUE(http_valid_host_name("[::1]"));
  EXPECT_FALSE(http_valid_host_name(std::string(256, 'h').c_str()));
}

TEST_F(HttpClient, TheHeadHas1024BytesAndALargeBodyHasItsOwnRoom) {
  // A body of 3 MiB (encoded) fits: the buffer grows by the body's length.
  std::string large(1024 * 1024, '\x01');
  const http_field extra[] = {{"crashLog", large.c_str()}, {nullptr, nullptr}};
  size_t length = 0;
  char *request = http_build_request("h", "/p", kMain, extra, &length);
  ASSERT_NE(request, nullptr);
  EXPECT_TRUE(vt::contains(std::string(request, 200), "Content-Length: " + std::to_string(9 + 3 * large.size())));
  free(request);

  // A query that leaves the head no room fails with the buffer's error code.
  std::string long_value(1000, 'v');
  const http_field main[] = {{"description", long_value.c_str()}, {nullptr, nullptr}};
  EXPECT_EQ(http_build_request("h", "/oom/notification", main, nullptr, &length), nullptr);
  EXPECT_EQ(vt::count_occurrences(log(), "ERROR - Building HTTP query string failed with error: 2."), 1u) << log();
}

TEST_F(HttpClient, OnlyAStatusLineWith200CountsAsSuccess) {
  vt::TestCollector collector(vt::CollectorAnswer::no_content);
  http_host record = host(collector);
  EXPECT_FALSE(http_execute_post(&record, "/oom/notification", kMain, nullptr, 2000));
  EXPECT_TRUE(vt::contains(log(), "ERROR - Non-success response: HTTP/1.1 204 No Content\n")) << log();
  EXPECT_EQ(collector.requests().size(), 1u);

  collector.set_answer(vt::CollectorAnswer::garbage);
  EXPECT_FALSE(http_execute_post(&record, "/oom/notification", kMain, nullptr, 2000));
  // Garbage without a line end leaves no status line.
  EXPECT_TRUE(vt::contains(log(), "ERROR - Non-success response: \n")) << log();

  collector.set_answer(vt::CollectorAnswer::close_at_once);
  EXPECT_FALSE(http_execute_post(&record, "/oom/notification", kMain, nullptr, 2000));

  collector.set_answer(vt::CollectorAnswer::ok);
  EXPECT_TRUE(http_execute_post(&record, "/oom/notification", kMain, nullptr, 2000)) << log();
}

TEST_F(HttpClient, ASilentServerTimesOutAfterTheTimeOut) {
  vt::TestCollector collector(vt::CollectorAnswer::silent);
  http_host record = host(collector);
  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(http_execute_post(&record, "/oom/notification", kMain, nullptr, 600));
  auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_GE(elapsed, std::chrono::milliseconds(590));
  EXPECT_LT(elapsed, std::chrono::seconds(10));
  EXPECT_TRUE(vt::contains(log(), "ERROR - Timeout when reading HTTP query response.")) << log();
  EXPECT_EQ(collector.requests().size(), 1u);
}

TEST_F(HttpClient, AnAnswerThatNeverEndsIsCutOff) {
  // An endless header line: the client stops after a bounded number of bytes.
  vt::TestCollector endless(vt::CollectorAnswer::endless_header);
  http_host record = host(endless);
  EXPECT_FALSE(http_execute_post(&record, "/oom/notification", kMain, nullptr, 20000));
  EXPECT_TRUE(vt::contains(log(), "ERROR - HTTP response longer than 1048576 bytes, giving up.")) << log();

  // A server that sends a byte now and then never lets a single receive time out; the whole
  // answer still has to arrive within the time-out.
  vt::TestCollector trickle(vt::CollectorAnswer::trickle);
  record = host(trickle);
  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(http_execute_post(&record, "/oom/notification", kMain, nullptr, 700));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  EXPECT_EQ(vt::count_occurrences(log(), "ERROR - Timeout when reading HTTP query response."), 1u) << log();
}

TEST_F(HttpClient, ARefusedAddressIsFollowedByTheNext) {
  // Two resolved addresses in this order: 127.0.0.2, where nothing listens on the port, then
  // 127.0.0.1, where the collector does.
  vt::TestCollector collector;
  sockaddr_in refused{}, listening{};
  refused.sin_family = listening.sin_family = AF_INET;
  refused.sin_port = listening.sin_port = htons((uint16_t)collector.port());
  inet_pton(AF_INET, "127.0.0.2", &refused.sin_addr);
  inet_pton(AF_INET, "127.0.0.1", &listening.sin_addr);
  addrinfo second{};
  second.ai_family = AF_INET;
  second.ai_socktype = SOCK_STREAM;
  second.ai_addr = reinterpret_cast<sockaddr *>(&listening);
  second.ai_addrlen = sizeof listening;
  addrinfo first = second;
  first.ai_addr = reinterpret_cast<sockaddr *>(&refused);
  first.ai_next = &second;

  size_t length = 0;
  char *request = http_build_request("127.0.0.1", "/oom/notification", kMain, nullptr, &length);
  ASSERT_NE(request, nullptr);
  EXPECT_TRUE(http_exchange(&first, request, length, 2000)) << log();
  free(request);
  EXPECT_TRUE(vt::contains(log(), "DEBUG - Socket connection failed (connect), error 111.")) << log();
  EXPECT_EQ(collector.requests().size(), 1u);

  // With only the refused address left, the search ends with the error.
  first.ai_next = nullptr;
  EXPECT_FALSE(http_exchange(&first, "x", 1, 2000));
  EXPECT_TRUE(vt::contains(log(), "ERROR - Failed to connect with any resolved address. (http_open:141)")) << log();
}

TEST_F(HttpClient, AHostThatDoesNotResolveIsReported) {
  http_host record;
  http_init_host(&record, "no-such-host.invalid", "80");
  EXPECT_EQ(record.port, 80);
  EXPECT_FALSE(http_execute_post(&record, "/oom/notification", kMain, nullptr, 500));
  EXPECT_EQ(vt::count_occurrences(log(), "ERROR - getaddrinfo failed with error"), 1u) << log();
  EXPECT_TRUE(vt::contains(log(), ". (http_open:126)")) << log();
}

TEST_F(HttpClient, TheHostRecordKeeps255CharactersOfTheName) {
  http_host record;
  std::string name(300, 'h');
  http_init_host(&record, name.c_str(), "8080x");
  EXPECT_EQ(std::string(record.host), name.substr(0, 255));
  EXPECT_EQ(record.port, 8080);
}

TEST_F(HttpClient, ParametersFileHasOneEncodedLinePerField) {
  std::string path = dir_ / "parameters.txt";
  vt::write_file(path, "old content that is replaced\n");
  ASSERT_TRUE(http_save_parameters(path.c_str(), kMain));
  EXPECT_EQ(vt::read_file(path), "accountId=acc+1\njvmId=jvm%2f2\nempty=\n");
  const http_field none[] = {{nullptr, nullptr}};
  ASSERT_TRUE(http_save_parameters(path.c_str(), none));
  EXPECT_EQ(vt::read_file(path), "");
  EXPECT_FALSE(http_save_parameters((dir_ / "missing/parameters.txt").c_str(), kMain));
  EXPECT_TRUE(vt::contains(log(), "ERROR - Failed to open parameters file for writing.")) << log();
}

}  // namespace
