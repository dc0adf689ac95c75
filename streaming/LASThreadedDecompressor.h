#pragma once
// Decodes a compressed point block on its own thread while its bytes arrive, and files the points as
// splats into the tiles of a level-of-detail request, as the plain point parser does for records.
//
// One request: initializeRequest -> setRetrievalSize -> startDecompression -> pushBytes for every chunk ->
// endOfStream -> waitForDecompressionEnd.
#include "CLASCompressor.h"
#include "CThread.h"
#include "LASHeader_C.h"
#include "StreamBuffer.h"

#include <atomic>
#include <memory>
#include <semaphore>

struct LODRequest;

class LASThreadedDecompressor : public CThread, public CLASCompressor {
public:
    LASThreadedDecompressor();
    ~LASThreadedDecompressor() override;

    void Run() override;
    // Input comes from the stream buffer, whatever source the caller names.
    void DecompressStream(unsigned char* data, size_t count, ByteSource& in) override;
    void NivojskoDeKodiranje(int* values, size_t count, bool, ByteSource& in) override;

    void initializePointDecompressor(LASHeader* header);
    void initializeRequest(LODRequest* request);
    void setRetrievalSize(int n) { requestSize = n; }
    void pushBytes(const void* data, unsigned long n) { stream.pushBytes(data, n); }
    // The producer has pushed the whole reply.
    void endOfStream() { stream.setEndOfStream(); }
    void startDecompression();
    // Waits until the run ends; false when the thread was stopped or has ended first.
    bool waitForDecompressionEnd();

    StreamBuffer stream;
    std::atomic<bool> finished{false};
    LODRequest* request = nullptr;
    std::atomic<int> requestSize{-1};
    // Decoding failures of the last run (a corrupt or truncated block), for diagnostics.
    std::atomic<int> failures{0};

private:
    class Source;
    std::atomic<bool> workerEnded_{false};
    std::binary_semaphore endSignal_{1};
    std::binary_semaphore startSignal_{0};
    std::unique_ptr<Source> source_;
    std::unique_ptr<CLASFile_C> file_;
};
