#pragma once

#include <memory>

#include "arrow/c_data.hpp"
#include "arrow/export.hpp"

namespace kelvara::arrow {

// The table with its columns in the types a consumer asks for, where they hold the same values: strings
// as string, large_string or string_view; integers as any integer type every value fits; float64 as
// float32. `requested` must be a struct of the same columns in the same order. Columns already of the
// type asked for are shared, not copied. Throws Error naming the first column that cannot be given so.
std::shared_ptr<const Table> cast_table(std::shared_ptr<const Table> table, const ArrowSchema& requested);

}  // namespace kelvara::arrow
