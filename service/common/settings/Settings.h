#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>

#include "settings/AdminInfo.h"
#include "settings/ChildInfo.h"
#include "cloud/ConnectionInfo.h"
#include "system/Device.h"
#include "settings/Store.h"
#include "base/String.h"

enum FormatType { FORMAT_PLAIN = 0, FORMAT_XML = 1 };

// What became of a new user map: refused (the map is as it was), not saved
// (the map is as it was, the file too) or in force and saved.
enum class UserMapChange { REFUSED, NOT_SAVED, SAVED };

// Windows account SID text -> child id (0 = not filtered), ascending by SID.
using SysZorvUserMap = std::map<String, uint32_t>;
// Child id -> profile, ascending by id.
using ChildList = std::map<uint32_t, ChildInfo>;

// Everything the service keeps across restarts: the cloud servers, the
// parent's account, the filter switch, the device identity, the user map and
// the child profiles; kept as text in the settings file.
//
// Every operation holds mLock for the whole record; load and save hold it for
// the whole open-transfer-close. The connection info and the account are
// handed out shared, so a replacement never pulls them from under a reader.
class Settings {
public:
    // The first call creates the settings on `store`; later calls ignore it.
    static Settings* instance(Store* store = nullptr);

    explicit Settings(Store* store);
    Settings(const Settings&) = delete;
    Settings& operator=(const Settings&) = delete;

    virtual void setConnectionInfo(std::shared_ptr<ConnectionInfo> info);
    virtual std::shared_ptr<ConnectionInfo> getConnectionInfo() const;
    virtual void setAdminInfo(std::shared_ptr<AdminInfo> info);
    virtual std::shared_ptr<AdminInfo> getAdminInfo() const;
    virtual void setChildInfo(uint32_t id, const ChildInfo& child);
    // A copy; an empty profile for an unknown id (the list is not changed).
    virtual ChildInfo getChildInfo(uint32_t id) const;
    virtual ChildList getChildList() const;
    // Replaces the profiles and moves users of a vanished child to the
    // lowest remaining child (or to 0 when none remains).
    virtual void setChildList(const ChildList& children);
    virtual void setDeviceInfo(Device* device);
    virtual Device* getDeviceInfo() const;
    virtual bool IsFilterEnabled() const;
    virtual void setFilterEnabled(bool enabled);
    virtual FormatType getSettingsFormat() const;
    virtual void setSettingsFormat(FormatType format);
    virtual void flushChildList();
    virtual void loadFromStore();
    // False when the record did not reach the file (incomplete record, no
    // store, or the write failed); the file then keeps its former contents.
    virtual bool saveToStore();
    virtual bool updateSysZorvUserMap(String text);
    // updateSysZorvUserMap and saveToStore as one step: a map that cannot
    // be saved is not kept either.
    virtual UserMapChange updateAndSaveSysZorvUserMap(const String& text);
    virtual int getSysZorvUserMap(String& text) const;
    virtual String getVersion() const;
    virtual void setVersion(const String& version);
    virtual String getPlatform() const;
    virtual void setPlatform(const String& platform);
    virtual SysZorvUserMap getSysZorvUserMap() const;
    virtual ~Settings();

    virtual int GetUserAuthStatus() const;
    virtual void SetUserAuthStatus(int status);
    // The child of the user whose desktop session last answered the notifier.
    virtual uint32_t getCurrentChildId() const;
    virtual unsigned long getCurrentPid() const;
    virtual int getWindowsVersion() const;
    virtual void reset();
    virtual String toXml() const;
    virtual bool loadFromXml(String& text);
    virtual String toString() const;
    virtual void populateFromString(String text);
    virtual bool populateUserMapFromString(String text);
    virtual int getStringFromUserMap(String& text) const;

    static String getWindowsPlatform();

    // The settings text with the password digest masked, for log lines.
    static String maskForLog(const String& text);

private:
    void resetLocked();
    // `firstLine`: the settings-file line of the text's first line, or 0
    // for a map from the desktop program (only the log lines differ).
    bool populateUserMapLines(String text, int firstLine);

    mutable std::recursive_mutex mLock;  // the whole record; operations call each other
    std::shared_ptr<ConnectionInfo> mpConnectionInfo;
    std::shared_ptr<AdminInfo> mpAdminInfo;
    Device* mpDevice = nullptr;  // the Device singleton, not owned
    ChildList mChildInfoList;
    SysZorvUserMap mSysZorvUserMap;
    bool isFilterEnabled = false;
    Store* mpSettingsStore = nullptr;  // not owned
    FormatType mSettingsFormat = FORMAT_PLAIN;
    String mVersion;
    String mPlatform;
    int mUserAuthStatus = 0;
    int mDroppedLines = 0;  // by the last populateFromString, for the load summary
};
