#pragma once

// Reading Arrow columns handed over through the C data interface: the structs are checked before any
// buffer is read, so that a malformed array is an error and never a read out of bounds (as far as the
// interface lets anyone tell: it gives no buffer sizes, so offsets are checked for order, views against
// the sizes they list).

#include <cstddef>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "arrow/c_data.hpp"

namespace kelvara::arrow {

// Data that cannot be read: malformed structs, a producer that fails. The binding raises it as ValueError.
struct Error : std::runtime_error {
    using std::runtime_error::runtime_error;
};
// A column of a type that cannot stand for what is asked of it; raised as TypeError.
struct TypeMismatch : Error {
    using Error::Error;
};

// Releases what it holds unless it has been moved on; moving a struct out of a producer's marks the
// producer's released, as the interface has consumers do.
template <class T>
class Owned {
public:
    Owned() = default;
    explicit Owned(T* from) : value_(*from) { from->release = nullptr; }
    Owned(Owned&& o) noexcept : value_(o.value_) { o.value_.release = nullptr; }
    Owned& operator=(Owned&& o) noexcept {
        if (this != &o) {
            reset();
            value_ = o.value_;
            o.value_.release = nullptr;
        }
        return *this;
    }
    Owned(const Owned&) = delete;
    Owned& operator=(const Owned&) = delete;
    ~Owned() { reset(); }

    T* get() { return &value_; }
    const T* get() const { return &value_; }
    T* operator->() { return &value_; }
    const T* operator->() const { return &value_; }
    bool released() const { return value_.release == nullptr; }
    void reset() {
        if (value_.release != nullptr) value_.release(&value_);
        value_.release = nullptr;
    }

private:
    T value_{};
};

using OwnedSchema = Owned<ArrowSchema>;
using OwnedArray = Owned<ArrowArray>;
using OwnedStream = Owned<ArrowArrayStream>;

enum class Type {
    other,
    int8, uint8, int16, uint16, int32, uint32, int64, uint64,
    float32, float64,
    utf8, large_utf8, utf8_view,
    decimal128,
    structure,
};

Type type_of(const char* format);
bool is_integer(Type t);
bool is_string(Type t);
// The type as messages name it, as pyarrow does ("string", "large_string", "int64",
// "dictionary<values=string, indices=int32>", "struct<a: string, b: int64>"), from a checked schema.
std::string type_name(const ArrowSchema& schema);
// Throws Error unless the schema tree is well formed: a format, children where it says, no cycles deeper
// than a bound.
void check_schema(const ArrowSchema& schema);

// A validity bitmap seen from one array: row i is null when its bit is clear. No bitmap: no nulls.
class Validity {
public:
    Validity() = default;
    Validity(const ArrowArray& array, std::int64_t offset);
    bool null(std::int64_t i) const {
        if (bits_ == nullptr) return false;
        const std::int64_t at = offset_ + i;
        return ((bits_[at >> 3] >> (at & 7)) & 1) == 0;
    }
    bool any() const { return bits_ != nullptr; }

private:
    const std::uint8_t* bits_ = nullptr;
    std::int64_t offset_ = 0;
};

// `length` rows of an array from row `start` on (the offset of a parent struct), checked. `parent` holds
// the nulls of an enclosing struct, whose null rows count as null here too.
struct Slice {
    const ArrowSchema* schema;
    const ArrowArray* array;
    std::int64_t start = 0;
    std::int64_t length = 0;
    Validity parent;
};
// The whole of an array.
Slice whole(const ArrowSchema& schema, const ArrowArray& array);
// Column k of a struct slice.
Slice child(const Slice& table, std::size_t k);

// A string column's rows: null, or UTF-8 bytes (not checked: they are shown as they are).
// Strings, large strings, string views and dictionaries of any of them with integer indices.
class StringColumn {
public:
    explicit StringColumn(const Slice& slice);
    std::int64_t size() const { return length_; }
    bool null(std::int64_t i) const;
    std::string_view value(std::int64_t i) const;

private:
    Type type_ = Type::other;
    std::int64_t length_ = 0;
    std::int64_t first_ = 0;  // the array's own offset plus the slice's start
    Validity own_, parent_;
    const std::int32_t* offsets32_ = nullptr;
    const std::int64_t* offsets64_ = nullptr;
    const char* data_ = nullptr;
    const std::uint8_t* views_ = nullptr;
    std::vector<const char*> variadic_;
    // A dictionary: integer indices here, values in `values_`.
    Type index_type_ = Type::other;
    const void* indices_ = nullptr;
    std::unique_ptr<StringColumn> values_;

    std::int64_t index(std::int64_t i) const;
};

// An integer column's rows, any width and signedness.
class IntegerColumn {
public:
    explicit IntegerColumn(const Slice& slice);
    std::int64_t size() const { return length_; }
    bool null(std::int64_t i) const { return own_.null(i) || parent_.null(i); }
    bool negative(std::int64_t i) const;
    // The value of a row that is not negative.
    std::uint64_t value(std::int64_t i) const;
    // The value of a negative row.
    std::int64_t signed_value(std::int64_t i) const;

private:
    Type type_ = Type::other;
    std::int64_t length_ = 0;
    std::int64_t first_ = 0;
    Validity own_, parent_;
    const void* data_ = nullptr;
};

// The chunks of one Arrow source, in order: the arrays of a stream, or a single array. The source's
// structs are moved in on construction (the producer's are marked released) and released by this.
class Chunks {
public:
    static Chunks of_stream(ArrowArrayStream* stream);
    static Chunks of_array(ArrowSchema* schema, ArrowArray* array);

    const ArrowSchema& schema() const { return *schema_.get(); }
    // The next chunk, or nullptr after the last; it stays valid until the next call.
    const ArrowArray* next();

private:
    Chunks() = default;
    OwnedSchema schema_;
    OwnedStream stream_;
    OwnedArray array_;
    bool single_ = false;
    bool done_ = false;
};

// The names of a struct's columns, as given (a column without a name is "").
std::vector<std::string> column_names(const ArrowSchema& table);

}  // namespace kelvara::arrow
