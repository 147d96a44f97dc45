// The uninstaller's password gate where no window can be shown (a service
// session, no desktop): it cannot ask for the password, so with a stored
// sign-in the uninstall must stop, and without one it goes on.
#include <gtest/gtest.h>
#include <windows.h>

#include "UiTestSupport.h"
#include "WinPipeClient.h"
#include "WineDesktop.h"

namespace {

TEST(InstallerGate, WithoutADesktopFailsClosedOnceSignedIn) {
    if (canShowWindows()) {
        GTEST_SKIP() << "a display is present: the gate would show its window";
    }
    UiEndpoint endpoint(WinPipeClient::kUiPipeName);
    ScriptedService script;
    ServedUi served(endpoint, script);
    const struct {
        uint32_t authStatus;
        DWORD exitCode;
    } cases[] = {{1, 1603}, {0, 0}};
    for (const auto& c : cases) {
        script.setAuthStatus(c.authStatus);
        DesktopRun run(ZORVANE_UI_PROGRAM, L" installer");
        ASSERT_TRUE(run.started());
        EXPECT_EQ(run.exitCode(), c.exitCode) << "status " << c.authStatus << "\n" << run.log();
    }
}

}  // namespace
