"""Chains on disk: the study's series in one file for reanalysis, and one
checkpoint file per finished chain so that a run cut short resumes.

Every file is written atomically (a temporary name in the same folder, flushed
to disk, then renamed over the final name), so a crash mid-write leaves either
the old file or none. A checkpoint holds the plan entry it was run for and a
checksum of its contents; a file whose plan entry differs from the one asked
for, or whose checksum fails, is reported and rerun, never used.
"""

from __future__ import annotations

import contextlib
import hashlib
import json
import math
import os
import tempfile
from collections.abc import Iterator, Sequence
from pathlib import Path
from typing import IO, Any

import numpy as np

from .chains import SeriesRun


@contextlib.contextmanager
def atomic_file(path: Path) -> Iterator[IO[bytes]]:
    """A file to write that appears at `path` only once it is whole and on disk."""
    fd, temporary = tempfile.mkstemp(prefix=f".{path.name}.", suffix=".part", dir=path.parent)
    try:
        with os.fdopen(fd, "wb") as f:
            yield f
            f.flush()
            os.fsync(f.fileno())
        os.replace(temporary, path)
    except BaseException:
        with contextlib.suppress(FileNotFoundError):
            os.unlink(temporary)
        raise
    # The rename itself is durable once the folder is.
    folder = os.open(path.parent, os.O_RDONLY)
    try:
        os.fsync(folder)
    finally:
        os.close(folder)


# --- every chain of a study in one file -----------------------------------------


def save_series(runs: Sequence[SeriesRun], path: Path) -> None:
    """Every chain's raw series, so that the analysis can be rerun without simulating."""
    arrays: dict[str, Any] = {}
    for i, r in enumerate(runs):
        arrays[f"c{i}_energy"] = np.asarray(r.energy, float)
        arrays[f"c{i}_magnetization"] = np.asarray(r.magnetization, float)
        arrays[f"c{i}_meta"] = np.array([r.L, r.T, r.seconds, r.cpu_seconds, r.flips_per_measurement], float)
    with atomic_file(path) as f:
        np.savez_compressed(f, **arrays)


def load_series(path: Path) -> list[SeriesRun]:
    with np.load(path) as f:
        count = sum(1 for k in f.files if k.endswith("_meta"))
        out = []
        for i in range(count):
            meta = f[f"c{i}_meta"]
            # Older files lack the CPU time and the flips per measurement.
            cpu_seconds = float(meta[3]) if meta.size > 3 else math.nan
            flips = int(meta[4]) if meta.size > 4 else 0
            out.append(SeriesRun(int(meta[0]), float(meta[1]), f[f"c{i}_energy"], f[f"c{i}_magnetization"],
                                 flips, float(meta[2]), cpu_seconds))
    return out


# --- one checkpoint file per finished chain --------------------------------------


def _checksum(header: dict[str, Any], arrays: dict[str, np.ndarray]) -> str:
    digest = hashlib.sha256(json.dumps(header, sort_keys=True).encode())
    for name in sorted(arrays):
        a = np.ascontiguousarray(arrays[name])
        digest.update(f"{name}:{a.dtype.str}:{a.shape}".encode())
        digest.update(a.tobytes())
    return digest.hexdigest()


class ChainStore:
    """Finished chains as files in `folder`, one per plan entry: a record (a
    dataclass of numbers, strings and numpy arrays) beside the plan entry it
    was run for and a checksum of both."""

    def __init__(self, folder: Path) -> None:
        self.folder = folder

    def path(self, name: str) -> Path:
        return self.folder / f"{name}.npz"

    def save(self, name: str, plan: Sequence[Any], record: Any) -> None:
        self.folder.mkdir(parents=True, exist_ok=True)
        fields = dict(vars(record))
        arrays = {k: np.asarray(v) for k, v in fields.items() if isinstance(v, np.ndarray)}
        header = {"plan": list(plan), "fields": {k: v for k, v in fields.items() if k not in arrays}}
        header_text = json.dumps({**header, "check": _checksum(header, arrays)})
        with atomic_file(self.path(name)) as f:
            np.savez(f, header=np.frombuffer(header_text.encode(), np.uint8), **arrays)

    def load(self, name: str, plan: Sequence[Any], kind: type) -> tuple[Any, str]:
        """The saved record for `plan`, or None and why it cannot be used
        ("" when there is simply no file)."""
        path = self.path(name)
        if not path.exists():
            return None, ""
        try:
            with np.load(path) as f:
                saved = json.loads(bytes(f["header"]).decode())
                arrays = {k: f[k] for k in f.files if k != "header"}
            check = saved.pop("check")
        except Exception as e:  # noqa: BLE001 - any unreadable file is rerun, whatever broke it
            return None, f"{path.name} is unreadable ({type(e).__name__}: {e})"
        if _checksum(saved, arrays) != check:
            return None, f"{path.name} fails its checksum"
        if saved["plan"] != json.loads(json.dumps(list(plan))):
            return None, f"{path.name} was run for {saved['plan']}, not {list(plan)}"
        try:
            return kind(**saved["fields"], **arrays), ""
        except TypeError as e:
            return None, f"{path.name} does not hold a {kind.__name__} ({e})"

    def count(self) -> int:
        return len(list(self.folder.glob("*.npz"))) if self.folder.exists() else 0

    def clear(self) -> None:
        """Remove every checkpoint (the run they belong to is complete)."""
        if self.folder.exists():
            for p in self.folder.glob("*.npz"):
                p.unlink()
            for p in self.folder.glob(".*.part"):
                p.unlink()
            with contextlib.suppress(OSError):
                self.folder.rmdir()
