#pragma once

// The captured ClientHellos of tests/module/data/hellos: per capture, its
// IPv4 packets in hex, in the order they were sent.

#include <string>
#include <vector>

struct HelloCapture {
    const char* name;  // the file name without ".hex"
    std::vector<std::string> packets;
};

extern const HelloCapture kHelloCorpus[];
extern const unsigned kHelloCorpusSize;
