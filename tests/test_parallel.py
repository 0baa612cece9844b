"""The worker pool as callers see it: identical results for every `threads`, the interpreter lock released
while clustering, and a pool that cannot start reported without harming the process."""

import os
import random
import subprocess
import sys
import tempfile
import textwrap
import threading

import model
import pytest

from kelvara import _core, cluster_anchors, refine_clusters

THREADS = [1, 0, -3, 2, 3, 8, 64]


def random_counts(seed, n, letters="AAILLVVKRDESTGQ", length=9, prefix=""):
    rng = random.Random(seed)
    counts = {}
    while len(counts) < n:
        counts[prefix + "".join(rng.choice(letters) for _ in range(length))] = rng.choice([1, 1, 1, 2, 3, 10, 50])
    return counts


# Every set holds enough anchors for the pass to take a pool; smaller inputs stay on the calling thread.
DATASETS = {
    "many blocks": (random_counts(1, 3000), [1, 8]),
    "one huge block": (random_counts(2, 1600, letters="AST" * 5 + "IKDEG"), [1]),
    # Large enough for the pool to take the block in batches rather than as one task.
    "one block in batches": ({"A" + a[1:]: n for a, n in random_counts(5, 6000, letters="ASTVILKRDEG").items()}, [0]),
    "non-alphabet": (random_counts(3, 1600, letters="AILKxX1", prefix="É"), [0, 4]),
}


@pytest.mark.parametrize("name", DATASETS)
@pytest.mark.parametrize("threshold", [0.5, 0.75])
def test_cluster_identical_for_every_thread_count(name, threshold):
    counts, positions = DATASETS[name]
    results = [cluster_anchors(counts, threshold, positions, threads=t) for t in THREADS]
    serial = results[0]
    for result in results[1:]:
        assert list(result[0].items()) == list(serial[0].items())
        assert result[1:] == serial[1:]
    # Block search is always serial: threads cannot change it either.
    searched = cluster_anchors(counts, threshold, positions, obg_block_search=True)
    assert cluster_anchors(counts, threshold, positions, obg_block_search=True, threads=8) == searched


@pytest.mark.parametrize("name", ["many blocks", "one block in batches"])
@pytest.mark.parametrize("fast_medoid, cap, merge_cap", [(False, 16, 0), (True, 0, 7)])
def test_refine_identical_for_every_thread_count(name, fast_medoid, cap, merge_cap):
    counts, positions = DATASETS[name]
    mapping = cluster_anchors(counts, 0.6, positions)[0]
    results = [
        refine_clusters(counts, mapping, 0.6, 4, cap=cap, anchor_positions=positions, fast_medoid=fast_medoid,
                        merge_cap=merge_cap, threads=t)
        for t in THREADS
    ]
    for refined, stats in results[1:]:
        assert list(refined.items()) == list(results[0][0].items())
        assert list(stats.items()) == list(results[0][1].items())


class OddHash(str):
    """A str hashing apart from its text, so that a dict holds it beside the plain str of the same text."""

    def __hash__(self):
        return 7


@pytest.mark.parametrize("threads", [1, 2])
def test_keys_of_one_text_come_back_as_one_key(threads):
    # With workers the mapping is keyed while they cluster and its values set after; without, it is made
    # in one go: both must give the model's mapping, where the last anchor of a text sets its value.
    counts = random_counts(7, 2000, letters="AILVKR", length=7)
    for text in list(counts)[:400:40]:
        counts[OddHash(text)] = 60
    got = cluster_anchors(counts, 0.4, [1, 5], threads=threads)
    want = model.cluster_anchors(counts, 0.4, [1, 5])
    # The model keeps the caller's objects; as plain strs, in its order, they share keys as ours do.
    plain = {}
    for key, value in want[0].items():
        plain[str(key)] = str(value)
    assert list(got[0].items()) == list(plain.items()) and got[1:] == want[1:]
    assert len(got[0]) < len(counts)
    assert all(type(text) is str for entry in got[0].items() for text in entry)


def test_other_python_threads_run_while_clustering():
    counts = random_counts(4, 10000, letters="AST" * 6 + "ILKDEG")
    state = {"started": False, "done": False, "ticks": 0}

    def work():
        state["started"] = True
        cluster_anchors(counts, 0.95, [1])
        state["done"] = True

    worker = threading.Thread(target=work)
    worker.start()
    while not state["done"]:
        if state["started"]:
            state["ticks"] += 1
    worker.join()
    # Had the call kept the lock, this thread could not have counted while it ran.
    assert state["ticks"] > 1000


def run_limited(code):
    """Runs code in a fresh interpreter whose address space is too small for thousands of thread stacks."""
    script = textwrap.dedent(
        """
        import resource
        resource.setrlimit(resource.RLIMIT_AS, (1 << 30, 1 << 30))  # 1 GiB
        import kelvara
        """
    ) + textwrap.dedent(code)
    # Run away from the source tree, whose kelvara/ has no built module in it.
    return subprocess.run(
        [sys.executable, "-c", script], capture_output=True, text=True, timeout=120, cwd=tempfile.gettempdir()
    )


pytestmark_limited = pytest.mark.skipif(
    os.environ.get("KELVARA_UNDER_ASAN") == "1", reason="AddressSanitizer needs more address space than the limit"
)


@pytestmark_limited
@pytest.mark.parametrize(
    "call",
    [
        # Enough anchors for the pass to want its pool; fewer run on the calling thread alone.
        "kelvara.cluster_anchors(MANY, 0.5, threads=20000)",
        "kelvara.refine_clusters({'AAAAAA': 1}, {}, 0.5, 0, threads=20000)",
    ],
)
def test_pool_that_cannot_start_raises_and_the_process_goes_on(call):
    proc = run_limited(
        f"""
        import itertools
        MANY = {{"".join(p): 1 for p in itertools.islice(itertools.product("ACDEFGHIKL", repeat=6), 5000)}}
        try:
            {call}
        except kelvara.InternalError as e:
            assert type(e).__bases__ == (BaseException,)
            print("raised:", e)
        print(kelvara.cluster_anchors({{'AAAAAA': 1}}, 0.5, threads=2))
        """
    )
    assert proc.returncode == 0, proc.stderr
    first, second = proc.stdout.splitlines()
    assert first.startswith("raised: failed to build thread pool: ")
    assert second == "({'AAAAAA': 'AAAAAA'}, 0, 0)"


@pytestmark_limited
@pytest.mark.parametrize(
    "call",
    [
        "kelvara.cluster_anchors({'AAAAAA': 1}, 0.5, obg_block_search=True, threads=20000)",
        "kelvara.cluster_anchors({'AAAAAA': 1}, 0.5, threads=1)",
        "kelvara.cluster_anchors({'AAAAAA': 1, 'CCCCCC': 2, 'AAAAAC': 3}, 0.5, threads=20000)",
        "kelvara.refine_clusters({}, {}, 0.5, 3, threads=20000)",
    ],
)
def test_calls_that_need_no_pool_start_none(call):
    proc = run_limited(f"print({call})")
    assert proc.returncode == 0, proc.stderr


def test_internal_error_is_not_exported():
    assert issubclass(_core.InternalError, BaseException)
    assert not issubclass(_core.InternalError, Exception)
    assert "InternalError" not in _core.__all__


@pytestmark_limited
def test_refine_with_eight_positions_and_thousands_of_blocks_fits_in_memory():
    # Neighbour lists of every block would need gigabytes here; the walk must not store them.
    proc = run_limited(
        """
        import random
        rng = random.Random(5)
        counts = {"".join(rng.choice("ARNDCQEGHILKMFPSTWYV") for _ in range(9)): rng.randint(1, 3)
                  for _ in range(12000)}
        positions = [0, 1, 2, 3, 5, 6, 7, 8]
        mapping = kelvara.cluster_anchors(counts, 0.6, positions)[0]
        refined, stats = kelvara.refine_clusters(counts, mapping, 0.6, 1, anchor_positions=positions)
        print(len(refined) == len(counts), stats["passes"])
        """
    )
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.split() == ["True", "1"]


@pytestmark_limited
def test_running_out_of_memory_on_a_worker_lane_raises_instead_of_aborting():
    # Address space a little above what the process holds, in steps: somewhere in the sweep a worker lane's
    # first allocation fails, which used to end the process in glibc before the exception could be thrown.
    script = textwrap.dedent(
        """
        import random, resource, sys
        import kelvara
        rng = random.Random(1)
        counts = {"".join(rng.choice("ACDEFGHIKLMNPQRSTVWY") for _ in range(9)): rng.randint(1, 100)
                  for _ in range(20000)}
        step = int(sys.argv[1])
        vm = int(next(l for l in open("/proc/self/status") if l.startswith("VmSize")).split()[1]) << 10
        resource.setrlimit(resource.RLIMIT_AS, (vm + (step << 16), resource.RLIM_INFINITY))
        try:
            kelvara.cluster_anchors(counts, 0.7, [1, 8], threads=2)
            print("ran")
        except (MemoryError, kelvara.InternalError) as e:
            print(type(e).__name__)
        resource.setrlimit(resource.RLIMIT_AS, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))
        # With the memory back, the next call works and gives the serial result.
        assert kelvara.cluster_anchors(counts, 0.7, [1, 8], threads=2) == kelvara.cluster_anchors(counts, 0.7, [1, 8])
        """
    )
    outcomes = set()
    for step in range(140, 224, 3):
        proc = subprocess.run([sys.executable, "-c", script, str(step)], capture_output=True, text=True,
                              timeout=120, cwd=tempfile.gettempdir())
        assert proc.returncode == 0, (step, proc.stderr)
        outcomes.add(proc.stdout.strip())
    # The sweep reaches both ends: limits that stop the call and limits it runs within.
    assert {"ran", "MemoryError"} <= outcomes, outcomes
