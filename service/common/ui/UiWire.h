#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "commands/Command.h"
#include "pipe/PipeChannel.h"

// The desktop program's pipe. A request is a 4-byte little-endian body
// length N and N body bytes that start with the command id; the answer's
// shape follows from the id alone (there is no answer header).
constexpr uint32_t kUiLengthBytes = kFrameLengthBytes;
// The clients' default wait for the pipe (where the platform has one).
constexpr uint32_t kUiPipeTimeoutMs = 5000;
// Longest request body the service takes; the longest real one, a user map,
// is far shorter, and the bound keeps a bad length from allocating gigabytes.
constexpr uint32_t kUiMaxBodyLength = kMaxRequestFrameLength;
// Longest text answer the desktop program takes, for the same reason.
constexpr uint32_t kUiMaxTextAnswerLength = 16 * 1024 * 1024;

// Whether an answer to `id` is the text shape (length, then the text).
bool uiAnswerIsText(uint32_t id);

// The bytes that answer a desktop-program request, one string per write, by
// the id in the response's argument 1: none, one 4-byte number, or for the
// text answers the 4-byte length and then the text (no second write for an
// empty text). A text length larger than the text block is cut to the block,
// so the length written always matches the bytes that follow.
std::vector<std::string> uiAnswerWrites(const CommandResponse& response);
