#include "LASThreadedDecompressor.h"

#include "LODRequest.h"
#include "ServerRetriever.h"

#include <chrono>
#include <iostream>

// The decoder's byte source: the stream buffer, read as its bytes arrive.
class LASThreadedDecompressor::Source : public ByteSource {
public:
    explicit Source(StreamBuffer& stream) : stream_(stream) {}

protected:
    size_t fill(unsigned char* out, size_t max) override { return stream_.readSome(out, max); }

private:
    StreamBuffer& stream_;
};

namespace {
constexpr auto kTick = std::chrono::milliseconds(100); // how soon a stopped thread notices

Color classificationColor(int c) {
    switch (c) {
    case 2:
        return {30000, 30000, 0};
    case 6:
        return {50000, 0, 0};
    case 7:
        return {0, 65000, 0};
    default:
        return {65000, 65000, 65000};
    }
}

// Bytes 12 to 15 of the point's record, as the plain parser copies them.
PointAttributes attributesOf(LASPoint_C& p) {
    const uint16_t intensity = p.GetIntensity();
    const uint8_t returns = uint8_t((p.GetReturnNumber() & 7) | (p.GetNumberOfReturns() & 7) << 3 |
                                    (p.GetScanDirectionFlag() & 1) << 6 | (p.GetEdgeOfFlightLine() & 1) << 7);
    return PointAttributes{uint8_t(intensity & 0xff), uint8_t(intensity >> 8), returns, p.GetClasification()};
}
} // namespace

LASThreadedDecompressor::LASThreadedDecompressor() = default;

LASThreadedDecompressor::~LASThreadedDecompressor() {
    // End any wait for bytes that will never come; the start wait notices the stop within a tick.
    stream.abort();
    Stop();
    Join();
}

void LASThreadedDecompressor::DecompressStream(unsigned char* data, size_t count, ByteSource&) {
    CLASCompressor::DecompressStream(data, count, *source_);
}

void LASThreadedDecompressor::NivojskoDeKodiranje(int* values, size_t count, bool b, ByteSource&) {
    CLASCompressor::NivojskoDeKodiranje(values, count, b, *source_);
}

void LASThreadedDecompressor::initializePointDecompressor(LASHeader* header) {
    ClearCompressor();
    file_ = std::make_unique<CLASFile_C>();
    file_->SetHeader(new LASHeader_C(*header));
    SetLasFile(file_.get());
    requestSize = -1;
}

void LASThreadedDecompressor::initializeRequest(LODRequest* r) {
    request = r;
    ClearCompressor();
    SetLasFile(file_.get());
    stream.reset();
    finished = false;
    requestSize = -1;
}

void LASThreadedDecompressor::startDecompression() {
    endSignal_.acquire(); // armed: a wait now blocks until this run ends
    startSignal_.release();
}

bool LASThreadedDecompressor::waitForDecompressionEnd() {
    while (!endSignal_.try_acquire_for(kTick))
        if (workerEnded_ || !PingThread(1))
            return false;
    endSignal_.release();
    return true;
}

void LASThreadedDecompressor::Run() {
    state = Running; // Stop() waits for the loop to end
    workerEnded_ = false;
    while (PingThread(0)) {
        if (!startSignal_.try_acquire_for(kTick))
            continue; // every wait looks at the stop request now and then
        std::cout << "Starting decompression" << std::endl;
        const int n = requestSize;
        if (n < 0) {
            std::cout << "Error, request size for decompression " << n << ", should be nonnegative."
                      << std::endl;
            finished = true;
            workerEnded_ = true;
            endSignal_.release();
            break;
        }
        std::cout << "Starting decompressor for " << n << " points." << std::endl;
        try {
            source_ = std::make_unique<Source>(stream);
            decompressPoints(*source_, n);
            LASHeader_C* h = file_->GetHeader();
            const bool colors =
                StreamReaders::loadColors && (StreamReaders::forceClassificationColors ||
                                              h->PointDataFormatID == 2 || h->PointDataFormatID == 3);
            auto& points = file_->Points();
            constexpr size_t kBatch = 256;
            Splat splats[kBatch];
            Color pointColors[kBatch];
            PointAttributes attributes[kBatch];
            for (int i = 0; i < n && request;) {
                size_t k = 0;
                for (; k < kBatch && i < n; ++k, ++i) {
                    LASPoint_C& p = *points[size_t(i)];
                    splats[k] = Splat{p.GetX(), p.GetY(), p.GetZ(), 0.0f, 0.0f, 1000.0f};
                    attributes[k] = attributesOf(p);
                    if (colors)
                        pointColors[k] = StreamReaders::forceClassificationColors
                                             ? classificationColor(p.GetClasification())
                                             : Color{p.GetRed(), p.GetGreen(), p.GetBlue()};
                }
                request->pushSplats(splats, colors ? pointColors : nullptr, attributes, k);
            }
        } catch (const std::exception& e) {
            // A corrupt or cut reply ends this run, not the viewer.
            ++failures;
            std::cout << "Decompression failed: " << e.what() << std::endl;
        }
        std::cout << "Ended decompression of " << n << " points." << std::endl;
        source_.reset();
        finished = true;
        stream.reset();
        endSignal_.release();
    }
    workerEnded_ = true;
    ShuttingDown();
}
