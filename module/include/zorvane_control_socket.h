#pragma once

// The filter's control device on Linux: a Unix stream socket in the run folder,
// reachable by root only. Each connection is one open handle of the device.
// Messages are little-endian:
//
//   request: op (u32), code (u32), inputLength (u32), outputLength (u32),
//            then inputLength input bytes
//   reply:   success (u32, 1 or 0), status (u32, E_ZorvaneIoStatus),
//            bytesReturned (u32),
//            then bytesReturned output bytes
//
// op 1 is a device control with `code`; op 2 is a read of outputLength bytes
// (code and inputLength 0). A read always succeeds and returns outputLength
// bytes, zero where the filter wrote nothing. A request beyond the limits
// below ends the connection.

#include <cstdint>

#include "zorvane_ioctl.h"

// File name of the socket inside the run folder (ZORVANE_RUN_DIR, else
// /run/zorvane/).
#define ZORVANE_CONTROL_SOCKET_NAME "ZorvaneFilter"

enum E_ZorvaneControlOp : uint32_t {
    ZORVANE_CONTROL_OP_IOCTL = 1,
    ZORVANE_CONTROL_OP_READ = 2,
};

constexpr uint32_t ZORVANE_CONTROL_REQUEST_HEAD_SIZE = 16;
constexpr uint32_t ZORVANE_CONTROL_REPLY_HEAD_SIZE = 12;
// Largest input or output length of one request.
constexpr uint32_t ZORVANE_CONTROL_MAX_TRANSFER = 65536;
