#pragma once

#include <memory>

#include "arrow/export.hpp"
#include "table/clusters.hpp"
#include "table/peptide_table.hpp"

namespace kelvara::arrow {

// The clustered peptides as the command line's table: one row per clustered peptide in its row order,
// with the columns peptide (string), length (uint32), count (uint64), cluster (uint32), centroid (string),
// similarity (double), cluster_members (uint32) and cluster_count (uint64; decimal128(38, 0) when some
// cluster's summed count passes 2**64 - 1). Both string columns are large_string when one holds more than
// 2**31 - 1 bytes. An assignment's table has a last column, origin (string): "reference" or "new".
std::shared_ptr<const Table> cluster_table(const PeptideTable& table, const Assignment& assignment,
                                           const ClusterOrder& order);

}  // namespace kelvara::arrow
