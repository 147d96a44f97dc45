#include "ServiceStartup.h"

#include "cloud/CloudConfig.h"
#include "settings/FileStore.h"
#include "base/Logger.h"
#include "https/HttpsHostCache.h"
#include "Service.h"
#include "port/ServicePaths.h"
#include "settings/Settings.h"
#include "update/UpdateManager.h"

namespace {

// Cipher key and IV of the service's encrypted stores; no stored file
// depends on their values.
const char kStoreKey[32] = {'\x5a', '\x6f', '\x72', '\x76', '\x61', '\x6e', '\x65', '\x2d',
                            '\x9c', '\x41', '\xe3', '\x17', '\xb8', '\x52', '\x0d', '\x6a',
                            '\xf4', '\x2e', '\x81', '\x39', '\xc7', '\x05', '\x6b', '\xd2',
                            '\x13', '\xa8', '\x4f', '\x90', '\x27', '\xee', '\x7c', '\x31'};
const char kStoreIv[32] = {'\x3b', '\xd1', '\x08', '\x7e', '\xa5', '\x62', '\xcf', '\x14',
                           '\x99', '\x2a', '\x57', '\xe0', '\x4d', '\xb6', '\x83', '\x1f',
                           '\x6c', '\x0e', '\xf9', '\x35', '\xa2', '\x48', '\xd7', '\x71',
                           '\x1c', '\xbe', '\x63', '\x05', '\x8a', '\xf2', '\x29', '\x94'};

}  // namespace

namespace ServiceStartup {

void runServiceThread(PlatformSingletons createPlatformSingletons, ServiceReady ready) {
    ServicePaths paths = ServicePathsBuilder::build();
    Logger* log = Logger::instance(paths.logPath, paths.logLevelPath);
    for (const String& note : paths.folderNotes) {
        log->out(LOGLEVEL_ERROR, "service folder: %s\n", note.c_str());
    }
    log->out(LOGLEVEL_INFO, "programDataDir %s\n", paths.programDataDir.c_str());
    log->out(LOGLEVEL_INFO, "settingsPath %s\n", paths.settingsPath.c_str());
    log->out(LOGLEVEL_INFO, "hostCachePath %s\n", paths.hostCachePath.c_str());
    log->out(LOGLEVEL_INFO, "logLevelPath %s\n", paths.logLevelPath.c_str());
    log->out(LOGLEVEL_INFO, "logPath %s\n", paths.logPath.c_str());
    log->out(LOGLEVEL_INFO, "updateInstallerPath %s\n", paths.updateInstallerPath.c_str());

    CloudConfig::install(CloudConfig::load(paths.programDataDir));
    createPlatformSingletons();

    FileStore settingsFileStore(paths.settingsPath, FileStore::PRIVATE);
    settingsFileStore.setKey(kStoreKey);
    settingsFileStore.setIv(kStoreIv);
    Settings* settings = Settings::instance(&settingsFileStore);
    settings->setSettingsFormat(FORMAT_PLAIN);

    // Verdicts are never read back; the file is rewritten as each is learned.
    FileStore hostCacheFileStore(paths.hostCachePath, FileStore::PRIVATE);
    hostCacheFileStore.setKey(kStoreKey);
    hostCacheFileStore.setIv(kStoreIv);
    HttpsHostCache* hostCache = HttpsHostCache::instance(&hostCacheFileStore);

    // The update store is a file in the download folder, never the folder
    // itself: opening a store replaces whatever is not a plain file.
    FileStore updateMgrFileStore(paths.updateInstallerPath.empty()
                                     ? String()
                                     : String(paths.updateInstallerPath + "update_store"));
    UpdateManager::instance(&updateMgrFileStore, paths.updateInstallerPath);

    log->out(LOGLEVEL_ERROR, "logger i/p %s %s\n", paths.logPath.c_str(),
             paths.logLevelPath.c_str());
    log->out(LOGLEVEL_ERROR, "platform %s version %s\n", settings->getPlatform().c_str(),
             settings->getVersion().c_str());

    log->out(LOGLEVEL_INFO, "Loading Settings from store\n");
    settings->loadFromStore();

    log->out(LOGLEVEL_INFO, "Loading HTTPS cache from store\n");
    hostCache->loadFromStore();

    Service* service = Service::instance();
    if (ready) {
        ready(service);
    }
    service->run();
}

}  // namespace ServiceStartup
