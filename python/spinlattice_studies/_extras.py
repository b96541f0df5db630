"""The message for a part of this package whose dependencies are not installed."""

from __future__ import annotations


class MissingExtra(ImportError):
    """A dependency of one part of this package is not installed; the message says
    which, and the pip command that installs it."""


def missing_extra(part: str, error: ImportError, extra: str = "studies") -> MissingExtra:
    """The error for `part`, which failed to import a dependency with `error`."""
    what = error.name or str(error)
    return MissingExtra(f"{part} needs {what}, which is not installed here: pip install \"spinlattice[{extra}]\"",
                        name=error.name)
