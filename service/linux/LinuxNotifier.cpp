#include "LinuxNotifier.h"

#include <vector>

#include "LinuxNotifyFolders.h"
#include "LinuxPaths.h"
#include "settings/Settings.h"
#include "system/Accounts.h"

namespace {

// The folders of every enabled account and, when asked, of every mapped
// user.
void prepareFolders(bool withMap) {
    std::vector<String> sids;
    std::vector<LocalAccount> accounts;
    if (Accounts::listLocalAccounts(accounts)) {
        for (const LocalAccount& account : accounts) {
            if (!account.disabled) {
                sids.push_back(account.sid);
            }
        }
    }
    if (withMap) {
        for (const auto& entry : Settings::instance()->getSysZorvUserMap()) {
            sids.push_back(entry.first);
        }
    }
    LinuxNotifyFolders::prepare(sids);
}

}  // namespace

LinuxNotifier* LinuxNotifier::instance() {
    return PlatformInstance<LinuxNotifier>::get([] { return new LinuxNotifier(); });
}

void LinuxNotifier::cleanUp() {
    PlatformInstance<LinuxNotifier>::reset();
}

String LinuxNotifier::defaultCommandSocketPath() {
    return String(LinuxPaths::runDir() + "zorvane_notifier_cmd_pipe");
}

LinuxNotifier::LinuxNotifier(String commandSocketPath)
    : PipeNotifier(UserNotifierChannel::create(),
                   makePipeServer(std::move(commandSocketPath), kCommandPipeTimeoutMs)) {
    // The settings are not loaded yet: the mapped users' folders come with
    // the first status check.
    prepareFolders(false);
}

int LinuxNotifier::status() {
    prepareFolders(true);
    return PipeNotifier::status();
}

void LinuxNotifier::usersChanged() {
    prepareFolders(true);
}
