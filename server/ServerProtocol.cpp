// Request parsing is strict: a number is all of its segment, finite, and levels are whole numbers within
// the data set, so that nothing a client sends can reach past what was checked at load.
#include "ServerProtocol.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <vector>

namespace {

Reply error(int status, std::string text) {
    Reply r;
    r.status = status;
    r.contentType = "text/plain";
    r.body = std::move(text) + "\n";
    return r;
}

int hexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

bool parseDouble(const std::string& s, double& v) {
    auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
    return !s.empty() && ec == std::errc() && end == s.data() + s.size() && std::isfinite(v);
}

bool parseLevel(const std::string& s, int& v) {
    auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
    return !s.empty() && ec == std::errc() && end == s.data() + s.size();
}

struct Parsed {
    std::string op;
    std::vector<std::string> args; // decoded segments after the operation
};

Reply levelRangeError(const std::string& a, const std::string& b, int levels, int& l0, int& l1) {
    if (!parseLevel(a, l0) || !parseLevel(b, l1))
        return error(400, "levels must be whole numbers, not '" + a + "' and '" + b + "'");
    if (l0 < 0 || l1 < l0)
        return error(400, "level range " + a + ".." + b + " is negative or reversed");
    if (l1 >= levels)
        return error(400, "level " + b + " is beyond the last level " + std::to_string(levels - 1));
    return Reply{};
}

Reply rangeError(const std::vector<std::string>& a, size_t from, RangeQuery& q) {
    double* v[6] = {&q.minX, &q.maxX, &q.minY, &q.maxY, &q.minZ, &q.maxZ};
    for (int k = 0; k < 6; ++k)
        if (!parseDouble(a[from + size_t(k)], *v[k]))
            return error(400, "bound '" + a[from + size_t(k)] + "' is not a finite number");
    if (q.minX > q.maxX || q.minY > q.maxY || q.minZ > q.maxZ)
        return error(400, "a range is reversed (minimum above maximum)");
    return Reply{};
}

Reply pointReply(std::shared_ptr<const Dataset> ds, const RangeQuery& q) {
    Reply r;
    r.records = std::make_unique<RangeReader>(std::move(ds), q);
    return r;
}

} // namespace

bool percentDecode(std::string_view in, std::string& out) {
    out.clear();
    out.reserve(in.size());
    for (size_t i = 0; i < in.size(); ++i) {
        if (in[i] != '%') {
            out += in[i];
            continue;
        }
        if (i + 2 >= in.size())
            return false;
        int hi = hexValue(in[i + 1]), lo = hexValue(in[i + 2]);
        if (hi < 0 || lo < 0)
            return false;
        out += char(hi * 16 + lo);
        i += 2;
    }
    return true;
}

ByteRange byteRange(std::string_view field, uint64_t length) {
    auto trim = [](std::string_view v) {
        while (!v.empty() && (v.front() == ' ' || v.front() == '\t'))
            v.remove_prefix(1);
        while (!v.empty() && (v.back() == ' ' || v.back() == '\t'))
            v.remove_suffix(1);
        return v;
    };
    auto number = [](std::string_view v, uint64_t& n) {
        auto [end, ec] = std::from_chars(v.data(), v.data() + v.size(), n);
        return !v.empty() && v[0] != '-' && v[0] != '+' && ec == std::errc() && end == v.data() + v.size();
    };
    field = trim(field);
    constexpr std::string_view unit = "bytes=";
    if (field.size() < unit.size())
        return {};
    for (size_t i = 0; i < unit.size(); ++i)
        if ((field[i] | 0x20) != unit[i])
            return {};
    const std::string_view spec = trim(field.substr(unit.size()));
    const size_t dash = spec.find('-');
    if (spec.find(',') != std::string_view::npos || dash == std::string_view::npos)
        return {};
    const std::string_view a = trim(spec.substr(0, dash)), b = trim(spec.substr(dash + 1));
    uint64_t first = 0, last = 0;
    if (a.empty()) { // the last b bytes
        if (!number(b, last))
            return {};
        if (last == 0 || length == 0)
            return {ByteRange::Unsatisfiable};
        const uint64_t n = std::min(last, length);
        return {ByteRange::Partial, length - n, n};
    }
    if (!number(a, first) || (!b.empty() && (!number(b, last) || last < first)))
        return {};
    if (first >= length)
        return {ByteRange::Unsatisfiable};
    last = b.empty() ? length - 1 : std::min(last, length - 1);
    return {ByteRange::Partial, first, last - first + 1};
}

Reply answerRequest(const DatasetStore& store, std::string_view target) {
    std::string_view path = target.substr(0, target.find('?'));
    if (path.substr(0, kServerBasePath.size()) != kServerBasePath)
        return error(404, "not found");
    path.remove_prefix(kServerBasePath.size());

    Parsed p;
    std::vector<std::string> segments;
    for (size_t at = 0;;) {
        size_t slash = path.find('/', at);
        std::string seg;
        if (!percentDecode(path.substr(at, slash == std::string_view::npos ? slash : slash - at), seg))
            return error(400, "malformed percent escape");
        segments.push_back(std::move(seg));
        if (slash == std::string_view::npos)
            break;
        at = slash + 1;
    }
    p.op = segments[0];
    p.args.assign(segments.begin() + 1, segments.end());

    if (p.op == "getDatasetNames") {
        if (!p.args.empty())
            return error(404, "not found");
        Reply r;
        r.contentType = "text/plain";
        for (const auto& n : store.names())
            r.body += n + "\n";
        return r;
    }
    static const std::pair<std::string_view, size_t> ops[] = {{"getHeader", 1},
                                                              {"getNumberOfLevels", 1},
                                                              {"getRangeLODNormals", 9},
                                                              {"getRangeNormals", 7},
                                                              {"getLODNormals", 3}};
    size_t want = 0;
    for (const auto& [name, count] : ops)
        if (p.op == name)
            want = count;
    if (want == 0 || p.args.empty())
        return error(404, "not found");
    auto ds = store.find(p.args[0]);
    if (!ds)
        return error(404, "unknown data set '" + p.args[0] + "'");
    if (p.args.size() != want)
        return error(400, p.op + " takes " + std::to_string(want - 1) + " values after the data set name");
    const int levels = int(ds->levels.size());

    if (p.op == "getHeader") {
        Reply r;
        r.body.assign(ds->header.begin(), ds->header.end());
        return r;
    }
    if (p.op == "getNumberOfLevels") {
        Reply r;
        for (int k = 0; k < 4; ++k)
            r.body += char(uint32_t(levels) >> (8 * k));
        return r;
    }
    RangeQuery q;
    if (p.op == "getLODNormals") {
        Reply e = levelRangeError(p.args[1], p.args[2], levels, q.firstLevel, q.lastLevel);
        return e.status != 200 ? std::move(e) : pointReply(ds, q);
    }
    Reply e = rangeError(p.args, 1, q);
    if (e.status != 200)
        return e;
    if (p.op == "getRangeNormals") {
        q.firstLevel = 0;
        q.lastLevel = levels - 1;
        return pointReply(ds, q);
    }
    e = levelRangeError(p.args[7], p.args[8], levels, q.firstLevel, q.lastLevel);
    return e.status != 200 ? std::move(e) : pointReply(ds, q);
}
