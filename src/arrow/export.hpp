#pragma once

// Tables made here, handed out through the C stream interface without copying: every array and schema
// given out keeps the table alive through a shared pointer of its own, so a consumer may release the
// stream, the batches and their columns in any order, from any thread.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "arrow/c_data.hpp"

namespace kelvara::arrow {

// One column: its name, its Arrow format and its buffers as the interface lists them (the validity
// bitmap first; nullptr for none, as no column made here has nulls).
struct Column {
    std::string name;
    std::string format;
    std::vector<const void*> buffers;
};

// Columns of equal length, and whatever their buffers point into.
struct Table {
    std::int64_t rows = 0;
    std::vector<Column> columns;
    std::vector<std::shared_ptr<const void>> storage;

    // Moves a buffer into the table's storage; returns where its data now lies (never nullptr).
    template <class T>
    const T* keep(std::vector<T> data);
    template <class T>
    const T* keep(std::basic_string<T> data);
};

// A well-defined address for empty buffers, which consumers may read nothing from but must not see NULL.
const void* empty_buffer();

// Fills `out` (uninitialised) with a stream of the table as struct batches: one batch holding every row,
// none for an empty table.
void export_stream(std::shared_ptr<const Table> table, ArrowArrayStream* out);
// Fills `out` with the table's schema (a struct of its columns, none nullable).
void export_schema(const Table& table, ArrowSchema* out);

template <class T>
const T* Table::keep(std::vector<T> data) {
    if (data.empty()) return static_cast<const T*>(empty_buffer());
    auto owned = std::make_shared<const std::vector<T>>(std::move(data));
    const T* at = owned->data();
    storage.push_back(std::move(owned));
    return at;
}

template <class T>
const T* Table::keep(std::basic_string<T> data) {
    if (data.empty()) return static_cast<const T*>(empty_buffer());
    auto owned = std::make_shared<const std::basic_string<T>>(std::move(data));
    const T* at = owned->data();
    storage.push_back(std::move(owned));
    return at;
}

}  // namespace kelvara::arrow
