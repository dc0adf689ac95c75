#pragma once
// The indexed k-nearest search as the tree stages use it (not part of the library's interface): lists
// point after point, and optionally only pairs below a per-query distance.
#include "NearestNeighbours.h"

// As knnIntIndexed, except that the k entries of query q are at q * k to q * k + k - 1, and, when
// `below` is not null, only reference points at a distance strictly below below[q] are listed (the
// rest of the list padded with UINT64_MAX and index 0).
void knnIntIndexedRows(const int32_t* reference, int referenceCount, const int32_t* query, int queryCount,
                       int dimensions, int k, const KnnDistance* below, KnnDistance* distances,
                       uint32_t* indices);
