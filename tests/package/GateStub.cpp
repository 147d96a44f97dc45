// Stands in for the desktop program's password gate in the installed
// folder: appends its command line to the file ZORVANE_GATE_RECORD names and
// ends with the exit code ZORVANE_GATE_EXIT gives (1603 when unset).
#include <windows.h>

#include <cstdio>
#include <cstdlib>

int main() {
    const char* record = std::getenv("ZORVANE_GATE_RECORD");
    if (record) {
        if (FILE* file = std::fopen(record, "ab")) {
            std::fprintf(file, "%s\n", GetCommandLineA());
            std::fclose(file);
        }
    }
    const char* code = std::getenv("ZORVANE_GATE_EXIT");
    return code ? std::atoi(code) : 1603;
}
