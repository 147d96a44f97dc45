#include "PacketRules.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "ZorvaneLog.h"

extern char** environ;

namespace {

// The tools live in sbin, which a service's PATH may lack.
std::string toolPath(const char* name) {
    for (const char* folder : {"/usr/sbin/", "/sbin/", "/usr/bin/", "/bin/"}) {
        std::string path = std::string(folder) + name;
        if (access(path.c_str(), X_OK) == 0) {
            return path;
        }
    }
    return name;
}

// Runs `argv` with `input` on its standard input; true when it exits 0.
// Its standard error (and output) end up in *output.
bool runTool(const std::vector<std::string>& argv, const std::string& input, std::string* output) {
    int in[2];
    int out[2];
    if (pipe2(in, O_CLOEXEC) != 0) {
        *output = std::string("pipe: ") + strerror(errno);
        return false;
    }
    if (pipe2(out, O_CLOEXEC) != 0) {
        *output = std::string("pipe: ") + strerror(errno);
        close(in[0]);
        close(in[1]);
        return false;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, out[1], 2);
    std::vector<char*> args;
    for (const std::string& arg : argv) {
        args.push_back(const_cast<char*>(arg.c_str()));
    }
    args.push_back(nullptr);
    pid_t pid = -1;
    const int spawned = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(in[0]);
    close(out[1]);
    if (spawned != 0) {
        *output = argv[0] + ": " + strerror(spawned);
        close(in[1]);
        close(out[0]);
        return false;
    }
    // The scripts are small: the tool reads them whole before it writes much.
    size_t written = 0;
    while (written < input.size()) {
        const ssize_t n = write(in[1], input.data() + written, input.size() - written);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        written += static_cast<size_t>(n);
    }
    close(in[1]);
    output->clear();
    char buffer[512];
    for (;;) {
        const ssize_t n = read(out[0], buffer, sizeof(buffer));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        output->append(buffer, static_cast<size_t>(n));
    }
    close(out[0]);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    while (!output->empty() && output->back() == '\n') {
        output->pop_back();
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

bool restore(const char* tool, const std::string& script, std::string* error) {
    std::string output;
    if (runTool({toolPath(tool), "--noflush", "--wait", "5"}, script, &output)) {
        return true;
    }
    *error = std::string(tool) + ": " + (output.empty() ? "failed" : output);
    return false;
}

// Our chains: table, chain, and how OUTPUT or INPUT jumps to it.
struct Chain {
    const char* table;
    const char* name;
    const char* hook;  // "OUTPUT ..." or "INPUT ..."
};
constexpr Chain kIpv4Chains[] = {
    {"nat", "ZORVANE_HTTP", "OUTPUT -p tcp --dport 80"},
    {"mangle", "ZORVANE_TLS", "OUTPUT -p tcp --dport 443"},
    {"mangle", "ZORVANE_TLS_IN", "INPUT -p tcp --sport 443"},
    {"filter", "ZORVANE_QUIC", "OUTPUT -p udp --dport 443"},
};
constexpr Chain kIpv6Chains[] = {
    {"filter", "ZORVANE_WEB6", "OUTPUT"},
};

std::vector<std::string> words(const std::string& text) {
    std::vector<std::string> out;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find(' ', start);
        if (end == std::string::npos) {
            end = text.size();
        }
        out.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return out;
}

// Deletes every jump to the chain, then the chain itself.
void removeChain(const char* tool, const Chain& chain) {
    const std::string path = toolPath(tool);
    std::string output;
    const std::vector<std::string> hook = words(chain.hook);
    for (int i = 0; i < 16; ++i) {
        std::vector<std::string> argv{path, "-w", "5", "-t", chain.table, "-D"};
        argv.insert(argv.end(), hook.begin(), hook.end());
        argv.insert(argv.end(), {"-j", chain.name});
        if (!runTool(argv, "", &output)) {
            break;
        }
    }
    runTool({path, "-w", "5", "-t", chain.table, "-F", chain.name}, "", &output);
    runTool({path, "-w", "5", "-t", chain.table, "-X", chain.name}, "", &output);
}

// The restore script for `chains`: each table once, its chains declared
// (which empties them) and, with `hook`, jumped to first thing; `body`
// gives each chain's rules.
template <size_t N, typename Body>
std::string script(const Chain (&chains)[N], bool hook, Body body) {
    std::string out;
    const char* table = nullptr;
    for (size_t i = 0; i < N; ++i) {
        if (table == nullptr || strcmp(table, chains[i].table) != 0) {
            if (table != nullptr) {
                out += "COMMIT\n";
            }
            table = chains[i].table;
            out += std::string("*") + table + "\n";
            for (size_t j = i; j < N && strcmp(chains[j].table, table) == 0; ++j) {
                out += std::string(":") + chains[j].name + " - [0:0]\n";
            }
            for (size_t j = i; hook && j < N && strcmp(chains[j].table, table) == 0; ++j) {
                const std::string jump = chains[j].hook;
                const size_t space = jump.find(' ');
                const std::string where = jump.substr(0, space);
                const std::string match = space == std::string::npos ? "" : jump.substr(space);
                out += "-I " + where + " 1" + match + " -j " + chains[j].name + "\n";
            }
        }
        out += body(chains[i].name);
    }
    return out + "COMMIT\n";
}

std::string line(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string line(const char* format, ...) {
    char buffer[256];
    va_list args;
    va_start(args, format);
    vsnprintf(buffer, sizeof(buffer), format, args);
    va_end(args);
    return std::string(buffer) + "\n";
}

}  // namespace

PacketRules::PacketRules(uint16_t proxyPort, uint32_t ownMark, uint16_t queueNumber)
    : mProxyPort(proxyPort), mOwnMark(ownMark), mQueueNumber(queueNumber) {}

std::string PacketRules::ipv4Script(const std::vector<uint32_t>& judged,
                                    const std::vector<uint32_t>& redirected, bool hook) const {
    return script(kIpv4Chains, hook, [&](const char* chain) {
        std::string rules;
        const std::string name = chain;
        if (name == "ZORVANE_HTTP" || name == "ZORVANE_TLS") {
            rules += line("-A %s -m mark --mark 0x%x -j RETURN", chain, mOwnMark);
        }
        if (name == "ZORVANE_HTTP") {
            for (const uint32_t uid : redirected) {
                rules += line("-A %s -p tcp -m owner --uid-owner %u -j REDIRECT --to-ports %u",
                              chain, uid, static_cast<unsigned>(mProxyPort));
            }
        } else if (name == "ZORVANE_TLS") {
            for (const uint32_t uid : judged) {
                rules += line("-A %s -m owner --uid-owner %u -j CONNMARK --set-mark 0x%x", chain,
                              uid, kZorvaneTlsConnMark);
            }
            rules += line("-A %s -m connmark --mark 0x%x -j NFQUEUE --queue-num %u", chain,
                          kZorvaneTlsConnMark, static_cast<unsigned>(mQueueNumber));
        } else if (name == "ZORVANE_TLS_IN") {
            rules += line("-A %s -m connmark --mark 0x%x -j NFQUEUE --queue-num %u", chain,
                          kZorvaneTlsConnMark, static_cast<unsigned>(mQueueNumber));
        } else {
            for (const uint32_t uid : judged) {
                rules += line("-A %s -m owner --uid-owner %u -j REJECT", chain, uid);
            }
        }
        return rules;
    });
}

std::string PacketRules::ipv6Script(const std::vector<uint32_t>& judged, bool hook) const {
    return script(kIpv6Chains, hook, [&](const char* chain) {
        std::string rules;
        for (const uint32_t uid : judged) {
            rules += line(
                "-A %s -p tcp -m multiport --dports 80,443 -m owner --uid-owner %u -j REJECT "
                "--reject-with tcp-reset",
                chain, uid);
            rules += line("-A %s -p udp --dport 443 -m owner --uid-owner %u -j REJECT", chain, uid);
        }
        return rules;
    });
}

bool PacketRules::install(std::string* error) {
    remove();
    if (!restore("iptables-restore", ipv4Script({}, {}, true), error)) {
        return false;
    }
    std::string why;
    mIpv6 = restore("ip6tables-restore", ipv6Script({}, true), &why);
    if (!mIpv6) {
        ZorvLog(ZORVANE_DBG_ERROR, "IPv6 rules unavailable: %s\n", why.c_str());
    }
    return true;
}

bool PacketRules::apply(const std::vector<uint32_t>& judged,
                        const std::vector<uint32_t>& redirected, std::string* error) {
    // IPv6 first: a user is never judged on IPv4 while IPv6 still lets the
    // same user past.
    if (mIpv6 && !restore("ip6tables-restore", ipv6Script(judged, false), error)) {
        return false;
    }
    return restore("iptables-restore", ipv4Script(judged, redirected, false), error);
}

void PacketRules::remove() {
    for (const Chain& chain : kIpv4Chains) {
        removeChain("iptables", chain);
    }
    for (const Chain& chain : kIpv6Chains) {
        removeChain("ip6tables", chain);
    }
    mIpv6 = false;
}
