#pragma once

#include <sys/types.h>

#include <string>

// Replaces `path` with `content` so that a reader (or a crash) sees either the
// old file or the whole new one: a temporary file in the same folder, flushed,
// then renamed over it. Throws std::runtime_error on failure.
void writeFileAtomically(const std::string& path, const std::string& content, mode_t mode);

// The whole file; throws std::runtime_error when it cannot be read.
std::string readWholeFile(const std::string& path);
