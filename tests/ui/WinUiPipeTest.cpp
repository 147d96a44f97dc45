#include <windows.h>

#include <aclapi.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "zorvane_bytes.h"
#include "UiTestSupport.h"
#include "WinPipe.h"
#include "WinPipeClient.h"
#include "WinUI.h"

namespace {

constexpr DWORD kAllFileAccess = 0x1F01FF;

// Whether the pipe's DACL grants Everyone all access but adding instances,
// and the service's own user all access.
::testing::AssertionResult everyoneUsesButOnlyTheServiceServes(void* pipe) {
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    DWORD result = GetSecurityInfo(pipe, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                                   nullptr, &dacl, nullptr, &descriptor);
    if (result != ERROR_SUCCESS) {
        return ::testing::AssertionFailure() << "GetSecurityInfo " << result;
    }
    std::unique_ptr<void, decltype(&LocalFree)> owned(descriptor, &LocalFree);
    if (!dacl || dacl->AceCount != 2) {
        return ::testing::AssertionFailure() << "entries: " << (dacl ? dacl->AceCount : -1);
    }
    BYTE everyone[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof everyone;
    if (!CreateWellKnownSid(WinWorldSid, nullptr, everyone, &size)) {
        return ::testing::AssertionFailure() << "CreateWellKnownSid " << GetLastError();
    }
    HANDLE token = nullptr;
    char user[SECURITY_MAX_SID_SIZE + sizeof(TOKEN_USER)];
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token) ||
        !GetTokenInformation(token, TokenUser, user, sizeof user, &size)) {
        return ::testing::AssertionFailure() << "token " << GetLastError();
    }
    CloseHandle(token);
    PSID own = reinterpret_cast<TOKEN_USER*>(user)->User.Sid;
    bool everyoneSeen = false;
    bool ownSeen = false;
    for (DWORD index = 0; index < dacl->AceCount; ++index) {
        void* ace = nullptr;
        if (!GetAce(dacl, index, &ace)) {
            return ::testing::AssertionFailure() << "GetAce " << GetLastError();
        }
        auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(ace);
        if (allowed->Header.AceType != ACCESS_ALLOWED_ACE_TYPE || allowed->Header.AceFlags != 0) {
            return ::testing::AssertionFailure() << "entry " << index << " type "
                                                 << int(allowed->Header.AceType);
        }
        if (EqualSid(&allowed->SidStart, everyone)) {
            everyoneSeen = allowed->Mask == (kAllFileAccess & ~FILE_CREATE_PIPE_INSTANCE);
        } else if (EqualSid(&allowed->SidStart, own)) {
            ownSeen = allowed->Mask == kAllFileAccess;
        }
    }
    if (!everyoneSeen || !ownSeen) {
        return ::testing::AssertionFailure() << "Everyone's entry " << everyoneSeen
                                             << ", the service's own " << ownSeen;
    }
    return ::testing::AssertionSuccess();
}

TEST(WinUiPipe, EveryoneUsesThePipesButOnlyTheServiceServesThem) {
    UiEndpoint endpoint;
    WinUI ui{String(endpoint.name())};
    ASSERT_NE(ui.handle(), INVALID_HANDLE_VALUE);
    EXPECT_TRUE(everyoneUsesButOnlyTheServiceServes(ui.handle()));

    WinPipe pipe{String(endpoint.name() + "_cmd"), 5000};
    ASSERT_TRUE(pipe.create());
    ASSERT_TRUE(pipe.exists());
    EXPECT_TRUE(everyoneUsesButOnlyTheServiceServes(pipe.handle()));
}

// Each client has an instance of its own: one that idles after its answer
// does not keep the next one out.
TEST(WinUiPipe, ClientsAreServedSideBySide) {
    UiEndpoint endpoint;
    ScriptedService script;
    ServedUi served(endpoint, script);
    std::unique_ptr<PipeClient> first = endpoint.connect();
    ASSERT_TRUE(first);
    ASSERT_TRUE(writeAll(*first, frame(UI_READ_AUTH_STATUS_CMD)));
    EXPECT_EQ(readWord(*first), 1);

    WinPipeClient second{String(endpoint.name())};
    ASSERT_TRUE(second.open()) << second.lastError();
    ASSERT_TRUE(writeAll(second, frame(UI_READ_AUTH_STATUS_CMD)));
    EXPECT_EQ(readWord(second), 1);
}

// A pipe of the channel's name that somebody else made first is refused, not
// shared: its maker would otherwise get some of the clients.
TEST(WinUiPipe, ANameSomebodyElseMadeFirstIsRefused) {
    UiEndpoint endpoint;
    HANDLE squatter = CreateNamedPipeA(endpoint.name().c_str(), PIPE_ACCESS_DUPLEX,
                                       PIPE_TYPE_BYTE | PIPE_WAIT, PIPE_UNLIMITED_INSTANCES, 512,
                                       512, 0, nullptr);
    ASSERT_NE(squatter, INVALID_HANDLE_VALUE);
    WinPipe pipe{String(endpoint.name()), 5000};
    EXPECT_FALSE(pipe.create());
    EXPECT_EQ(pipe.lastError(), ERROR_ACCESS_DENIED);
    CloseHandle(squatter);
    EXPECT_TRUE(pipe.create()) << pipe.lastError();
}

}  // namespace
