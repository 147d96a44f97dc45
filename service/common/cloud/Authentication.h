#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>

#include "settings/AdminInfo.h"
#include "settings/ChildInfo.h"
#include "cloud/ConnectionInfo.h"
#include "base/String.h"

// Sign-in results: the local codes, then the HTTP status codes of the
// authentication server's answer.
enum {
    AUTH_STATUS_FAILED = 0,
    AUTH_STATUS_PASSED = 1,
    AUTH_STATUS_CURL_ERROR = 2,
    AUTH_STATUS_USER_MISMATCH = 3,
    AUTH_STATUS_COMM_ERROR = 4,
    // The account passed and is in force, but the settings could not be
    // saved: it holds until the service restarts.
    AUTH_STATUS_NOT_SAVED = 5,
    AUTH_STATUS_FAILED_OTHER = 200,
    AUTH_STATUS_FAILED_NO_USER = 401,
    AUTH_STATUS_FAILED_INACTIVE_USER = 402,
    AUTH_STATUS_FAILED_PASSWD_MISMATCH = 403,
    AUTH_STATUS_FAILED_ANOTHER_ACCOUNT = 404,
    AUTH_STATUS_FAILED_MEMORY = 406,
    AUTH_STATUS_FAILED_UNKNOWN = 407,
};

// The service's sign-in with the cloud: fetches the server addresses, signs
// the parent's account in, and hands the account, the child profiles and the
// device id to the settings. Sign-ins and connection fetches are serialised.
class Authentication {
public:
    static Authentication* instance();

    Authentication(const Authentication&) = delete;
    Authentication& operator=(const Authentication&) = delete;

    // Interactive with `given` (user and password as typed), in the
    // background with the stored account when null. A status code above.
    int doAuth(const AdminInfo* given);
    // Fetches the connection info again; 1 on success.
    int getConnection();
    // Whether some user of this PC is mapped to a child.
    bool isAuthNeeded();
    // Tells the users' desktops that a sign-in failed; the notice's status.
    int NotifyAuthFail(bool isBgAuth, int errCode);

    bool fetchConnectionInfoFromServer(std::shared_ptr<ConnectionInfo>& out);
    bool parseConnectionData(std::shared_ptr<ConnectionInfo>& out, const String& body);
    bool authenticateUserFromServer(const String& user, const String& digest,
                                    unsigned int* responseCode);
    // Installs the account, the device id and the children only when the
    // reply passed and carries every child its count announces; a passed
    // reply that does not sets `incomplete` and changes nothing.
    bool parseAuthenticationData(const String& user, const String& digest, const String& body,
                                 bool* incomplete = nullptr);

    // Two lowercase hex digits per byte into `text` (2 * count characters;
    // the caller terminates it).
    static void bin2hex(const unsigned char* bytes, int count, char* text);
    // The MD5 digest of `text` as 32 lowercase hex digits; false on failure.
    static bool md5Hex(const String& text, String& digest);
    // The connection-info request for `url`: the time zone with each space
    // sent as the four characters "\%20".
    static String connectionRequestUrl(const String& url, const String& timeZone);

    // The computer's name, or empty.
    static String getSystemName();
    // "amd64" or "x86".
    static String GetWindowsPlatform();
    // The operating-system description sent as the sign-in's device type.
    static String GetWindowsVersion();
    // The edition name of a Windows product type, or empty for an unknown type.
    static String GetWindowsFlavour(unsigned long productType);

private:
    using TokenHandler = int (Authentication::*)(const String& value);

    Authentication();

    int doAuthLocked(const AdminInfo* given);
    bool fetchLocked(std::shared_ptr<ConnectionInfo>& out);

    int statusTokenFn(const String& value);
    int sidTokenFn(const String& value);
    int authexpTokenFn(const String& value);
    int devIdTokenFn(const String& value);
    int childTokenFn(const String& value);

    // Serialises sign-ins and connection fetches; guards what the reply being
    // parsed carries (mChildList to mParsedDigest).
    std::mutex mLock;
    std::map<String, TokenHandler> mAuthTokenHandler;
    std::map<uint32_t, ChildInfo> mChildList;
    uint32_t mChildrenTaken = 0;  // CHILDINFO lines taken, repeats included
    uint32_t mParsedDeviceId = 0;
    bool mDeviceIdParsed = false;
    bool mPassed = false;
    String mParsedUser;
    String mParsedDigest;
};
