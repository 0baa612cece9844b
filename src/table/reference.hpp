#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace kelvara {

// The centroids of a clustering written as a kelvara table, per length in the order the table lists its
// clusters, with their cluster numbers; or the first contradiction found, by line.
struct ReferenceTable {
    struct Length {
        std::string centroids;  // end to end
        std::vector<std::uint64_t> numbers;
    };
    std::map<std::size_t, Length> lengths;
    std::uint64_t clusters = 0;
    std::uint64_t fault_line = 0;  // 0: none
    std::string fault;
};

// `data` is the table's text after its header line (line 2 on); the columns are given by index, `cluster`
// -1 when the table has none (an older table: clusters are then told by their centroid, numbered in order).
ReferenceTable read_reference_table(std::string_view data, char separator, std::size_t header_fields,
                                    std::size_t peptide, std::size_t centroid, std::int64_t cluster);

}  // namespace kelvara
