#include "ui/UiWire.h"

#include <algorithm>

#include "zorvane_bytes.h"

namespace {

constexpr int kArgValue = 2;
constexpr int kArgText = 3;

std::string word(uint32_t value) {
    std::string bytes(4, '\0');
    StoreLe32(&bytes[0], value);
    return bytes;
}

uint32_t argumentValue(const CommandResponse& response, int index) {
    const ArgumentBlock* block = response.getArgumentForIndex(index);
    return block ? block->asUint32() : 0;
}

}  // namespace

bool uiAnswerIsText(uint32_t id) {
    return id == UI_READ_GET_USER_LIST_CMD || id == UI_READ_GET_SYS_ZORV_USER_MAP_CMD;
}

std::vector<std::string> uiAnswerWrites(const CommandResponse& response) {
    const uint32_t id = argumentValue(response, Command::kArgCommandId);
    const uint32_t status = static_cast<uint32_t>(response.getStatus());
    switch (id) {
        case UI_READ_N_USERS_CMD:
        case UI_READ_STATUS_CMD:
        case UI_READ_AUTH_STATUS_CMD:
            return {word(argumentValue(response, kArgValue))};
        case UI_READ_ENABLE_CMD:
        case UI_READ_DISABLE_CMD:
        case UI_READ_SET_USER_CMD:
        case UI_READ_SET_SYS_ZORV_USER_MAP_CMD:
            return {word(status)};
        case UI_READ_AUTH_CMD:
            // A failed sign-in answers its failure code instead of the status.
            return {word(status != 0 ? status : argumentValue(response, kArgValue))};
        case UI_READ_GET_USER_LIST_CMD:
        case UI_READ_GET_SYS_ZORV_USER_MAP_CMD: {
            const ArgumentBlock* text = response.getArgumentForIndex(kArgText);
            const size_t available = text ? text->size() : 0;
            const uint32_t length = static_cast<uint32_t>(
                std::min<size_t>(argumentValue(response, kArgValue), available));
            if (length == 0) {
                return {word(0)};
            }
            return {word(length), std::string(text->data(), length)};
        }
        default:
            return {};
    }
}
