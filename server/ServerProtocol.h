#pragma once
// The point server's protocol, apart from any HTTP library: a request target in, a reply out.
//   getDatasetNames                                   one name per line, each ended by a line feed
//   getHeader/NAME                                    the LAS public header block
//   getNumberOfLevels/NAME                            4-byte little-endian level count
//   getRangeLODNormals/NAME/x0/x1/y0/y1/z0/z1/l0/l1   records of levels l0..l1 in [x0,x1)x[y0,y1)x[z0,z1)
//   getRangeNormals/NAME/x0/x1/y0/y1/z0/z1            the same over every level
//   getLODNormals/NAME/l0/l1                          every record of levels l0..l1
// Each path follows kServerBasePath; NAME is percent-encoded. Records are the LAS record followed by the
// point's unit normal as three little-endian floats.
#include "DatasetStore.h"
#include "PointServerAddress.h"
#include "RangeReader.h"

#include <memory>
#include <string>
#include <string_view>

struct Reply {
    int status = 200;
    std::string contentType = "application/octet-stream";
    std::string body;                     // the whole reply, unless `records` is set
    std::unique_ptr<RangeReader> records; // a point reply, produced while it is sent

    uint64_t length() const { return records ? records->bytes() : body.size(); }
};

// `target` is the raw request target (path and optional query, still percent-encoded). Never throws for
// any input; malformed requests get 400 and unknown paths or data sets 404, with a one-line text body.
Reply answerRequest(const DatasetStore& store, std::string_view target);

// Percent-decoding of one path segment; false for a malformed escape.
bool percentDecode(std::string_view in, std::string& out);

// A Range field against a reply of `length` bytes. Only a single byte range is honoured ("bytes=a-b",
// "bytes=a-", "bytes=-n"); several ranges, other units or malformed values ask for the whole reply.
struct ByteRange {
    enum Kind { Whole, Partial, Unsatisfiable } kind = Whole;
    uint64_t first = 0, count = 0; // the bytes [first, first + count) when Partial
};
ByteRange byteRange(std::string_view field, uint64_t length);
