#pragma once

#include <cstdint>
#include <memory>

#include "commands/Command.h"
#include "settings/Settings.h"
#include "base/String.h"

// The desktop program's requests about child profiles and the map of system
// users to them. Each keeps what it read of the request and answers through
// the response arguments of the UI channel (2: a number or a text length,
// 3: the text).

// 256 and 263: the child profiles as text, one "id, level, name\n" line per
// child in ascending id order, without a terminator. 256 answers only the
// text's byte length.
class ChildListCommand : public Command {
public:
    static constexpr int kMinLength = 4;

    ChildListCommand(const char* buffer, int length);
    std::unique_ptr<CommandResponse> execute() override;

    static String childListText(const ChildList& children);
    static std::unique_ptr<Command> build(const char* buffer, int length);
};

// 261: asks for nothing the service keeps; never answered.
class UserInfoCommand : public Command {
public:
    static constexpr int kMinLength = 4;

    UserInfoCommand(const char* buffer, int length);
    std::unique_ptr<CommandResponse> execute() override;

    static std::unique_ptr<Command> build(const char* buffer, int length);
};

// 262: a child id for "the device's user". The filter maps users by SID and
// the request names none, so it is refused (answer 0).
class SetUserCommand : public Command {
public:
    static constexpr int kMinLength = 8;  // id, child id

    SetUserCommand(const char* buffer, int length);
    std::unique_ptr<CommandResponse> execute() override;

    uint32_t getChildId() const;
    static std::unique_ptr<Command> build(const char* buffer, int length);
};

// 264: the map of system users to child ids in its text form.
class GetSysZorvUserMapCommand : public Command {
public:
    static constexpr int kMinLength = 4;

    GetSysZorvUserMapCommand(const char* buffer, int length);
    std::unique_ptr<CommandResponse> execute() override;

    static std::unique_ptr<Command> build(const char* buffer, int length);
};

// 265: a new map of system users to child ids (the text up to the first NUL
// or the end of the request). A map the settings take is saved, then given
// to the filter; the answer is 1 only when the filter took it too, and the
// map stays saved either way.
class SetSysZorvUserMapCommand : public Command {
public:
    static constexpr int kMinLength = 4;

    SetSysZorvUserMapCommand(const char* buffer, int length);
    std::unique_ptr<CommandResponse> execute() override;

    String getMapText() const;
    static std::unique_ptr<Command> build(const char* buffer, int length);

private:
    // The filter gets the device, the saved map and the current child; 1
    // when it took all three. Not while filtering is disabled.
    static int updateDriver(Settings& settings);
};
