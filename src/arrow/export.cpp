#include "arrow/export.hpp"

#include <cerrno>
#include <new>

namespace kelvara::arrow {

namespace {

alignas(64) const std::uint64_t kEmpty[8] = {};

// What a schema given out owns: its texts and its children.
struct SchemaPrivate {
    std::string format, name;
    std::vector<ArrowSchema> child_structs;
    std::vector<ArrowSchema*> children;
};

void release_schema(ArrowSchema* s) {
    if (s == nullptr || s->release == nullptr) return;
    auto* p = static_cast<SchemaPrivate*>(s->private_data);
    // A consumer may have moved a child out; it then releases that child itself.
    for (ArrowSchema* c : p->children)
        if (c->release != nullptr) c->release(c);
    delete p;
    s->release = nullptr;
}

void fill_schema(ArrowSchema* out, std::string format, std::string name, std::size_t n_children) {
    auto p = std::make_unique<SchemaPrivate>();
    p->format = std::move(format);
    p->name = std::move(name);
    p->child_structs.resize(n_children);
    for (ArrowSchema& c : p->child_structs) p->children.push_back(&c);
    *out = ArrowSchema{};
    out->format = p->format.c_str();
    out->name = p->name.c_str();
    out->metadata = nullptr;
    out->flags = 0;
    out->n_children = static_cast<std::int64_t>(n_children);
    out->children = n_children > 0 ? p->children.data() : nullptr;
    out->dictionary = nullptr;
    out->release = release_schema;
    out->private_data = p.release();
}

// What an array given out owns: a share of the table, its buffer list and its children.
struct ArrayPrivate {
    std::shared_ptr<const Table> table;
    std::vector<const void*> buffers;
    std::vector<ArrowArray> child_structs;
    std::vector<ArrowArray*> children;
};

void release_array(ArrowArray* a) {
    if (a == nullptr || a->release == nullptr) return;
    auto* p = static_cast<ArrayPrivate*>(a->private_data);
    for (ArrowArray* c : p->children)
        if (c->release != nullptr) c->release(c);
    delete p;
    a->release = nullptr;
}

void fill_array(ArrowArray* out, std::shared_ptr<const Table> table, std::vector<const void*> buffers,
                std::size_t n_children) {
    auto p = std::make_unique<ArrayPrivate>();
    p->table = std::move(table);
    p->buffers = std::move(buffers);
    p->child_structs.resize(n_children);
    for (ArrowArray& c : p->child_structs) p->children.push_back(&c);
    *out = ArrowArray{};
    out->length = p->table->rows;
    out->null_count = 0;
    out->offset = 0;
    out->n_buffers = static_cast<std::int64_t>(p->buffers.size());
    out->n_children = static_cast<std::int64_t>(n_children);
    out->buffers = p->buffers.data();
    out->children = n_children > 0 ? p->children.data() : nullptr;
    out->dictionary = nullptr;
    out->release = release_array;
    out->private_data = p.release();
}

void export_batch(const std::shared_ptr<const Table>& table, ArrowArray* out) {
    fill_array(out, table, {nullptr}, table->columns.size());
    auto* p = static_cast<ArrayPrivate*>(out->private_data);
    try {
        for (std::size_t k = 0; k < table->columns.size(); ++k)
            fill_array(p->children[k], table, table->columns[k].buffers, 0);
    } catch (...) {
        release_array(out);
        throw;
    }
}

struct StreamPrivate {
    std::shared_ptr<const Table> table;
    bool given = false;
    std::string error;
};

// The callbacks report failure by errno codes; nothing is thrown across them.
int stream_schema(ArrowArrayStream* s, ArrowSchema* out) {
    auto* p = static_cast<StreamPrivate*>(s->private_data);
    try {
        export_schema(*p->table, out);
        return 0;
    } catch (const std::bad_alloc&) {
        p->error = "out of memory";
        return ENOMEM;
    } catch (...) {
        p->error = "the schema could not be made";
        return EIO;
    }
}

int stream_next(ArrowArrayStream* s, ArrowArray* out) {
    auto* p = static_cast<StreamPrivate*>(s->private_data);
    try {
        if (p->given || p->table->rows == 0) {
            *out = ArrowArray{};
            out->release = nullptr;  // the end of the stream
            return 0;
        }
        export_batch(p->table, out);
        p->given = true;
        return 0;
    } catch (const std::bad_alloc&) {
        p->error = "out of memory";
        return ENOMEM;
    } catch (...) {
        p->error = "the batch could not be made";
        return EIO;
    }
}

const char* stream_error(ArrowArrayStream* s) {
    const auto* p = static_cast<StreamPrivate*>(s->private_data);
    return p->error.empty() ? nullptr : p->error.c_str();
}

void stream_release(ArrowArrayStream* s) {
    if (s == nullptr || s->release == nullptr) return;
    delete static_cast<StreamPrivate*>(s->private_data);
    s->release = nullptr;
}

}  // namespace

const void* empty_buffer() { return kEmpty; }

void export_schema(const Table& table, ArrowSchema* out) {
    fill_schema(out, "+s", "", table.columns.size());
    auto* p = static_cast<SchemaPrivate*>(out->private_data);
    try {
        for (std::size_t k = 0; k < table.columns.size(); ++k)
            fill_schema(p->children[k], table.columns[k].format, table.columns[k].name, 0);
    } catch (...) {
        release_schema(out);
        throw;
    }
}

void export_stream(std::shared_ptr<const Table> table, ArrowArrayStream* out) {
    auto p = std::make_unique<StreamPrivate>();
    p->table = std::move(table);
    *out = ArrowArrayStream{};
    out->get_schema = stream_schema;
    out->get_next = stream_next;
    out->get_last_error = stream_error;
    out->release = stream_release;
    out->private_data = p.release();
}

}  // namespace kelvara::arrow
