#include "StepOption.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace StepOption {

E_StepOption take(int& argc, char** argv, uint32_t& ms) {
    if (argc < 2 || std::strcmp(argv[1], "--step-ms") != 0) {
        return STEP_OPTION_ABSENT;
    }
    if (argc < 3) {
        return STEP_OPTION_BAD;
    }
    const char* text = argv[2];
    char* end = nullptr;
    errno = 0;
    unsigned long value = std::strtoul(text, &end, 10);
    if (*text < '0' || *text > '9' || *end != '\0' || errno != 0 || value < 1 || value > 3600000) {
        return STEP_OPTION_BAD;
    }
    ms = static_cast<uint32_t>(value);
    for (int i = 3; i <= argc; ++i) {  // argv[argc] is the null pointer
        argv[i - 2] = argv[i];
    }
    argc -= 2;
    return STEP_OPTION_TAKEN;
}

}  // namespace StepOption
