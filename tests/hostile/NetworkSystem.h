#pragma once

// The whole system in a network namespace of its own (the client side, where
// the test itself runs from SetUp on) with a web site in a second one: the
// filter host with its rules, proxy and queue, the stand-in cloud (its
// plain-HTTP filter server on 127.0.0.1:80) and the service. The site answers
// plain HTTP on 10.77.0.2:80 and HTTPS on 10.77.0.2:443 for any name.

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <unistd.h>

#include <regex>

#include "HostileSystem.h"

inline constexpr char kSite[] = "10.77.0.2";
inline constexpr char kClientAddress[] = "10.77.0.1";

inline std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    size_t start = 0;
    for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
        out.push_back(text.substr(start, end - start));
    }
    return out;
}

// A system program by its full path (the test's runner takes no PATH).
inline std::string tool(const std::string& name) {
    for (const char* folder : {"/usr/sbin/", "/sbin/", "/usr/bin/", "/bin/"}) {
        if (access((folder + name).c_str(), X_OK) == 0) {
            return folder + name;
        }
    }
    return name;
}

// Lines of `text` that contain `part`.
inline std::vector<std::string> linesWith(const std::string& text, const std::string& part) {
    std::vector<std::string> out;
    for (const std::string& line : lines(text)) {
        if (contains(line, part)) {
            out.push_back(line);
        }
    }
    return out;
}

class NetworkSystem : public HostileSystem {
protected:
    void SetUp() override {
        if (geteuid() != 0) {
            GTEST_SKIP() << "skipped: needs root to make network namespaces";
        }
        if (access(tool("iptables-restore").c_str(), X_OK) != 0) {
            GTEST_SKIP() << "skipped: iptables is not installed";
        }
        const std::string tag = std::to_string(getpid());
        mClientNs = "zvc" + tag;
        mWebNs = "zvw" + tag;
        const std::string clientLink = "vc" + tag;
        const std::string webLink = "vw" + tag;
        const std::vector<std::vector<std::string>> setup = {
            {tool("ip"), "netns", "add", mClientNs},
            {tool("ip"), "netns", "add", mWebNs},
            // IPv4 only: IPv6 addresses settling a moment after the links come
            // up read as a network change to browsers, which then give up.
            {tool("ip"), "netns", "exec", mClientNs, tool("sysctl"), "-qw",
             "net.ipv6.conf.all.disable_ipv6=1", "net.ipv6.conf.default.disable_ipv6=1"},
            {tool("ip"), "netns", "exec", mWebNs, tool("sysctl"), "-qw",
             "net.ipv6.conf.all.disable_ipv6=1", "net.ipv6.conf.default.disable_ipv6=1"},
            {tool("ip"), "link", "add", clientLink, "type", "veth", "peer", "name", webLink},
            {tool("ip"), "link", "set", clientLink, "netns", mClientNs},
            {tool("ip"), "link", "set", webLink, "netns", mWebNs},
            {tool("ip"), "-n", mClientNs, "addr", "add", std::string(kClientAddress) + "/24", "dev",
             clientLink},
            {tool("ip"), "-n", mWebNs, "addr", "add", std::string(kSite) + "/24", "dev", webLink},
            {tool("ip"), "-n", mClientNs, "link", "set", clientLink, "up"},
            {tool("ip"), "-n", mWebNs, "link", "set", webLink, "up"},
            {tool("ip"), "-n", mClientNs, "link", "set", "lo", "up"},
            {tool("ip"), "-n", mWebNs, "link", "set", "lo", "up"},
        };
        for (const auto& command : setup) {
            const ProgramResult result = runProgram(command, {}, {}, 10000);
            if (result.exitCode != 0) {
                const bool first = &command == &setup[0];
                removeNamespaces();
                if (first) {
                    GTEST_SKIP() << "skipped: cannot make network namespaces: " << result.output;
                }
                FAIL() << command[1] << " " << command[2] << ": " << result.output;
            }
        }
        mSiteDir = std::make_unique<TempDir>();
        ::chmod(mSiteDir->path().c_str(), 0755);
        mSite = std::make_unique<ChildProcess>(
            std::vector<std::string>{tool("ip"), "netns", "exec", mWebNs, ZORVANE_TEST_SITE, kSite,
                                     "80", siteLog()},
            Environment{});
        ASSERT_TRUE(eventually([&] { return contains(readFile(siteLog()), "listening"); }));
        // The HTTPS site: one self-signed certificate, whatever name is asked.
        const std::string key = mSiteDir->path().string() + "/site-key.pem";
        const std::string certificate = mSiteDir->path().string() + "/site-cert.pem";
        const ProgramResult made =
            runProgram({tool("openssl"), "req", "-x509", "-newkey", "ec", "-pkeyopt",
                        "ec_paramgen_curve:prime256v1", "-nodes", "-subj", "/CN=site.test", "-days",
                        "2", "-keyout", key, "-out", certificate},
                       {}, {}, 30000);
        ASSERT_EQ(made.exitCode, 0) << made.output;
        mTlsSite = std::make_unique<ChildProcess>(
            std::vector<std::string>{tool("ip"), "netns", "exec", mWebNs, tool("openssl"),
                                     "s_server", "-accept", std::string(kSite) + ":443", "-cert",
                                     certificate, "-key", key, "-www"},
            Environment{}, RunAs{}, tlsSiteLog());
        ASSERT_TRUE(eventually([&] { return contains(readFile(tlsSiteLog()), "ACCEPT"); }))
            << readFile(tlsSiteLog());

        // Everything this test starts from here on lives on the client side.
        mOwnNs = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
        const int client = open(("/run/netns/" + mClientNs).c_str(), O_RDONLY | O_CLOEXEC);
        ASSERT_GE(client, 0);
        ASSERT_EQ(setns(client, CLONE_NEWNET), 0);
        close(client);

        std::string defaults;
        ASSERT_EQ(CloudProcess::runToEnd({"--print-default"}, defaults), 0);
        defaults = std::regex_replace(defaults, std::regex("\"page_fetch_allow\": \\[[^\\]]*\\]"),
                                      "\"page_fetch_allow\": [\"10.77.0.0/24\"]");
        // Level 1 (the parent's first child) is the first list.
        const size_t block = defaults.find("\"block\": [");
        ASSERT_NE(block, std::string::npos);
        defaults.insert(block + 10, "\"blocked.test\", ");
        mCloudData = mSiteDir->path().string() + "/cloud.json";
        writeFile(mCloudData, defaults);
        mCloudArguments = {"--filter-port", "80"};
        mPacketPath = true;
        // The service reads its adapters from /sys, which shows the network
        // namespace it was mounted in: this runs it with the client side's.
        mServicePrefix = {tool("ip"), "netns", "exec", mClientNs};
        HostileSystem::SetUp();
    }

    void TearDown() override {
        HostileSystem::TearDown();
        mSite.reset();
        mTlsSite.reset();
        if (mOwnNs >= 0) {
            setns(mOwnNs, CLONE_NEWNET);
            close(mOwnNs);
            mOwnNs = -1;
        }
        removeNamespaces();
    }

    void removeNamespaces() {
        for (const std::string& ns : {mClientNs, mWebNs}) {
            if (!ns.empty()) {
                runProgram({tool("ip"), "netns", "del", ns}, {}, {}, 10000);
            }
        }
    }

    std::string siteLog() const { return mSiteDir->path().string() + "/site.log"; }
    std::string tlsSiteLog() const { return mSiteDir->path().string() + "/tls-site.log"; }
    std::string filterServerLog() const { return readFile(mCloud->requestLogPath()); }

    // curl as `user`; its output ends with one "status=N" line per URL.
    ProgramResult curl(const LocalUser& user, const std::vector<std::string>& urls,
                       const std::vector<std::string>& options = {}) {
        std::vector<std::string> argv{tool("curl"), "-sS", "--max-time",
                                      "10",         "-w",  "status=%{http_code}\\n"};
        argv.insert(argv.end(), options.begin(), options.end());
        argv.insert(argv.end(), urls.begin(), urls.end());
        return runProgram(argv, {}, as(user), 20000);
    }

    std::string rules() {
        return runProgram({tool("iptables-save")}, {}, {}, 10000).output +
               runProgram({tool("ip6tables-save")}, {}, {}, 10000).output;
    }

    void signInAndMapChild() {
        startService();
        ASSERT_TRUE(parentSetsMap(child().sid() + ", 101\n"));
        const std::string uidRule = "--uid-owner " + std::to_string(child().uid) + " -j REDIRECT";
        ASSERT_TRUE(eventually([&] { return contains(rules(), uidRule); }))
            << rules() << filterLog();
    }

    std::string mClientNs;
    std::string mWebNs;
    int mOwnNs = -1;
    std::unique_ptr<TempDir> mSiteDir;
    std::unique_ptr<ChildProcess> mSite;
    std::unique_ptr<ChildProcess> mTlsSite;
};
