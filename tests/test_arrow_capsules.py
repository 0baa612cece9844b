"""The Arrow C data interface at the capsule level: structs made by hand with ctypes, well formed and not, read
by cluster_peptides; and the streams kelvara hands out, taken apart as a consumer would. Every struct
handed over is released exactly once, whatever happens, and nothing handed out outlives its last owner."""

import ctypes
import gc
import os
import struct
import sys

import polars as pl
import pyarrow as pa
import pytest

import kelvara


class ArrowSchema(ctypes.Structure):
    pass


class ArrowArray(ctypes.Structure):
    pass


class ArrowArrayStream(ctypes.Structure):
    pass


SCHEMA_RELEASE = ctypes.CFUNCTYPE(None, ctypes.POINTER(ArrowSchema))
ARRAY_RELEASE = ctypes.CFUNCTYPE(None, ctypes.POINTER(ArrowArray))
GET_SCHEMA = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.POINTER(ArrowArrayStream), ctypes.POINTER(ArrowSchema))
GET_NEXT = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.POINTER(ArrowArrayStream), ctypes.POINTER(ArrowArray))
GET_ERROR = ctypes.CFUNCTYPE(ctypes.c_void_p, ctypes.POINTER(ArrowArrayStream))
STREAM_RELEASE = ctypes.CFUNCTYPE(None, ctypes.POINTER(ArrowArrayStream))

ArrowSchema._fields_ = [
    ("format", ctypes.c_char_p), ("name", ctypes.c_char_p), ("metadata", ctypes.c_char_p),
    ("flags", ctypes.c_int64), ("n_children", ctypes.c_int64),
    ("children", ctypes.POINTER(ctypes.POINTER(ArrowSchema))), ("dictionary", ctypes.POINTER(ArrowSchema)),
    ("release", SCHEMA_RELEASE), ("private_data", ctypes.c_void_p)]
ArrowArray._fields_ = [
    ("length", ctypes.c_int64), ("null_count", ctypes.c_int64), ("offset", ctypes.c_int64),
    ("n_buffers", ctypes.c_int64), ("n_children", ctypes.c_int64), ("buffers", ctypes.POINTER(ctypes.c_void_p)),
    ("children", ctypes.POINTER(ctypes.POINTER(ArrowArray))), ("dictionary", ctypes.POINTER(ArrowArray)),
    ("release", ARRAY_RELEASE), ("private_data", ctypes.c_void_p)]
ArrowArrayStream._fields_ = [
    ("get_schema", GET_SCHEMA), ("get_next", GET_NEXT), ("get_last_error", GET_ERROR),
    ("release", STREAM_RELEASE), ("private_data", ctypes.c_void_p)]

PyCapsule_New = ctypes.pythonapi.PyCapsule_New
PyCapsule_New.restype = ctypes.py_object
PyCapsule_New.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
PyCapsule_GetPointer = ctypes.pythonapi.PyCapsule_GetPointer
PyCapsule_GetPointer.restype = ctypes.c_void_p
PyCapsule_GetPointer.argtypes = [ctypes.py_object, ctypes.c_char_p]


class Producer:
    """Structs made by hand, kept alive with everything they point to; `released` counts the release
    calls each struct got, by the name it was made under."""

    def __init__(self):
        self.keep = []
        self.released = {}
        self._schema_release = SCHEMA_RELEASE(lambda p: self._release(p, "schema"))
        self._array_release = ARRAY_RELEASE(lambda p: self._release(p, "array"))

    def _release(self, pointer, what):
        label = ctypes.cast(pointer.contents.private_data, ctypes.c_char_p).value.decode()
        self.released[label] = self.released.get(label, 0) + 1
        if what == "schema":
            pointer.contents.release = SCHEMA_RELEASE()
        else:
            pointer.contents.release = ARRAY_RELEASE()

    def _label(self, label):
        text = ctypes.create_string_buffer(label.encode())
        self.keep.append(text)
        self.released.setdefault(label, 0)
        return ctypes.cast(text, ctypes.c_void_p)

    def schema(self, format_, name="", children=(), dictionary=None, label="schema"):
        s = ArrowSchema()
        s.format = format_.encode() if format_ is not None else None
        s.name = name.encode()
        s.n_children = len(children)
        if children:
            pointers = (ctypes.POINTER(ArrowSchema) * len(children))(*[ctypes.pointer(c) for c in children])
            self.keep.append(pointers)
            s.children = pointers
        if dictionary is not None:
            s.dictionary = ctypes.pointer(dictionary)
        s.release = self._schema_release
        s.private_data = self._label(label)
        self.keep.append(s)
        return s

    def buffer(self, data):
        if data is None:
            return None
        raw = ctypes.create_string_buffer(bytes(data), max(len(data), 1))
        self.keep.append(raw)
        return ctypes.cast(raw, ctypes.c_void_p).value

    def array(self, length, buffers, offset=0, null_count=0, children=(), dictionary=None, label="array",
              n_buffers=None):
        a = ArrowArray()
        a.length, a.offset, a.null_count = length, offset, null_count
        a.n_buffers = len(buffers) if n_buffers is None else n_buffers
        if buffers:
            listed = (ctypes.c_void_p * len(buffers))(*[self.buffer(b) for b in buffers])
            self.keep.append(listed)
            a.buffers = listed
        a.n_children = len(children)
        if children:
            pointers = (ctypes.POINTER(ArrowArray) * len(children))(*[ctypes.pointer(c) for c in children])
            self.keep.append(pointers)
            a.children = pointers
        if dictionary is not None:
            a.dictionary = ctypes.pointer(dictionary)
        a.release = self._array_release
        a.private_data = self._label(label)
        self.keep.append(a)
        return a

    def capsule(self, struct_, name):
        name = name.encode()
        self.keep.append(name)
        return PyCapsule_New(ctypes.addressof(struct_), name, None)

    def stream(self, schema, chunks, fail_at=None, message=b"the disk is on fire", no_error_text=False,
               schema_fails=False):
        """A stream of copies of `schema` and of the chunks; get_next fails at chunk `fail_at`."""
        state = {"next": 0}
        error = ctypes.create_string_buffer(message)
        self.keep.append(error)
        self.released.setdefault("stream", 0)

        def get_schema(_, out):
            if schema_fails:
                return 22
            ctypes.memmove(out, ctypes.addressof(schema), ctypes.sizeof(ArrowSchema))
            return 0

        def get_next(_, out):
            k = state["next"]
            if k == fail_at:
                return 5
            state["next"] += 1
            if k >= len(chunks):
                out.contents.release = ARRAY_RELEASE()
                return 0
            ctypes.memmove(out, ctypes.addressof(chunks[k]), ctypes.sizeof(ArrowArray))
            return 0

        def release(pointer):
            self.released["stream"] += 1
            pointer.contents.release = STREAM_RELEASE()

        s = ArrowArrayStream()
        s.get_schema, s.get_next, s.release = GET_SCHEMA(get_schema), GET_NEXT(get_next), STREAM_RELEASE(release)
        s.get_last_error = GET_ERROR() if no_error_text else GET_ERROR(lambda _: ctypes.addressof(error))
        self.keep += [s, s.get_schema, s.get_next, s.release, s.get_last_error]
        return s


class Handing:
    """An object that hands over a prepared stream capsule, as a producer library would."""

    def __init__(self, stream):
        self.stream = stream

    def __arrow_c_stream__(self, requested_schema=None):
        return self.stream


class ArrayHanding:
    """The same for a (schema, array) pair of capsules."""

    def __init__(self, pair):
        self.pair = pair

    def __arrow_c_array__(self, requested_schema=None):
        return self.pair


def offsets32(values):
    return struct.pack(f"<{len(values)}i", *values)


def strings(make, texts, label="array", validity=None, null_count=0, offset=0, length=None):
    """A string array of the texts, as given (None for a null: an empty slot)."""
    data, ends = b"", [0]
    for t in texts:
        data += (t or "").encode()
        ends.append(len(data))
    bitmap = None
    if validity is not None:
        bits = sum(1 << i for i, valid in enumerate(validity) if valid)
        bitmap = bits.to_bytes((len(validity) + 7) // 8 or 1, "little")
    return make.array(len(texts) - offset if length is None else length, [bitmap, offsets32(ends), data],
                      offset=offset, null_count=null_count, label=label)


def read(source, *args, **keywords):
    return pa.table(kelvara.cluster_peptides(source, *args, **keywords))["peptide"].to_pylist()


def test_a_slice_of_a_hand_made_array_with_nulls_outside_it():
    make = Producer()
    texts = [None, "SLYNTVATL", "gilgfvftl", "NLVPMVATV", None]
    array = strings(make, texts, validity=[t is not None for t in texts], null_count=2, offset=1, length=3)
    schema = make.schema("u")
    got = read(ArrayHanding((make.capsule(schema, "arrow_schema"), make.capsule(array, "arrow_array"))))
    assert sorted(got) == ["GILGFVFTL", "NLVPMVATV", "SLYNTVATL"]
    assert make.released == {"schema": 1, "array": 1}


def test_a_null_is_named_by_its_row_across_chunks_and_every_chunk_is_released_once():
    make = Producer()
    first = strings(make, ["SLYNTVATL", "GILGFVFTL", "NLVPMVATV"], label="chunk 0")
    second = strings(make, ["SLYNTVATL", None], validity=[True, False], null_count=1, label="chunk 1")
    third = strings(make, ["NLVPMVATV"], label="chunk 2")
    schema = make.schema("u")
    stream = make.stream(schema, [first, second, third])
    with pytest.raises(ValueError, match=r"^row 4: no peptide \(null\)$"):
        kelvara.cluster_peptides(Handing(make.capsule(stream, "arrow_array_stream")))
    assert make.released == {"schema": 1, "chunk 0": 1, "chunk 1": 1, "chunk 2": 0, "stream": 1}


@pytest.mark.parametrize("fail_at, no_error_text, message", [
    (0, False, r"^the Arrow stream failed: the disk is on fire$"),
    (1, False, r"^the Arrow stream failed: the disk is on fire$"),
    (1, True, r"^the Arrow stream failed: Input/output error$"),
])
def test_a_failing_stream_is_an_error_and_is_released(fail_at, no_error_text, message):
    make = Producer()
    chunks = [strings(make, ["SLYNTVATL"], label="chunk 0"), strings(make, ["GILGFVFTL"], label="chunk 1")]
    stream = make.stream(make.schema("u"), chunks, fail_at=fail_at, no_error_text=no_error_text)
    with pytest.raises(ValueError, match=message):
        kelvara.cluster_peptides(Handing(make.capsule(stream, "arrow_array_stream")))
    assert make.released == {"schema": 1, "chunk 0": int(fail_at > 0), "chunk 1": 0, "stream": 1}


def test_a_stream_without_a_schema_is_an_error_and_is_released():
    make = Producer()
    stream = make.stream(make.schema("u"), [], schema_fails=True)
    with pytest.raises(ValueError, match=r"^the Arrow stream gave no schema: the disk is on fire$"):
        kelvara.cluster_peptides(Handing(make.capsule(stream, "arrow_array_stream")))
    assert make.released == {"schema": 0, "stream": 1}


def test_a_pyarrow_reader_that_raises_is_an_error():
    def batches():
        yield pa.record_batch({"peptide": ["SLYNTVATL"]})
        raise RuntimeError("the source went away")

    reader = pa.RecordBatchReader.from_batches(pa.schema([("peptide", pa.string())]), batches())
    with pytest.raises(ValueError, match=r"^the Arrow stream failed: .*the source went away"):
        kelvara.cluster_peptides(reader)


def view(text, buffer=0, offset=0):
    raw = text.encode()
    if len(raw) <= 12:
        return struct.pack("<i", len(raw)) + raw.ljust(12, b"\0")
    return struct.pack("<i4sii", len(raw), raw[:4], buffer, offset)


MALFORMED = {
    "decreasing offsets": (lambda m: m.array(2, [None, offsets32([0, 9, 3]), b"SLYNTVATL"]), "u",
                           r"^an Arrow string array has decreasing offsets$"),
    "negative offset": (lambda m: m.array(1, [None, offsets32([-4, 3]), b"SLYNTVATL"]), "u",
                        r"^an Arrow string array has a negative offset$"),
    "too few buffers": (lambda m: m.array(1, [None, offsets32([0, 3])]), "u",
                        r"^an Arrow string array has 2 buffers, not 3$"),
    "no buffer list": (lambda m: m.array(1, [], n_buffers=3), "u", r"^an Arrow array lists buffers but has none$"),
    "no offsets": (lambda m: m.array(1, [None, None, b"AAA"]), "u", r"^an Arrow string array has no offsets$"),
    "no data": (lambda m: m.array(1, [None, offsets32([0, 3]), None]), "u", r"^an Arrow string array has no data$"),
    "nulls without a bitmap": (lambda m: m.array(1, [None, offsets32([0, 3]), b"AAA"], null_count=1), "u",
                               r"^an Arrow array counts nulls but has no validity bitmap$"),
    "negative length": (lambda m: m.array(-1, [None, offsets32([0]), b""]), "u",
                        r"^an Arrow array has a negative length"),
    "view past its buffer": (lambda m: m.array(1, [None, view("SLYNTVATLGILGF", 0, 4), b"SLYNTVATLGILGF",
                                                   struct.pack("<q", 14)]), "vu",
                             r"^an Arrow string view points outside its buffers$"),
    "view of a missing buffer": (lambda m: m.array(1, [None, view("SLYNTVATLGILGF", 1, 0), b"SLYNTVATLGILGF",
                                                       struct.pack("<q", 14)]), "vu",
                                 r"^an Arrow string view points outside its buffers$"),
    "unknown format": (lambda m: m.array(1, [None, b"\0" * 8]), "tdD", r"^peptides are Arrow format 'tdD', not strings$"),
    "no format": (lambda m: m.array(1, [None, b"\0" * 8]), None, r"^the Arrow schema has no format$"),
}


@pytest.mark.parametrize("case", MALFORMED)
def test_a_malformed_array_is_an_error_and_is_released(case):
    make_array, format_, message = MALFORMED[case]
    make = Producer()
    array, schema = make_array(make), make.schema(format_)
    pair = (make.capsule(schema, "arrow_schema"), make.capsule(array, "arrow_array"))
    error = TypeError if case == "unknown format" else ValueError
    with pytest.raises(error, match=message):
        kelvara.cluster_peptides(ArrayHanding(pair))
    assert make.released == {"schema": 1, "array": 1}


def test_string_views_inline_and_in_buffers():
    make = Producer()
    long = "SLYNTVATLGILGFVFTL"
    data = b"xx" + long.encode()
    array = make.array(3, [None, view("NLVPMVATV") + view(long, 0, 2) + view(" gilgfvftl "), data,
                           struct.pack("<q", len(data))])
    got = read(ArrayHanding((make.capsule(make.schema("vu"), "arrow_schema"), make.capsule(array, "arrow_array"))))
    assert sorted(got) == sorted(["NLVPMVATV", long, "GILGFVFTL"])


def test_a_dictionary_index_outside_its_dictionary_is_an_error():
    make = Producer()
    values = strings(make, ["SLYNTVATL", "GILGFVFTL"], label="values")
    indices = make.array(3, [None, struct.pack("<3i", 0, 1, 2)], dictionary=values)
    schema = make.schema("i", dictionary=make.schema("u", label="value schema"))
    pair = (make.capsule(schema, "arrow_schema"), make.capsule(indices, "arrow_array"))
    with pytest.raises(ValueError, match=r"^an Arrow dictionary index lies outside its dictionary$"):
        kelvara.cluster_peptides(ArrayHanding(pair))


def test_a_table_column_shorter_than_its_batch_is_an_error():
    make = Producer()
    column = strings(make, ["SLYNTVATL"], label="column")
    table = make.array(2, [None], children=[column])
    schema = make.schema("+s", children=[make.schema("u", name="peptide", label="column schema")])
    pair = (make.capsule(schema, "arrow_schema"), make.capsule(table, "arrow_array"))
    with pytest.raises(ValueError, match=r"^a column of an Arrow batch is shorter than the batch$"):
        kelvara.cluster_peptides(ArrayHanding(pair))
    # The table's release releases its children: the producer's own callback decides that, not ours.
    assert make.released["schema"] == 1 and make.released["array"] == 1


def test_a_schema_that_holds_itself_below_the_top_is_an_error():
    make = Producer()
    inner = make.schema("+s", label="inner")
    middle = make.schema("+s", children=[inner], label="middle")
    pointers = (ctypes.POINTER(ArrowSchema) * 1)(ctypes.pointer(middle))
    make.keep.append(pointers)
    inner.children, inner.n_children = pointers, 1
    schema = make.schema("+s", children=[middle])
    pair = (make.capsule(schema, "arrow_schema"), make.capsule(make.array(0, [None]), "arrow_array"))
    with pytest.raises(ValueError, match=r"^the Arrow schema nests deeper than 64 levels$"):
        kelvara.cluster_peptides(ArrayHanding(pair))


def test_released_and_foreign_capsules_are_refused():
    make = Producer()
    schema, array = make.schema("u"), strings(make, ["SLYNTVATL"])
    pair = (make.capsule(schema, "arrow_schema"), make.capsule(array, "arrow_array"))
    assert len(kelvara.cluster_peptides(ArrayHanding(pair))) == 1
    with pytest.raises(ValueError, match=r"^the Arrow schema is released already \(was it read before\?\)$"):
        kelvara.cluster_peptides(ArrayHanding(pair))
    assert make.released == {"schema": 1, "array": 1}

    capsule = pa.chunked_array([["SLYNTVATL"]]).__arrow_c_stream__()
    assert len(kelvara.cluster_peptides(Handing(capsule))) == 1
    with pytest.raises(ValueError, match=r"^the Arrow stream is released already"):
        kelvara.cluster_peptides(Handing(capsule))
    with pytest.raises(TypeError, match=r"^what __arrow_c_stream__\(\) returned is a 'PyCapsule', not a PyCapsule "
                                        r"named 'arrow_array_stream'$"):
        kelvara.cluster_peptides(Handing(pa.schema([("peptide", pa.string())]).__arrow_c_schema__()))
    with pytest.raises(TypeError, match=r"is a 'int', not a PyCapsule named 'arrow_array_stream'$"):
        kelvara.cluster_peptides(Handing(7))
    with pytest.raises(TypeError, match=r"^peptides: __arrow_c_array__\(\) returned no \(schema, array\) pair$"):
        kelvara.cluster_peptides(ArrayHanding("no pair"))
    with pytest.raises(TypeError, match=r"^the schema __arrow_c_array__\(\) returned is a 'PyCapsule'"):
        kelvara.cluster_peptides(ArrayHanding(pair[::-1]))


# ---- the streams handed out ---------------------------------------------------------------------------------

def stream_of(capsule):
    return ctypes.cast(PyCapsule_GetPointer(capsule, b"arrow_array_stream"), ctypes.POINTER(ArrowArrayStream))


def buffer_bytes(array, k, size):
    return ctypes.string_at(array.buffers[k], size)


@pytest.fixture(scope="module")
def result():
    return kelvara.cluster_peptides(["SLYNTVATL", "GILGFVFTL", "slyntvatl", "NLVPMVATV"], [1, 2, 3, 4])


def test_a_consumer_that_moves_the_stream_and_a_column_out(result):
    capsule = result.__arrow_c_stream__()
    theirs = ArrowArrayStream()
    ctypes.memmove(ctypes.addressof(theirs), PyCapsule_GetPointer(capsule, b"arrow_array_stream"),
                   ctypes.sizeof(ArrowArrayStream))
    stream_of(capsule).contents.release = STREAM_RELEASE()
    del capsule  # frees only the struct it held: the stream is the consumer's now
    gc.collect()

    schema, batch = ArrowSchema(), ArrowArray()
    assert theirs.get_schema(ctypes.byref(theirs), ctypes.byref(schema)) == 0
    assert schema.format == b"+s" and schema.n_children == 8
    assert [schema.children[k].contents.name.decode() for k in range(8)] == list(result.columns)
    assert theirs.get_next(ctypes.byref(theirs), ctypes.byref(batch)) == 0
    assert batch.length == 3 and batch.n_children == 8
    # Move the peptide column out, release the batch, the schema and the stream: the column stays readable.
    column = ArrowArray()
    ctypes.memmove(ctypes.addressof(column), batch.children[0], ctypes.sizeof(ArrowArray))
    batch.children[0].contents.release = ARRAY_RELEASE()
    batch.release(ctypes.byref(batch))
    assert not batch.release
    schema.release(ctypes.byref(schema))
    end = ArrowArray()
    assert theirs.get_next(ctypes.byref(theirs), ctypes.byref(end)) == 0 and not end.release
    theirs.release(ctypes.byref(theirs))
    assert not theirs.release
    gc.collect()
    ends = struct.unpack("<4i", buffer_bytes(column, 1, 16))
    assert ends == (0, 9, 18, 27)
    assert sorted(buffer_bytes(column, 2, 27)[a:b].decode() for a, b in zip(ends, ends[1:])) == [
        "GILGFVFTL", "NLVPMVATV", "SLYNTVATL"]
    column.release(ctypes.byref(column))
    assert not column.release


def test_streams_never_taken_and_partly_read_are_released_by_their_capsules(result):
    for _ in range(3):
        capsule = result.__arrow_c_stream__()
        stream = stream_of(capsule).contents
        schema = ArrowSchema()
        assert stream.get_schema(ctypes.byref(stream), ctypes.byref(schema)) == 0
        schema.release(ctypes.byref(schema))
        del stream, capsule
        reader = pa.RecordBatchReader.from_stream(result)  # taken, never read
        del reader
    gc.collect()
    assert pa.table(result).num_rows == 3


def test_batches_outlive_the_result_and_its_streams():
    result = kelvara.cluster_peptides(["SLYNTVATL", "GILGFVFTL"])
    table = pa.table(result)
    frame = pl.DataFrame(result)
    del result
    gc.collect()
    assert sorted(table["peptide"].to_pylist()) == sorted(frame["peptide"].to_list()) == ["GILGFVFTL", "SLYNTVATL"]


def test_the_inputs_are_released_when_the_call_is_done():
    base = pa.total_allocated_bytes()
    peptides = pa.array([f"SLYNTVAT{c}" for c in "ACDEFGHIKLMNPQRSTVWY"] * 500)
    counts = pa.array(range(len(peptides)), pa.uint64())
    for source in (peptides, pa.chunked_array([peptides, peptides]), pa.table({"peptide": peptides, "count": counts})):
        held = sys.getrefcount(source)
        for _ in range(5):
            kelvara.cluster_peptides(source)
        assert sys.getrefcount(source) == held
    kelvara.cluster_peptides(peptides, counts)
    del peptides, counts, source
    gc.collect()
    assert pa.total_allocated_bytes() == base


def resident_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@pytest.mark.skipif(os.environ.get("KELVARA_UNDER_ASAN") == "1",
                    reason="AddressSanitizer holds freed memory back, so the resident size grows anyway")
def test_repeated_calls_and_exports_do_not_grow_the_process():
    frame = pl.DataFrame({"peptide": [f"{a}{b}{c}LYNTVL" for a in "ACDEFGHIKL" for b in "ACDEFGHIKLMNPQRSTVWY"
                                      for c in "ACDEFGHIKLMNPQRSTVWY"] * 10})

    def once():
        result = kelvara.cluster_peptides(frame, threads=1)
        assert pa.table(result).num_rows == pl.DataFrame(result).height == len(result) == 4000
        result.__arrow_c_stream__()  # never taken
        pa.RecordBatchReader.from_stream(result)  # taken, never read
        return sys.getrefcount(result._native)

    counts = [once() for _ in range(10)]
    gc.collect()
    before = resident_bytes()
    counts += [once() for _ in range(150)]
    gc.collect()
    grown = resident_bytes() - before
    # A result's table is some 270 kB, its input about as much: a leak of either would pass 40 MB.
    assert grown < 8 << 20, f"grew by {grown:,} bytes"
    assert len(set(counts)) == 1
