#include "CComand.h"

#include "zorvane_bytes.h"
#include "commands/Command.h"

namespace {

constexpr int kArgFirst = 1;
constexpr int kArgSecond = 2;

std::vector<char> idOnly(uint32_t id, size_t length = 4) {
    std::vector<char> body(length, '\0');
    StoreLe32(body.data(), id);
    return body;
}

void append(std::vector<char>& body, const String& text) {
    body.insert(body.end(), text.begin(), text.end());
}

// The id, "user,password" and a NUL.
std::vector<char> credentialsRequest(uint32_t id, const String& user, const String& password) {
    std::vector<char> body = idOnly(id);
    append(body, user);
    body.push_back(',');
    append(body, password);
    body.push_back('\0');
    return body;
}

}  // namespace

void CComand::setArgument(int key, ArgumentBlock block) {
    mArguments[key] = std::move(block);
}

const ArgumentBlock* CComand::getArgument(int key) const {
    auto found = mArguments.find(key);
    return found == mArguments.end() ? nullptr : &found->second;
}

String CComand::argumentText(int key) const {
    const ArgumentBlock* block = getArgument(key);
    return block ? String(std::string(block->data(), block->size())) : String();
}

std::unique_ptr<CReply> CComand::execute() {
    return execute(*CService::instance());
}

std::unique_ptr<CReply> CComand::execute(CService& service) {
    const std::vector<char> body = buildRequest();
    if (!service.send(body.data(), static_cast<uint32_t>(body.size()))) {
        return nullptr;
    }
    return service.readReply(LoadLe32(body.data()));
}

CAuthCommand::CAuthCommand(const String& user, const String& password) {
    setArgument(kArgFirst, ArgumentBlock::fromText(user));
    setArgument(kArgSecond, ArgumentBlock::fromText(password));
}

std::vector<char> CAuthCommand::buildRequest() const {
    return credentialsRequest(UI_READ_AUTH_CMD, argumentText(kArgFirst), argumentText(kArgSecond));
}

std::vector<char> CAuthStatusCommand::buildRequest() const {
    return idOnly(UI_READ_AUTH_STATUS_CMD);
}

std::vector<char> CGetChildUserListCommand::buildRequest() const {
    return idOnly(UI_READ_GET_USER_LIST_CMD, 8);
}

std::vector<char> CGetWinZorvUserMapCommand::buildRequest() const {
    return idOnly(UI_READ_GET_SYS_ZORV_USER_MAP_CMD);
}

CSetWinZorvUserMapCommand::CSetWinZorvUserMapCommand(const String& mapText) {
    setArgument(kArgFirst, ArgumentBlock::fromText(mapText));
}

std::vector<char> CSetWinZorvUserMapCommand::buildRequest() const {
    std::vector<char> body = idOnly(UI_READ_SET_SYS_ZORV_USER_MAP_CMD);
    append(body, argumentText(kArgFirst));
    body.push_back('\0');
    return body;
}

CEnableCommand::CEnableCommand(const String& user, const String& password, bool enable)
    : mEnable(enable) {
    setArgument(kArgFirst, ArgumentBlock::fromText(user));
    setArgument(kArgSecond, ArgumentBlock::fromText(password));
}

std::vector<char> CEnableCommand::buildRequest() const {
    return credentialsRequest(mEnable ? UI_READ_ENABLE_CMD : UI_READ_DISABLE_CMD,
                              argumentText(kArgFirst), argumentText(kArgSecond));
}

std::vector<char> CStatusCommand::buildRequest() const {
    return idOnly(UI_READ_STATUS_CMD);
}

std::vector<char> CNUsersCommand::buildRequest() const {
    return idOnly(UI_READ_N_USERS_CMD);
}
