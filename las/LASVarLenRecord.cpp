#include "LASVarLenRecord.h"
#include "LasLog.h"

#include "LASPointData.h"

#include <cstring>
#include <iostream>

namespace {
bool fail(const char* field) {
    if (std::ostream* log = lasLog())
        *log << "Error: VarLenRecord::" << field;
    return false;
}
const char* fieldAt(size_t byte) {
    if (byte < 2)
        return "Reserved";
    if (byte < 18)
        return "UserID";
    if (byte < 20)
        return "RecordID";
    if (byte < 22)
        return "RecordLenAfterHeader";
    return "Description";
}
} // namespace

bool LASVarLenRecord::Read(FILE* file) {
    unsigned char h[HeaderBytes];
    size_t n = file ? std::fread(h, 1, HeaderBytes, file) : 0;
    if (n < size_t(HeaderBytes))
        return fail(fieldAt(n));
    Reserved = las_detail::loadLE<uint16_t>(h);
    std::memcpy(UserID, h + 2, 16);
    RecordID = las_detail::loadLE<uint16_t>(h + 18);
    RecordLenAfterHeader = las_detail::loadLE<uint16_t>(h + 20);
    std::memcpy(Description, h + 22, 32);
    CreateData();
    if (RecordLenAfterHeader > 0 && std::fread(Data.data(), 1, Data.size(), file) != Data.size())
        return fail("Data");
    return true;
}

bool LASVarLenRecord::Write(FILE* file) const {
    unsigned char h[HeaderBytes];
    las_detail::storeLE(h, Reserved);
    std::memcpy(h + 2, UserID, 16);
    las_detail::storeLE(h + 18, RecordID);
    las_detail::storeLE(h + 20, RecordLenAfterHeader);
    std::memcpy(h + 22, Description, 32);
    size_t n = file ? std::fwrite(h, 1, HeaderBytes, file) : 0;
    if (n < size_t(HeaderBytes))
        return fail(fieldAt(n));
    // A record whose data block was never created writes zeros, so the length it declares stays true.
    std::vector<unsigned char> zeros;
    const unsigned char* data = Data.data();
    if (Data.size() < RecordLenAfterHeader) {
        zeros.assign(RecordLenAfterHeader, 0);
        std::memcpy(zeros.data(), Data.data(), Data.size());
        data = zeros.data();
    }
    if (RecordLenAfterHeader > 0 && std::fwrite(data, 1, RecordLenAfterHeader, file) != RecordLenAfterHeader)
        return fail("Data");
    return true;
}
