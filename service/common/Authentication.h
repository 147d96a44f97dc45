#pragma once

#include "String.h"

// The service's sign-in with the cloud and the texts that describe this PC to it.
class Authentication {
public:
    // The computer's name, or empty.
    static String getSystemName();
    // "amd64" or "x86".
    static String GetWindowsPlatform();
    // The operating-system description sent as the sign-in's device type.
    static String GetWindowsVersion();
    // The edition name of a Windows product type, or empty for an unknown type.
    static String GetWindowsFlavour(unsigned long productType);
};
