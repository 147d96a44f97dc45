#pragma once

#include <cstdint>

#include "base/String.h"

// Name resolution, one implementation per platform.
namespace Network {

enum ResolveResult { RESOLVE_OK, RESOLVE_FAILED, RESOLVE_NO_IPV4 };

// The first IPv4 address of `host` for stream sockets, in host byte order.
// On RESOLVE_FAILED, `result` holds the resolver's return value and
// `systemError` the platform's last error code.
ResolveResult resolveIPv4(const String& host, uint32_t& address, int& systemError, int& result);

}  // namespace Network
