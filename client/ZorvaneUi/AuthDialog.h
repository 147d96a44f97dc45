#pragma once

#include "Dialog.h"

// The parent's sign-in (template 129). In installer mode (the word
// "installer" after the program name on the command line) it is the
// uninstaller's password gate and ends the process itself: 0 lets the
// uninstall go on, 1603 stops it.
class CAuthDialog : public Dialog {
public:
    CAuthDialog();

    // Recomputed from the process's command line each time.
    static bool installerMode();

    // Installer mode when the dialog could not be shown (no desktop to show
    // it on): the exit code the gate gives without asking for the password.
    static int installerExitWithoutWindow();

protected:
    BOOL onInitDialog() override;
    bool onCommand(int id, int notifyCode) override;

private:
    void onLogin();
    void onCancel();
};
