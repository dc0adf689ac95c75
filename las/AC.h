#pragma once
// Semi-static order-0 arithmetic coding of byte blocks: the 16-bit integer coder of Witten, Neal and
// Cleary (1987, "Arithmetic coding for data compression", CACM 30(6)) with pending underflow bits,
// under a frequency table of scale 10000 written in front of each block.
//
// A block is: 256 little-endian 16-bit high counts (512 bytes), the coded bits (most significant bit
// first, floor((S + 2) / 8) + 1 bytes for S renormalisation shifts), then the terminator FF FF 00. The
// number of symbols is not stored. The decoder finds the end of a block from its own shift count and
// checks the terminator, so it never depends on what follows the block.
//
// Each AC keeps its own bit-I/O state, so coders on different threads are independent. Decoding is safe
// for untrusted input: corruption ends in CLasException.
#include "ByteSource.h"

#include <cstddef>
#include <cstdint>
#include <vector>

struct SYMBOL {
    uint16_t low_count;
    uint16_t high_count;
    uint16_t scale;
};

class AC {
public:
    static constexpr uint32_t SCALE = 10000;
    static constexpr size_t TableBytes = 512;

    // Frequencies of the model for a block (not cumulated), as the encoder builds them.
    static void buildFrequencies(const unsigned char* data, size_t count, uint32_t freq[256]);

    // ---- encoding: appends to a byte vector ----
    void initialize_output_bitstream(std::vector<unsigned char>* out);
    void initialize_arithmetic_encoder(const unsigned char* data, size_t count);
    void convert_int_to_symbol(int value, SYMBOL* s) const;
    void encode_symbol(const SYMBOL* s);
    void flush_arithmetic_encoder();
    void flush_output_bitstream();
    void output_bit(int bit);
    // Bytes written to the output since initialize_output_bitstream.
    size_t bit_ftell_output() const;
    // The whole block (table, coded bits, terminator) appended to `out`.
    void encodeBlock(const unsigned char* data, size_t count, std::vector<unsigned char>& out);
    // Two independent blocks, each into its own vector, coded side by side (faster than one after the
    // other; the bytes are the same).
    void encodeBlockPair(const unsigned char* a, size_t countA, std::vector<unsigned char>& outA,
                         const unsigned char* b, size_t countB, std::vector<unsigned char>& outB);

    // ---- decoding: from a ByteSource ----
    void initialize_input_bitstream(ByteSource* in);
    void initialize_arithmetic_decoder();
    uint32_t get_current_count(SYMBOL* s);
    int convert_symbol_to_int(uint32_t count, SYMBOL* s) const;
    void remove_symbol_from_stream(const SYMBOL* s);
    int input_bit();
    // Stream position of the next block: the end of the coded bits follows from the shift count; the
    // terminator must stand there. -1 when it does not.
    int64_t bit_ftell_input();
    // Decodes `count` symbols of the block at the source's position into `out` and leaves the source at
    // the start of the next block. Throws CLasException("Unable to find stream") when the block's end
    // is not where its coded bits say, and on any other corruption.
    void decodeBlock(ByteSource& in, unsigned char* out, size_t count);

    // The coding loops use LZCNT and BMI2 where the processor has them. `true` keeps every coder on
    // portable code: single blocks go through the symbol-at-a-time entry points above (the reference
    // coder), pairs through the portable loops. The bytes are the same either way.
    static void usePortableCode(bool portable);

    // Cumulative table of the current block: symbol s occupies [low[s], high[s]).
    const uint16_t* lowCounts() const { return m_lowCount; }
    const uint16_t* highCounts() const { return m_highCount; }
    uint64_t shiftCount() const { return m_shifts; }

private:
    void cumulate(const uint32_t freq[256]);
    void narrow(uint32_t lc, uint32_t hc);

    uint32_t m_code = 0, m_lo = 0, m_hi = 0xFFFF; // 16-bit values
    int64_t m_underflow = 0;
    uint64_t m_shifts = 0;
    uint16_t m_lowCount[256] = {}, m_highCount[256] = {};
    // Symbol of every count below SCALE, for decoding.
    unsigned char m_symbolOf[SCALE] = {};

    // Output bits.
    std::vector<unsigned char>* m_out = nullptr;
    size_t m_outStart = 0;
    unsigned m_outByte = 0, m_outMask = 0x80;

    // Input bits.
    ByteSource* m_in = nullptr;
    unsigned m_inByte = 0;
    int m_inBits = 0;
    uint64_t m_codedStart = 0; // stream position of the block's first coded byte
};
