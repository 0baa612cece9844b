"""cluster_anchors at the module boundary: surface, argument binding and conversion, the anchor table's
errors and their order, and the shape of the result."""

import copy
import inspect
import math
import operator
import os
import subprocess
import sys

import pytest

import kelvara._core as core
from kelvara._core import cluster_anchors

PARAMS = [
    ("anchor_counts", inspect.Parameter.empty),
    ("threshold", inspect.Parameter.empty),
    ("anchor_positions", ...),
    ("anchor_weight", 2.0),
    ("obg_block_search", False),
    ("obg_max_probes", 0),
    ("obg_min_block_upper_bound", 0.0),
    ("threads", 1),
]

D = {"AAAAAA": 3, "AAAAAV": 2}


def interpreter_message(func, value):
    with pytest.raises(TypeError) as info:
        func(value)
    return str(info.value)


# --- module surface ---------------------------------------------------------------------------------


def test_module_surface():
    assert core.__doc__ == "Python module definition"
    assert core.__all__[0] == "cluster_anchors"
    assert set(core.__all__) <= {"cluster_anchors", "refine_clusters"}
    assert len(core.__all__) == len(set(core.__all__))
    assert all(callable(getattr(core, name)) for name in core.__all__)
    assert os.path.basename(core.__file__).endswith(".abi3.so")


def test_internal_error_class():
    assert core.InternalError.__bases__ == (BaseException,)
    assert not issubclass(core.InternalError, Exception)
    assert "InternalError" not in core.__all__


def test_docstring_and_signature(stub_docstring):
    assert cluster_anchors.__doc__ == stub_docstring("cluster_anchors")
    assert cluster_anchors.__doc__.startswith("Greedy centroid clustering of unique anchors.\n\nArgs:\n")
    assert cluster_anchors.__text_signature__ == (
        "(anchor_counts, threshold, anchor_positions=..., anchor_weight=2.0, obg_block_search=False, "
        "obg_max_probes=0, obg_min_block_upper_bound=0.0, threads=1)"
    )
    params = inspect.signature(cluster_anchors).parameters.values()
    assert [(p.name, p.default) for p in params] == PARAMS
    assert {p.kind for p in params} == {inspect.Parameter.POSITIONAL_OR_KEYWORD}


def test_second_initialisation_fails_and_the_first_module_survives():
    code = (
        "import sys\n"
        f"sys.path.insert(0, {os.path.dirname(os.path.dirname(core.__file__))!r})\n"
        "import kelvara._core as first\n"
        "del sys.modules['kelvara._core']\n"
        "try:\n"
        "    import kelvara._core\n"
        "except ImportError:\n"
        "    print('ImportError', first.cluster_anchors({'ACDEFG': 1}, 0.5))\n"
    )
    run = subprocess.run([sys.executable, "-I", "-c", code], capture_output=True, text=True, timeout=60)
    assert run.returncode == 0, run.stderr
    assert run.stdout.strip() == "ImportError ({'ACDEFG': 'ACDEFG'}, 0, 0)"


# --- argument binding -------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        (range(9), {}, "takes from 2 to 8 positional arguments but 9 were given"),
        (range(9), {"bogus": 1}, "takes from 2 to 8 positional arguments but 9 were given"),
        ((D, 0.5), {"thresh": 0.4}, "got an unexpected keyword argument 'thresh'"),
        ((D, 0.5), {"threshold": 0.4}, "got multiple values for argument 'threshold'"),
        ((D, 0.5), {"threshold": 0.4, "bogus": 1}, "got multiple values for argument 'threshold'"),
        ((D, 0.5), {"bogus": 1, "threshold": 0.4}, "got an unexpected keyword argument 'bogus'"),
        ((D,), {}, "missing 1 required positional argument: 'threshold'"),
        ((None,), {}, "missing 1 required positional argument: 'threshold'"),
        ((), {"threshold": 0.5}, "missing 1 required positional argument: 'anchor_counts'"),
        ((), {}, "missing 2 required positional arguments: 'anchor_counts' and 'threshold'"),
        ((), {"threads": 2}, "missing 2 required positional arguments: 'anchor_counts' and 'threshold'"),
    ],
)
def test_binding_errors(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        cluster_anchors(*args, **kwargs)
    assert str(info.value) == "cluster_anchors() " + message


def test_keywords_in_any_order_and_defaults_only_for_omitted():
    expected = cluster_anchors(D, 0.7)
    assert cluster_anchors(threshold=0.7, anchor_counts=D) == expected
    assert cluster_anchors(D, 0.7, [1, 5], 2.0, False, 0, 0.0, 1) == expected
    assert cluster_anchors(threads=1, obg_max_probes=0, anchor_weight=2.0, threshold=0.7, anchor_counts=D) == expected
    assert cluster_anchors(D, 1) == cluster_anchors(D, 1.0)


# --- conversions ------------------------------------------------------------------------------------


class Holder:
    class NotADict:
        pass


class RaisingFloat:
    cause = KeyError("inner")

    def __float__(self):
        raise TypeError("no float today") from self.cause


class RaisingIndex:
    cause = LookupError("inner")

    def __index__(self):
        raise TypeError("no index today") from self.cause


class ValueErrorFloat:
    def __float__(self):
        raise ValueError("bad float")


class BadLenSequence:
    def __init__(self, items):
        self.items = items

    def __getitem__(self, i):
        return self.items[i]

    def __len__(self):
        raise RuntimeError("length unknown")


@pytest.mark.parametrize(
    "kwargs, message",
    [
        ({"anchor_counts": [("AAAAAA", 1)]}, "argument 'anchor_counts': 'list' object cannot be converted to 'PyDict'"),
        ({"anchor_counts": None}, "argument 'anchor_counts': 'NoneType' object cannot be converted to 'PyDict'"),
        (
            {"anchor_counts": Holder.NotADict()},
            "argument 'anchor_counts': 'Holder.NotADict' object cannot be converted to 'PyDict'",
        ),
        ({"threshold": "0.5"}, "argument 'threshold': " + interpreter_message(math.sqrt, "0.5")),
        ({"anchor_weight": None}, "argument 'anchor_weight': " + interpreter_message(math.sqrt, None)),
        (
            {"obg_min_block_upper_bound": None},
            "argument 'obg_min_block_upper_bound': " + interpreter_message(math.sqrt, None),
        ),
        ({"obg_max_probes": None}, "argument 'obg_max_probes': " + interpreter_message(operator.index, None)),
        ({"anchor_positions": "15"}, "argument 'anchor_positions': Can't extract `str` to `Vec`"),
        (
            {"anchor_positions": None},
            "argument 'anchor_positions': 'NoneType' object cannot be converted to 'Sequence'",
        ),
        ({"anchor_positions": {1, 5}}, "argument 'anchor_positions': 'set' object cannot be converted to 'Sequence'"),
        ({"anchor_positions": {1: 5}}, "argument 'anchor_positions': 'dict' object cannot be converted to 'Sequence'"),
        (
            {"anchor_positions": (p for p in [1, 5])},
            "argument 'anchor_positions': 'generator' object cannot be converted to 'Sequence'",
        ),
        ({"anchor_positions": [1, 5.0]}, "argument 'anchor_positions': " + interpreter_message(operator.index, 5.0)),
        ({"obg_block_search": 1}, "argument 'obg_block_search': 'int' object cannot be converted to 'PyBool'"),
        ({"obg_block_search": 0}, "argument 'obg_block_search': 'int' object cannot be converted to 'PyBool'"),
        ({"obg_block_search": None}, "argument 'obg_block_search': 'NoneType' object cannot be converted to 'PyBool'"),
        ({"obg_max_probes": 1.5}, "argument 'obg_max_probes': " + interpreter_message(operator.index, 1.5)),
        ({"threads": None}, "argument 'threads': " + interpreter_message(operator.index, None)),
        ({"threads": "2"}, "argument 'threads': " + interpreter_message(operator.index, "2")),
    ],
)
def test_conversion_type_errors_are_prefixed(kwargs, message):
    call = {"anchor_counts": {}, "threshold": 0.5, **kwargs}
    with pytest.raises(TypeError) as info:
        cluster_anchors(**call)
    assert type(info.value) is TypeError
    assert str(info.value) == message


def test_first_failing_parameter_is_reported():
    with pytest.raises(TypeError, match="^argument 'anchor_counts': "):
        cluster_anchors([], "x", threads=None)
    with pytest.raises(TypeError, match="^argument 'anchor_positions': "):
        cluster_anchors({}, 0.5, anchor_positions="15", threads=None)


@pytest.mark.parametrize(
    "kwargs, cause",
    [
        ({"threshold": RaisingFloat()}, RaisingFloat.cause),
        ({"anchor_positions": [1, RaisingIndex()]}, RaisingIndex.cause),
        ({"threads": RaisingIndex()}, RaisingIndex.cause),
    ],
)
def test_rewrapped_type_error_keeps_cause(kwargs, cause):
    name = next(iter(kwargs))
    with pytest.raises(TypeError) as info:
        cluster_anchors(**{"anchor_counts": {}, "threshold": 0.5, **kwargs})
    assert str(info.value).startswith(f"argument '{name}': no ")
    assert info.value.__cause__ is cause


@pytest.mark.parametrize(
    "kwargs, exc",
    [
        ({"threshold": ValueErrorFloat()}, ValueError),
        ({"anchor_positions": [-1]}, OverflowError),
        ({"anchor_positions": [1, 2**64]}, OverflowError),
        ({"obg_max_probes": 2**63}, OverflowError),
        ({"threads": -(2**63) - 1}, OverflowError),
    ],
)
def test_other_conversion_errors_pass_unprefixed(kwargs, exc):
    with pytest.raises(exc) as info:
        cluster_anchors(**{"anchor_counts": {}, "threshold": 0.5, **kwargs})
    assert type(info.value) is exc
    assert "argument" not in str(info.value)


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Float:
    def __float__(self):
        return 0.7


@pytest.mark.parametrize(
    "kwargs",
    [
        {"threshold": Float()},
        {"anchor_positions": (5, 1, 5)},
        {"anchor_positions": BadLenSequence([1, 5])},
        {"anchor_positions": [Index(5), True]},
        {"anchor_weight": Index(2), "obg_max_probes": 2**63 - 1, "threads": Index(1)},
        {"obg_max_probes": -(2**63), "obg_min_block_upper_bound": Index(0), "threads": True},
    ],
)
def test_accepted_conversions(kwargs):
    d = {"AAAAAA": 3, "AAAAAV": 2, "ACAAAA": 1, "GAAAAA": 1}
    assert cluster_anchors(d, **{"threshold": 0.7, **kwargs}) == cluster_anchors(d, 0.7)


def test_numpy_values():
    np = pytest.importorskip("numpy")
    d = {"AKA": 5, "AQA": 3}
    plain = cluster_anchors(d, 0.55, [1], obg_block_search=True)
    assert plain[0]["AQA"] == "AKA"
    assert cluster_anchors(d, np.float64(0.55), np.array([1]), obg_block_search=np.bool_(True)) == plain
    assert cluster_anchors(d, 0.55, [1], obg_block_search=np.True_, threads=np.int64(3)) == plain
    assert cluster_anchors(d, 0.55, [1], obg_block_search=np.False_) == cluster_anchors(d, 0.55, [1])
    assert cluster_anchors({"ACDEFG": np.uint64(2**64 - 1)}, 0.5)[0] == {"ACDEFG": "ACDEFG"}
    with pytest.raises(TypeError, match="^argument 'obg_block_search': 'int64' object cannot be converted to 'PyBool'"):
        cluster_anchors(d, 0.5, obg_block_search=np.int64(1))


def test_numpy_named_bool_without_dunder_bool():
    fake = type("bool_", (), {"__module__": "numpy"})
    with pytest.raises(TypeError) as info:
        cluster_anchors({}, 0.5, obg_block_search=fake())
    assert str(info.value).startswith("argument 'obg_block_search': object of type ")
    assert str(info.value).endswith(" does not define a '__bool__' conversion")
    truthy = type("bool", (), {"__module__": "numpy", "__bool__": lambda self: True})
    assert cluster_anchors({"AKA": 5, "AQA": 3}, 0.55, [1], obg_block_search=truthy())[0]["AQA"] == "AKA"


# --- anchor table -----------------------------------------------------------------------------------

OUT_OF_RANGE = "anchor position {} is out of range for anchor length {}"


@pytest.mark.parametrize(
    "counts, kwargs, exc, message",
    [
        ({"": 3}, {}, ValueError, "anchors must be non-empty"),
        ({"": 3}, {"anchor_positions": []}, ValueError, "anchors must be non-empty"),
        ({"": 3, "ACD": 1}, {}, ValueError, "anchors must be non-empty"),
        ({"ACD": 1, "": 2}, {}, ValueError, "all anchors must have the same length; found 3 and 0"),
        ({"ACDEFG": 1, "ACD": 2, "AC": 5}, {}, ValueError, "all anchors must have the same length; found 6 and 3"),
        ({"ACDEFÉ": 1, "ACDEFG": 1}, {}, ValueError, "all anchors must have the same length; found 7 and 6"),
        ({"ACD": 1, "ACDEF": -1}, {}, OverflowError, None),
        ({"": 1, "ACDEFG": 2**64}, {}, OverflowError, None),
        ({"ACDEFG": 1, "AC": 1, 5: 1}, {}, TypeError, "'int' object cannot be converted to 'PyString'"),
        ({1: 2}, {}, TypeError, "'int' object cannot be converted to 'PyString'"),
        ({b"ACDEFG": 2}, {}, TypeError, "'bytes' object cannot be converted to 'PyString'"),
        ({1: -1}, {}, TypeError, "'int' object cannot be converted to 'PyString'"),
        ({"ACDEFG": 2.0}, {}, TypeError, interpreter_message(operator.index, 2.0)),
        ({"ACDEFG": None}, {"threads": 0}, TypeError, interpreter_message(operator.index, None)),
        ({"\ud800CDEFG": 1}, {}, UnicodeEncodeError, None),
        ({"ACDE": 1}, {}, ValueError, OUT_OF_RANGE.format(5, 4)),
        ({"ACDEFG": 1}, {"anchor_positions": []}, ValueError, "anchor_positions must contain at least one position"),
        ({"ACDE": 1}, {"anchor_positions": range(9)}, ValueError, "at most 8 anchor positions are supported, got 9"),
        ({"ACDEFG": 1}, {"anchor_positions": [10, 3]}, ValueError, OUT_OF_RANGE.format(10, 6)),
        ({"ACDEFG": 1}, {"anchor_positions": [3, 10]}, ValueError, OUT_OF_RANGE.format(10, 6)),
        ({"ACDEFG": 1}, {"anchor_positions": [7, 9, 9, 0]}, ValueError, OUT_OF_RANGE.format(9, 6)),
        ({"ACDEFG": 1}, {"anchor_positions": [6]}, ValueError, OUT_OF_RANGE.format(6, 6)),
        ({"ACDEFG": 1}, {"anchor_positions": [6] * 3}, ValueError, OUT_OF_RANGE.format(6, 6)),
    ],
)
def test_anchor_table_and_position_errors(counts, kwargs, exc, message):
    with pytest.raises(exc) as info:
        cluster_anchors(counts, 0.5, **kwargs)
    assert type(info.value) is exc
    if message is not None:
        assert str(info.value) == message
    assert "argument" not in str(info.value)


@pytest.mark.parametrize("length", [1, 31, 32, 33, 40])
@pytest.mark.parametrize("tail", ["A", "é", "\x00"])
def test_anchor_texts_come_back_exactly_whatever_their_length(length, tail):
    # Short ASCII text is copied out one way, longer or non-ASCII text another; the mapping holds both.
    anchors = ["C" * (length - 1) + tail, "D" * (length - 1) + tail]
    mapping = cluster_anchors(dict.fromkeys(anchors, 1), 2.0, [0])[0]
    assert mapping == {a: a for a in anchors}



@pytest.mark.parametrize(
    "counts",
    [
        {"ACDEFG": True},
        {"ACDEFG": 2**64 - 1, "ACDEFH": 0},
        {"ACDEFÉ": 1, "ACDEFGH": 1},
        {"acdefg": 1, "ACDEFG": 1},
        {"ÉÉÉ": 2, "x-1?ZB": 1},
    ],
)
def test_anchor_table_accepts(counts):
    mapping, _, _ = cluster_anchors(counts, 0.5)
    assert sorted(mapping) == sorted(counts)
    assert all(type(k) is str and type(v) is str and mapping[v] == v for k, v in mapping.items())


def test_positions_at_the_limits_are_accepted():
    assert cluster_anchors({"ACDEFG": 1}, 0.5, anchor_positions=[5])[0] == {"ACDEFG": "ACDEFG"}
    assert cluster_anchors({"ACDEFGHI": 1}, 0.5, anchor_positions=range(8))[0] == {"ACDEFGHI": "ACDEFGHI"}
    assert cluster_anchors({"ACDEFGHI": 1}, 0.5, anchor_positions=list(range(8)) * 2)[0] == {"ACDEFGHI": "ACDEFGHI"}


class GrowingCount:
    def __init__(self, target, change):
        self.target, self.change = target, change

    def __index__(self):
        self.change(self.target)
        return 1


def add_key(d):
    d["ZZZZZZ"] = 1


def swap_visited_key(d):
    del d["AAAAAA"]
    d["ZZZZZZ"] = 1


@pytest.mark.parametrize(
    "change, first, message",
    [
        (add_key, True, "dictionary changed size during iteration"),
        (add_key, False, "dictionary changed size during iteration"),
        (swap_visited_key, True, "dictionary keys changed during iteration"),
    ],
)
def test_dict_changed_by_a_count_hook(change, first, message):
    d = {}
    if first:
        d["AAAAAA"] = GrowingCount(d, change)
        d["CCCCCC"] = 1
    else:
        d["AAAAAA"] = 1
        d["CCCCCC"] = GrowingCount(d, change)
    with pytest.raises(core.InternalError) as info:
        cluster_anchors(d, 0.5)
    assert str(info.value) == message
    assert cluster_anchors({"ACDEFG": 1}, 0.5) == ({"ACDEFG": "ACDEFG"}, 0, 0)


# --- results and inputs -----------------------------------------------------------------------------


class CountDict(dict):
    pass


class Anchor(str):
    pass


@pytest.mark.parametrize(
    "counts, order",
    [
        ({"AAAAAA": 1, "CCCCCC": 7}, ["CCCCCC", "AAAAAA"]),
        ({"CCCCCC": 4, "AAAAAA": 4, "DDDDDD": 4}, ["CCCCCC", "AAAAAA", "DDDDDD"]),
        (
            {"DDDDDD": 1, "AAAAAA": 2**63, "CCCCCC": 2**64 - 1, "GGGGGG": 2**63},
            ["CCCCCC", "AAAAAA", "GGGGGG", "DDDDDD"],
        ),
        # Counts either side of a 16-bit digit, with ties on both.
        (
            {"AAAAAA": 65535, "CCCCCC": 65536, "DDDDDD": 65535, "GGGGGG": 0, "HHHHHH": 65536},
            ["CCCCCC", "HHHHHH", "AAAAAA", "DDDDDD", "GGGGGG"],
        ),
        (CountDict({"GGGGGG": 0, "AAAAAA": 2, "CCCCCC": 1}), ["AAAAAA", "CCCCCC", "GGGGGG"]),
        ({Anchor("GGGGGG"): 1, "AAAAAA": 2}, ["AAAAAA", "GGGGGG"]),
    ],
)
def test_result_shape_and_processing_order(counts, order):
    result = cluster_anchors(counts, 0.5)
    assert type(result) is tuple and len(result) == 3
    mapping, n_comparisons, n_early_exits = result
    assert type(mapping) is dict and mapping is not counts
    assert list(mapping) == order
    assert all(type(k) is str for k in mapping) and all(type(v) is str for v in mapping.values())
    assert type(n_comparisons) is int and type(n_early_exits) is int


@pytest.mark.parametrize(
    "kwargs",
    [{}, {"anchor_positions": []}, {"anchor_positions": [99]}, {"obg_block_search": True}, {"threads": 0}],
)
def test_empty_dict_gives_empty_result(kwargs):
    assert cluster_anchors({}, 0.5, **kwargs) == ({}, 0, 0)
    assert cluster_anchors(CountDict(), float("nan"), **kwargs) == ({}, 0, 0)


@pytest.mark.parametrize("kwargs", [{}, {"obg_block_search": True}, {"threads": 4}, {"anchor_positions": [0]}])
def test_single_anchor_is_its_own_centroid(kwargs):
    assert cluster_anchors({"ACDEFG": 1}, 0.5, **kwargs) == ({"ACDEFG": "ACDEFG"}, 0, 0)


def test_inputs_left_unchanged():
    counts = {"AAAAAA": 1, "AAAAAV": 5, "AAVAAA": 5}
    positions = [5, 1, 5]
    before = (copy.deepcopy(counts), list(counts), list(positions))
    cluster_anchors(counts, 0.5, positions, obg_block_search=True)
    cluster_anchors(counts, 0.5, positions, threads=2)
    with pytest.raises(ValueError):
        cluster_anchors(counts, 0.5, positions + [99])
    assert (counts, list(counts), positions) == before
