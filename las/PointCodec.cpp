#include "PointCodec.h"

#include "CLasException.h"
#include "LASPointData.h"

#include <algorithm>
#include <atomic>
#include <thread>

#if defined(__x86_64__)
#include <immintrin.h>
#define POINTCODEC_AVX2 1
#endif

namespace pointcodec {

using las_detail::loadLE;
using las_detail::storeLE;

void Columns::resize(size_t points, int pointFormat, int extraPerRecord, bool withExtra) {
    n = points;
    format = pointFormat;
    extraBytes = extraPerRecord;
    for (auto* v : {&userData, &scanFlag, &scanAngle, &returnNo, &numReturns, &edge, &classByte})
        v->resize(n);
    for (auto* v : {&sourceID, &intensity})
        v->resize(n);
    const bool rgb = las_detail::formatHasColor(format);
    for (auto* v : {&red, &green, &blue})
        v->resize(rgb ? n : 0);
    for (auto* v : {&X, &Y, &Z})
        v->resize(n);
    T.resize(las_detail::formatHasGPSTime(format) ? n : 0);
    extra.resize(withExtra ? n * size_t(extraBytes) : 0);
}

void Columns::fromRecords(const unsigned char* r, size_t count, int pointFormat, int recordLength) {
    resize(count, pointFormat, recordLength - las_detail::formatSize(pointFormat));
    setRecords(r, recordLength, 0, n);
}

void Columns::setRecords(const unsigned char* r, int recordLength, size_t from, size_t to) {
    const int size = las_detail::formatSize(format);
    const bool time = !T.empty(), rgb = !red.empty();
    const int c = las_detail::colorOffset(format);
    for (size_t i = from; i < to; ++i, r += recordLength) {
        X[i] = loadLE<int32_t>(r + las_detail::kRecordX);
        Y[i] = loadLE<int32_t>(r + las_detail::kRecordY);
        Z[i] = loadLE<int32_t>(r + las_detail::kRecordZ);
        intensity[i] = loadLE<uint16_t>(r + las_detail::kRecordIntensity);
        const uint8_t rb = r[las_detail::kRecordReturns];
        returnNo[i] = rb & 7;
        numReturns[i] = (rb >> 3) & 7;
        scanFlag[i] = (rb >> 6) & 1;
        edge[i] = rb >> 7;
        classByte[i] = r[las_detail::kRecordClassification];
        scanAngle[i] = r[las_detail::kRecordScanAngle];
        userData[i] = r[las_detail::kRecordUserData];
        sourceID[i] = loadLE<uint16_t>(r + las_detail::kRecordSourceID);
        if (time)
            T[i] = loadLE<int64_t>(r + las_detail::kRecordGpsTime);
        if (rgb) {
            red[i] = loadLE<uint16_t>(r + c);
            green[i] = loadLE<uint16_t>(r + c + 2);
            blue[i] = loadLE<uint16_t>(r + c + 4);
        }
        for (int e = 0; e < extraBytes; ++e)
            extra[size_t(e) * n + i] = r[size + e];
    }
}

void Columns::toRecords(unsigned char* r, int recordLength, size_t from, size_t to) const {
    const int size = las_detail::formatSize(format);
    const bool time = !T.empty(), rgb = !red.empty();
    const int c = las_detail::colorOffset(format);
    for (size_t i = from; i < to; ++i, r += recordLength) {
        storeLE(r + las_detail::kRecordX, X[i]);
        storeLE(r + las_detail::kRecordY, Y[i]);
        storeLE(r + las_detail::kRecordZ, Z[i]);
        storeLE(r + las_detail::kRecordIntensity, intensity[i]);
        r[las_detail::kRecordReturns] = uint8_t((returnNo[i] & 7) | (numReturns[i] & 7) << 3 |
                                                (scanFlag[i] & 1) << 6 | (edge[i] & 1) << 7);
        r[las_detail::kRecordClassification] = classByte[i];
        r[las_detail::kRecordScanAngle] = scanAngle[i];
        r[las_detail::kRecordUserData] = userData[i];
        storeLE(r + las_detail::kRecordSourceID, sourceID[i]);
        if (time)
            storeLE(r + las_detail::kRecordGpsTime, T[i]);
        if (rgb) {
            storeLE(r + c, red[i]);
            storeLE(r + c + 2, green[i]);
            storeLE(r + c + 4, blue[i]);
        }
        for (int e = 0; e < extraBytes; ++e)
            r[size + e] = extra[size_t(e) * n + i];
    }
}

int32_t PredictX(const int32_t* X, size_t i) {
    if (i <= 1)
        return X[i - 1];
    const size_t m = std::min<size_t>(i - 1, 7);
    if (m < 3)
        return X[i - 1];
    int32_t d[7];
    for (size_t k = 0; k < m; ++k)
        d[k] = sub(X[i - 1 - k], X[i - 2 - k]);
    int32_t sum = 0, hi = d[0], lo = d[0];
    for (size_t k = 0; k < m; ++k) {
        sum = add(sum, d[k]);
        hi = std::max(hi, d[k]);
        lo = std::min(lo, d[k]);
    }
    const int32_t t = trunc32(double(sub(sub(sum, hi), lo)) / double(m - 2) + 0.5);
    const int32_t offset = mul(d[0], d[1]) < 0 ? sub(t, d[0]) : t;
    return add(X[i - 1], offset);
}

int32_t PredictY(const int32_t* X, const int32_t* Y, size_t i) {
    const int32_t dx = sub(X[i], X[i - 1]);
    if (i > 1) {
        for (size_t k = 0; k <= 99 && k <= i - 2; ++k) {
            const int32_t e = sub(dx, sub(X[i - 1 - k], X[i - 2 - k]));
            if (e >= -4 && e <= 4)
                return add(Y[i - 1], sub(Y[i - 1 - k], Y[i - 2 - k]));
        }
    }
    int32_t offset = 0;
    if (i > 3) {
        const int32_t dX1 = sub(X[i - 1], X[i - 2]), dX2 = sub(X[i - 2], X[i - 3]);
        const int32_t dY1 = sub(Y[i - 1], Y[i - 2]), dY2 = sub(Y[i - 2], Y[i - 3]);
        const int32_t DX = sub(dX2, dX1), DY = sub(dY2, dY1);
        if (DX != 0 && DY != 0)
            offset = trunc32(double(dY1) + (double(sub(dx, dX1)) * (double(DY) / double(DX)) + 0.5));
    }
    return add(Y[i - 1], offset);
}

int32_t PredictZ(const int32_t* X, const int32_t* Y, const int32_t* Z, size_t i) {
    const int32_t dx = sub(X[i], X[i - 1]), dy = sub(Y[i], Y[i - 1]);
    if (i > 1) {
        for (size_t k = 0; k <= 99 && k <= i - 2; ++k) {
            const int32_t ex = sub(dx, sub(X[i - 1 - k], X[i - 2 - k]));
            const int32_t ey = sub(dy, sub(Y[i - 1 - k], Y[i - 2 - k]));
            if (ex >= -4 && ex <= 4 && ey >= -4 && ey <= 4)
                return add(Z[i - 1], sub(Z[i - 1 - k], Z[i - 2 - k]));
        }
    }
    if (i <= 2)
        return Z[i - 1];
    auto dX = [&](size_t j) { return sub(X[j], X[j - 1]); };
    auto dY = [&](size_t j) { return sub(Y[j], Y[j - 1]); };
    auto dZ = [&](size_t j) { return sub(Z[j], Z[j - 1]); };
    const int32_t DX = sub(dX(i - 2), dX(i - 1)), DY = sub(dY(i - 2), dY(i - 1)),
                  DZ = sub(dZ(i - 2), dZ(i - 1));
    if (DX == 0 || DY == 0 || DZ == 0)
        return add(Z[i - 1], dZ(i - 2));
    const double rX = double(DZ) / double(DX), rY = double(DZ) / double(DY);
    int a = 0, b = 0;
    const size_t last = i >= 102 ? i - 99 : 3;
    for (size_t j = i; j >= last; --j) {
        const int32_t zStep = dZ(j - 2), zNext = dZ(j - 1);
        const int32_t eX = wabs(sub(trunc32(double(sub(dX(j - 1), dX(j - 2))) * rX + double(zStep)), zNext));
        const int32_t eY = wabs(sub(trunc32(double(sub(dY(j - 1), dY(j - 2))) * rY + double(zStep)), zNext));
        a += eX >= eY;
        b += eX <= eY;
    }
    int32_t offset;
    if (a < b)
        offset = trunc32(double(dZ(i - 1)) + double(sub(dx, dX(i - 1))) * rX + 0.5);
    else
        offset = trunc32(double(dZ(i - 1)) + double(sub(dy, dY(i - 1))) * rY + 0.5);
    return add(Z[i - 1], offset);
}

uint32_t PredictIntensity(const int32_t* Z, const uint16_t* I, size_t i) {
    if (i <= 2)
        return 0;
    const int32_t dz1 = sub(Z[i], Z[i - 1]), dz2 = sub(Z[i], Z[i - 2]);
    if (dz1 < -3000)
        return 0;
    if (dz1 > 3000 && I[0] != 0)
        return I[i - 1] / 2u;
    const int32_t a1 = wabs(dz1), a2 = wabs(dz2);
    if (a1 <= 99 && a2 <= 99)
        return (uint32_t(I[i - 2]) + I[i - 1]) / 2u;
    return a1 > a2 ? I[i - 2] : I[i - 1];
}

int64_t PredictGPSTime(const int64_t* T, const uint8_t* s, size_t i) {
    if (i < 3)
        return T[0];
    int64_t d = sub64(T[i - 1], T[i - 2]);
    if (d == 0)
        d = sub64(T[i - 2], T[i - 3]);
    for (size_t k = 0; k <= std::min<size_t>(4, i - 2); ++k) {
        const int64_t e = sub64(T[i - 1 - k], T[i - 2 - k]);
        if (e != 0)
            d = std::min(d, e);
    }
    if (s[i] == s[i - 1])
        return add64(T[i - 1], d);
    // The scan direction changed: reuse the time step at the start of the earlier run.
    const uint8_t F = s[1];
    size_t j = i;
    while (j > 1 && s[j - 1] != F)
        --j;
    while (j > 1 && s[j - 1] == F)
        --j;
    if (j <= 2)
        return add64(T[i - 1], d);
    return add64(T[i - 1], sub64(T[j], T[j - 1]));
}

namespace {

#if POINTCODEC_AVX2
bool haveAVX2() {
    static const bool have = __builtin_cpu_supports("avx2");
    return have;
}

// Lanes where d and e are within 4, with wrap-around: (d - e + 4) as unsigned is at most 8.
__attribute__((target("avx2"))) inline __m256i within4(__m256i d, __m256i e) {
    const __m256i v = _mm256_add_epi32(_mm256_sub_epi32(d, e), _mm256_set1_epi32(4));
    return _mm256_cmpeq_epi32(_mm256_min_epu32(v, _mm256_set1_epi32(8)), v);
}

// Eight candidate steps at once, from the farthest back: the lanes are steps k + 7 down to k.
__attribute__((target("avx2"))) long matchingStepAVX2(const int32_t* dX, const int32_t* dY, size_t i,
                                                      size_t last, bool withY, size_t& k) {
    const __m256i dx = _mm256_set1_epi32(dX[i]), dy = _mm256_set1_epi32(withY ? dY[i] : 0);
    for (; k + 7 <= last; k += 8) {
        const size_t at = i - 8 - k;
        __m256i m = within4(dx, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(dX + at)));
        if (withY)
            m = _mm256_and_si256(m,
                                 within4(dy, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(dY + at))));
        const int mask = _mm256_movemask_ps(_mm256_castsi256_ps(m));
        if (mask != 0)
            return long(k + 7) - (31 - __builtin_clz(unsigned(mask)));
    }
    return -1;
}

// The vote of PredictZ from j up to i, four j at a time: counts of eX > eY and of eY > eX.
// Each lane is evaluated as the scalar expression is: product, then sum, each rounded; the truncating
// conversion gives -2^31 out of range as trunc32 does.
__attribute__((target("avx2"))) void voteAVX2(const int32_t* ddX, const int32_t* ddY, const int32_t* dZ,
                                              size_t& j, size_t i, double rX, double rY, int& xWorse,
                                              int& yWorse) {
    const __m256d vx = _mm256_set1_pd(rX), vy = _mm256_set1_pd(rY);
    __m128i gx = _mm_setzero_si128(), gy = _mm_setzero_si128();
    for (; j + 3 <= i; j += 4) {
        const __m128i zStep = _mm_loadu_si128(reinterpret_cast<const __m128i*>(dZ + j - 2));
        const __m128i zNext = _mm_loadu_si128(reinterpret_cast<const __m128i*>(dZ + j - 1));
        const __m256d step = _mm256_cvtepi32_pd(zStep);
        const __m128i ax = _mm_loadu_si128(reinterpret_cast<const __m128i*>(ddX + j - 1));
        const __m128i ay = _mm_loadu_si128(reinterpret_cast<const __m128i*>(ddY + j - 1));
        const __m128i tx =
            _mm256_cvttpd_epi32(_mm256_add_pd(_mm256_mul_pd(_mm256_cvtepi32_pd(ax), vx), step));
        const __m128i ty =
            _mm256_cvttpd_epi32(_mm256_add_pd(_mm256_mul_pd(_mm256_cvtepi32_pd(ay), vy), step));
        const __m128i ex = _mm_abs_epi32(_mm_sub_epi32(tx, zNext));
        const __m128i ey = _mm_abs_epi32(_mm_sub_epi32(ty, zNext));
        gx = _mm_sub_epi32(gx, _mm_cmpgt_epi32(ex, ey));
        gy = _mm_sub_epi32(gy, _mm_cmpgt_epi32(ey, ex));
    }
    alignas(16) int32_t cx[4], cy[4];
    _mm_store_si128(reinterpret_cast<__m128i*>(cx), gx);
    _mm_store_si128(reinterpret_cast<__m128i*>(cy), gy);
    xWorse += cx[0] + cx[1] + cx[2] + cx[3];
    yWorse += cy[0] + cy[1] + cy[2] + cy[3];
}
#else
bool haveAVX2() {
    return false;
}
#endif

std::vector<int32_t> deltas(const int32_t* v, size_t n) {
    std::vector<int32_t> d(n, 0);
    for (size_t j = 1; j < n; ++j)
        d[j] = sub(v[j], v[j - 1]);
    return d;
}

} // namespace

BlockPredictor::BlockPredictor(const int32_t* X, const int32_t* Y, size_t n, bool vectors)
    : m_dX(deltas(X, n)), m_vectors(vectors && haveAVX2()) {
    if (Y != nullptr) { // what Z predictions need besides the X deltas
        m_ddX = deltas(m_dX.data(), n);
        m_dY = deltas(Y, n);
        m_ddY = deltas(m_dY.data(), n);
        m_dZ.assign(n, 0);
    }
}

long BlockPredictor::matchingStep(size_t i, size_t last, bool withY) const {
    size_t k = 0;
#if POINTCODEC_AVX2
    if (m_vectors) {
        const long found = matchingStepAVX2(m_dX.data(), m_dY.data(), i, last, withY, k);
        if (found >= 0)
            return found;
    }
#endif
    const int32_t dx = m_dX[i], dy = withY ? m_dY[i] : 0;
    for (; k <= last; ++k) {
        const int32_t ex = sub(dx, m_dX[i - 1 - k]);
        if (ex < -4 || ex > 4)
            continue;
        if (!withY)
            return long(k);
        const int32_t ey = sub(dy, m_dY[i - 1 - k]);
        if (ey >= -4 && ey <= 4)
            return long(k);
    }
    return -1;
}

int32_t BlockPredictor::predictY(const int32_t* Y, size_t i) const {
    if (i > 1) {
        const long k = matchingStep(i, std::min<size_t>(99, i - 2), false);
        if (k >= 0)
            return add(Y[i - 1], sub(Y[i - 1 - size_t(k)], Y[i - 2 - size_t(k)]));
    }
    int32_t offset = 0;
    if (i > 3) {
        const int32_t dX1 = m_dX[i - 1], dX2 = m_dX[i - 2];
        const int32_t dY1 = sub(Y[i - 1], Y[i - 2]), dY2 = sub(Y[i - 2], Y[i - 3]);
        const int32_t DX = sub(dX2, dX1), DY = sub(dY2, dY1);
        if (DX != 0 && DY != 0)
            offset = trunc32(double(dY1) + (double(sub(m_dX[i], dX1)) * (double(DY) / double(DX)) + 0.5));
    }
    return add(Y[i - 1], offset);
}

int32_t BlockPredictor::predictZ(const int32_t* Z, size_t i) {
    for (; m_zDeltas < i; ++m_zDeltas)
        m_dZ[m_zDeltas] = sub(Z[m_zDeltas], Z[m_zDeltas - 1]);
    const int32_t* dX = m_dX.data();
    const int32_t* dY = m_dY.data();
    const int32_t* dZ = m_dZ.data();
    if (i > 1) {
        const long k = matchingStep(i, std::min<size_t>(99, i - 2), true);
        if (k >= 0)
            return add(Z[i - 1], dZ[i - 1 - size_t(k)]);
    }
    if (i <= 2)
        return Z[i - 1];
    const int32_t DX = sub(dX[i - 2], dX[i - 1]), DY = sub(dY[i - 2], dY[i - 1]),
                  DZ = sub(dZ[i - 2], dZ[i - 1]);
    if (DX == 0 || DY == 0 || DZ == 0)
        return add(Z[i - 1], dZ[i - 2]);
    const double rX = double(DZ) / double(DX), rY = double(DZ) / double(DY);
    size_t j = i >= 102 ? i - 99 : 3;
    const int votes = int(i - j + 1);
    int xWorse = 0, yWorse = 0; // votes where eX > eY, and where eY > eX
#if POINTCODEC_AVX2
    if (m_vectors)
        voteAVX2(m_ddX.data(), m_ddY.data(), dZ, j, i, rX, rY, xWorse, yWorse);
#endif
    for (; j <= i; ++j) {
        const int32_t zStep = dZ[j - 2], zNext = dZ[j - 1];
        const int32_t eX = wabs(sub(trunc32(double(m_ddX[j - 1]) * rX + double(zStep)), zNext));
        const int32_t eY = wabs(sub(trunc32(double(m_ddY[j - 1]) * rY + double(zStep)), zNext));
        xWorse += eX > eY;
        yWorse += eY > eX;
    }
    // As in PredictZ: a counts eX >= eY, b counts eX <= eY.
    const int a = votes - yWorse, b = votes - xWorse;
    int32_t offset;
    if (a < b)
        offset = trunc32(double(dZ[i - 1]) + double(sub(dX[i], dX[i - 1])) * rX + 0.5);
    else
        offset = trunc32(double(dZ[i - 1]) + double(sub(dY[i], dY[i - 1])) * rY + 0.5);
    return add(Z[i - 1], offset);
}

namespace {
inline int bytesOf(uint32_t m) {
    return ((39 - __builtin_clz(m | 1)) >> 3) - (m == 0);
}
} // namespace

void levelEncode(CodedPieces& out, const int32_t* v, size_t n) {
    if (n == 0)
        return;
    unsigned char first[4];
    storeLE(first, uint32_t(v[0]));
    out.raw(first, 4);
    Scratch<unsigned char> codes(n - 1);
    // One pass: every byte of every magnitude is stored, and its plane's end moves on only when the
    // value has that byte (no branch on the data). A plane's pages beyond its end are never touched.
    std::vector<Scratch<unsigned char>> planes(4);
    for (auto& p : planes)
        p.resize(n - 1);
    unsigned char* plane[4] = {planes[0].data(), planes[1].data(), planes[2].data(), planes[3].data()};
    size_t a0 = 0, a1 = 0, a2 = 0, a3 = 0;
    int K = 0;
    for (size_t i = 1; i < n; ++i) {
        const uint32_t m = v[i] < 0 ? 0u - uint32_t(v[i]) : uint32_t(v[i]);
        const int k = bytesOf(m);
        codes[i - 1] = uint8_t(2 * k + (v[i] < 0));
        K = std::max(K, k);
        plane[0][a0] = uint8_t(m);
        plane[1][a1] = uint8_t(m >> 8);
        plane[2][a2] = uint8_t(m >> 16);
        plane[3][a3] = uint8_t(m >> 24);
        a0 += size_t(k > 0), a1 += size_t(k > 1), a2 += size_t(k > 2), a3 += size_t(k > 3);
    }
    const size_t at[4] = {a0, a1, a2, a3};
    planes.resize(size_t(K));
    for (int p = 0; p < K; ++p)
        planes[size_t(p)].resize(at[p]);
    out.block(std::move(codes));
    for (auto& plane : planes) {
        unsigned char count[4];
        storeLE(count, uint32_t(plane.size()));
        out.raw(count, 4);
        out.block(std::move(plane));
    }
}

void levelEncode(AC& ac, const int32_t* v, size_t n, std::vector<unsigned char>& out) {
    CodedPieces pieces;
    levelEncode(pieces, v, n);
    pieces.encodeInto(out, 1);
}

void CodedPieces::raw(const void* data, size_t n) {
    if (pieces.empty() || pieces.back().block)
        pieces.push_back({{}, false});
    auto* p = static_cast<const unsigned char*>(data);
    pieces.back().bytes.insert(pieces.back().bytes.end(), p, p + n);
}

std::vector<size_t> CodedPieces::encodeInto(std::vector<unsigned char>& out, int threads) {
    // Blocks of similar length make good pairs; the longest pairs go first to balance the threads.
    std::vector<size_t> blocks;
    for (size_t k = 0; k < pieces.size(); ++k)
        if (pieces[k].block)
            blocks.push_back(k);
    std::stable_sort(blocks.begin(), blocks.end(),
                     [&](size_t a, size_t b) { return pieces[a].bytes.size() > pieces[b].bytes.size(); });
    std::vector<std::vector<unsigned char>> coded(pieces.size());
    std::atomic<size_t> next{0};
    auto work = [&] {
        AC ac;
        for (size_t pair; (pair = next++) * 2 < blocks.size();) {
            const size_t a = blocks[2 * pair];
            const auto& sa = pieces[a].bytes;
            if (2 * pair + 1 < blocks.size()) {
                const size_t b = blocks[2 * pair + 1];
                const auto& sb = pieces[b].bytes;
                ac.encodeBlockPair(sa.data(), sa.size(), coded[a], sb.data(), sb.size(), coded[b]);
            } else {
                ac.encodeBlock(sa.data(), sa.size(), coded[a]);
            }
        }
    };
    std::vector<std::thread> pool;
    const size_t pairs = (blocks.size() + 1) / 2;
    for (int t = 1; t < threads && size_t(t) < pairs; ++t)
        pool.emplace_back(work);
    work();
    for (auto& t : pool)
        t.join();
    std::vector<size_t> ends(pieces.size());
    size_t total = out.size();
    for (size_t k = 0; k < pieces.size(); ++k)
        total += pieces[k].block ? coded[k].size() : pieces[k].bytes.size();
    out.reserve(total);
    for (size_t k = 0; k < pieces.size(); ++k) {
        if (pieces[k].block)
            out.insert(out.end(), coded[k].begin(), coded[k].end());
        else
            out.insert(out.end(), pieces[k].bytes.begin(), pieces[k].bytes.end());
        ends[k] = out.size();
    }
    return ends;
}

void levelDecode(AC& ac, ByteSource& in, int32_t* v, size_t n) {
    if (n == 0)
        return;
    v[0] = int32_t(in.readU32("Unable to find stream"));
    Scratch<unsigned char> codes(n - 1);
    ac.decodeBlock(in, codes.data(), codes.size());
    size_t histogram[256] = {}, perPlane[4] = {};
    for (unsigned char c : codes)
        ++histogram[c];
    for (int c = 10; c < 256; ++c)
        if (histogram[c] != 0)
            throw CLasException("Corrupt level code");
    for (int c = 2; c < 10; ++c)
        for (int p = 0; p < (c >> 1); ++p)
            perPlane[p] += histogram[c];
    // The magnitudes are gathered in place, then signed.
    uint32_t* mag = reinterpret_cast<uint32_t*>(v + 1);
    std::fill(mag, mag + (n - 1), 0u);
    Scratch<unsigned char> plane;
    for (int p = 0; p < 4 && perPlane[p] > 0; ++p) {
        const uint32_t count = in.readU32("Unable to find stream");
        // The count is implied by the level codes; any other value is damage, and never sizes anything.
        if (count != perPlane[p])
            throw CLasException("Corrupt level plane count");
        plane.resize(count);
        ac.decodeBlock(in, plane.data(), count);
        size_t at = 0;
        for (size_t i = 0; i < n - 1; ++i)
            if ((codes[i] >> 1) > p)
                mag[i] |= uint32_t(plane[at++]) << (8 * p);
    }
    for (size_t i = 0; i < n - 1; ++i)
        mag[i] = (codes[i] & 1) ? 0u - mag[i] : mag[i];
}

} // namespace pointcodec
