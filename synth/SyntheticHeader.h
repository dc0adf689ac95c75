#pragma once
// The header block and variable-length record of a synthetic survey's LAS file.
#include "LASHeader.h"
#include "LASVarLenRecord.h"

namespace synth {

class PointGenerator;

// The public header block for the records a finished generator produced: LAS 1.2, one variable-length
// record, scale 0.01, the generator's offsets, the bounds and per-return counts of the quantised points.
LASHeader syntheticHeader(const PointGenerator& generator);

// The GeoKeyDirectory record (user "LASF_Projection", record 34735) of a projected CRS: WGS 84 / UTM
// zone 33N, metres.
LASVarLenRecord geoKeyDirectoryRecord();

} // namespace synth
