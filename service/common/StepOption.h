#pragma once

#include <cstdint>

// "--step-ms <ms>" on a service program's command line: the time between two
// steps of its loop (the filtering service's check passes, the watchdog's
// watch steps), so that tests need not wait minutes. Products run without it.
namespace StepOption {

enum E_StepOption { STEP_OPTION_ABSENT = 0, STEP_OPTION_TAKEN, STEP_OPTION_BAD };

// Looks for the option as the first two arguments; when it is there and
// valid (1 to 3600000), stores its value in `ms` and removes the two from
// `argc`/`argv`, so the rest is read as without it.
E_StepOption take(int& argc, char** argv, uint32_t& ms);

}  // namespace StepOption
