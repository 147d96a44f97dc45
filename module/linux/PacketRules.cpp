#include "PacketRules.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
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

// Deletes every jump to our chain from OUTPUT, then the chain itself.
void removeChain(const char* tool, const char* table, const char* match) {
    const std::string path = toolPath(tool);
    std::string output;
    for (int i = 0; i < 16; ++i) {
        std::vector<std::string> argv{path, "-w", "5", "-t", table, "-D", "OUTPUT"};
        for (const char* at = match; *at != 0;) {
            const char* end = strchr(at, ' ');
            argv.emplace_back(at, end != nullptr ? end - at : strlen(at));
            at = end != nullptr ? end + 1 : at + strlen(at);
        }
        argv.insert(argv.end(), {"-j", kZorvaneRuleChain});
        if (!runTool(argv, "", &output)) {
            break;
        }
    }
    runTool({path, "-w", "5", "-t", table, "-F", kZorvaneRuleChain}, "", &output);
    runTool({path, "-w", "5", "-t", table, "-X", kZorvaneRuleChain}, "", &output);
}

constexpr char kPort80[] = "-p tcp --dport 80";

}  // namespace

PacketRules::PacketRules(uint16_t proxyPort, uint32_t proxyMark)
    : mProxyPort(proxyPort), mProxyMark(proxyMark) {}

std::string PacketRules::natScript(const std::vector<uint32_t>& uids, bool hook) const {
    std::string script = "*nat\n:" + std::string(kZorvaneRuleChain) + " - [0:0]\n";
    if (hook) {
        script += "-I OUTPUT 1 " + std::string(kPort80) + " -j " + kZorvaneRuleChain + "\n";
    }
    char line[200];
    snprintf(line, sizeof(line), "-A %s -m mark --mark 0x%x -j RETURN\n", kZorvaneRuleChain,
             mProxyMark);
    script += line;
    for (const uint32_t uid : uids) {
        snprintf(line, sizeof(line), "-A %s %s -m owner --uid-owner %u -j REDIRECT --to-ports %u\n",
                 kZorvaneRuleChain, kPort80, uid, static_cast<unsigned>(mProxyPort));
        script += line;
    }
    return script + "COMMIT\n";
}

std::string PacketRules::filter6Script(const std::vector<uint32_t>& uids, bool hook) const {
    std::string script = "*filter\n:" + std::string(kZorvaneRuleChain) + " - [0:0]\n";
    if (hook) {
        script += "-I OUTPUT 1 " + std::string(kPort80) + " -j " + kZorvaneRuleChain + "\n";
    }
    char line[200];
    for (const uint32_t uid : uids) {
        snprintf(line, sizeof(line),
                 "-A %s -p tcp -m owner --uid-owner %u -j REJECT --reject-with tcp-reset\n",
                 kZorvaneRuleChain, uid);
        script += line;
    }
    return script + "COMMIT\n";
}

bool PacketRules::install(std::string* error) {
    remove();
    if (!restore("iptables-restore", natScript({}, true), error)) {
        return false;
    }
    std::string why;
    mIpv6 = restore("ip6tables-restore", filter6Script({}, true), &why);
    if (!mIpv6) {
        ZorvLog(ZORVANE_DBG_ERROR, "IPv6 rules unavailable: %s\n", why.c_str());
    }
    return true;
}

bool PacketRules::apply(const std::vector<uint32_t>& uids, std::string* error) {
    // IPv6 first: a user is never redirected on IPv4 while IPv6 still
    // lets the same user past.
    if (mIpv6 && !restore("ip6tables-restore", filter6Script(uids, false), error)) {
        return false;
    }
    return restore("iptables-restore", natScript(uids, false), error);
}

void PacketRules::remove() {
    removeChain("iptables", "nat", kPort80);
    removeChain("ip6tables", "filter", kPort80);
    mIpv6 = false;
}
