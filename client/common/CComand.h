#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <vector>

#include "commands/ArgumentBlock.h"
#include "CReply.h"
#include "CService.h"
#include "base/String.h"

// A request of the desktop program: its arguments (owned, freed with the
// command) become one request body; executing it sends the body and reads
// the service's answer. Built, executed once and dropped.
class CComand {
public:
    CComand() = default;
    CComand(const CComand&) = delete;
    CComand& operator=(const CComand&) = delete;
    virtual ~CComand() = default;

    // Stores the block under `key`, replacing an earlier one.
    virtual void setArgument(int key, ArgumentBlock block);
    // The block under `key`, or null.
    virtual const ArgumentBlock* getArgument(int key) const;
    // The request body; it starts with the 32-bit command id.
    virtual std::vector<char> buildRequest() const = 0;
    // Sends the request over the process's connection and reads the answer;
    // null when sending failed or the answer could not be read.
    virtual std::unique_ptr<CReply> execute();
    std::unique_ptr<CReply> execute(CService& service);

protected:
    // The text stored under `key` (no terminator); empty when there is none.
    String argumentText(int key) const;

private:
    std::map<int, ArgumentBlock> mArguments;
};

// 260: signs the parent in. Argument 1 the user name, 2 the password; the
// body is the id, "user,password" and one NUL. No character is escaped, so a
// comma in the user name reaches the service as the separator.
class CAuthCommand : public CComand {
public:
    CAuthCommand() = default;
    CAuthCommand(const String& user, const String& password);
    std::vector<char> buildRequest() const override;
};

// 266: the service's stored sign-in status.
class CAuthStatusCommand : public CComand {
public:
    std::vector<char> buildRequest() const override;
};

// 263: the child profiles as text. The body is 8 bytes: the id and four zero
// bytes that the service does not read.
class CGetChildUserListCommand : public CComand {
public:
    std::vector<char> buildRequest() const override;
};

// 264: the map of system users to child ids as text.
class CGetWinZorvUserMapCommand : public CComand {
public:
    std::vector<char> buildRequest() const override;
};

// 265: stores a new user map. Argument 1 is the map text; the body is the
// id, the text and one NUL.
class CSetWinZorvUserMapCommand : public CComand {
public:
    CSetWinZorvUserMapCommand() = default;
    explicit CSetWinZorvUserMapCommand(const String& mapText);
    std::vector<char> buildRequest() const override;
};

// 257 and 258: the parent's password check before enabling or disabling the
// filter; the body is built like the sign-in's. The service changes nothing.
class CEnableCommand : public CComand {
public:
    CEnableCommand(const String& user, const String& password, bool enable);
    std::vector<char> buildRequest() const override;

private:
    bool mEnable;
};

// 259: the filter's module status (its enabled flag).
class CStatusCommand : public CComand {
public:
    std::vector<char> buildRequest() const override;
};

// 256: the byte length of the child-list text.
class CNUsersCommand : public CComand {
public:
    std::vector<char> buildRequest() const override;
};
