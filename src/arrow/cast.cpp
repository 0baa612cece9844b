#include "arrow/cast.hpp"

#include <cstring>
#include <limits>
#include <string_view>

#include "arrow/columns.hpp"

namespace kelvara::arrow {

namespace {

__extension__ using Wide = __int128;

void no_release(ArrowArray*) {}
void no_release_schema(ArrowSchema*) {}

// A column of ours seen through the structs a consumer would see, to be read by the column readers.
struct View {
    ArrowSchema schema{};
    ArrowArray array{};

    View(const Column& c, std::int64_t rows) {
        schema.format = c.format.c_str();
        schema.name = c.name.c_str();
        schema.release = no_release_schema;
        array.length = rows;
        array.n_buffers = static_cast<std::int64_t>(c.buffers.size());
        array.buffers = const_cast<const void**>(c.buffers.data());
        array.release = no_release;
    }
    Slice slice() const { return whole(schema, array); }
};

std::string shown(const std::string& name) { return "'" + name + "'"; }

Column strings_as(Table& out, const Column& c, std::int64_t rows, Type to) {
    const View view(c, rows);
    const StringColumn in(view.slice());
    Column made{c.name, to == Type::utf8 ? "u" : to == Type::large_utf8 ? "U" : "vu", {nullptr}};
    if (to == Type::utf8_view) {
        // Views into one data buffer: short strings inline, longer ones by offset.
        std::vector<std::uint8_t> views(static_cast<std::size_t>(rows) * 16, 0);
        std::string data;
        for (std::int64_t i = 0; i < rows; ++i) {
            const std::string_view s = in.value(i);
            std::uint8_t* v = views.data() + 16 * i;
            if (s.size() > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max()) ||
                data.size() > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max()) - s.size())
                throw Error("column " + shown(c.name) + " is too large for string_view");
            const auto len = static_cast<std::int32_t>(s.size());
            std::memcpy(v, &len, 4);
            if (s.size() <= 12) {
                std::memcpy(v + 4, s.data(), s.size());
            } else {
                const std::int32_t buffer = 0;
                const auto offset = static_cast<std::int32_t>(data.size());
                std::memcpy(v + 4, s.data(), 4);
                std::memcpy(v + 8, &buffer, 4);
                std::memcpy(v + 12, &offset, 4);
                data.append(s);
            }
        }
        made.buffers.push_back(out.keep(std::move(views)));
        if (!data.empty()) {
            const std::int64_t size = static_cast<std::int64_t>(data.size());
            made.buffers.push_back(out.keep(std::move(data)));
            made.buffers.push_back(out.keep(std::vector<std::int64_t>{size}));
        } else {
            made.buffers.push_back(out.keep(std::vector<std::int64_t>{}));
        }
        return made;
    }
    std::string data;
    std::vector<std::int64_t> offsets{0};
    offsets.reserve(static_cast<std::size_t>(rows) + 1);
    for (std::int64_t i = 0; i < rows; ++i) {
        data.append(in.value(i));
        offsets.push_back(static_cast<std::int64_t>(data.size()));
    }
    if (to == Type::utf8) {
        if (data.size() > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max()))
            throw Error("column " + shown(c.name) + " holds more than 2**31 - 1 bytes, too many for string");
        std::vector<std::int32_t> narrow(offsets.begin(), offsets.end());
        made.buffers.push_back(out.keep(std::move(narrow)));
    } else {
        made.buffers.push_back(out.keep(std::move(offsets)));
    }
    made.buffers.push_back(out.keep(std::move(data)));
    return made;
}

template <class Int>
const void* narrowed(Table& out, const std::vector<Wide>& values) {
    std::vector<Int> data(values.size());
    for (std::size_t i = 0; i < values.size(); ++i) data[i] = static_cast<Int>(values[i]);
    return out.keep(std::move(data));
}

std::string decimal_text(Wide v) {
    if (v == 0) return "0";
    const bool negative = v < 0;
    std::string digits;
    for (; v != 0; v /= 10) digits.insert(digits.begin(), static_cast<char>('0' + static_cast<int>(negative ? -(v % 10) : v % 10)));
    return negative ? "-" + digits : digits;
}

Column integers_as(Table& out, const Column& c, std::int64_t rows, Type from, Type to, const char* format,
                   const std::string& to_name) {
    std::vector<Wide> values(static_cast<std::size_t>(rows));
    if (from == Type::decimal128) {
        for (std::int64_t i = 0; i < rows; ++i)
            std::memcpy(&values[i], static_cast<const char*>(c.buffers[1]) + 16 * i, 16);
    } else {
        const View view(c, rows);
        const IntegerColumn in(view.slice());
        for (std::int64_t i = 0; i < rows; ++i)
            values[i] = in.negative(i) ? Wide{in.signed_value(i)} : Wide{in.value(i)};
    }
    Wide low = 0, high = 0;
    switch (to) {
        case Type::int8: low = INT8_MIN, high = INT8_MAX; break;
        case Type::uint8: high = UINT8_MAX; break;
        case Type::int16: low = INT16_MIN, high = INT16_MAX; break;
        case Type::uint16: high = UINT16_MAX; break;
        case Type::int32: low = INT32_MIN, high = INT32_MAX; break;
        case Type::uint32: high = UINT32_MAX; break;
        case Type::int64: low = INT64_MIN, high = INT64_MAX; break;
        default: high = UINT64_MAX; break;
    }
    for (std::int64_t i = 0; i < rows; ++i)
        if (values[i] < low || values[i] > high)
            throw Error("column " + shown(c.name) + " holds " + decimal_text(values[i]) + " (row " + std::to_string(i) +
                        "), which does not fit " + to_name);
    Column made{c.name, format, {nullptr}};
    switch (to) {
        case Type::int8: made.buffers.push_back(narrowed<std::int8_t>(out, values)); break;
        case Type::uint8: made.buffers.push_back(narrowed<std::uint8_t>(out, values)); break;
        case Type::int16: made.buffers.push_back(narrowed<std::int16_t>(out, values)); break;
        case Type::uint16: made.buffers.push_back(narrowed<std::uint16_t>(out, values)); break;
        case Type::int32: made.buffers.push_back(narrowed<std::int32_t>(out, values)); break;
        case Type::uint32: made.buffers.push_back(narrowed<std::uint32_t>(out, values)); break;
        case Type::int64: made.buffers.push_back(narrowed<std::int64_t>(out, values)); break;
        default: made.buffers.push_back(narrowed<std::uint64_t>(out, values)); break;
    }
    return made;
}

Column floats_as_float32(Table& out, const Column& c, std::int64_t rows) {
    std::vector<float> data(static_cast<std::size_t>(rows));
    const auto* in = static_cast<const double*>(c.buffers[1]);
    for (std::int64_t i = 0; i < rows; ++i) data[i] = static_cast<float>(in[i]);
    return Column{c.name, "f", {nullptr, out.keep(std::move(data))}};
}

}  // namespace

std::shared_ptr<const Table> cast_table(std::shared_ptr<const Table> table, const ArrowSchema& requested) {
    check_schema(requested);
    const auto names = [](const std::vector<std::string>& all) {
        std::string out;
        for (const auto& n : all) out += (out.empty() ? "" : ", ") + n;
        return "(" + out + ")";
    };
    std::vector<std::string> ours;
    for (const Column& c : table->columns) ours.push_back(c.name);
    if (type_of(requested.format) != Type::structure)
        throw Error("the requested schema is " + type_name(requested) + ", not a struct of the columns " + names(ours));
    const std::vector<std::string> asked = column_names(requested);
    if (asked != ours)
        throw Error("the requested schema has the columns " + names(asked) + ", this table " + names(ours));

    auto out = std::make_shared<Table>();
    out->rows = table->rows;
    out->storage.push_back(table);  // shared columns point into it
    for (std::size_t k = 0; k < table->columns.size(); ++k) {
        const Column& c = table->columns[k];
        const ArrowSchema& want = *requested.children[k];
        const std::string wanted_format = want.format;
        if (want.dictionary == nullptr && wanted_format == c.format) {
            out->columns.push_back(c);
            continue;
        }
        const Type from = type_of(c.format.c_str());
        const Type to = want.dictionary != nullptr ? Type::other : type_of(want.format);
        if (is_string(from) && is_string(to)) {
            out->columns.push_back(strings_as(*out, c, table->rows, to));
        } else if ((is_integer(from) || from == Type::decimal128) && is_integer(to)) {
            out->columns.push_back(integers_as(*out, c, table->rows, from, to, want.format, type_name(want)));
        } else if (from == Type::float64 && to == Type::float32) {
            out->columns.push_back(floats_as_float32(*out, c, table->rows));
        } else {
            ArrowSchema ours_schema{};
            ours_schema.format = c.format.c_str();
            throw Error("column " + shown(c.name) + " is " + type_name(ours_schema) + " and cannot be given as " +
                        type_name(want));
        }
    }
    return out;
}

}  // namespace kelvara::arrow
