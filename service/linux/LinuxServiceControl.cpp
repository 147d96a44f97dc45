#include <cerrno>
#include <map>

#include "LinuxSystemd.h"
#include "port/ServiceControl.h"

namespace {

// systemd has no pause; its states map onto the SCM's.
int stateFromActiveState(const String& activeState) {
    if (activeState == "active" || activeState == "reloading") {
        return SERVICE_STATE_RUNNING;
    }
    if (activeState == "activating") {
        return SERVICE_STATE_START_PENDING;
    }
    if (activeState == "deactivating") {
        return SERVICE_STATE_STOP_PENDING;
    }
    return SERVICE_STATE_STOPPED;
}

class LinuxServiceControl : public ServiceControl {
public:
    bool openService(const String& name, int& error) override {
        mUnit.clear();
        std::map<String, String> properties;
        if (!show(LinuxSystemd::unitName(name), properties, error)) {
            return false;
        }
        if (properties["LoadState"] != "loaded") {
            error = ENOENT;
            return false;
        }
        mUnit = LinuxSystemd::unitName(name);
        return true;
    }

    bool queryStatus(ServiceStatusInfo& status, int& error) override {
        std::map<String, String> properties;
        if (mUnit.empty()) {
            error = ENOENT;
            return false;
        }
        if (!show(mUnit, properties, error)) {
            return false;
        }
        status.state = stateFromActiveState(properties["ActiveState"]);
        status.win32ExitCode = 0;
        // The program's own exit status, as a service-specific code.
        status.serviceSpecificExitCode = properties["ExecMainStatus"].toInteger();
        return true;
    }

    bool startService(int& error) override {
        if (mUnit.empty()) {
            error = ENOENT;
            return false;
        }
        int status = LinuxSystemd::systemctl({"start", mUnit});
        error = status;
        return status == 0;
    }

    bool stopService(int& error) override {
        if (mUnit.empty()) {
            error = ENOENT;
            return false;
        }
        int status = LinuxSystemd::systemctl({"stop", mUnit});
        error = status;
        return status == 0;
    }

private:
    // The unit's properties as "Name=value" lines.
    static bool show(const String& unit, std::map<String, String>& properties, int& error) {
        String output;
        int status = LinuxSystemd::systemctl(
            {"show", "--property=LoadState,ActiveState,ExecMainStatus", unit}, &output);
        if (status != 0) {
            error = status;
            return false;
        }
        size_t start = 0;
        while (start < output.size()) {
            size_t end = output.find('\n', start);
            if (end == String::npos) {
                end = output.size();
            }
            String line = output.substr(start, end - start);
            size_t equals = line.find('=');
            if (equals != String::npos) {
                properties[line.substr(0, equals)] = line.substr(equals + 1);
            }
            start = end + 1;
        }
        return true;
    }

    String mUnit;
};

}  // namespace

std::unique_ptr<ServiceControl> ServiceControl::connect(int& error) {
    if (!LinuxSystemd::isRunning()) {
        error = ENOENT;
        return nullptr;
    }
    return std::make_unique<LinuxServiceControl>();
}

String commandLineFor(const String& path, const String& argument) {
    // Single quotes keep everything literal; a quote inside ends them,
    // adds an escaped quote and opens them again.
    String quoted = "'";
    for (char c : path) {
        if (c == '\'') {
            quoted += "'\\''";
        } else {
            quoted += c;
        }
    }
    return String(quoted + "' " + argument);
}
