#include "arrow/columns.hpp"

#include <cerrno>
#include <cstring>
#include <limits>

namespace kelvara::arrow {

namespace {

// Deeper than any table anyone hands over, and shallow enough that a schema which is its own child stops.
constexpr int kMaxDepth = 64;

std::string format_of(const ArrowSchema& s) { return s.format != nullptr ? s.format : ""; }

bool fits_add(std::int64_t a, std::int64_t b) { return b <= std::numeric_limits<std::int64_t>::max() - a; }

void check_layout(const ArrowArray& a, const char* what) {
    if (a.release == nullptr) throw Error(std::string(what) + " is released already");
    if (a.length < 0 || a.offset < 0 || a.null_count < -1 || a.n_buffers < 0 || a.n_children < 0)
        throw Error(std::string(what) + " has a negative length, offset, null count or buffer count");
    if (!fits_add(a.offset, a.length)) throw Error(std::string(what) + ": offset and length overflow");
    if (a.n_buffers > 0 && a.buffers == nullptr) throw Error(std::string(what) + " lists buffers but has none");
    if (a.n_children > 0 && a.children == nullptr) throw Error(std::string(what) + " lists children but has none");
}

template <class Int>
Int load(const void* data, std::int64_t i) {
    Int v;
    std::memcpy(&v, static_cast<const char*>(data) + i * static_cast<std::int64_t>(sizeof(Int)), sizeof(Int));
    return v;
}

// Integer element i of a buffer of the given type, widened.
__extension__ using Wide = __int128;
Wide integer_at(Type t, const void* data, std::int64_t i) {
    switch (t) {
        case Type::int8: return load<std::int8_t>(data, i);
        case Type::uint8: return load<std::uint8_t>(data, i);
        case Type::int16: return load<std::int16_t>(data, i);
        case Type::uint16: return load<std::uint16_t>(data, i);
        case Type::int32: return load<std::int32_t>(data, i);
        case Type::uint32: return load<std::uint32_t>(data, i);
        case Type::int64: return load<std::int64_t>(data, i);
        case Type::uint64: return load<std::uint64_t>(data, i);
        default: return 0;
    }
}

const char* integer_name(Type t) {
    switch (t) {
        case Type::int8: return "int8";
        case Type::uint8: return "uint8";
        case Type::int16: return "int16";
        case Type::uint16: return "uint16";
        case Type::int32: return "int32";
        case Type::uint32: return "uint32";
        case Type::int64: return "int64";
        case Type::uint64: return "uint64";
        default: return "?";
    }
}

void check_schema_at(const ArrowSchema& s, int depth) {
    if (depth > kMaxDepth) throw Error("the Arrow schema nests deeper than " + std::to_string(kMaxDepth) + " levels");
    if (s.release == nullptr) throw Error("the Arrow schema is released already");
    if (s.format == nullptr) throw Error("the Arrow schema has no format");
    if (s.n_children < 0 || (s.n_children > 0 && s.children == nullptr))
        throw Error("the Arrow schema lists children it does not have");
    for (std::int64_t k = 0; k < s.n_children; ++k) {
        if (s.children[k] == nullptr) throw Error("the Arrow schema lists children it does not have");
        check_schema_at(*s.children[k], depth + 1);
    }
    if (s.dictionary != nullptr) check_schema_at(*s.dictionary, depth + 1);
}

std::string type_name_at(const ArrowSchema& s) {
    if (s.dictionary != nullptr)
        return "dictionary<values=" + type_name_at(*s.dictionary) + ", indices=" + integer_name(type_of(s.format)) + ">";
    const std::string f = format_of(s);
    const Type t = type_of(s.format);
    if (is_integer(t)) return integer_name(t);
    switch (t) {
        case Type::float32: return "float";
        case Type::float64: return "double";
        case Type::utf8: return "string";
        case Type::large_utf8: return "large_string";
        case Type::utf8_view: return "string_view";
        case Type::decimal128: return "decimal128(" + f.substr(2) + ")";
        case Type::structure: {
            std::string out = "struct<";
            for (std::int64_t k = 0; k < s.n_children; ++k) {
                const ArrowSchema& c = *s.children[k];
                if (k > 0) out += ", ";
                out += c.name != nullptr ? c.name : "";
                out += ": " + type_name_at(c);
            }
            return out + ">";
        }
        default: break;
    }
    if (f == "b") return "bool";
    if (f == "e") return "halffloat";
    if (f == "z") return "binary";
    if (f == "Z") return "large_binary";
    if (f == "vz") return "binary_view";
    if (f == "n") return "null";
    return "Arrow format '" + f + "'";
}

}  // namespace

Type type_of(const char* format) {
    if (format == nullptr) return Type::other;
    const std::string_view f(format);
    if (f.size() == 1) {
        switch (f[0]) {
            case 'c': return Type::int8;
            case 'C': return Type::uint8;
            case 's': return Type::int16;
            case 'S': return Type::uint16;
            case 'i': return Type::int32;
            case 'I': return Type::uint32;
            case 'l': return Type::int64;
            case 'L': return Type::uint64;
            case 'f': return Type::float32;
            case 'g': return Type::float64;
            case 'u': return Type::utf8;
            case 'U': return Type::large_utf8;
            default: return Type::other;
        }
    }
    if (f == "vu") return Type::utf8_view;
    if (f == "+s") return Type::structure;
    // decimal128 is "d:P,S" or "d:P,S,128"; other bit widths are something else.
    if (f.size() > 2 && f.substr(0, 2) == "d:" && (f.find(',') == f.rfind(',') || f.substr(f.rfind(',')) == ",128"))
        return Type::decimal128;
    return Type::other;
}

bool is_integer(Type t) { return t >= Type::int8 && t <= Type::uint64; }
bool is_string(Type t) { return t == Type::utf8 || t == Type::large_utf8 || t == Type::utf8_view; }

void check_schema(const ArrowSchema& schema) { check_schema_at(schema, 0); }

std::string type_name(const ArrowSchema& schema) { return type_name_at(schema); }

Validity::Validity(const ArrowArray& array, std::int64_t offset) : offset_(offset) {
    if (array.null_count == 0 || array.n_buffers < 1) return;
    bits_ = static_cast<const std::uint8_t*>(array.buffers[0]);
    if (bits_ == nullptr && array.null_count > 0) throw Error("an Arrow array counts nulls but has no validity bitmap");
}

Slice whole(const ArrowSchema& schema, const ArrowArray& array) {
    check_layout(array, "an Arrow array");
    return Slice{&schema, &array, 0, array.length, Validity()};
}

Slice child(const Slice& table, std::size_t k) {
    const ArrowArray& a = *table.array;
    const ArrowSchema& s = *table.schema;
    if (table.parent.any()) throw Error("nested Arrow structs are not read");
    if (a.n_children != s.n_children) {
        throw Error("an Arrow batch has " + std::to_string(a.n_children) + " columns, its schema " +
                    std::to_string(s.n_children));
    }
    if (a.n_buffers < 1) throw Error("an Arrow struct array has no validity buffer");
    const ArrowArray* c = a.children[k];
    if (c == nullptr) throw Error("an Arrow batch lacks one of its columns");
    check_layout(*c, "a column of an Arrow batch");
    const std::int64_t start = a.offset + table.start;
    if (!fits_add(start, table.length) || c->length < start + table.length)
        throw Error("a column of an Arrow batch is shorter than the batch");
    return Slice{s.children[k], c, start, table.length, Validity(a, start)};
}

std::vector<std::string> column_names(const ArrowSchema& table) {
    std::vector<std::string> out;
    for (std::int64_t k = 0; k < table.n_children; ++k)
        out.emplace_back(table.children[k]->name != nullptr ? table.children[k]->name : "");
    return out;
}

StringColumn::StringColumn(const Slice& slice) {
    const ArrowSchema& s = *slice.schema;
    const ArrowArray& a = *slice.array;
    check_layout(a, "an Arrow array");
    length_ = slice.length;
    if (slice.start < 0 || length_ < 0 || !fits_add(a.offset, slice.start) || !fits_add(a.offset + slice.start, length_))
        throw Error("an Arrow slice lies outside its array");
    first_ = a.offset + slice.start;
    parent_ = slice.parent;
    auto need_buffers = [&](std::int64_t n, bool at_least = false) {
        if (at_least ? a.n_buffers < n : a.n_buffers != n) {
            throw Error("an Arrow " + type_name(s) + " array has " + std::to_string(a.n_buffers) + " buffers, not " +
                        std::to_string(n));
        }
    };

    if (s.dictionary != nullptr) {
        index_type_ = type_of(s.format);
        if (!is_integer(index_type_)) throw Error("an Arrow dictionary has indices of " + format_of(s));
        if (!is_string(type_of(s.dictionary->format)) || s.dictionary->dictionary != nullptr)
            throw TypeMismatch(type_name(s));
        need_buffers(2);
        if (a.dictionary == nullptr) throw Error("an Arrow dictionary array has no dictionary");
        own_ = Validity(a, first_);
        values_ = std::make_unique<StringColumn>(whole(*s.dictionary, *a.dictionary));
        indices_ = a.buffers[1];
        if (indices_ == nullptr && length_ > 0) throw Error("an Arrow dictionary array has no indices");
        for (std::int64_t i = 0; i < length_; ++i) {
            if (own_.null(i)) continue;
            const Wide v = integer_at(index_type_, indices_, first_ + i);
            if (v < 0 || v >= values_->size()) throw Error("an Arrow dictionary index lies outside its dictionary");
        }
        type_ = values_->type_;
        return;
    }

    type_ = type_of(s.format);
    if (!is_string(type_)) throw TypeMismatch(type_name(s));
    if (type_ == Type::utf8_view) {
        need_buffers(3, true);
        own_ = Validity(a, first_);
        const std::int64_t n_variadic = a.n_buffers - 3;
        const void* sizes = a.buffers[a.n_buffers - 1];
        if (n_variadic > 0 && sizes == nullptr) throw Error("an Arrow string view array has no buffer sizes");
        variadic_.resize(static_cast<std::size_t>(n_variadic));
        for (std::int64_t b = 0; b < n_variadic; ++b) variadic_[b] = static_cast<const char*>(a.buffers[2 + b]);
        views_ = static_cast<const std::uint8_t*>(a.buffers[1]);
        if (views_ == nullptr && length_ > 0) throw Error("an Arrow string view array has no views");
        for (std::int64_t i = 0; i < length_; ++i) {
            if (own_.null(i)) continue;
            const std::uint8_t* v = views_ + 16 * (first_ + i);
            const auto len = load<std::int32_t>(v, 0);
            if (len < 0) throw Error("an Arrow string view has a negative length");
            if (len <= 12) continue;
            const auto buffer = load<std::int32_t>(v + 8, 0);
            const auto offset = load<std::int32_t>(v + 12, 0);
            if (buffer < 0 || buffer >= n_variadic || offset < 0 || variadic_[buffer] == nullptr ||
                static_cast<std::int64_t>(offset) + len > load<std::int64_t>(sizes, buffer))
                throw Error("an Arrow string view points outside its buffers");
        }
        return;
    }
    need_buffers(3);
    own_ = Validity(a, first_);
    data_ = static_cast<const char*>(a.buffers[2]);
    std::int64_t begin = 0, end = 0;
    if (type_ == Type::utf8) {
        offsets32_ = static_cast<const std::int32_t*>(a.buffers[1]);
        if (offsets32_ == nullptr && length_ > 0) throw Error("an Arrow string array has no offsets");
        if (length_ > 0) {
            begin = load<std::int32_t>(offsets32_, first_);
            for (std::int64_t i = 0; i < length_; ++i)
                if (load<std::int32_t>(offsets32_, first_ + i + 1) < load<std::int32_t>(offsets32_, first_ + i))
                    throw Error("an Arrow string array has decreasing offsets");
            end = load<std::int32_t>(offsets32_, first_ + length_);
        }
    } else {
        offsets64_ = static_cast<const std::int64_t*>(a.buffers[1]);
        if (offsets64_ == nullptr && length_ > 0) throw Error("an Arrow large string array has no offsets");
        if (length_ > 0) {
            begin = load<std::int64_t>(offsets64_, first_);
            for (std::int64_t i = 0; i < length_; ++i)
                if (load<std::int64_t>(offsets64_, first_ + i + 1) < load<std::int64_t>(offsets64_, first_ + i))
                    throw Error("an Arrow large string array has decreasing offsets");
            end = load<std::int64_t>(offsets64_, first_ + length_);
        }
    }
    if (begin < 0) throw Error("an Arrow string array has a negative offset");
    if (end > begin && data_ == nullptr) throw Error("an Arrow string array has no data");
}

std::int64_t StringColumn::index(std::int64_t i) const {
    return static_cast<std::int64_t>(integer_at(index_type_, indices_, first_ + i));
}

bool StringColumn::null(std::int64_t i) const {
    if (own_.null(i) || parent_.null(i)) return true;
    return values_ != nullptr && values_->null(index(i));
}

std::string_view StringColumn::value(std::int64_t i) const {
    if (values_ != nullptr) return values_->value(index(i));
    const std::int64_t at = first_ + i;
    // Loads that make no assumption of alignment: the interface only recommends it.
    if (offsets32_ != nullptr) {
        const auto from = load<std::int32_t>(offsets32_, at);
        return {data_ + from, static_cast<std::size_t>(load<std::int32_t>(offsets32_, at + 1) - from)};
    }
    if (offsets64_ != nullptr) {
        const auto from = load<std::int64_t>(offsets64_, at);
        return {data_ + from, static_cast<std::size_t>(load<std::int64_t>(offsets64_, at + 1) - from)};
    }
    if (views_ != nullptr) {
        const std::uint8_t* v = views_ + 16 * at;
        const auto len = load<std::int32_t>(v, 0);
        if (len <= 12) return {reinterpret_cast<const char*>(v + 4), static_cast<std::size_t>(len)};
        return {variadic_[load<std::int32_t>(v + 8, 0)] + load<std::int32_t>(v + 12, 0), static_cast<std::size_t>(len)};
    }
    return {};
}

IntegerColumn::IntegerColumn(const Slice& slice) {
    const ArrowSchema& s = *slice.schema;
    const ArrowArray& a = *slice.array;
    check_layout(a, "an Arrow array");
    type_ = s.dictionary != nullptr ? Type::other : type_of(s.format);
    if (!is_integer(type_)) throw TypeMismatch(type_name(s));
    if (a.n_buffers != 2)
        throw Error("an Arrow " + type_name(s) + " array has " + std::to_string(a.n_buffers) + " buffers, not 2");
    length_ = slice.length;
    if (slice.start < 0 || length_ < 0 || !fits_add(a.offset, slice.start) || !fits_add(a.offset + slice.start, length_))
        throw Error("an Arrow slice lies outside its array");
    first_ = a.offset + slice.start;
    own_ = Validity(a, first_);
    parent_ = slice.parent;
    data_ = a.buffers[1];
    if (data_ == nullptr && length_ > 0) throw Error("an Arrow integer array has no data");
}

bool IntegerColumn::negative(std::int64_t i) const { return integer_at(type_, data_, first_ + i) < 0; }

std::uint64_t IntegerColumn::value(std::int64_t i) const {
    return static_cast<std::uint64_t>(integer_at(type_, data_, first_ + i));
}

std::int64_t IntegerColumn::signed_value(std::int64_t i) const {
    return static_cast<std::int64_t>(integer_at(type_, data_, first_ + i));
}

Chunks Chunks::of_stream(ArrowArrayStream* stream) {
    if (stream->release == nullptr) throw Error("the Arrow stream is released already (was it read before?)");
    Chunks c;
    c.stream_ = OwnedStream(stream);
    ArrowArrayStream* s = c.stream_.get();
    if (s->get_schema == nullptr || s->get_next == nullptr) throw Error("the Arrow stream has no callbacks");
    const int code = s->get_schema(s, c.schema_.get());
    if (code != 0) {
        const char* message = s->get_last_error != nullptr ? s->get_last_error(s) : nullptr;
        throw Error(std::string("the Arrow stream gave no schema: ") +
                    (message != nullptr ? message : std::strerror(code)));
    }
    if (c.schema_.released()) throw Error("the Arrow stream gave a released schema");
    check_schema(c.schema());
    return c;
}

Chunks Chunks::of_array(ArrowSchema* schema, ArrowArray* array) {
    if (schema->release == nullptr) throw Error("the Arrow schema is released already (was it read before?)");
    if (array->release == nullptr) throw Error("the Arrow array is released already (was it read before?)");
    Chunks c;
    c.schema_ = OwnedSchema(schema);
    c.array_ = OwnedArray(array);
    c.single_ = true;
    check_schema(c.schema());
    return c;
}

const ArrowArray* Chunks::next() {
    if (done_) return nullptr;
    if (single_) {
        done_ = true;
        return array_.get();
    }
    array_.reset();
    ArrowArrayStream* s = stream_.get();
    const int code = s->get_next(s, array_.get());
    if (code != 0) {
        const char* message = s->get_last_error != nullptr ? s->get_last_error(s) : nullptr;
        throw Error(std::string("the Arrow stream failed: ") + (message != nullptr ? message : std::strerror(code)));
    }
    if (array_.released()) {
        done_ = true;
        stream_.reset();
        return nullptr;
    }
    return array_.get();
}

}  // namespace kelvara::arrow
