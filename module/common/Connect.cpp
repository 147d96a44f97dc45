#include "BlockPool.h"
#include "ChildMaps.h"
#include "Classify.h"
#include "FilterConfig.h"
#include "ReadQueue.h"
#include "ZorvaneLog.h"
#include "os_interface.h"

namespace {

void permit(ZorvaneClassifyDecision* decision) {
    decision->action = ZORVANE_ACTION_PERMIT;
    decision->absorb = false;
    decision->decided = true;
}

void logAddress(const char* label, uint32_t address) {
    ZorvLog(ZORVANE_DBG_TRACE, "%s%hu.%hu.%hu.%hu\n", label,
            static_cast<unsigned short>((address >> 24) & 0xFF),
            static_cast<unsigned short>((address >> 16) & 0xFF),
            static_cast<unsigned short>((address >> 8) & 0xFF),
            static_cast<unsigned short>(address & 0xFF));
}

}  // namespace

void NotifyRedirectPID(uint64_t pid) {
    ZorvLog(ZORVANE_DBG_INFO, "NotifyRedirectPID %lu\n", static_cast<unsigned long>(pid));
    const uint32_t id = static_cast<uint32_t>(pid);
    SendNotification(
        static_cast<uint32_t>(E_ZorvaneModuleReadCommand::ZORVANE_READ_NOTIFY_REDIRECT_PID),
        sizeof(id), &id, 0);
}

void ZorvaneAleConnectRedirectClassify(const ZorvaneClassifyInput* input,
                                       ZorvaneClassifyDecision* decision) {
    *decision = ZorvaneClassifyDecision{};
    ZorvLog(ZORVANE_DBG_TRACE, "ZorvaneAleConnectRedirectClassify\n");
    uint32_t childId = 0;
    int found = 0;
    if (input->userSid != nullptr) {
        ZorvLog(ZORVANE_DBG_TRACE, "ZorvaneAleConnectRedirectClassify got token\n");
        ZorvLog(ZORVANE_DBG_TRACE, "ZorvaneAleConnectRedirectClassify user SID %s\n",
                input->userSid);
        childId = GetChildIdForSid(input->userSid, &found);
        ZorvLog(ZORVANE_DBG_TRACE, "ZorvaneAleConnectRedirectClassify childId %d\n",
                static_cast<int>(childId));
    }
    if (found == 0 && input->hasProcessId) {
        childId = GetChildIdForPid(input->processId);
        ZorvLog(ZORVANE_DBG_TRACE,
                "ZorvaneAleConnectRedirectClassify not in list childId %d pid %d\n",
                static_cast<int>(childId), static_cast<int>(input->processId));
    }
    if (childId != 0 && input->writable) {
        FilterConfig config;
        ZorvaneGetConfig(&config);
        decision->setRedirectTarget = true;
        decision->redirectTarget = config.redirectPid;
        logAddress("src Addr = ", input->localAddress);
        logAddress("dest Addr = ", input->remoteAddress);
        ZorvLog(ZORVANE_DBG_TRACE, "src Port = %hu\n", input->localPort);
        ZorvLog(ZORVANE_DBG_TRACE, "dest Port = %hu\n", input->remotePort);
        if (input->remotePort == 80) {
            // Until the service names the filter server there is nowhere to
            // send the connection; it goes on to its own destination.
            if (config.serverSet == 0) {
                ZorvLog(ZORVANE_DBG_INFO, "server address not set, not redirecting\n");
            } else {
                ZorvLog(ZORVANE_DBG_TRACE,
                        "ZorvaneAleConnectRedirectClassify redirecting connection\n");
                decision->setRemote = true;
                decision->remoteAddress = config.serverAddress;
                decision->remotePort = config.serverPort;
                logAddress("NEW dest Addr = ", config.serverAddress);
                ZorvLog(ZORVANE_DBG_TRACE, "NEW dest Port = %hu\n", config.serverPort);
            }
        }
        ZorvLog(ZORVANE_DBG_TRACE, "called out Connect Redirect\n");
        if (input->hasFlowHandle) {
            ZorvLog(ZORVANE_DBG_TRACE,
                    "ZorvaneAleConnectRedirectClassify childId %d processid %lu flowId %lu\n",
                    static_cast<int>(childId), static_cast<unsigned long>(input->processId),
                    static_cast<unsigned long>(input->flowHandle));
        }
        if (input->hasProcessId) {
            AddToPidChildMap(input->processId, childId);
            ZorvLog(ZORVANE_DBG_TRACE, "ZorvaneAleConnectRedirectClassify processid %lu\n",
                    static_cast<unsigned long>(input->processId));
        }
    }
    permit(decision);
}

void ZorvaneAleAuthConnectClassify(const ZorvaneClassifyInput* input,
                                   ZorvaneClassifyDecision* decision) {
    *decision = ZorvaneClassifyDecision{};
    ZorvLog(ZORVANE_DBG_TRACE, "ZorvaneAleAuthConnectClassify\n");
    FilterConfig config;
    ZorvaneGetConfig(&config);
    if (input->hasRedirectTarget) {
        const uint64_t target = input->redirectTarget;
        ZorvLog(ZORVANE_DBG_TRACE,
                "ZorvaneAleAuthConnectClassify local redirect processid %lu %lu\n",
                static_cast<unsigned long>(target), static_cast<unsigned long>(config.redirectPid));
        ZorvLog(ZORVANE_DBG_TRACE, "ZorvaneAleAuthConnectClassify adding to PID list %d %d\n",
                static_cast<int>(target), static_cast<int>(config.currentChildId));
        AddToPidChildMap(target, config.currentChildId);
        if (target != config.redirectPid) {
            NotifyRedirectPID(target);
        }
    }
    permit(decision);
    if (!input->writable) {
        return;
    }
    const uint16_t srcPort = input->localPort;
    const uint16_t destPort = input->remotePort;
    if (destPort != 443 && destPort != 80) {
        ZorvLog(ZORVANE_DBG_TRACE, "ZorvaneAleAuthConnectClassify not HTTP destPosrt %d\n",
                static_cast<int>(destPort));
        return;
    }
    ZorvLog(ZORVANE_DBG_TRACE, "ZorvaneAleAuthConnectClassify connect srcP %d destP %d\n",
            static_cast<int>(srcPort), static_cast<int>(destPort));
    if (!input->hasProcessId && input->userSid == nullptr) {
        return;
    }
    // HTTPS connections are bound by port only: the stream layer tags by flow.
    uint64_t flowHandle = 0;
    if (destPort != 443) {
        if (input->hasFlowHandle) {
            flowHandle = input->flowHandle;
            ZorvLog(ZORVANE_DBG_TRACE, "ZorvaneAleAuthConnectClassify found flowHandle %lu\n",
                    static_cast<unsigned long>(flowHandle));
        } else {
            ZorvLog(ZORVANE_DBG_TRACE, "ZorvaneAleAuthConnectClassify error no flowHandle\n");
        }
    }
    int found = 0;
    if (!input->hasProcessId) {
        // A platform that knows the connection's user but not its process
        // binds the port by the user: there is no process to look up.
        const uint32_t childId = GetChildIdForSid(input->userSid, &found);
        ZorvLog(ZORVANE_DBG_TRACE, "ZorvaneAleAuthConnectClassify childId %d user %s\n",
                static_cast<int>(childId), input->userSid);
        if (found != 0 && childId != 0) {
            AddToPortChildMap(srcPort, childId, flowHandle);
        }
        return;
    }
    const uint32_t childId = GetChildIdForPid(input->processId, &found);
    ZorvLog(ZORVANE_DBG_TRACE,
            "ZorvaneAleAuthConnectClassify childId %d found %d flowId %lu processid %lu\n",
            static_cast<int>(childId), found, static_cast<unsigned long>(flowHandle),
            static_cast<unsigned long>(input->processId));
    if (found != 0) {
        AddToPortChildMap(srcPort, childId, flowHandle);
        return;
    }
    auto* context =
        static_cast<ProcessLookupContext*>(AllocateZeroedMemory(sizeof(ProcessLookupContext)));
    if (context == nullptr) {
        return;
    }
    context->pid = input->processId;
    context->srcPort = srcPort;
    context->flowHandle = flowHandle;
    if (input->hasCompletionHandle) {
        ZorvLog(ZORVANE_DBG_TRACE, "!injectedBySelf\n");
        if ((input->flags & ZORVANE_FLAG_REAUTHORIZE) == 0) {
            ZorvLog(ZORVANE_DBG_TRACE, "pending ale packet \n");
            void* completion = nullptr;
            if (!OsPendOperation(input->completionHandle, &completion)) {
                ZorvLog(ZORVANE_DBG_ERROR, "FwpsPendOperation0 failed\n");
                FreeMemory(context);
                return;
            }
            ZorvLog(ZORVANE_DBG_TRACE, "FwpsPendOperation0 success\n");
            context->completionContext = completion;
            decision->action = ZORVANE_ACTION_BLOCK;
            decision->absorb = true;
        }
    }
    if (!ZorvaneQueueLookup(context)) {
        // No work item: let the connection go on unmapped now.
        if (context->completionContext != nullptr) {
            OsCompleteOperation(context->completionContext);
        }
        FreeMemory(context);
        decision->action = ZORVANE_ACTION_PERMIT;
        decision->absorb = false;
    }
}
