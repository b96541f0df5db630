"""Chains on disk: one file per finished chain, holding its raw series, and one
per chain in progress, so that a run cut short resumes, even mid-chain.

Every file is written atomically (a temporary name in the same folder, flushed
to disk, then renamed over the final name), so a crash mid-write leaves either
the old file or none. Each holds the plan it was run for and a checksum of its
contents; a file whose plan differs from the one asked for, or whose checksum
fails, is reported and rerun, never used.

The files are NumPy ``.npz`` archives (a zip of ``.npy`` arrays), readable with
numpy alone, no need for this package::

    NAME.npz            a finished chain
        energy          float64[n]  total energy E = -sum_<ij> s_i s_j - h sum_i s_i,
                                    after each measurement interval, in order
        magnetization   float64[n]  total magnetisation M = sum_i s_i, at the same times
        header          uint8[]     UTF-8 JSON: {"plan": the chain (L, T, rule,
                                    equilibration, measurements, max_measurements,
                                    h, start), "fields": the summary and costs
                                    (chains.ChainResult), "check": a SHA-256}
    NAME.progress.npz   a chain in progress (chains.Progress): the same header,
                        with the spins (int8, site-index order, row-major),
                        energy and magnetisation so far

For example::

    with numpy.load("wolff_L16_T2.2691853142.npz") as f:
        energy, magnetization = f["energy"], f["magnetization"]
        header = json.loads(bytes(f["header"]).decode())

One measurement interval is one sweep of L^2 single-spin updates (Metropolis),
or `updates_per_measurement` cluster flips (Wolff: about one sweep-equivalent,
`sweeps_per_measurement` in the header).
"""

from __future__ import annotations

import contextlib
import hashlib
import json
import os
import tempfile
from collections.abc import Iterator, Sequence
from pathlib import Path
from typing import IO, Any

try:
    import numpy as np
except ImportError as error:
    from ._extras import missing_extra

    raise missing_extra(__name__, error) from error

from .chains import Progress
from .plan import Chain


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


def _checksum(header: dict[str, Any], arrays: dict[str, np.ndarray]) -> str:
    digest = hashlib.sha256(json.dumps(header, sort_keys=True).encode())
    for name in sorted(arrays):
        a = np.ascontiguousarray(arrays[name])
        digest.update(f"{name}:{a.dtype.str}:{a.shape}".encode())
        digest.update(a.tobytes())
    return digest.hexdigest()


def _write(path: Path, plan: dict[str, Any], record: Any) -> None:
    """A record (a dataclass of numbers, strings and numpy arrays) beside its plan."""
    path.parent.mkdir(parents=True, exist_ok=True)
    fields = dict(vars(record))
    arrays = {k: np.asarray(v) for k, v in fields.items() if isinstance(v, np.ndarray)}
    header = {"plan": plan, "fields": {k: v for k, v in fields.items() if k not in arrays}}
    header_text = json.dumps({**header, "check": _checksum(header, arrays)})
    with atomic_file(path) as f:
        np.savez(f, header=np.frombuffer(header_text.encode(), np.uint8), **arrays)


def _read(path: Path, plan: dict[str, Any], kind: type) -> tuple[Any, str]:
    """The record saved at `path` for `plan`, or None and why it cannot be used
    ("" when there is simply no file)."""
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
    if saved["plan"] != json.loads(json.dumps(plan)):
        return None, f"{path.name} was run for {saved['plan']}, not {plan}"
    try:
        return kind(**saved["fields"], **arrays), ""
    except TypeError as e:
        return None, f"{path.name} does not hold a {kind.__name__} ({e})"


class ChainStore:
    """Chains as files in `folder`: finished ones (NAME.npz) and, while they run,
    their saved states (NAME.progress.npz)."""

    def __init__(self, folder: Path) -> None:
        # Absolute: workers elsewhere (a Dask cluster) may run in other folders.
        self.folder = Path(folder).absolute()

    def path(self, name: str) -> Path:
        return self.folder / f"{name}.npz"

    def progress_path(self, name: str) -> Path:
        return self.folder / f"{name}.progress.npz"

    # A finished chain.
    def save(self, chain: Chain, record: Any) -> None:
        _write(self.path(chain.name), chain.plan(), record)

    def load(self, chain: Chain, kind: type) -> tuple[Any, str]:
        """The finished record of `chain`, or None and why it cannot be used ("" if none)."""
        return _read(self.path(chain.name), chain.plan(), kind)

    def load_all(self, chains: Sequence[Chain], kind: type) -> list[Any]:
        """Every one of `chains`, finished; ValueError naming those that are not."""
        records, missing = [], []
        for chain in chains:
            record, why = self.load(chain, kind)
            records.append(record)
            if record is None:
                missing.append(why or f"{self.path(chain.name).name} is missing")
        if missing:
            raise ValueError(f"{len(missing)} of {len(chains)} chains are not saved in {self.folder}: " + "; ".join(missing[:3]))
        return records

    # A chain in progress.
    def save_progress(self, chain: Chain, progress: Progress) -> None:
        _write(self.progress_path(chain.name), chain.plan(), progress)

    def load_progress(self, chain: Chain) -> tuple[Progress | None, str]:
        progress, why = _read(self.progress_path(chain.name), chain.plan(), Progress)
        if progress is not None and progress.spins.size != chain.L * chain.L:
            return None, f"{self.progress_path(chain.name).name} holds {progress.spins.size} spins, not {chain.L}^2"
        return progress, why

    def drop_progress(self, chain: Chain) -> None:
        with contextlib.suppress(FileNotFoundError):
            self.progress_path(chain.name).unlink()

    def count(self) -> int:
        """Finished chains in the folder."""
        return sum(not p.name.endswith(".progress.npz") for p in self._files("*.npz"))

    def in_progress(self) -> int:
        """Chains saved mid-run in the folder."""
        return len(self._files("*.progress.npz"))

    def tidy(self) -> None:
        """Remove what a write cut short by a crash left (never trusted, only in the way)."""
        for p in self._files(".*.part"):
            with contextlib.suppress(FileNotFoundError):
                p.unlink()

    def clear(self) -> None:
        """Remove every chain, finished or in progress, and the folder if that empties it."""
        for p in self._files("*.npz"):
            p.unlink()
        self.tidy()
        with contextlib.suppress(OSError):
            self.folder.rmdir()

    def _files(self, pattern: str) -> list[Path]:
        return list(self.folder.glob(pattern)) if self.folder.exists() else []
