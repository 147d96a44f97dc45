#include <cstring>

#include "BlockPool.h"
#include "ChildMaps.h"
#include "Classify.h"
#include "FilterConfig.h"
#include "ZorvaneLog.h"
#include "os_interface.h"

namespace {

bool startsWith(const char* text, const char* token) {
    for (; *token != '\0'; ++text, ++token) {
        if (*text != *token) {
            return false;
        }
    }
    return true;
}

void passUnchanged(ZorvaneClassifyDecision* decision) {
    decision->action = ZORVANE_ACTION_PERMIT;
    decision->absorb = false;
    decision->decided = true;
    decision->bytesEnforced = 0;
    decision->injectedLength = 0;
}

}  // namespace

bool IsHttpRequest(const char* text) {
    if (text == nullptr) {
        return false;
    }
    switch (text[0]) {
        case 'C':
        case 'c':
            return startsWith(text, "CONNECT ");
        case 'D':
        case 'd':
            return startsWith(text, "DELETE ");
        case 'G':
        case 'g':
            return startsWith(text, "GET ");
        case 'H':
        case 'h':
            return startsWith(text, "HEAD ");
        case 'O':
        case 'o':
            return startsWith(text, "OPTIONS ");
        case 'P':
        case 'p':
            return startsWith(text, "POST ") || startsWith(text, "PUT ");
        case 'T':
        case 't':
            return startsWith(text, "TRACE ");
        default:
            return false;
    }
}

ZorvaneTaggedBuffer* GetModifiedMdl(const uint8_t* request, uint32_t length, uint32_t childId) {
    if (request == nullptr || length == 0 || length > UINT32_MAX - sizeof(ZorvHeader) - 1) {
        return nullptr;
    }
    FilterConfig config;
    ZorvaneGetConfig(&config);
    auto* tagged = static_cast<ZorvaneTaggedBuffer*>(OsAllocate(sizeof(ZorvaneTaggedBuffer)));
    if (tagged == nullptr) {
        return nullptr;
    }
    const uint32_t total = length + static_cast<uint32_t>(sizeof(ZorvHeader));
    tagged->data = static_cast<uint8_t*>(OsAllocate(total + 1));
    if (tagged->data == nullptr) {
        OsFree(tagged);
        return nullptr;
    }
    tagged->length = total;
    tagged->platform = nullptr;
    // Little-endian on the wire whatever the host order.
    uint8_t* out = tagged->data;
    const uint32_t words[3] = {ZORVANE_TAG_ID, childId, config.deviceId};
    const uint32_t at[3] = {0, 8, 12};
    for (int w = 0; w < 3; ++w) {
        for (int b = 0; b < 4; ++b) {
            out[at[w] + b] = static_cast<uint8_t>(words[w] >> (8 * b));
        }
    }
    out[4] = ZORVANE_TAG_MARKER;
    out[5] = 1;
    out[6] = 4;
    out[7] = 0xFE;
    memcpy(out + sizeof(ZorvHeader), request, length);
    out[total] = 0;
    ZorvLog(ZORVANE_DBG_TRACE, "pZorvHd->id %x %d\n", ZORVANE_TAG_ID,
            static_cast<int>(ZORVANE_TAG_ID));
    ZorvLog(ZORVANE_DBG_TRACE, "childId %d deviceId %d\n", static_cast<int>(childId),
            static_cast<int>(config.deviceId));
    ZorvLog(ZORVANE_DBG_TRACE, "GetModifiedMdl %d data %s\n", static_cast<int>(length),
            reinterpret_cast<const char*>(out + sizeof(ZorvHeader)));
    ZorvLog(ZORVANE_DBG_TRACE, "GetModifiedMdl combBuff %s\n", reinterpret_cast<const char*>(out));
    return tagged;
}

void ZorvaneFreeTaggedBuffer(ZorvaneTaggedBuffer* tagged) {
    if (tagged != nullptr) {
        OsFree(tagged->data);
        OsFree(tagged);
    }
}

bool AddZorvHeader(const ZorvaneClassifyInput* input, ZorvaneClassifyDecision* decision,
                   uint32_t childId) {
    const uint32_t dataLength = input->dataLength;
    auto* copy = static_cast<char*>(OsAllocate(static_cast<size_t>(dataLength) + 1));
    if (copy == nullptr) {
        return false;
    }
    memcpy(copy, input->data, dataLength);
    copy[dataLength] = '\0';
    ZorvLog(ZORVANE_DBG_TRACE, "AddZorvHeader actual %d copied %d\n", static_cast<int>(dataLength),
            static_cast<int>(dataLength));
    if (!IsHttpRequest(copy)) {
        ZorvLog(ZORVANE_DBG_TRACE, "not HTTP request\n");
        passUnchanged(decision);
        OsFree(copy);
        return true;
    }
    ZorvLog(ZORVANE_DBG_TRACE, "HTTP request\n");
    ZorvaneTaggedBuffer* tagged =
        GetModifiedMdl(reinterpret_cast<const uint8_t*>(copy), dataLength, childId);
    OsFree(copy);
    if (tagged == nullptr) {
        return false;
    }
    switch (OsStreamInject(input, tagged)) {
        case OS_STREAM_INJECTED:
            break;
        case OS_STREAM_NO_LIST:
            ZorvLog(ZORVANE_DBG_ERROR, "FwpsAllocateNetBufferAndNetBufferList failed\n");
            ZorvaneFreeTaggedBuffer(tagged);
            return false;
        default:
            ZorvLog(ZORVANE_DBG_TRACE, "FwpsAllocateNetBufferAndNetBufferList done\n");
            ZorvLog(ZORVANE_DBG_ERROR, "FwpsStreamInjectAsync failed\n");
            ZorvaneFreeTaggedBuffer(tagged);
            return false;
    }
    ZorvLog(ZORVANE_DBG_TRACE, "FwpsAllocateNetBufferAndNetBufferList done\n");
    ZorvLog(ZORVANE_DBG_TRACE, "FwpsStreamInjectAsync done\n");
    // The indicated bytes are dropped; the injected tagged copy replaces them.
    decision->action = ZORVANE_ACTION_BLOCK;
    decision->absorb = false;
    decision->decided = true;
    decision->bytesEnforced = dataLength + static_cast<uint32_t>(sizeof(ZorvHeader));
    decision->injectedLength = decision->bytesEnforced;
    return true;
}

void ZorvaneStreamClassify(const ZorvaneClassifyInput* input, ZorvaneClassifyDecision* decision) {
    *decision = ZorvaneClassifyDecision{};
    ZorvLog(ZORVANE_DBG_TRACE, "ZorvaneStreamClassify\n");
    uint32_t childId = 0;
    if (input->hasFlowHandle) {
        childId = GetChildIdForFlow(input->flowHandle);
        ZorvLog(ZORVANE_DBG_TRACE, "ZorvaneStreamClassify childId %lu flow handle %lu\n",
                static_cast<unsigned long>(childId), static_cast<unsigned long>(input->flowHandle));
    }
    if ((input->streamFlags & ZORVANE_STREAM_FLAG_SEND) != 0 && input->dataLength != 0 &&
        input->data != nullptr && childId != 0) {
        ZorvLog(ZORVANE_DBG_TRACE, "ZorvaneStreamClassify dataLen %d\n",
                static_cast<int>(input->dataLength));
        if (input->noMoreData) {
            ZorvLog(ZORVANE_DBG_TRACE, "No More Data\n");
        }
        if (AddZorvHeader(input, decision, childId)) {
            return;
        }
        ZorvLog(ZORVANE_DBG_ERROR, "AddZorvHeader failed\n");
    } else {
        ZorvLog(ZORVANE_DBG_TRACE, "ZorvaneStreamClassify packet not filtered\n");
    }
    passUnchanged(decision);
}
