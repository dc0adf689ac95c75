#pragma once
// Shared by the LAS tests: what the library logs during one call, and the reason a call throws.
#include "CLasException.h"
#include "LasLog.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>

template <class F> std::string logOf(F&& fn) {
    std::ostringstream s;
    LasLogTo to(&s);
    fn();
    return s.str();
}

template <class F> std::string reasonOf(F&& fn) {
    try {
        fn();
    } catch (const CLasException& e) {
        return e.what();
    }
    return "no CLasException";
}

template <class F> bool throwsLas(F&& fn) {
    return reasonOf(fn) != "no CLasException";
}

inline bool startsWith(const std::string& s, const std::string& prefix) {
    return s.rfind(prefix, 0) == 0;
}

// Fails unless stmt throws a CLasException whose reason starts with prefix.
#define EXPECT_REASON(stmt, prefix) EXPECT_PRED2(startsWith, reasonOf([&] { stmt; }), std::string(prefix))
