#include "UiPipeScenario.h"

#include <gtest/gtest.h>

#include <chrono>
#include <vector>

#include "zorvane_bytes.h"
#include "CComand.h"
#include "CReply.h"
#include "CService.h"
#include "ui/UiWire.h"

const char kUiScenarioSettings[] =
    "http://127.0.0.1:1/auth, http://127.0.0.1:1/filter, 1\n"
    "parent@example.com, 5f4dcc3b5aa765d61d8327deb882cf99, 0\n"
    "4711, 0a1b2c3d4e5f\n"
    "S-1-5-21-1-1001, 7\n"
    "\n"
    "7, Ann, 2, k7\n";

const char kUiScenarioCloudConfig[] =
    "connection_url=http://127.0.0.1:1/connection\n"
    "connection_url_fallback=http://127.0.0.1:1/connection\n"
    "connect_timeout_ms=1000\n";

namespace {

const std::string kMapText = "S-1-5-21-1-1001, 7\n";
const std::string kChildText = "7, 2, Ann\n";
constexpr uint32_t kUnknownId = 1033;

// A request that is only its id, for ids the client library has no class for.
class IdRequest : public CComand {
public:
    explicit IdRequest(uint32_t id) : mId(id) {}
    std::vector<char> buildRequest() const override {
        std::vector<char> body(4);
        StoreLe32(body.data(), mId);
        return body;
    }

private:
    uint32_t mId;
};

std::string lengthWord(uint32_t length) {
    std::string bytes(4, '\0');
    StoreLe32(&bytes[0], length);
    return bytes;
}

bool writeAll(PipeClient& client, const std::string& bytes) {
    return client.write(bytes.data(), static_cast<uint32_t>(bytes.size()));
}

// Opens a client; on Windows the single pipe instance is busy until the
// service has let the previous client go.
std::unique_ptr<PipeClient> connect(const UiScenarioHooks& hooks) {
    for (int attempt = 0; attempt < 500; ++attempt) {
        std::unique_ptr<PipeClient> client = hooks.makeClient();
        if (client->open()) {
            return client;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return nullptr;
}

void expectText(const std::unique_ptr<CReply>& reply, const std::string& text) {
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->status(), 1);
    EXPECT_EQ(reply->text(CReply::kKeyAnswer), text);
}

void expectNumber(const std::unique_ptr<CReply>& reply, uint32_t number) {
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->status(), 1);
    EXPECT_EQ(reply->number(CReply::kKeyAnswer, 0xFFFFFFFFu), number);
}

bool logShows(const UiScenarioHooks& hooks, const std::string& text) {
    for (int waited = 0; waited < 10000; waited += 50) {
        if (hooks.log().find(text) != std::string::npos) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

void expectServedAfresh(const UiScenarioHooks& hooks) {
    std::unique_ptr<PipeClient> client = connect(hooks);
    ASSERT_TRUE(client) << "no client could open the pipe";
    CService service(std::move(client));
    expectText(CGetWinZorvUserMapCommand().execute(service), kMapText);
}

}  // namespace

void runUiScenario(const UiScenarioHooks& hooks) {
    {
        SCOPED_TRACE("requests over one connection");
        std::unique_ptr<PipeClient> client = connect(hooks);
        ASSERT_TRUE(client) << "no client could open the pipe";
        CService service(std::move(client));
        expectText(CGetWinZorvUserMapCommand().execute(service), kMapText);
        ASSERT_TRUE(writeAll(service.pipe(), lengthWord(0)));  // skipped
        expectNumber(CAuthStatusCommand().execute(service), 0);
        // A stray answer to 261 or to the unknown id would be read as the
        // start of the answer that follows it.
        EXPECT_FALSE(IdRequest(UI_READ_GET_USER_INFO_CMD).execute(service));
        EXPECT_TRUE(service.connected());
        expectText(CGetChildUserListCommand().execute(service), kChildText);
        EXPECT_FALSE(IdRequest(kUnknownId).execute(service));
        EXPECT_TRUE(service.connected());
        expectNumber(CNUsersCommand().execute(service), static_cast<uint32_t>(kChildText.size()));
    }
    EXPECT_TRUE(logShows(hooks, "command 1033 not accepted on the desktop channel"));
    {
        SCOPED_TRACE("oversized frame");
        {
            std::unique_ptr<PipeClient> client = connect(hooks);
            ASSERT_TRUE(client) << "no client could open the pipe";
            ASSERT_TRUE(writeAll(*client, lengthWord(kUiMaxBodyLength + 1) + std::string(64, 'x')));
            char byte = 0;
            EXPECT_EQ(client->read(&byte, 1), 0u);  // dropped, nothing answered
        }
        EXPECT_TRUE(logShows(hooks, "UI frame length 65537 above 65536 - client dropped\n"));
        expectServedAfresh(hooks);
    }
    const std::string request =
        lengthWord(8) + lengthWord(UI_READ_GET_USER_LIST_CMD) + lengthWord(0);
    for (size_t cut : {2u, 6u}) {  // inside the length, inside the body
        SCOPED_TRACE("client gone after " + std::to_string(cut) + " bytes of a frame");
        {
            std::unique_ptr<PipeClient> client = connect(hooks);
            ASSERT_TRUE(client) << "no client could open the pipe";
            ASSERT_TRUE(writeAll(*client, request.substr(0, cut)));
        }
        expectServedAfresh(hooks);
    }
    EXPECT_TRUE(logShows(hooks, "UI read failed "));  // the body cut short
}

Deadline::Deadline(int seconds, std::function<void()> expire) {
    mThread = std::thread([this, seconds, expire = std::move(expire)] {
        std::unique_lock<std::mutex> lock(mLock);
        if (mChanged.wait_for(lock, std::chrono::seconds(seconds), [this] { return mDismissed; })) {
            return;
        }
        mExpired = true;
        lock.unlock();
        expire();
    });
}

Deadline::~Deadline() {
    {
        std::lock_guard<std::mutex> lock(mLock);
        mDismissed = true;
    }
    mChanged.notify_all();
    mThread.join();
}

bool Deadline::expired() const {
    std::lock_guard<std::mutex> lock(mLock);
    return mExpired;
}
