#include "LODTreeNodeHeader.h"

#include "LodTreeLog.h"

#include <cstring>

namespace {
// Field by field so that a failure names the field; the host is little-endian like the format.
template <typename T> bool put(FILE* f, const T& v, const char* name) {
    if (f && std::fwrite(&v, sizeof v, 1, f) == 1)
        return true;
    lodTreeLog() << "WriteError: TreeNodeHeader:" << name;
    return false;
}
template <typename T> bool get(FILE* f, T& v, const char* name) {
    if (f && std::fread(&v, sizeof v, 1, f) == 1)
        return true;
    lodTreeLog() << "ReadError: TreeNodeHeader:" << name;
    return false;
}
} // namespace

bool LODTreeNodeHeader::write(FILE* f) const {
    return put(f, numPoints, "numPoints") && put(f, offsetQ2, "offsetQ2") && put(f, offsetQ3, "offsetQ3") &&
           put(f, offsetQ4, "offsetQ4") && put(f, coverage, "coverage") &&
           put(f, defaultSplatRadius, "defaultSplatRadius") && put(f, subNodes, "subNodes") &&
           put(f, numSubLevels, "numSubLevels");
}

bool LODTreeNodeHeader::read(FILE* f) {
    return get(f, numPoints, "numPoints") && get(f, offsetQ2, "offsetQ2") && get(f, offsetQ3, "offsetQ3") &&
           get(f, offsetQ4, "offsetQ4") && get(f, coverage, "coverage") &&
           get(f, defaultSplatRadius, "defaultSplatRadius") && get(f, subNodes, "subNodes") &&
           get(f, numSubLevels, "numSubLevels");
}

void LODTreeNodeHeader::setSubNodes(bool q1, bool q2, bool q3, bool q4) {
    subNodes = uint8_t((q1 ? 8 : 0) | (q2 ? 4 : 0) | (q3 ? 2 : 0) | (q4 ? 1 : 0));
}
