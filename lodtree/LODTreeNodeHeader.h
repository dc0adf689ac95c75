#pragma once
// The 26-byte record in front of a simplified node's point records.
#include <cstdint>
#include <cstdio>

struct LODTreeNodeHeader {
    static constexpr int Bytes = 26;

    uint32_t numPoints = 0;
    uint32_t offsetQ2 = 0, offsetQ3 = 0, offsetQ4 = 0; // index of the first point that came from child k
    float coverage = 0;
    float defaultSplatRadius = 0;
    uint8_t subNodes = 0; // 8 quadrant 1, 4 quadrant 2, 2 quadrant 3, 1 quadrant 4
    uint8_t numSubLevels = 0;

    // Field by field, little-endian. A field that fails prints "ReadError: TreeNodeHeader:" (or
    // "WriteError: ...") and its name on the tree log, without a line break, and returns false.
    bool write(FILE* file) const;
    bool read(FILE* file);
    void setSubNodes(bool q1, bool q2, bool q3, bool q4);
};
