// The stand-in cloud's plain-HTTP filter server: tagged requests over a real
// TCP connection, pages fetched from a real site on loopback.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

#include "CloudProcess.h"
#include "TestSupport.h"

namespace {

// Child 5 ("Five", level 1: blocks localhost) and child 6 ("Six", level 3:
// blocks nothing) of one account.
std::string dataText(const std::string& fetchAllow) {
    return R"({
        "zorvane_version": "2",
        "https_filter": {
            "1": { "block": ["localhost", "adult.example"], "allow": [] },
            "3": { "block": [], "allow": [] }
        },)" +
           fetchAllow +
           R"(
        "accounts": [ { "user": "home", "password": "pw", "children": [
            { "id": 5, "name": "Five", "level": 1, "session_key": "k5" },
            { "id": 6, "name": "Six", "level": 3, "session_key": "k6" } ] } ]
    })";
}

std::string tag(uint32_t child, uint32_t device) {
    std::string bytes("\x80\x19\x26\x04\x21\x01\x04\xFE", 8);
    for (uint32_t value : {child, device}) {
        for (int shift = 0; shift < 32; shift += 8) {
            bytes += static_cast<char>((value >> shift) & 0xFF);
        }
    }
    return bytes;
}

// A small site on loopback that counts what it serves.
class Site {
public:
    Site() {
        mServer.Get("/page", [this](const httplib::Request& request, httplib::Response& response) {
            ++mHits;
            response.set_content("site page for " + request.get_header_value("Host") +
                                     " q=" + request.get_param_value("q"),
                                 "text/plain");
            response.set_header("X-Site", "yes");
        });
        mPort = mServer.bind_to_any_port("127.0.0.1");
        // Bound already: connections wait in the backlog until it serves.
        mThread = std::thread([this] { mServer.listen_after_bind(); });
    }
    ~Site() {
        mServer.stop();
        mThread.join();
    }
    int port() const { return mPort; }
    int hits() const { return mHits; }

private:
    httplib::Server mServer;
    std::thread mThread;
    int mPort = 0;
    std::atomic<int> mHits{0};
};

struct Answer {
    int status = 0;  // 0: the connection ended without an answer
    std::string head;
    std::string body;
};

// One TCP connection to the filter server.
class Connection {
public:
    explicit Connection(int port) {
        mFd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(mFd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            throw std::runtime_error("cannot connect to the filter server");
        }
        timeval wait{20, 0};
        ::setsockopt(mFd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    }
    ~Connection() { ::close(mFd); }

    void send(const std::string& bytes) {
        ASSERT_EQ(::send(mFd, bytes.data(), bytes.size(), MSG_NOSIGNAL),
                  static_cast<ssize_t>(bytes.size()));
    }

    // `head`: the answer to a HEAD request, which has no body.
    Answer read(bool head = false) {
        Answer answer;
        size_t end;
        while ((end = mBuffer.find("\r\n\r\n")) == std::string::npos) {
            if (!fill()) {
                return answer;
            }
        }
        answer.head = mBuffer.substr(0, end + 2);
        mBuffer.erase(0, end + 4);
        answer.status = std::atoi(answer.head.c_str() + 9);
        const size_t length = answer.head.find("Content-Length: ");
        const size_t size = head || length == std::string::npos
                                ? 0
                                : std::strtoul(answer.head.c_str() + length + 16, nullptr, 10);
        while (mBuffer.size() < size && fill()) {
        }
        answer.body = mBuffer.substr(0, size);
        mBuffer.erase(0, size);
        return answer;
    }

    // True when the server closed the connection (nothing more to read).
    bool closed() { return mBuffer.empty() && !fill(); }

private:
    bool fill() {
        char chunk[4096];
        const ssize_t got = ::recv(mFd, chunk, sizeof chunk, 0);
        if (got <= 0) {
            return false;
        }
        mBuffer.append(chunk, static_cast<size_t>(got));
        return true;
    }

    int mFd = -1;
    std::string mBuffer;
};

std::string get(const std::string& hostHeader, const std::string& path,
                const std::string& extra = "") {
    return "GET " + path + " HTTP/1.1\r\nHost: " + hostHeader + "\r\n" + extra + "\r\n";
}

// The log is written before the answer is sent, so it is complete here.
std::string requestLog(const CloudProcess& cloud) {
    return readFile(cloud.requestLogPath());
}

class TaggedHttpServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        writeFile(dir.file("cloud.json"), dataText(""));
        cloud = std::make_unique<CloudProcess>(dir.path().string(), dir.file("cloud.json"));
        ASSERT_NE(cloud->filterPort(), 0);
    }
    std::string siteHost() const { return "localhost:" + std::to_string(site.port()); }

    TempDir dir;
    Site site;
    std::unique_ptr<CloudProcess> cloud;
};

TEST_F(TaggedHttpServerTest, AllowedHostGetsTheSitesPage) {
    Connection connection(cloud->filterPort());
    connection.send(tag(6, 9) + get(siteHost(), "/page?q=1", "Connection: close\r\n"));
    Answer answer = connection.read();
    EXPECT_EQ(answer.status, 200) << answer.head;
    EXPECT_EQ(answer.body, "site page for " + siteHost() + " q=1");
    EXPECT_NE(answer.head.find("X-Site: yes"), std::string::npos) << answer.head;
    EXPECT_EQ(site.hits(), 1);
    EXPECT_TRUE(connection.closed());  // the client asked to close
    EXPECT_NE(requestLog(*cloud).find("filter 127.0.0.1 GET " + siteHost() +
                                      "/page?q=1 200 child=6 device=9"),
              std::string::npos)
        << requestLog(*cloud);
}

TEST_F(TaggedHttpServerTest, BlockedHostGetsTheBlockPageNamingHostAndChild) {
    // Child 5 and device 9, byte for byte as the filter puts them.
    const std::string child5 =
        std::string("\x80\x19\x26\x04\x21\x01\x04\xFE\x05\x00\x00\x00\x09\x00\x00\x00", 16);
    ASSERT_EQ(child5, tag(5, 9));
    for (const std::string& host : {siteHost(), std::string("Adult.Example")}) {
        Connection connection(cloud->filterPort());
        connection.send(child5 + get(host, "/page"));
        Answer answer = connection.read();
        EXPECT_EQ(answer.status, 403) << host;
        const std::string name = host.substr(0, host.find(':'));
        EXPECT_NE(answer.body.find(std::string(name == "Adult.Example" ? "adult.example" : name) +
                                   " is blocked for Five (child 5)"),
                  std::string::npos)
            << answer.body;
    }
    EXPECT_EQ(site.hits(), 0);  // a blocked page is never fetched
    EXPECT_NE(requestLog(*cloud).find("GET adult.example/page 403 child=5 device=9"),
              std::string::npos);
}

TEST_F(TaggedHttpServerTest, RequestWithoutValidTagGets400AndIsLogged) {
    struct Case {
        const char* name;
        std::string bytes;
        const char* logged;
    };
    std::string wrongMarker = tag(6, 9);
    wrongMarker[4] = '?';
    const Case cases[] = {
        {"no tag", get(siteHost(), "/page"), "400 reason=\"request without a valid tag\""},
        {"wrong marker", wrongMarker + get(siteHost(), "/page"),
         "400 reason=\"request without a valid tag\""},
        {"unknown child", tag(77, 9) + get(siteHost(), "/page"),
         "400 reason=\"unknown child\" child=77 device=9"},
        {"no host", tag(6, 9) + "GET /page HTTP/1.1\r\n\r\n",
         "400 reason=\"no host\" child=6 device=9"},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.name);
        Connection connection(cloud->filterPort());
        connection.send(test.bytes);
        EXPECT_EQ(connection.read().status, 400);
        EXPECT_TRUE(connection.closed());
        EXPECT_NE(requestLog(*cloud).find(test.logged), std::string::npos) << requestLog(*cloud);
    }
    EXPECT_EQ(site.hits(), 0);
}

TEST_F(TaggedHttpServerTest, EachRequestOnAKeepAliveConnectionCarriesItsOwnTag) {
    Connection connection(cloud->filterPort());
    // Both requests in one send: the server must find the second tag itself.
    connection.send(tag(6, 9) + get(siteHost(), "/page?q=a") + tag(5, 9) +
                    get(siteHost(), "/page?q=b"));
    Answer first = connection.read();
    Answer second = connection.read();
    EXPECT_EQ(first.status, 200);
    EXPECT_EQ(first.body, "site page for " + siteHost() + " q=a");
    EXPECT_EQ(second.status, 403);
    EXPECT_NE(second.body.find("blocked for Five"), std::string::npos);
    // And a third later on the same connection, without a tag, ends it.
    connection.send(tag(6, 9) + get(siteHost(), "/page?q=c"));
    EXPECT_EQ(connection.read().body, "site page for " + siteHost() + " q=c");
    connection.send(get(siteHost(), "/page?q=d"));
    EXPECT_EQ(connection.read().status, 400);
    EXPECT_TRUE(connection.closed());
    EXPECT_EQ(site.hits(), 2);
}

TEST_F(TaggedHttpServerTest, HeadAnswerTellsThePageLengthWithoutABody) {
    Connection connection(cloud->filterPort());
    connection.send(tag(6, 9) + "HEAD /page?q=x HTTP/1.1\r\nHost: " + siteHost() + "\r\n\r\n" +
                    tag(6, 9) + get(siteHost(), "/page?q=x"));
    Answer head = connection.read(true);
    Answer page = connection.read();
    EXPECT_EQ(head.status, 200);
    EXPECT_EQ(page.body, "site page for " + siteHost() + " q=x");
    EXPECT_NE(head.head.find("Content-Length: " + std::to_string(page.body.size())),
              std::string::npos)
        << head.head;
}

TEST(TaggedHttpServer, FetchesOnlyFromAddressesTheDataAllows) {
    TempDir dir;
    Site site;
    writeFile(dir.file("cloud.json"), dataText(R"("page_fetch_allow": ["10.0.0.0/8"],)"));
    CloudProcess cloud(dir.path().string(), dir.file("cloud.json"));
    Connection connection(cloud.filterPort());
    connection.send(tag(6, 9) + get("localhost:" + std::to_string(site.port()), "/page"));
    Answer answer = connection.read();
    EXPECT_EQ(answer.status, 502);
    EXPECT_NE(answer.body.find("localhost is not at an address this server may fetch from"),
              std::string::npos)
        << answer.body;
    EXPECT_EQ(site.hits(), 0);

    for (const char* bad :
         {R"("page_fetch_allow": ["10.0.0.0/33"],)", R"("page_fetch_allow": ["example.com"],)",
          R"("page_fetch_allow": "127.0.0.1",)"}) {
        writeFile(dir.file("bad.json"), dataText(bad));
        std::string output;
        EXPECT_EQ(CloudProcess::runToEnd({"--data", dir.file("bad.json"), "--state", dir.file("s"),
                                          "--http-port", "any", "--https-port", "0"},
                                         output),
                  1)
            << bad;
        EXPECT_NE(output.find("page_fetch_allow"), std::string::npos) << output;
    }
}

}  // namespace
