#pragma once
// Builds LAS files byte by byte, with the quirks real files have: extra bytes per record, bytes between
// the records and the points, records that run into the point data, a long header.
#include "LASHeader.h"
#include "LASPointData.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <numeric>
#include <string>
#include <vector>

struct LasBuilder {
    int format = 1;
    uint32_t points = 10;
    int extraPerPoint = 0;
    int headerExtra = 0;         // bytes of header beyond the 227-byte block
    int gap = 0;                 // bytes between the records and the points
    std::vector<int> vlrLengths; // data length of each variable-length record
    uint8_t versionMinor = 2;

    // Point i's fields: distinct, exercising sign, flags and full ranges.
    static las_detail::PointFields pointFields(uint32_t i) {
        las_detail::PointFields f;
        f.X = int32_t(i * 1000003u - 5000000u), f.Y = -int32_t(i * 7919u) + 123,
        f.Z = int32_t(i % 9000) * 3 - 1000;
        f.intensity = uint16_t(i * 37), f.returnByte = uint8_t(i * 29), f.classification = uint8_t(i * 13);
        f.scanAngleRank = int8_t(int(i % 181) - 90), f.userData = uint8_t(i * 7),
        f.pointSourceID = uint16_t(i * 101);
        f.setGpsTime(1000.0 + i * 0.25);
        f.red = uint16_t(i * 257), f.green = uint16_t(65535 - i), f.blue = uint16_t(i * 3);
        return f;
    }

    int recordLength() const { return las_detail::formatSize(format) + extraPerPoint; }
    uint32_t vlrBytes() const {
        return uint32_t(54 * vlrLengths.size() + std::reduce(vlrLengths.begin(), vlrLengths.end()));
    }
    uint32_t offsetToPoints() const { return 227 + headerExtra + vlrBytes() + gap; }

    LASHeader header() const {
        LASHeader h;
        std::memcpy(h.FileSignature, "LASF", 4), std::memcpy(h.GUIDdata4, "ABCDEFGH", 8);
        h.FileSourceID = 7, h.GlobalEncoding = 1, h.GUIDdata1 = 0x01020304;
        h.VersionMajor = 1, h.VersionMinor = versionMinor;
        std::strcpy(h.SystemIdentifier, "test system"), std::strcpy(h.GeneratingSoftware, "test builder");
        h.FileCreationDay = 100, h.FileCreationYear = 2020;
        h.HeaderSize = uint16_t(227 + headerExtra), h.OffsetToPointData = offsetToPoints();
        h.NumberOfVariableLengthRecords = uint32_t(vlrLengths.size());
        h.PointDataFormatID = uint8_t(format), h.PointDataRecordLength = uint16_t(recordLength());
        h.NumberOfPointRecords = points, h.NumberOfPointsByReturn[0] = points;
        h.ScaleFactor_X = h.ScaleFactor_Y = h.ScaleFactor_Z = 0.01;
        h.OffsetX = 640000, h.OffsetY = 5270000, h.OffsetZ = 100;
        h.Max_X = h.Max_Y = h.Max_Z = 1, h.Min_X = h.Min_Y = h.Min_Z = 0;
        return h;
    }

    std::vector<unsigned char> bytes() const {
        std::vector<unsigned char> out(227);
        header().copyToBuffer(out.data());
        for (int i = 0; i < headerExtra; ++i)
            out.push_back(uint8_t(0xE0 + i));
        for (size_t v = 0; v < vlrLengths.size(); ++v) {
            unsigned char h[54] = {};
            const std::string user = "user" + std::to_string(v), desc = "record " + std::to_string(v);
            las_detail::storeLE<uint16_t>(h, 0xAABB), std::memcpy(h + 2, user.data(), user.size());
            las_detail::storeLE<uint16_t>(h + 18, uint16_t(1000 + v));
            las_detail::storeLE<uint16_t>(h + 20, uint16_t(vlrLengths[v]));
            std::memcpy(h + 22, desc.data(), desc.size());
            out.insert(out.end(), h, h + 54);
            for (int i = 0; i < vlrLengths[v]; ++i)
                out.push_back(uint8_t(v * 31 + i));
        }
        for (int i = 0; i < gap; ++i)
            out.push_back(uint8_t(0xC0 ^ i));
        for (uint32_t i = 0; i < points; ++i) {
            unsigned char rec[64] = {};
            const auto f = pointFields(i);
            format == 0   ? f.pack<0>(rec)
            : format == 1 ? f.pack<1>(rec)
            : format == 2 ? f.pack<2>(rec)
                          : f.pack<3>(rec);
            for (int e = 0; e < extraPerPoint; ++e)
                rec[las_detail::formatSize(format) + e] = uint8_t(0x55 + i + e);
            out.insert(out.end(), rec, rec + recordLength());
        }
        return out;
    }
};
