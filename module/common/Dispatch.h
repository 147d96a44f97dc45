#pragma once

// The control device: device-control requests and reads, as the platform's
// request handlers hand them over. Buffered transfers: the request is read
// from and the reply written into one buffer of max(input, output) bytes.

#include <cstdint>

#include "zorvane_ioctl.h"

// Runs the handler of `code`. Negative: the request fails; otherwise the
// number of reply bytes at the start of the buffer (never more than
// outputLength). A request whose input does not hold its record's fixed part,
// or whose SID or host text does not end inside the input, fails with -1.
int32_t DispatchIoctl(uint32_t code, void* buffer, uint32_t inputLength, uint32_t outputLength);

// One device-control request: checks the lengths, dispatches, logs the
// outcome. *bytesReturned is the reply length on success, else 0.
E_ZorvaneIoStatus ZorvaneDeviceControl(uint32_t code, void* buffer, uint32_t inputLength,
                                       uint32_t outputLength, uint32_t* bytesReturned);

// One read request of `length` bytes; always succeeds with `length` bytes
// (those the filter did not write are left as the caller gave them).
uint32_t ZorvaneDeviceRead(void* buffer, uint32_t length);

// The control code's name, or null for an unknown code.
const char* ZorvaneIoctlName(uint32_t code);
