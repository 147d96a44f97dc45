#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "commands/Command.h"
#include "zorvane_ioctl.h"

// One control code for the filter. Argument 1 is the code; the arguments
// from 2 on are the record's values (see the builders). The request record
// is built into the command's own 512-byte control buffer: a u32 length,
// then the record; after the call the returned byte count and the reply.
class DriverCommand : public Command {
public:
    // Argument indexes of the records' values.
    enum {
        kArgSid = 2,
        kArgSidLength = 3,
        kArgSidChildId = 4,
        kArgSidTotal = 5,
        kArgSidCurr = 6,
        kArgValue = 2,  // flag, device id, ip, child id, process id, version
        kArgAddress = 2,
        kArgAltAddress = 3,
        kArgPort = 4,
        kArgAltPort = 5,
        kArgBlock = 2,
        kArgPortCount = 3,
        kArgPorts = 4,
        kArgHost = 2,
        kArgHostStatus = 3,
        kArgHostChildId = 4,
    };
    // Room for the record after the length field.
    static constexpr uint32_t kRecordRoom = sizeof(ZorvaneIoctlArgument::argument);
    static_assert(sizeof(ZorvaneIoctlArgument) == kBufferSize, "the control buffer");

    explicit DriverCommand(uint32_t code);

    uint32_t getCode() const { return getCommandId(); }

    // Builds the record for the code; the buffer's size (512), or 0 with
    // `buff` untouched when the code has no builder or the values do not fit.
    int getCommandBuffer(char** buff);
    int getCommandBuffer(const char** buffer) override;
    // Sends through the driver: status 1 on success; GET_VERSION adds major
    // (2) and minor (3), GET_MODULE_STATUS the enabled flag (2).
    std::unique_ptr<CommandResponse> execute() override;

    // The request length and the record / reply bytes of the control buffer.
    uint32_t getLength() const;
    const char* getRecord() const { return mpBuff + offsetof(ZorvaneIoctlArgument, argument); }

    // The builders: each writes its record, authToken from the driver, and
    // the length; the buffer, or null when the values do not fit.
    char* getModuleVersionCommandArgs();
    char* getUserDetailsCommandArgs();
    char* getEnableFilterCommandArgs();
    char* getPortOptionsCommandArgs();
    char* getPortListCommandArgs(uint32_t nPorts);
    char* getServerDetailsCommandArgs();
    char* getStatusCommandArgs();
    char* getHttpsOptionsCommandArgs();
    char* getDeviceCommandArgs();
    char* getExceptionCommandArgs();
    char* getChildUserCommandArgs();

    static ArgumentBlock fromUint16(uint16_t value);

private:
    // authToken and one u32 value: the 8-byte records.
    char* buildTokenAndValue();
    char* record();
    char* finish(uint32_t length);
    uint32_t argumentValue(int index) const;
    uint16_t argument16(int index) const;
};
