// vorkel-collector as a program: what it prints, what it answers and what it stores.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <random>
#include <regex>

#include "http_message.h"
#include "json.h"
#include "test_util.h"

namespace {

int connect_to(int port) {
  int client = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons((uint16_t)port);
  inet_pton(AF_INET, "127.0.0.1", &address.sin_addr);
  if (connect(client, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
    close(client);
    return -1;
  }
  return client;
}

// Sends the raw request and returns the whole answer (until the collector closes).
std::string send_request(int port, const std::string &request) {
  int client = connect_to(port);
  if (client < 0) return "";
  size_t sent = 0;
  while (sent < request.size()) {
    ssize_t n = send(client, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) break;
    sent += (size_t)n;
  }
  std::string answer;
  char buffer[4096];
  while (true) {
    pollfd fd{client, POLLIN, 0};
    if (poll(&fd, 1, 10000) <= 0) break;
    ssize_t n = recv(client, buffer, sizeof buffer, 0);
    if (n <= 0) break;
    answer.append(buffer, (size_t)n);
  }
  close(client);
  return answer;
}

std::string post(const std::string &target, const std::string &body = "",
                 const std::string &type = "application/x-www-form-urlencoded") {
  return "POST " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: " + std::to_string(body.size()) +
         "\r\nContent-Type: " + type + "\r\nConnection: Close\r\n\r\n" + body;
}

constexpr const char *kOk = "HTTP/1.1 200 OK\r\n";

class Collector : public ::testing::Test {
 protected:
  void start(std::vector<std::string> extra = {}) {
    std::vector<std::string> argv{"vorkel-collector", "--store",      store(), "--port-file",
                                  dir_ / "port",      "--timeout-ms", "500"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    process_ = std::make_unique<vt::BackgroundProcess>(VORKEL_COLLECTOR, argv);
    ASSERT_TRUE(vt::wait_until([&] { return vt::file_exists(dir_ / "port"); }, std::chrono::seconds(10)))
        << process_->err();
    port_ = std::stoi(vt::read_file(dir_ / "port"));
    ASSERT_GT(port_, 0);
  }
  std::string store() const { return dir_ / "uploads"; }

  vt::TempDir dir_{"vorkel-collector"};
  std::unique_ptr<vt::BackgroundProcess> process_;
  int port_ = 0;
};

TEST_F(Collector, PrintsNotificationsInOrderAndStoresUploads) {
  start();
  EXPECT_TRUE(vt::contains(process_->out(), "vorkel-collector listening on 127.0.0.1:" + std::to_string(port_)));

  EXPECT_EQ(
      send_request(port_, post("/oom/notification?version=5&accountId=acc&jvmId=jvm&sessionId=s&description=%7b%22"
                               "type%22%3a%22heap%22%7d&timestamp=1700000000123&status=start&message=")),
      std::string(kOk) + "Content-Length: 0\r\nConnection: close\r\n\r\n");
  EXPECT_EQ(send_request(port_, post("/shutdown/termination?exitKind=crash&exitCode=134",
                                     "crashLog=%23+A+fatal+error%0a%23+SIGSEGV%0athird+line%0a"))
                .rfind(kOk, 0),
            0u);

  std::mt19937 generator(5);
  std::string archive(3 * 1024 * 1024 + 17, '\0');
  for (char &c : archive) c = (char)(generator() & 0xff);
  std::string upload =
      post("/oom/upload?directory=oom_1&archive=oom_1.tar.bz2&accountId=acc", archive, "application/x-bzip2");
  EXPECT_EQ(send_request(port_, upload).rfind(kOk, 0), 0u);
  EXPECT_EQ(send_request(port_, upload).rfind(kOk, 0), 0u);  // the same name again is kept beside the first
  // A name from the network never leaves the store directory.
  EXPECT_EQ(send_request(port_, post("/oom/upload?archive=..%2f..%2fescape", "x", "application/x-bzip2")).rfind(kOk, 0),
            0u);

  EXPECT_EQ(vt::list_directory(store()), (std::vector<std::string>{"_.._escape", "oom_1-2.tar.bz2", "oom_1.tar.bz2"}));
  EXPECT_TRUE(vt::read_file(store() + "/oom_1.tar.bz2") == archive);
  EXPECT_TRUE(vt::read_file(store() + "/oom_1-2.tar.bz2") == archive);
  EXPECT_FALSE(vt::file_exists(dir_ / "escape"));

  process_->kill(SIGTERM);
  vt::ProcessResult end = process_->wait(std::chrono::seconds(10));
  EXPECT_EQ(end.exit_code, 0) << end.err;
  std::string out = end.out;
  // Numbered in arrival order, fields one per line, a time stamp also as a date.
  size_t first = out.find("] POST /oom/notification\n"), second = out.find("] POST /shutdown/termination\n"),
         third = out.find("] POST /oom/upload\n");
  ASSERT_NE(first, std::string::npos) << out;
  ASSERT_NE(second, std::string::npos) << out;
  ASSERT_NE(third, std::string::npos) << out;
  EXPECT_LT(first, second);
  EXPECT_LT(second, third);
  EXPECT_TRUE(std::regex_search(out, std::regex(R"(\[#1 \d\d:\d\d:\d\d\.\d{3}\] POST /oom/notification)"))) << out;
  EXPECT_TRUE(vt::contains(out, "    status       start\n")) << out;
  EXPECT_TRUE(vt::contains(out, "    description  {\"type\":\"heap\"}\n")) << out;
  EXPECT_TRUE(std::regex_search(out, std::regex(R"(    timestamp    1700000000123 \(2023-11-1\d \d\d:\d\d:20\.123\))")))
      << out;
  EXPECT_TRUE(vt::contains(out, "    crashLog     (3 lines, 37 bytes)\n      | # A fatal error\n      | # SIGSEGV\n"))
      << out;
  EXPECT_TRUE(
      vt::contains(out, "    stored " + std::to_string(archive.size()) + " bytes as " + store() + "/oom_1.tar.bz2\n"))
      << out;
  EXPECT_TRUE(vt::contains(out, "[#5 ")) << out;
  EXPECT_TRUE(vt::contains(out, "vorkel-collector stopped after 5 requests\n")) << out;
}

TEST_F(Collector, SurvivesBadAndStalledClients) {
  start();
  int stalled = connect_to(port_);  // says nothing at all
  ASSERT_GE(stalled, 0);
  EXPECT_EQ(send_request(port_, std::string("\x01\x02 not http\r\n\r\n", 16)).rfind("HTTP/1.1 400 ", 0), 0u);
  EXPECT_EQ(send_request(port_, "POST /x HTTP/1.1\r\nContent-Length: -5\r\n\r\n").rfind("HTTP/1.1 400 ", 0), 0u);
  EXPECT_EQ(
      send_request(port_, "POST /x HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n").rfind("HTTP/1.1 411 ", 0),
      0u);
  EXPECT_EQ(send_request(port_, "POST /x HTTP/1.1\r\nContent-Length: 99999999999\r\n\r\n").rfind("HTTP/1.1 413 ", 0),
            0u);
  EXPECT_EQ(send_request(port_, "POST /x HTTP/1.1\r\nX-Long: " + std::string(70000, 'a')).rfind("HTTP/1.1 431 ", 0),
            0u);
  // An upload that stops half-way is dropped, not stored.
  EXPECT_EQ(
      send_request(port_, "POST /oom/upload?archive=cut.tar.bz2 HTTP/1.1\r\nContent-Length: 1000\r\n\r\nonly this"),
      "");
  EXPECT_TRUE(vt::list_directory(store()).empty());
  // Still answering while the stalled client waits.
  EXPECT_EQ(send_request(port_, post("/oom/notification?status=fatal&message=text_open")).rfind(kOk, 0), 0u);
  close(stalled);

  process_->kill(SIGINT);
  vt::ProcessResult end = process_->wait(std::chrono::seconds(10));
  EXPECT_EQ(end.exit_code, 0);
  EXPECT_TRUE(vt::contains(end.out, "a request that is not HTTP, refused")) << end.out;
  EXPECT_TRUE(vt::contains(end.out, "an upload to " + store() + "/cut.tar.bz2 ended after 9 of 1000 bytes, dropped"))
      << end.out;
  EXPECT_TRUE(vt::contains(end.out, "[#1 ")) << end.out;
  EXPECT_TRUE(vt::contains(end.out, "    message      text_open\n")) << end.out;
  EXPECT_TRUE(vt::contains(end.out, "stopped after 1 requests")) << end.out;
}

TEST_F(Collector, EndsByItselfAfterTheRequestsAskedFor) {
  start({"--requests", "2"});
  EXPECT_EQ(send_request(port_, post("/oom/notification?status=start")).rfind(kOk, 0), 0u);
  EXPECT_EQ(send_request(port_, post("/shutdown/termination?exitKind=normal")).rfind(kOk, 0), 0u);
  vt::ProcessResult end = process_->wait(std::chrono::seconds(10));
  EXPECT_FALSE(end.timed_out);
  EXPECT_EQ(end.exit_code, 0);
  EXPECT_TRUE(vt::contains(end.out, "stopped after 2 requests")) << end.out;
}

TEST_F(Collector, PrintsTransactionReportsReadably) {
  start();
  std::string report =
      R"({"report":"transaction","name":"checkout","durationMs":231,"startMs":1700000000123,"rootCause":true,)"
      R"("sections":[{"section":"lockWaits","count":1,"waits":[{"thread":"till","blocker":"restocker",)"
      R"("blockerStack":"LShop;.restock:12(4)\nLShop;.run:30(9)\n","detections":{"confirmed":2}}]}]})";
  EXPECT_EQ(send_request(port_, post("/transaction/report", report, "application/json; charset=utf-8")).rfind(kOk, 0),
            0u);
  EXPECT_EQ(send_request(port_, post("/transaction/report", "{\"name\":\"cut", "application/json")).rfind(kOk, 0), 0u);
  process_->kill(SIGTERM);
  std::string out = process_->wait(std::chrono::seconds(10)).out;
  EXPECT_TRUE(vt::contains(out,
                           "] POST /transaction/report\n    report       transaction\n    name         checkout\n"
                           "    durationMs   231\n    startMs      1700000000123 (2023-11-1"))
      << out;
  EXPECT_TRUE(vt::contains(out,
                           "    rootCause    true\n    sections\n      [1] lockWaits\n        count        1\n"
                           "        waits\n          [1]\n            thread       till\n"
                           "            blocker      restocker\n            blockerStack (2 lines)\n"
                           "              | LShop;.restock:12(4)\n              | LShop;.run:30(9)\n"
                           "            detections\n              confirmed    2\n"))
      << out;
  EXPECT_TRUE(
      vt::contains(out, "    body: 12 bytes of application/json that are not JSON (at byte 12): {\"name\":\"cut\n"))
      << out;
}

TEST(CollectorJson, ReadsStrictJsonOnly) {
  collector::JsonValue value;
  ASSERT_TRUE(collector::parse_json(R"( {"a":[1,-2.5e3,true,false,null],"b":"\u00e9\ud83d\ude00\n\"x\""} )", value));
  ASSERT_EQ(value.members.size(), 2u);
  EXPECT_EQ(value.members[0].second.items[1].text, "-2.5e3");
  EXPECT_TRUE(value.members[0].second.items[2].boolean);
  EXPECT_FALSE(value.members[0].second.items[3].boolean);
  EXPECT_EQ(value.members[1].second.text, "\xc3\xa9\xf0\x9f\x98\x80\n\"x\"");
  size_t at = 0;
  for (const char *bad : {"", "{", "[1,]", "{\"a\" 1}", "01x", "\"\\ud800\"", "\"a\nb\"", "nul", "1 2", "{'a':1}"}) {
    EXPECT_FALSE(collector::parse_json(bad, value, &at)) << bad;
  }
  EXPECT_TRUE(collector::parse_json(std::string(64, '[') + std::string(64, ']'), value));
  EXPECT_FALSE(collector::parse_json(std::string(100000, '[') + std::string(100000, ']'), value, &at));
  EXPECT_EQ(at, 65u);
}

TEST(CollectorForms, DecodeFieldsInOrder) {
  collector::Fields fields = collector::parse_form("a=1&b=x+y%2F%2f&c&=empty&d=%zz&e=%4");
  ASSERT_EQ(fields.size(), 6u);
  EXPECT_EQ(fields[0], (std::pair<std::string, std::string>{"a", "1"}));
  EXPECT_EQ(fields[1].second, "x y//");
  EXPECT_EQ(fields[2], (std::pair<std::string, std::string>{"c", ""}));
  EXPECT_EQ(fields[3], (std::pair<std::string, std::string>{"", "empty"}));
  EXPECT_EQ(fields[4].second, "%zz");
  EXPECT_EQ(fields[5].second, "%4");
  EXPECT_TRUE(collector::parse_form("").empty());

  collector::RequestHead head;
  ASSERT_TRUE(collector::parse_head("POST /p?q=1 HTTP/1.1\r\nHost: h\r\ncontent-length:  7 ", head));
  EXPECT_EQ(head.path, "/p");
  EXPECT_EQ(head.header("Content-Length"), "7");
  EXPECT_FALSE(collector::parse_head("garbage", head));
  EXPECT_FALSE(collector::parse_head("POST /p HTTP/1.1\r\nno colon here", head));
}

}  // namespace
