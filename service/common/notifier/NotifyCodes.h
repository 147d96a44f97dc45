#pragma once

// Notification codes: the first 32-bit value of every message to a user's
// notifier program.
enum E_NotifyCode {
    NOTIFY_NOTIFIER_ERROR = -3,
    NOTIFY_SERVICE_RECONNECT = -2,
    NOTIFY_SERVICE_DISCONNECT = -1,
    NOTIFY_CONNECTION_ERROR = 0,
    NOTIFY_HTTPS_SITE_BLOCKED = 1,
    NOTIFY_STATUS_CHECK = 2,
    NOTIFY_NEW_UPDATE = 3,
    NOTIFY_ALL_SERVER_DOWN = 4,
    NOTIFY_AUTH_FAIL = 5,
    NOTIFY_DRIVER_ERROR = 6,
    NOTIFY_NO_HOTSPOT = 7,
    NOTIFY_HOTSPOT_MODE = 8,
    NOTIFY_NORMAL_MODE = 9,
    NOTIFY_REDIRECT_PROCESS = 10,
};
