#include "AC.h"

#include <cmath>

#include <algorithm>
#include <atomic>
#include <cstring>

#if defined(__x86_64__)
#include <cpuid.h>
#define AC_BIT_VARIANTS 1
#endif

namespace {
constexpr const char* kLost = "Unable to find stream";
constexpr const char* kCorrupt = "Corrupt compressed block";
} // namespace

void AC::buildFrequencies(const unsigned char* data, size_t count, uint32_t freq[256]) {
    // Four partial counts: runs of one symbol would otherwise wait on each increment of one counter.
    // Each takes at most 2^30 symbols; the rest, if any, is counted in 64 bits.
    uint32_t part[4][256] = {};
    const size_t quads = std::min<size_t>(count, size_t(1) << 32) & ~size_t(3);
    size_t i = 0;
    for (; i < quads; i += 4) {
        ++part[0][data[i]];
        ++part[1][data[i + 1]];
        ++part[2][data[i + 2]];
        ++part[3][data[i + 3]];
    }
    uint64_t c[256];
    for (int s = 0; s < 256; ++s)
        c[s] = uint64_t(part[0][s]) + part[1][s] + part[2][s] + part[3][s];
    for (; i < count; ++i)
        ++c[data[i]];
    int64_t total = 0;
    for (int s = 0; s < 256; ++s) {
        uint32_t f = 0;
        if (count > 0) {
            double x = double(c[s]) / double(count) * double(SCALE);
            f = x < 0.6 ? (c[s] > 0 ? 1 : 0) : uint32_t(x + 0.5);
        }
        freq[s] = f;
        total += f;
    }
    if (total < int64_t(SCALE)) {
        freq[0] += uint32_t(SCALE - total); // a block of no symbols puts the whole scale here
        return;
    }
    // Too much: take it from the first symbol that can give it all, else one unit at a time from the
    // larger frequencies, scanning again from symbol 0 until nothing is left.
    int64_t excess = total - SCALE;
    while (excess > 0) {
        for (int s = 0; s < 256 && excess > 0; ++s) {
            if (int64_t(freq[s]) - excess > 10) {
                freq[s] -= uint32_t(excess);
                excess = 0;
            } else if (freq[s] > 2) {
                --freq[s];
                --excess;
            }
        }
    }
}

void AC::cumulate(const uint32_t freq[256]) {
    uint32_t at = 0;
    for (int s = 0; s < 256; ++s) {
        m_lowCount[s] = uint16_t(at);
        at += freq[s];
        m_highCount[s] = uint16_t(at);
    }
}

// ---------------------------------------------------------------- encoding

void AC::initialize_output_bitstream(std::vector<unsigned char>* out) {
    m_out = out;
    m_outStart = out->size();
    m_outByte = 0;
    m_outMask = 0x80;
}

void AC::initialize_arithmetic_encoder(const unsigned char* data, size_t count) {
    uint32_t freq[256];
    buildFrequencies(data, count, freq);
    cumulate(freq);
    m_lo = 0;
    m_hi = 0xFFFF;
    m_underflow = 0;
    m_shifts = 0;
}

void AC::convert_int_to_symbol(int value, SYMBOL* s) const {
    s->low_count = m_lowCount[value & 0xFF];
    s->high_count = m_highCount[value & 0xFF];
    s->scale = uint16_t(SCALE);
}

void AC::output_bit(int bit) {
    if (bit)
        m_outByte |= m_outMask;
    m_outMask >>= 1;
    if (m_outMask == 0) {
        m_out->push_back(uint8_t(m_outByte));
        m_outByte = 0;
        m_outMask = 0x80;
    }
}

void AC::encode_symbol(const SYMBOL* s) {
    const uint32_t range = m_hi - m_lo + 1;
    m_hi = (m_lo + range * s->high_count / SCALE - 1) & 0xFFFF;
    m_lo = (m_lo + range * s->low_count / SCALE) & 0xFFFF;
    for (;;) {
        if (((m_hi ^ m_lo) & 0x8000) == 0) {
            const int bit = (m_hi >> 15) & 1;
            output_bit(bit);
            for (; m_underflow > 0; --m_underflow)
                output_bit(!bit);
        } else if ((m_lo & 0x4000) && !(m_hi & 0x4000)) {
            ++m_underflow;
            m_lo &= 0x3FFF;
            m_hi |= 0x4000;
        } else {
            return;
        }
        m_lo = (m_lo << 1) & 0xFFFF;
        m_hi = ((m_hi << 1) | 1) & 0xFFFF;
        ++m_shifts;
    }
}

void AC::flush_arithmetic_encoder() {
    const int bit = (m_lo & 0x4000) ? 1 : 0;
    output_bit(bit);
    ++m_underflow;
    for (; m_underflow > 0; --m_underflow)
        output_bit(!bit);
}

void AC::flush_output_bitstream() {
    // The current byte goes out even when none of its bits was used.
    m_out->push_back(uint8_t(m_outByte));
    m_out->push_back(0xFF);
    m_out->push_back(0xFF);
    m_out->push_back(0x00);
    m_outByte = 0;
    m_outMask = 0x80;
}

size_t AC::bit_ftell_output() const {
    return m_out ? m_out->size() - m_outStart : 0;
}

namespace {

std::atomic<bool> portableCode{false};

#if AC_BIT_VARIANTS
bool fastBitScans() {
    static const bool fast = [] {
        unsigned a, b, c, d;
        const bool lzcnt = __get_cpuid(0x80000001, &a, &b, &c, &d) && (c & bit_LZCNT);
        const bool bmi = __get_cpuid_count(7, 0, &a, &b, &c, &d) && (b & bit_BMI) && (b & bit_BMI2);
        return lzcnt && bmi;
    }();
    return fast && !portableCode.load(std::memory_order_relaxed);
}
#endif

// Number of leading bits (0 to 16) in which two 16-bit values agree.
[[gnu::always_inline]] inline int leadingEqualBits(uint32_t lo, uint32_t hi) {
    return __builtin_clz(((lo ^ hi) << 16) | 0x8000u);
}
// Number of underflow shifts in a row (0 to 15) for an interval whose top bits differ: the run of bit
// positions from 14 down where low has 1 and high has 0.
[[gnu::always_inline]] inline int underflowRun(uint32_t lo, uint32_t hi) {
    return __builtin_clz(~(((lo & ~hi) & 0x7FFFu) << 17));
}

} // namespace

namespace {

// One block being encoded: the coder of encode_symbol, in an equivalent form that writes its bits as a
// growing binary fraction. The pending underflow bits of encode_symbol are then just bits already
// written, which a later carry may still increment: an underflow shift writes the top bit of the low end
// and keeps the interval where it is, instead of moving it by a quarter. The interval arithmetic is the
// same, so the bits are the same. Renormalisation counts still come from the 16-bit low and high ends:
// a run of n equal top bits followed by a run of u underflow shifts (after one, the top bits differ until
// the interval is narrowed again), both counted with one bit scan each.
constexpr size_t kSegment = 1 << 16; // symbols coded between checks of the output room

struct BlockEncoder {
    uint32_t interval[256]; // low count | high count << 16
    unsigned char* begin;   // first coded byte
    unsigned char* op;      // bytes before it are written; a carry may still increment them
    uint64_t low = 0;       // `nb` (at most 7 between symbols) written bits not stored yet, then 16 bits
    int nb = 0;
    uint32_t lo = 0, hi = 0xFFFF; // the interval as encode_symbol holds it
    uint64_t shifts = 0;

    std::vector<unsigned char>* out = nullptr;

    // Writes the table and makes room for the coded bits. A symbol shifts out at most 32 bits, so four
    // bytes a symbol (and slack for the whole-word stores) always suffice, but that is several times what
    // a block codes to: the room starts at the table's entropy and grows as segments of symbols need it.
    void start(const uint16_t* low16, const uint16_t* high, size_t count, std::vector<unsigned char>& o) {
        out = &o;
        const size_t at = o.size();
        double bits = 0;
        for (int s = 0; s < 256; ++s)
            if (const uint32_t f = uint32_t(high[s] - low16[s]); f > 0)
                bits -= f * std::log2(double(f) / AC::SCALE);
        const size_t expected = size_t(bits / AC::SCALE * double(count) / 8 * 1.02);
        o.resize(at + AC::TableBytes + expected + 4 * std::min(count, kSegment) + 64);
        unsigned char* table = o.data() + at;
        for (int s = 0; s < 256; ++s) {
            table[2 * s] = uint8_t(high[s] & 0xFF);
            table[2 * s + 1] = uint8_t(high[s] >> 8);
            interval[s] = uint32_t(low16[s]) | uint32_t(high[s]) << 16;
        }
        begin = op = table + AC::TableBytes;
    }
    // Makes room for the next `symbols` symbols (at most kSegment).
    void room(size_t symbols) {
        const size_t need = size_t(op - out->data()) + 4 * symbols + 64;
        if (need <= out->size())
            return;
        const size_t b = size_t(begin - out->data()), o = size_t(op - out->data());
        out->resize(std::max(need, out->size() + out->size() / 2));
        begin = out->data() + b;
        op = out->data() + o;
    }
    bool wholeScale(unsigned char sym) const { return interval[sym] == AC::SCALE << 16; }
    // Moves the low end up by `step`, carrying into the bits written before.
    [[gnu::always_inline]] void raise(uint32_t step) {
        low += step;
        if (__builtin_expect((low >> (16 + nb)) != 0, 0)) {
            low -= uint64_t(1) << (16 + nb);
            unsigned char* p = op;
            while (p > begin && *--p == 0xFF)
                *p = 0;
            ++*p;
        }
    }
    // Shifts `s` bits out of the 16-bit window and stores every whole byte of written bits.
    [[gnu::always_inline]] void shift(int s) {
        low <<= s;
        nb += s;
        const uint64_t word = __builtin_bswap64(nb ? (low >> 16) << (64 - nb) : 0);
        std::memcpy(op, &word, 8);
        op += nb >> 3;
        nb &= 7;
        low &= (uint64_t(1) << (16 + nb)) - 1;
    }
    [[gnu::always_inline]] void encode(unsigned char sym) {
        const uint32_t iv = interval[sym];
        const uint32_t range = hi - lo + 1;
        const uint32_t up = range * (iv & 0xFFFF) / AC::SCALE;
        hi = (lo + range * (iv >> 16) / AC::SCALE - 1) & 0xFFFF;
        lo = lo + up;
        raise(up);
        const int n = leadingEqualBits(lo, hi);
        lo = (lo << n) & 0xFFFF;
        hi = ((hi << n) | ((1u << n) - 1)) & 0xFFFF;
        const int u = underflowRun(lo, hi);
        lo = (lo << u) & (u ? 0x7FFFu : 0xFFFFu);
        hi = (((hi << u) | ((1u << u) - 1)) & 0xFFFF) | (u ? 0x8000u : 0u);
        shift(n + u);
        shifts += uint64_t(n + u);
    }
    // encode_symbol's flush picks the point 0x4000 or 0x8000 of the interval and writes its two top
    // bits; then the last bytes and the terminator. Trims `out` to what was written.
    void finish(std::vector<unsigned char>& out) {
        room(1);
        raise(((lo & 0x4000) ? 0x8000u : 0x4000u) - lo);
        shift(2);
        // Every started byte and the current one, which is all zeros when the bits ended on a boundary.
        const int bytes = nb / 8 + 1;
        const uint64_t rest = (low >> 16) << (8 * bytes - nb);
        for (int b = 0; b < bytes; ++b)
            *op++ = uint8_t(rest >> (8 * (bytes - 1 - b)));
        *op++ = 0xFF;
        *op++ = 0xFF;
        *op++ = 0x00;
        out.resize(size_t(op - out.data()));
    }
};

// The coding loops, compiled twice: for any x86-64, and with LZCNT and BMI2, whose bit scans and
// shifts shorten each symbol's chain of dependent instructions (chosen at run time).
[[gnu::always_inline]] inline void encodeRun(BlockEncoder& e, const unsigned char* data, size_t from,
                                             size_t to) {
    for (size_t s = from; s < to; s += kSegment) {
        const size_t end = std::min(to, s + kSegment);
        e.room(end - s);
        for (size_t i = s; i < end; ++i)
            e.encode(data[i]);
    }
}
[[gnu::always_inline]] inline void encodeRunPair(BlockEncoder& ea, const unsigned char* a, BlockEncoder& eb,
                                                 const unsigned char* b, size_t to) {
    for (size_t s = 0; s < to; s += kSegment) {
        const size_t end = std::min(to, s + kSegment);
        ea.room(end - s);
        eb.room(end - s);
        for (size_t i = s; i < end; ++i) {
            ea.encode(a[i]);
            eb.encode(b[i]);
        }
    }
}
#if AC_BIT_VARIANTS
__attribute__((target("lzcnt,bmi,bmi2"))) void encodeRunFast(BlockEncoder& e, const unsigned char* data,
                                                             size_t from, size_t to) {
    encodeRun(e, data, from, to);
}
__attribute__((target("lzcnt,bmi,bmi2"))) void encodeRunPairFast(BlockEncoder& ea, const unsigned char* a,
                                                                 BlockEncoder& eb, const unsigned char* b,
                                                                 size_t to) {
    encodeRunPair(ea, a, eb, b, to);
}
#endif

// Encodes symbols [from, count) of a block; a block of one value holding the whole scale codes to
// nothing but its flush bits.
void encodeRest(BlockEncoder& e, const unsigned char* data, size_t from, size_t count) {
    if (count > 0 && e.wholeScale(data[0]))
        return;
#if AC_BIT_VARIANTS
    if (fastBitScans())
        return encodeRunFast(e, data, from, count);
#endif
    encodeRun(e, data, from, count);
}

} // namespace

void AC::encodeBlock(const unsigned char* data, size_t count, std::vector<unsigned char>& out) {
    if (portableCode.load(std::memory_order_relaxed)) {
        // The coder one bit and one symbol at a time: the reference the fast loops must match.
        initialize_output_bitstream(&out);
        initialize_arithmetic_encoder(data, count);
        for (int s = 0; s < 256; ++s) {
            out.push_back(uint8_t(m_highCount[s] & 0xFF));
            out.push_back(uint8_t(m_highCount[s] >> 8));
        }
        SYMBOL sym;
        for (size_t i = 0; i < count; ++i) {
            convert_int_to_symbol(data[i], &sym);
            encode_symbol(&sym);
        }
        flush_arithmetic_encoder();
        flush_output_bitstream();
        return;
    }
    initialize_arithmetic_encoder(data, count);
    BlockEncoder e;
    e.start(m_lowCount, m_highCount, count, out);
    encodeRest(e, data, 0, count);
    e.finish(out);
    m_lo = e.lo;
    m_hi = e.hi;
    m_shifts = e.shifts;
    m_underflow = 0;
}

void AC::encodeBlockPair(const unsigned char* a, size_t countA, std::vector<unsigned char>& outA,
                         const unsigned char* b, size_t countB, std::vector<unsigned char>& outB) {
    // Each coder's interval is a long chain of dependent operations; two independent chains in one loop
    // keep the processor busy while each waits.
    BlockEncoder ea, eb;
    initialize_arithmetic_encoder(a, countA);
    ea.start(m_lowCount, m_highCount, countA, outA);
    initialize_arithmetic_encoder(b, countB);
    eb.start(m_lowCount, m_highCount, countB, outB);
    const bool skipA = countA > 0 && ea.wholeScale(a[0]), skipB = countB > 0 && eb.wholeScale(b[0]);
    size_t i = 0;
    if (!skipA && !skipB) {
        i = std::min(countA, countB);
#if AC_BIT_VARIANTS
        if (fastBitScans())
            encodeRunPairFast(ea, a, eb, b, i);
        else
#endif
            encodeRunPair(ea, a, eb, b, i);
    }
    encodeRest(ea, a, skipB ? 0 : i, countA);
    encodeRest(eb, b, skipA ? 0 : i, countB);
    ea.finish(outA);
    eb.finish(outB);
}

// ---------------------------------------------------------------- decoding

void AC::initialize_input_bitstream(ByteSource* in) {
    m_in = in;
    m_inByte = 0;
    m_inBits = 0;
}

void AC::initialize_arithmetic_decoder() {
    unsigned char table[TableBytes];
    m_in->read(table, TableBytes, kLost);
    uint32_t prev = 0;
    for (int s = 0; s < 256; ++s) {
        uint32_t h = uint32_t(table[2 * s]) | uint32_t(table[2 * s + 1]) << 8;
        if (h < prev || h > SCALE)
            throw CLasException(kCorrupt);
        m_lowCount[s] = uint16_t(prev);
        m_highCount[s] = uint16_t(h);
        std::memset(m_symbolOf + prev, s, h - prev);
        prev = h;
    }
    if (prev != SCALE)
        throw CLasException(kCorrupt);
    m_codedStart = m_in->position();
    m_in->clearPastEnd();
    m_code = 0;
    for (int i = 0; i < 16; ++i)
        m_code = (m_code << 1) | uint32_t(input_bit());
    m_lo = 0;
    m_hi = 0xFFFF;
    m_shifts = 0;
}

int AC::input_bit() {
    if (m_inBits == 0) {
        m_inByte = unsigned(m_in->next());
        m_inBits = 8;
    }
    --m_inBits;
    return (m_inByte >> m_inBits) & 1;
}

uint32_t AC::get_current_count(SYMBOL* s) {
    s->scale = uint16_t(SCALE);
    // A valid stream keeps the code inside [low, high]; anything else is damage.
    if (m_code < m_lo || m_code > m_hi)
        throw CLasException(kCorrupt);
    const uint32_t range = m_hi - m_lo + 1;
    return ((m_code - m_lo + 1) * SCALE - 1) / range;
}

int AC::convert_symbol_to_int(uint32_t count, SYMBOL* s) const {
    const int sym = m_symbolOf[count < SCALE ? count : SCALE - 1];
    s->low_count = m_lowCount[sym];
    s->high_count = m_highCount[sym];
    return sym;
}

void AC::narrow(uint32_t lc, uint32_t hc) {
    const uint32_t range = m_hi - m_lo + 1;
    m_hi = (m_lo + range * hc / SCALE - 1) & 0xFFFF;
    m_lo = (m_lo + range * lc / SCALE) & 0xFFFF;
}

void AC::remove_symbol_from_stream(const SYMBOL* s) {
    narrow(s->low_count, s->high_count);
    for (;;) {
        if (((m_hi ^ m_lo) & 0x8000) == 0) {
        } else if ((m_lo & 0x4000) && !(m_hi & 0x4000)) {
            m_code ^= 0x4000;
            m_lo &= 0x3FFF;
            m_hi |= 0x4000;
        } else {
            return;
        }
        m_lo = (m_lo << 1) & 0xFFFF;
        m_hi = ((m_hi << 1) | 1) & 0xFFFF;
        m_code = ((m_code << 1) | uint32_t(input_bit())) & 0xFFFF;
        ++m_shifts;
        if (m_in->pastEnd() > 2)
            throw CLasException(kLost);
    }
}

int64_t AC::bit_ftell_input() {
    const uint64_t end = m_codedStart + (m_shifts + 2) / 8 + 1;
    m_in->seek(end);
    unsigned char t[3];
    for (auto& b : t)
        b = uint8_t(m_in->next());
    // The decoder may have read up to two bytes past the end of a damaged stream; a real terminator
    // is never among them.
    if (m_in->pastEnd() > 0 || t[0] != 0xFF || t[1] != 0xFF || t[2] != 0x00)
        return -1;
    return int64_t(end + 3);
}

namespace {

// The decoder's state between symbols, and its loop (compiled twice, like the encoder's).
struct DecodeState {
    uint32_t code, lo, hi;
    uint64_t shifts;
    uint64_t buf; // its low `bits` bits are not used yet
    int bits;
};

[[gnu::always_inline]] inline void decodeRun(DecodeState& st, ByteSource& in, const unsigned char* symbolOf,
                                             const uint16_t* lowCount, const uint16_t* highCount,
                                             unsigned char* out, size_t count) {
    // remove_symbol_from_stream with runs of equal top bits shifted in at once, holding the code as its
    // offset from the low end: every shift moves code and low alike (an underflow shift moves both by a
    // quarter), so the offset just doubles and takes in the next bit. Bytes are taken from the source
    // only as bits are needed, exactly as input_bit takes them.
    uint32_t lo = st.lo, hi = st.hi, offset = st.code - st.lo;
    uint64_t shifts = st.shifts, buf = st.buf;
    int bits = st.bits;
    auto take = [&](int n) -> uint32_t { // n <= 31
        while (bits < n) {
            buf = (buf << 8) | uint32_t(in.next());
            bits += 8;
        }
        bits -= n;
        return uint32_t(buf >> bits) & uint32_t((uint64_t(1) << n) - 1);
    };
    constexpr uint32_t SCALE = AC::SCALE;
    for (size_t i = 0; i < count; ++i) {
        // A valid stream keeps the code inside [low, high]; then the count lies in [0, SCALE) and falls
        // in a non-empty interval of the checked table, and the offset stays inside the narrowed interval.
        const uint32_t range = hi - lo + 1;
        if (offset >= range)
            throw CLasException(kCorrupt);
        const int sym = symbolOf[((offset + 1) * SCALE - 1) / range];
        out[i] = uint8_t(sym);
        const uint32_t step = range * lowCount[sym] / SCALE;
        hi = (lo + range * highCount[sym] / SCALE - 1) & 0xFFFF;
        lo = lo + step;
        offset -= step;
        // As in the encoder: n equal top bits, then u underflow shifts.
        const int n = leadingEqualBits(lo, hi);
        lo = (lo << n) & 0xFFFF;
        hi = ((hi << n) | ((1u << n) - 1)) & 0xFFFF;
        const int u = underflowRun(lo, hi);
        lo = (lo << u) & (u ? 0x7FFFu : 0xFFFFu);
        hi = (((hi << u) | ((1u << u) - 1)) & 0xFFFF) | (u ? 0x8000u : 0u);
        offset = (offset << (n + u)) | take(n + u);
        shifts += uint64_t(n + u);
        if (in.pastEnd() > 2)
            throw CLasException(kLost);
    }
    const uint32_t code = (lo + offset) & 0xFFFF;
    st = DecodeState{code, lo, hi, shifts, buf, bits};
}

#if AC_BIT_VARIANTS
__attribute__((target("lzcnt,bmi,bmi2"))) void
decodeRunFast(DecodeState& st, ByteSource& in, const unsigned char* symbolOf, const uint16_t* lowCount,
              const uint16_t* highCount, unsigned char* out, size_t count) {
    decodeRun(st, in, symbolOf, lowCount, highCount, out, count);
}
#endif

} // namespace

void AC::decodeBlock(ByteSource& in, unsigned char* out, size_t count) {
    initialize_input_bitstream(&in);
    initialize_arithmetic_decoder();
    if (portableCode.load(std::memory_order_relaxed)) {
        SYMBOL sym;
        for (size_t i = 0; i < count; ++i) {
            out[i] = uint8_t(convert_symbol_to_int(get_current_count(&sym), &sym));
            remove_symbol_from_stream(&sym);
        }
        if (bit_ftell_input() < 0)
            throw CLasException(kLost);
        return;
    }
    DecodeState st{m_code, m_lo, m_hi, 0, m_inByte, m_inBits};
    bool whole = false;
    // One symbol with the whole scale: it never narrows the interval, so nothing is shifted in.
    for (int s = 0; s < 256 && count > 0; ++s)
        if (m_lowCount[s] == 0 && m_highCount[s] == SCALE) {
            std::memset(out, s, count);
            whole = true;
        }
    if (!whole) {
#if AC_BIT_VARIANTS
        if (fastBitScans())
            decodeRunFast(st, in, m_symbolOf, m_lowCount, m_highCount, out, count);
        else
#endif
            decodeRun(st, in, m_symbolOf, m_lowCount, m_highCount, out, count);
    }
    m_code = st.code;
    m_lo = st.lo;
    m_hi = st.hi;
    m_shifts = st.shifts;
    m_inByte = unsigned(st.buf & 0xFF);
    m_inBits = st.bits;
    if (bit_ftell_input() < 0)
        throw CLasException(kLost);
}

void AC::usePortableCode(bool portable) {
    portableCode = portable;
}
