// A minimal test harness for the kernel unit tests: TEST_CASE registers a
// function, CHECK* record failures without stopping the case.
#pragma once

#include <cmath>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace check {

struct Case {
    const char* name;
    std::function<void()> body;
};

inline std::vector<Case>& registry() {
    static std::vector<Case> cases;
    return cases;
}

inline int& failures() {
    static int count = 0;
    return count;
}

struct Registrar {
    Registrar(const char* name, std::function<void()> body) {
        registry().push_back({name, std::move(body)});
    }
};

inline void fail(const char* file, int line, const std::string& what) {
    ++failures();
    std::fprintf(stderr, "%s:%d: check failed: %s\n", file, line, what.c_str());
}

} // namespace check

#define CHECK_CONCAT_INNER(a, b) a##b
#define CHECK_CONCAT(a, b) CHECK_CONCAT_INNER(a, b)
#define TEST_CASE(name)                                                                            \
    static void CHECK_CONCAT(test_body_, __LINE__)();                                              \
    static check::Registrar CHECK_CONCAT(test_reg_, __LINE__)(name,                                \
                                                              CHECK_CONCAT(test_body_, __LINE__)); \
    static void CHECK_CONCAT(test_body_, __LINE__)()

#define CHECK(cond)                                                                                \
    do {                                                                                           \
        if (!(cond))                                                                               \
            check::fail(__FILE__, __LINE__, #cond);                                                \
    } while (0)

#define CHECK_EQ(a, b)                                                                             \
    do {                                                                                           \
        if (!((a) == (b)))                                                                         \
            check::fail(__FILE__, __LINE__, #a " == " #b);                                         \
    } while (0)

#define CHECK_NEAR(a, b, tol)                                                                      \
    do {                                                                                           \
        const double check_a_ = (a), check_b_ = (b);                                               \
        if (!(std::fabs(check_a_ - check_b_) <= (tol)))                                            \
            check::fail(__FILE__, __LINE__,                                                        \
                        std::string(#a " ~= " #b " (") + std::to_string(check_a_) + " vs " +       \
                            std::to_string(check_b_) + ")");                                       \
    } while (0)
