#include "ui/UiWire.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "zorvane_bytes.h"

namespace {

std::string word(uint32_t value) {
    std::string bytes(4, '\0');
    StoreLe32(&bytes[0], value);
    return bytes;
}

// A response with status 1 (success) or 0, argument 2 = 77 and a text.
CommandResponse responseFor(uint32_t id, int status, const std::string& text = "S-1, 3\n") {
    CommandResponse response;
    response.setStatus(status);
    response.setArgument(1, ArgumentBlock::fromUint32(id));
    response.setArgument(2, ArgumentBlock::fromUint32(77));
    response.setArgument(3, ArgumentBlock::fromText(text));
    return response;
}

struct ShapeCase {
    uint32_t id;
    int status;
    std::vector<std::string> writes;
};

TEST(UiAnswer, EveryIdHasItsShape) {
    const std::vector<ShapeCase> cases = {
        {UI_READ_N_USERS_CMD, 1, {word(77)}},
        {UI_READ_ENABLE_CMD, 1, {word(1)}},
        {UI_READ_ENABLE_CMD, 0, {word(0)}},
        {UI_READ_DISABLE_CMD, 1, {word(1)}},
        {UI_READ_STATUS_CMD, 0, {word(77)}},
        {UI_READ_AUTH_CMD, 1, {word(1)}},
        {UI_READ_AUTH_CMD, 0, {word(77)}},  // the failure code, not the status
        {UI_READ_GET_USER_INFO_CMD, 1, {}},
        {UI_READ_SET_USER_CMD, 0, {word(0)}},
        {UI_READ_SET_USER_CMD, 1, {word(1)}},
        {UI_READ_SET_SYS_ZORV_USER_MAP_CMD, 0, {word(0)}},
        {UI_READ_SET_SYS_ZORV_USER_MAP_CMD, 1, {word(1)}},
        {UI_READ_AUTH_STATUS_CMD, 1, {word(77)}},
        // Unknown to the desktop program: nothing.
        {DRIVER_READ_HTTPS_HOST_STATUS_CMD, 1, {}},
        {NOTIFIER_READ_GET_VERSION, 1, {}},
        {255, 1, {}},
        {267, 1, {}},
    };
    for (const ShapeCase& c : cases) {
        SCOPED_TRACE("id " + std::to_string(c.id) + " status " + std::to_string(c.status));
        EXPECT_EQ(uiAnswerWrites(responseFor(c.id, c.status)), c.writes);
    }
}

TEST(UiAnswer, TextAnswersWriteLengthThenText) {
    const std::string text = "3, 1, Bo\n7, 2, Ann\n";
    for (uint32_t id : {UI_READ_GET_USER_LIST_CMD, UI_READ_GET_SYS_ZORV_USER_MAP_CMD}) {
        CommandResponse response;
        response.setStatus(COMMAND_SUCCESS);
        response.setArgument(1, ArgumentBlock::fromUint32(id));
        response.setArgument(2, ArgumentBlock::fromUint32(19));
        response.setArgument(3, ArgumentBlock::fromText(text));
        EXPECT_EQ(uiAnswerWrites(response), (std::vector<std::string>{word(19), text})) << id;
    }
}

TEST(UiAnswer, EmptyTextIsFourZeroBytesAndNoText) {
    CommandResponse response;
    response.setArgument(1, ArgumentBlock::fromUint32(UI_READ_GET_USER_LIST_CMD));
    response.setArgument(2, ArgumentBlock::fromUint32(0));
    response.setArgument(3, ArgumentBlock::fromText(""));
    EXPECT_EQ(uiAnswerWrites(response), std::vector<std::string>{word(0)});

    CommandResponse bare;  // neither length nor text
    bare.setArgument(1, ArgumentBlock::fromUint32(UI_READ_GET_SYS_ZORV_USER_MAP_CMD));
    EXPECT_EQ(uiAnswerWrites(bare), std::vector<std::string>{word(0)});
}

TEST(UiAnswer, TextLengthNeverPromisesMoreThanTheText) {
    CommandResponse response;
    response.setArgument(1, ArgumentBlock::fromUint32(UI_READ_GET_SYS_ZORV_USER_MAP_CMD));
    response.setArgument(2, ArgumentBlock::fromUint32(1000));
    response.setArgument(3, ArgumentBlock::fromText("abc"));
    EXPECT_EQ(uiAnswerWrites(response), (std::vector<std::string>{word(3), "abc"}));
}

TEST(UiAnswer, MissingValuesAnswerZero) {
    CommandResponse response;  // status never set: failed
    response.setArgument(1, ArgumentBlock::fromUint32(UI_READ_AUTH_CMD));
    EXPECT_EQ(uiAnswerWrites(response), std::vector<std::string>{word(0)});

    CommandResponse noId;  // no argument 1 at all: no id to answer
    noId.setArgument(2, ArgumentBlock::fromUint32(5));
    EXPECT_TRUE(uiAnswerWrites(noId).empty());
}

}  // namespace
