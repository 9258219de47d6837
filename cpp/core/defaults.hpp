// The rank settings the compressors and the model library default to, defined once for every
// declaration that offers them (the Python layer reads them back from the signatures).
#pragma once

namespace velmora::core {

// Kept share of the rank for the truncated SVD and Tucker.
inline constexpr double kDefaultRankRatio = 0.5;
// Bond-rank cap of the tensor train, and the model library's rank cap.
inline constexpr long long kDefaultMaxRank = 8;

}  // namespace velmora::core
