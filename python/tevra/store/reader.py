"""Reading the run history: what freshness is judged by, the runs and their values
and logs, and which assets and partitions a name stands for. ``tevra.store.Store``
is a reader that also writes.
"""

from __future__ import annotations

import json
import sqlite3
from collections.abc import Iterable, Iterator, Sequence
from pathlib import Path
from typing import Any

from tevra import jobs, runlog
from tevra.errors import UsageError
from tevra.store.schema import DB_NAME, RUN_COLUMNS, RUNNING_ASSETS, Fact, Run, chunks
from tevra.values import Known, Stamp, ValueStore


_FACTS = (
    "SELECT l.partition, l.status, l.success_id, r.code_version, r.input_versions, "
    "r.data_version, r.value IS NOT NULL, r.value_hash, r.files FROM latest l "
    "LEFT JOIN runs r ON r.id = l.success_id ")
_SETTLED_ROWS = "FROM latest l JOIN runs r ON r.id = l.success_id WHERE l.asset = ? AND "
# Never NULL, so that its negation holds for a partition without a success too.
_SETTLED = ("l.status IN (?, ?) AND r.code_version IS ? AND r.input_versions IS NULL "
            "AND r.value IS NOT NULL AND r.files IS NULL")


class Reader:
    """Queries of an open history; the connection is the owner's (``Store``)."""

    root: Path
    db: sqlite3.Connection
    values: ValueStore

    def facts(self, asset: str, keys: Sequence[str] | None = None
              ) -> Iterator[tuple[str, Fact]]:
        """Every recorded partition of ``asset`` (of those ``keys`` when given) with its
        freshness facts, streamed."""
        if keys is not None:
            for chunk, marks in chunks(keys):
                yield from self._facts(self.db.execute(
                    _FACTS + f"WHERE l.asset = ? AND l.partition IN ({marks})",
                    (asset, *chunk)).fetchall())
            return
        rows = self.db.execute(_FACTS + "WHERE l.asset = ?", (asset,))
        while chunk := rows.fetchmany(2048):
            yield from self._facts(chunk)

    def settled(self, asset: str, code_version: str
                ) -> Iterator[list[tuple[str, int, str | None]]]:
        """For an asset without inputs, chunks of (partition, success id, data version)
        of the partitions plainly as their last success left them: their last real run
        is usable, and that success ran ``code_version``, read no inputs and is kept in
        the history itself with no data files. At a million partitions these are most of
        them, and told by the query alone; ``unsettled`` gives the others' facts."""
        rows = self.db.execute("SELECT l.partition, l.success_id, r.data_version "
                               + _SETTLED_ROWS + _SETTLED,
                               (asset, jobs.SUCCEEDED, jobs.CACHED, code_version))
        while chunk := rows.fetchmany(4096):
            yield chunk

    def unsettled(self, asset: str, code_version: str, settled: int
                  ) -> Iterator[tuple[str, Fact]]:
        """``facts`` of the partitions ``settled`` leaves out, given how many it gave:
        none to look for when that is every recorded partition (the usual case)."""
        total = self.db.execute("SELECT count(*) FROM latest WHERE asset = ?",
                                (asset,)).fetchone()[0]
        if total == settled:
            return
        rows = self.db.execute(_FACTS + "WHERE l.asset = ? AND NOT (" + _SETTLED + ")",
                               (asset, jobs.SUCCEEDED, jobs.CACHED, code_version))
        while chunk := rows.fetchmany(2048):
            yield from self._facts(chunk)

    def _facts(self, rows: list[Any]) -> Iterator[tuple[str, Fact]]:
        # Stamps of stored values are looked up for a chunk of rows at once, and only for
        # values not kept inline: joined row by row, they cost most small assets' scan.
        stored = [row[7] for row in rows if row[7] is not None and not row[6]]
        stamps = self.stamps(stored) if stored else {}
        for row in rows:
            fact = Fact(*row[1:])
            digest = row[7]
            if digest is not None and not row[6]:
                fact = fact._replace(stamp=stamps.get(digest))
            yield row[0], fact

    def success_values(self, run_ids: list[int]) -> dict[int, tuple[bytes | str, tuple[str, ...]]]:
        """The value of each of these runs, as a job carries it (its bytes, or its
        stored file's path), and the stored data files its manifest names."""
        out: dict[int, tuple[bytes | str, tuple[str, ...]]] = {}
        for chunk, marks in chunks(run_ids):
            rows = self.db.execute(
                f"SELECT id, value, value_hash, files FROM runs WHERE id IN ({marks})", chunk)
            for run_id, value, digest, files in rows:
                if value is not None or digest:
                    out[run_id] = (value if value is not None else self.values.path(digest),
                                   tuple(files.split()) if files else ())
        return out

    def stamps(self, hashes: Iterable[str]) -> dict[str, Stamp]:
        """The recorded stamps of these stored files."""
        out: dict[str, Stamp] = {}
        for chunk, marks in chunks(list(hashes)):
            rows = self.db.execute(
                "SELECT hash, size, mtime_ns, ctime_ns, inode, device FROM stored "
                f"WHERE hash IN ({marks})", chunk)
            out.update((row[0], Stamp(*row[1:])) for row in rows)
        return out

    def file_stamps(self) -> dict[str, Known]:
        """The stat cache of sources, as earlier invocations left it."""
        return {row[0]: Known(Stamp(*row[1:6]), row[6], row[7]) for row in self.db.execute(
            "SELECT path, size, mtime_ns, ctime_ns, inode, device, hash, hashed_ns "
            "FROM file_stamps")}

    def runs(self, asset: str | None = None, status: str | None = None,
             limit: int | None = 50, cached: bool = True) -> list[Run]:
        where: list[str] = []
        args: list[object] = []
        if not cached and status is None:
            where.append("status != ?")
            args.append(jobs.CACHED)
        if asset is not None:
            where.append("asset = ?")
            args.append(asset)
        if status is not None:
            where.append("status = ?")
            args.append(status)
        sql = f"SELECT {', '.join(RUN_COLUMNS)} FROM runs"
        if where:
            sql += " WHERE " + " AND ".join(where)
        sql += " ORDER BY id DESC"
        if limit is not None:
            sql += " LIMIT ?"
            args.append(limit)
        return [Run(*row) for row in self.db.execute(sql, args)]

    def run(self, run_id: int) -> Run | None:
        if not 0 < run_id < 1 << 63:
            return None  # no row can have it: SQLite's integers are 64-bit
        row = self.db.execute(
            f"SELECT {', '.join(RUN_COLUMNS)} FROM runs WHERE id = ?", (run_id,)
        ).fetchone()
        return Run(*row) if row else None

    def log_of(self, run: Run) -> bytes | None:
        """What a run wrote: its log as stored, or so far for a run under way; None when
        it wrote nothing or its log is gone."""
        if not run.log_hash:
            live = self.live_log(run.id) if run.status == jobs.RUNNING else None
            if live is None:
                return None
            try:
                return live.read()
            finally:
                live.close()
        try:
            with open(self.values.path(run.log_hash), "rb") as f:
                return f.read()
        except OSError:
            return None

    def live_log(self, run_id: int) -> runlog.LiveLog | None:
        """The log of a run under way, where its worker writes it."""
        return runlog.live_log(str(self.root / "scratch"), run_id)

    def last_run(self, asset: str, partition: str) -> Run | None:
        row = self.db.execute(
            f"SELECT {', '.join(RUN_COLUMNS)} FROM runs WHERE asset = ? AND partition = ? "
            "AND status != ? ORDER BY id DESC LIMIT 1",
            (asset, partition, jobs.CACHED),
        ).fetchone()
        return Run(*row) if row else None

    def asset_keys(self, name: str) -> list[str]:
        """The keys in the history that ``name`` names: the key itself, else every key
        whose function or name it is."""
        # Those with a last run, and those whose first runs are under way.
        keys = [row[0] for row in self.db.execute(
            "SELECT DISTINCT asset FROM latest UNION " + RUNNING_ASSETS)]
        if name in keys:
            return [name]
        matches = [k for k in keys if k.endswith(":" + name) or k.split(":")[-1] == name]
        if not matches:
            raise UsageError(f"no runs of an asset {name!r} in {self.root}")
        if len(matches) > 1:
            raise UsageError(f"{name!r} names {len(matches)} assets: "
                             f"{', '.join(sorted(matches))}; give one of these keys")
        return matches

    def latest_run_of(self, name: str, partition: str) -> Run:
        """The newest run of a partition of the asset ``name`` names; for a cached run,
        the run that made its value."""
        keys = self.asset_keys(name)
        found = [r for k in keys if (r := self.last_run(k, partition)) is not None]
        if not found:
            if not partition:
                several = self._some_partitions(keys)
                if several:
                    raise UsageError(
                        f"{name} has partitions; name one with --partition "
                        f"(such as {', '.join(several)})")
            raise UsageError(f"no runs of {name}{f'[{partition}]' if partition else ''} "
                             f"in {self.root}")
        run = max(found, key=lambda r: r.id)
        if run.cached_from is not None:
            run = self.run(run.cached_from) or run
        return run

    def _some_partitions(self, keys: list[str], limit: int = 3) -> list[str]:
        """A few partitions of the assets ``keys`` names that have a last run."""
        found: list[str] = []
        for key in keys:
            found += [row[0] for row in self.db.execute(
                "SELECT partition FROM latest WHERE asset = ? AND partition != '' "
                "ORDER BY partition LIMIT ?", (key, limit))]
        return sorted(found)[:limit]

    def history(self, asset: str | None, status: str | None, limit: int,
                cached: bool = False) -> list[Run]:
        """The newest ``limit`` runs, of the asset ``asset`` names when given; the
        records of cached partitions older stores kept only with ``cached``."""
        if not asset:
            return self.runs(None, status, limit, cached)
        runs: list[Run] = []
        for key in self.asset_keys(asset):
            runs.extend(self.runs(key, status, limit, cached))
        runs.sort(key=lambda r: -r.id)
        return runs[:limit]

    def code_versions_of(self, asset: str) -> dict[str | None, int]:
        """The code versions the latest successes of an asset's partitions ran, with how
        many partitions each."""
        return dict(self.db.execute(
            "SELECT r.code_version, COUNT(*) FROM latest l JOIN runs r ON r.id = l.success_id "
            "WHERE l.asset = ? GROUP BY r.code_version", (asset,)).fetchall())

    def code_parts(self, code_version: str) -> dict[str, str] | None:
        row = self.db.execute("SELECT parts FROM code_parts WHERE code_version = ?",
                              (code_version,)).fetchone()
        return json.loads(row[0]) if row else None

    # -- upkeep ----------------------------------------------------------------------

    def _named_files(self) -> dict[str, int]:
        """Every stored file a run names (its value, data files, log) -> one such run."""
        named: dict[str, int] = {}
        for run_id, value_hash, files, log_hash in self.db.execute(
                "SELECT id, value_hash, files, log_hash FROM runs "
                "WHERE value_hash IS NOT NULL OR files IS NOT NULL OR log_hash IS NOT NULL"):
            for digest in (value_hash, log_hash, *(files.split() if files else ())):
                if digest:
                    named.setdefault(digest, run_id)
        return named

    def check(self) -> tuple[int, list[str]]:
        """Check the database and read every stored file against its hash: how many
        files were read, and one line per problem found."""
        problems: list[str] = []
        verdict = self.db.execute("PRAGMA quick_check").fetchone()[0]
        if verdict != "ok":
            problems.append(f"{self.root / DB_NAME}: the database is damaged ({verdict})")
        named = self._named_files()
        on_disk = set(self.values.digests())
        for digest in sorted(named.keys() | on_disk):
            wrong = self.values.verify(digest)
            if wrong is None:
                continue
            if digest in named:
                run = self.run(named[digest])
                who = f"named by run {named[digest]}" + (
                    f" ({run.asset}{f'[{run.partition}]' if run.partition else ''})"
                    if run is not None else "")
            else:
                who = "named by no run"
            problems.append(f"{self.values.path(digest)}: {wrong}; {who}")
        return len(named.keys() | on_disk), problems
