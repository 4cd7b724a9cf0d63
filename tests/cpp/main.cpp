// Runs every registered kernel test case; exit status 1 on any failure.
#include "check.hpp"

#include <cstring>

int main(int argc, char** argv) {
    const char* filter = argc > 1 ? argv[1] : nullptr;
    int run = 0;
    for (const auto& test : check::registry()) {
        if (filter && std::strstr(test.name, filter) == nullptr) {
            continue;
        }
        const int before = check::failures();
        test.body();
        ++run;
        std::printf("%s %s\n", check::failures() == before ? "ok  " : "FAIL", test.name);
    }
    std::printf("%d cases, %d failed checks\n", run, check::failures());
    return check::failures() == 0 ? 0 : 1;
}
