"""The measure-loop of the leak tests: run a call many times and show that nothing stays.

After a warm-up (which fills the interpreter's free lists and caches), the call runs
`loops` more times. Afterwards the objects in `tracked` must have their reference
counts back, and three independent counts of live memory must not have grown beyond a
small fixed slack: the interpreter's allocated blocks, the bytes tracemalloc sees, and
the C heap's bytes in use (which also covers the module's own C++ allocations, invisible
to the first two).
"""
import contextlib
import ctypes
import gc
import os
import sys
import tracemalloc

# Fixed slack, independent of the number of calls: a leak of one object per call would
# be thousands of blocks, and a leak on one call in a hundred still a hundred.
BLOCK_SLACK = 30
TRACED_SLACK = 16 * 1024
HEAP_SLACK = 64 * 1024

# Under valgrind (tools/valgrind-tests) and under the sanitizer build, which watch every
# allocation themselves (and where every allocation goes through their slow malloc), the
# loops are cut short: at full length they would take minutes or, under valgrind, the
# better part of an hour.
_SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")
LOOP_DIVISOR = int(os.environ.get("TEVRA_LEAK_LOOP_DIVISOR", "4" if _SANITIZED else "1"))


class _MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in
                ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks",
                 "uordblks", "fordblks", "keepcost")]


def _heap_counter():
    """Bytes in use on the C heap, or None where the C library cannot say."""
    try:
        mallinfo2 = ctypes.CDLL(None).mallinfo2
    except (OSError, AttributeError):
        return None
    mallinfo2.restype = _MallInfo2
    mallinfo2.argtypes = []

    def in_use():
        info = mallinfo2()
        return info.uordblks + info.hblkhd

    # A sanitizer's allocator answers with zeros.
    return in_use if in_use() else None


heap_in_use = _heap_counter()


def _trace_interned_table():
    """Has the interpreter's table of interned strings reallocated while traced.

    Code such as pathlib interns short-lived strings, which leaves dead slots in that
    table, and from time to time it is rebuilt. A rebuild during a measured loop would
    count the whole table as growth if the table it replaces had been allocated before
    tracing started, so tracing starts once, for the whole process, and the table is made
    to grow (and so to be reallocated) right away.
    """
    tracemalloc.start()
    transient = [sys.intern(f"leak-check-{i}") for i in range(200_000)]
    del transient


def _start_tracing():
    if tracemalloc.is_tracing():
        return
    _trace_interned_table()
    # Everything alive by now (the test modules, unittest, the standard library) is left
    # out of the collections of settle(), which then only look at what the calls made.
    gc.freeze()


def settle():
    gc.collect()
    # The type attribute cache keeps the name strings of recent lookups alive; names made
    # afresh on every call would otherwise look like a slow leak.
    sys._clear_internal_caches()


@contextlib.contextmanager
def silenced_fd2():
    """Sends descriptor 2 (the module's skip lines and internal-failure diagnostics) to
    /dev/null for the duration."""
    sys.stderr.flush()
    with open(os.devnull, "w") as devnull:
        saved = os.dup(2)
        os.dup2(devnull.fileno(), 2)
        try:
            yield
        finally:
            os.dup2(saved, 2)
            os.close(saved)


def assert_no_growth(test, call, *, tracked=(), loops=10_000, warmup=None, quiet=False):
    """Runs `call()` `warmup` times, then `loops` times, and asserts that nothing it
    allocated or referenced stays behind.

    A round that grew beyond the slack is measured once more: a leak grows again in the
    second round, while a one-time growth does not (a table of the interpreter's or of
    tracemalloc's own being reallocated larger during the first, say, which happens or
    not depending on what the test runner allocated before)."""
    _start_tracing()
    loops = max(100, loops // LOOP_DIVISOR)
    if warmup is None:
        warmup = max(50, min(300, loops // 10))
    with silenced_fd2() if quiet else contextlib.nullcontext():
        for _ in range(warmup):
            call()
        for _ in range(2):
            settle()
            counts = [sys.getrefcount(obj) for obj in tracked]
            blocks = sys.getallocatedblocks()
            traced = tracemalloc.get_traced_memory()[0]
            heap = heap_in_use() if heap_in_use else 0
            for _ in range(loops):
                call()
            settle()
            grown_heap = (heap_in_use() - heap) if heap_in_use else 0
            grown_traced = tracemalloc.get_traced_memory()[0] - traced
            grown_blocks = sys.getallocatedblocks() - blocks
            after = [sys.getrefcount(obj) for obj in tracked]
            if (after == counts and grown_blocks <= BLOCK_SLACK and grown_traced <= TRACED_SLACK
                    and grown_heap <= HEAP_SLACK):
                break
    test.assertEqual(after, counts, "reference counts of the arguments changed")
    test.assertLessEqual(grown_blocks, BLOCK_SLACK, f"{grown_blocks} more allocated blocks after {loops} calls")
    test.assertLessEqual(grown_traced, TRACED_SLACK, f"{grown_traced} more traced bytes after {loops} calls")
    test.assertLessEqual(grown_heap, HEAP_SLACK, f"{grown_heap} more C heap bytes after {loops} calls")
