#pragma once
// Shared by the LAS tests: what the library logs during one call, the reason a call throws, and the
// builder's file placed on disk.
#include "CLasException.h"
#include "LasBuilder.h"
#include "LasLog.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>

// Builders are written with designated fields only where they differ from the defaults.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

using Bytes = std::vector<unsigned char>;

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

// A point record's format bytes.
template <class Point> Bytes packed(Point* p) {
    Bytes b(size_t(las_detail::formatSize(p->GetPointType())));
    p->copyToBuffer(b.data());
    return b;
}

// The builder's file written as in.las, with point i's format bytes as laid out there.
struct Placed {
    LasBuilder b;
    Bytes bytes;
    std::string in, out;
    Bytes record(uint64_t i) const {
        auto at = bytes.begin() + b.offsetToPoints() + size_t(i) * b.recordLength();
        return Bytes(at, at + las_detail::formatSize(b.format));
    }
};
inline Placed place(const TempDir& dir, const LasBuilder& b) {
    Placed p{b, b.bytes(), dir.file("in.las"), dir.file("out.las")};
    writeBytes(p.in, p.bytes);
    return p;
}
