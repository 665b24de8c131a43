"""The value store on real files: content addressing, damage found and healed, scratch
directories made exclusively, and the stat cache reading a file only when it changed."""

from __future__ import annotations

import errno
import os
import stat
import threading
import time

import pytest

from tevra.values import (RACY_NS, HashingWriter, Known, StatCache, StoreError, ValueStore,
                          empty_dir, hash_bytes, hash_file, make_scratch, stamp_of)


@pytest.fixture
def store(tmp_path):
    return ValueStore(str(tmp_path / "values"))


def write(path, data: bytes) -> str:
    with open(path, "wb") as f:
        f.write(data)
    return str(path)


def rewrite_keeping_size_and_mtime(path, data: bytes) -> None:
    """Change a file's bytes but neither its size nor its mtime (only its ctime moves)."""
    before = os.stat(path)
    assert len(data) == before.st_size
    os.chmod(path, 0o644)
    while True:
        write(path, data)
        os.utime(path, ns=(before.st_atime_ns, before.st_mtime_ns))
        if os.stat(path).st_ctime_ns != before.st_ctime_ns:
            return
        time.sleep(0.001)  # the filesystem's clock has not ticked since the first write


def test_equal_bytes_are_stored_once_read_only(store, tmp_path):
    first = store.put(write(tmp_path / "a", b"same bytes"))
    second = store.put(write(tmp_path / "b", b"same bytes"))
    other = store.put(write(tmp_path / "c", b"other bytes"))
    assert first.digest == second.digest == hash_bytes(b"same bytes")
    assert sorted(store.digests()) == sorted({first.digest, other.digest})
    path = store.path(first.digest)
    assert path == f"{store.root}/{first.digest[:2]}/{first.digest[2:]}"
    assert stat.S_IMODE(os.stat(path).st_mode) == 0o444
    assert not (tmp_path / "a").exists() and not (tmp_path / "b").exists()
    assert store.read(first.digest) == b"same bytes" and first.size == 10


def test_damage_is_found_by_its_stamp_and_healed_by_equal_bytes(store, tmp_path):
    stored = store.put(write(tmp_path / "a", b"value one"))
    assert store.check(stored.digest, stored.stamp) == stored.stamp
    assert store.verify(stored.digest) is None

    rewrite_keeping_size_and_mtime(store.path(stored.digest), b"value two")
    assert store.check(stored.digest, stored.stamp) is None
    assert store.verify(stored.digest) == f"its bytes hash to {hash_bytes(b'value two')}"

    healed = store.put(write(tmp_path / "b", b"value one"))
    assert store.check(stored.digest, stored.stamp) == healed.stamp != stored.stamp
    assert store.verify(stored.digest) is None


def test_a_touched_value_is_read_again_and_kept(store, tmp_path):
    stored = store.put(write(tmp_path / "a", b"value"))
    os.utime(store.path(stored.digest), ns=(1, 1))
    now = store.check(stored.digest, stored.stamp)
    assert now is not None and now != stored.stamp and now.mtime_ns == 1


def test_missing_and_removed_values(store, tmp_path):
    stored = store.put(write(tmp_path / "a", b"value"))
    assert store.remove(stored.digest) and not store.remove(stored.digest)
    assert store.check(stored.digest, stored.stamp) is None
    assert store.verify(stored.digest) == "missing"
    assert list(store.digests()) == []


def test_put_bytes_goes_through_scratch(store, tmp_path):
    scratch = make_scratch(str(tmp_path), "w0")
    stored = store.put_bytes(b"shipped", scratch)
    assert store.read(stored.digest) == b"shipped" and os.listdir(scratch) == []


def test_a_file_hashed_while_written_has_the_hash_of_its_bytes(tmp_path):
    """Pieces of every size, in every buffer type; a buffer its owner fills again once
    ``write`` returned must be hashed as it was written (it comes after many MiB, which
    the hash has not caught up with yet)."""
    reused = bytearray(os.urandom(200_000))
    pieces = [b"head", os.urandom(24 << 20), reused, memoryview(os.urandom(70_000)), b"x"]
    written = b"".join(pieces)
    zeros = bytes(len(reused))
    path = str(tmp_path / "written")
    with HashingWriter(path) as file:
        for piece in pieces:
            assert file.write(piece) == len(piece)
            if piece is reused:
                reused[:] = zeros  # the owner reuses its buffer at once
        assert file.tell() == len(written)
    assert file.digest() == hash_bytes(written) == hash_file(path)[0]
    stored = ValueStore(str(tmp_path / "values")).put(path, file.digest())
    assert stored.digest == hash_bytes(written) and stored.size == len(written)


@pytest.mark.parametrize("size", [10, 5 << 20])
def test_a_full_disk_fails_the_write_and_leaves_no_thread(size):
    file = HashingWriter("/dev/full")
    with pytest.raises(OSError) as raised, file:
        file.write(os.urandom(size))
    assert raised.value.errno == errno.ENOSPC and file.closed
    assert not any(t.name == "tevra-hash" for t in threading.enumerate())


def test_scratch_is_made_exclusively_and_emptied(tmp_path):
    root = str(tmp_path)
    path = make_scratch(root, "w0")
    with pytest.raises(StoreError, match="already exists"):
        make_scratch(root, "w0")
    os.mkdir(f"{path}/sub")
    write(f"{path}/sub/x", b"1")
    write(f"{path}/value.json", b"1")
    empty_dir(path)
    assert os.listdir(path) == []

    elsewhere = tmp_path / "elsewhere"
    elsewhere.mkdir()
    other = tmp_path / "other"
    other.mkdir()
    os.symlink(elsewhere, other / "scratch")
    with pytest.raises(StoreError, match="not a directory of its own"):
        make_scratch(str(other), "w0")
    assert list(elsewhere.iterdir()) == []


def test_stat_cache_reads_a_file_only_when_its_stamp_changed(tmp_path):
    path = write(tmp_path / "export.csv", b"a,b\n1,2\n")
    digest, stamp = hash_file(path)
    # Hashed by an earlier invocation well after the file's last change.
    cache = StatCache({path: Known(stamp, digest, max(stamp.mtime_ns, stamp.ctime_ns) + RACY_NS)})
    assert cache.digest(path) == digest and cache.bytes_hashed == 0 and cache.learnt == {}

    rewrite_keeping_size_and_mtime(path, b"a,b\n1,3\n")
    assert cache.digest(path) == hash_bytes(b"a,b\n1,3\n")
    assert cache.bytes_hashed == 8 and list(cache.learnt) == [path]


def test_stat_cache_does_not_trust_a_stamp_taken_within_a_tick(tmp_path):
    path = write(tmp_path / "fresh.csv", b"x")
    cache = StatCache()
    cache.digest(path)
    cache.digest(path)  # hashed right after it was written: the stamp proves nothing yet
    assert cache.bytes_hashed == 2
    assert stamp_of(os.stat(path)) == cache.known[path].stamp
