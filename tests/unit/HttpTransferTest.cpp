// The bound on a cloud reply kept in memory, against a bare server that
// keeps sending: the transfer ends near the bound, not at the body's end.

#include "cloud/HttpTransfer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "RawHttpServer.h"

namespace {

constexpr uint64_t kMiB = 1024 * 1024;

bool streamEnded(const RawHttpServer& server) {
    for (int waited = 0; waited < 10000; waited += 10) {
        if (server.streamsEnded() == 1) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

struct BodyCase {
    const char* label;
    uint64_t bytes;
    bool declareLength;
    bool taken;
};

void PrintTo(const BodyCase& c, std::ostream* os) {
    *os << c.label;
}

class HttpTransferBound : public testing::TestWithParam<BodyCase> {};

TEST_P(HttpTransferBound, BodyOverTheBoundEndsTheTransfer) {
    const BodyCase& c = GetParam();
    RawHttpServer server([](const std::string&) { return std::string(); });
    server.streamBody(c.bytes, c.declareLength);
    {
        HttpTransfer transfer;
        const bool done =
            transfer.perform(String("http://127.0.0.1:" + std::to_string(server.port()) + "/big"));
        EXPECT_EQ(done, c.taken) << transfer.error();
        EXPECT_EQ(transfer.bodyTooLarge(), !c.taken);
        EXPECT_EQ(transfer.body().size(), c.taken ? c.bytes : 0u);
    }
    ASSERT_TRUE(streamEnded(server));
    if (!c.taken) {
        // The rest was never read: what the server got rid of is the bound
        // plus what the sockets' buffers hold.
        EXPECT_LT(server.bytesStreamed(), 64 * kMiB);
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, HttpTransferBound,
                         testing::Values(BodyCase{"ExactlyTheBound", kMiB, true, true},
                                         BodyCase{"ExactlyTheBoundUntilClose", kMiB, false, true},
                                         BodyCase{"OneByteOverUntilClose", kMiB + 1, false, false},
                                         BodyCase{"HugeWithLength", 512 * kMiB, true, false},
                                         BodyCase{"HugeUntilClose", 512 * kMiB, false, false}),
                         [](const testing::TestParamInfo<BodyCase>& param) {
                             return std::string(param.param.label);
                         });

TEST(HttpTransferBoundSetting, ASmallerBoundIsHonoured) {
    RawHttpServer server([](const std::string&) { return std::string(); });
    server.streamBody(4096, false);
    HttpTransfer transfer;
    transfer.setMaxBodyBytes(4095);
    EXPECT_FALSE(
        transfer.perform(String("http://127.0.0.1:" + std::to_string(server.port()) + "/")));
    EXPECT_TRUE(transfer.bodyTooLarge());
}

}  // namespace
