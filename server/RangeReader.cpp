// Range queries over the cell grid of each level. A cell strictly between the cells holding the query's
// edges can only hold matching points (cellCoord is non-decreasing in the coordinate), so only edge cells
// are tested point by point, and an axis whose range covers the data set is not tested at all.
#include "RangeReader.h"

#include "DatasetFormat.h"

#include <algorithm>
#include <cstring>

namespace {
constexpr size_t kPieceBytes = 1 << 20;
constexpr size_t kScratchBytes = 256 << 10;
} // namespace

RangeReader::RangeReader(std::shared_ptr<const Dataset> dataset, const RangeQuery& query)
    : dataset_(std::move(dataset)), q_(query) {
    const DatasetInfo& info = dataset_->info;
    const double* b = info.bounds;
    const bool testX = !(q_.minX <= b[0] && q_.maxX > b[1]);
    const bool testY = !(q_.minY <= b[2] && q_.maxY > b[3]);
    const bool testZ = !(q_.minZ <= b[4] && q_.maxZ > b[5]);
    const bool empty = !(q_.minX < q_.maxX && q_.minY < q_.maxY && q_.minZ < q_.maxZ);
    const int last = std::min<int>(q_.lastLevel, int(dataset_->levels.size()) - 1);
    for (int l = std::max(0, q_.firstLevel); !empty && l <= last; ++l) {
        const ServedLevel& lv = dataset_->levels[size_t(l)];
        const DatasetLevel& g = lv.grid;
        const uint32_t cx0 = cellCoord(q_.minX, g.originX, g.cell, g.gridX);
        const uint32_t cx1 = cellCoord(q_.maxX, g.originX, g.cell, g.gridX);
        const uint32_t cy0 = cellCoord(q_.minY, g.originY, g.cell, g.gridY);
        const uint32_t cy1 = cellCoord(q_.maxY, g.originY, g.cell, g.gridY);
        for (uint32_t cy = cy0; cy <= cy1; ++cy) {
            const uint64_t row = uint64_t(cy) * g.gridX;
            const bool edgeRow = testY && (cy == cy0 || cy == cy1);
            if (edgeRow || testZ || !testX || cx1 - cx0 < 2) {
                addRun(lv, lv.cellStart(row + cx0), lv.cellStart(row + cx1 + 1), edgeRow || testZ || testX);
                continue;
            }
            addRun(lv, lv.cellStart(row + cx0), lv.cellStart(row + cx0 + 1), true);
            addRun(lv, lv.cellStart(row + cx0 + 1), lv.cellStart(row + cx1), false);
            addRun(lv, lv.cellStart(row + cx1), lv.cellStart(row + cx1 + 1), true);
        }
    }
    const size_t stride = info.recordLength;
    for (const Run& r : runs_) {
        if (!r.filter) {
            points_ += r.end - r.first;
            continue;
        }
        const unsigned char* p = r.level->records.data() + r.first * stride;
        for (uint64_t i = r.first; i < r.end; ++i, p += stride)
            points_ += matches(p);
    }
    if (!runs_.empty())
        at_ = runs_[0].first;
}

void RangeReader::addRun(const ServedLevel& level, uint64_t first, uint64_t end, bool filter) {
    if (first >= end)
        return;
    if (!runs_.empty()) {
        Run& prev = runs_.back();
        if (prev.level == &level && prev.end == first && prev.filter == filter) {
            prev.end = end;
            return;
        }
    }
    runs_.push_back(Run{&level, first, end, filter});
}

bool RangeReader::matches(const unsigned char* record) const {
    const double* s = dataset_->scale;
    const double* o = dataset_->offset;
    const double x = worldCoord(record, 0, s[0], o[0]);
    const double y = worldCoord(record, 1, s[1], o[1]);
    const double z = worldCoord(record, 2, s[2], o[2]);
    return x >= q_.minX && x < q_.maxX && y >= q_.minY && y < q_.maxY && z >= q_.minZ && z < q_.maxZ;
}

std::span<const unsigned char> RangeReader::next() {
    const size_t stride = dataset_->info.recordLength;
    while (run_ < runs_.size()) {
        const Run& r = runs_[run_];
        const unsigned char* base = r.level->records.data();
        if (!r.filter) {
            const uint64_t count = std::min<uint64_t>(r.end - at_, std::max<size_t>(1, kPieceBytes / stride));
            std::span<const unsigned char> piece(base + at_ * stride, count * stride);
            at_ += count;
            if (at_ == r.end && ++run_ < runs_.size())
                at_ = runs_[run_].first;
            return piece;
        }
        scratch_.resize(std::max(kScratchBytes, stride));
        size_t used = 0;
        while (at_ < r.end && used + stride <= scratch_.size()) {
            const unsigned char* p = base + at_ * stride;
            if (matches(p)) {
                std::memcpy(scratch_.data() + used, p, stride);
                used += stride;
            }
            ++at_;
        }
        if (at_ == r.end && ++run_ < runs_.size())
            at_ = runs_[run_].first;
        if (used > 0)
            return {scratch_.data(), used};
    }
    return {};
}
