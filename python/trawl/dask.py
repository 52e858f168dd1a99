"""Beyond one machine: the batch parse as a Dask bag, and its table form (a Dask DataFrame or a
Parquet dataset), for a file list on storage that every worker can read.

    pip install "trawl-meta[dask]"

    from distributed import Client
    import trawl.dask
    client = Client("scheduler:8786")
    bag = trawl.dask.parse_paths(open("paths.txt").read().split("\\n"), fast=True)
    trawl.dask.to_parquet(bag, "s3://bucket/metadata/")
"""

from __future__ import annotations

import os
from collections.abc import Iterable
from typing import Any

import dask.bag as db

from ._batch import flatten, parse_many

__all__ = ["parse_paths", "to_dataframe", "to_parquet"]


def _records(paths: list[str], fast: bool, only: list[str] | None) -> list[dict[str, Any]]:
    out = []
    for path, result in parse_many(paths, jobs=1, fast=fast, only=only):
        if isinstance(result, dict):
            out.append({"path": path, **result})
        else:
            kind = "OSError" if isinstance(result, OSError) else type(result).__name__
            out.append({"path": path, "error": {"type": kind, "message": str(result)}})
    return out


def parse_paths(
    paths: Iterable[str | os.PathLike[str]],
    *,
    fast: bool = False,
    only: Iterable[str] | None = None,
    partition_size: int = 1000,
) -> db.Bag:
    """A bag of records, one per path: {"path": ..., <namespace>: {...}} as the trawl command
    prints them, or {"path": ..., "error": {"type", "message"}} for a path that cannot be read.
    Each partition of `partition_size` paths is parsed by one task."""
    names = [os.fspath(p) for p in paths]
    keep = None if only is None else list(only)
    parts = [names[i : i + partition_size] for i in range(0, len(names), partition_size)]
    return db.from_sequence(parts, npartitions=max(1, len(parts))).map(
        _records, fast, keep).flatten()


# pandas dtypes for the Python types a flattened column holds when it holds only one.
_DTYPES = {bool: "boolean", int: "Int64", float: "float64", str: "string"}


def _schema(bag: db.Bag) -> dict[str, str]:
    """Every column of the flattened records with one dtype: the column's type where all its
    values share one, text otherwise."""

    def types(row: dict[str, Any]) -> dict[str, frozenset[type]]:
        return {k: frozenset({type(v)}) for k, v in row.items() if v is not None}

    def merge(
        a: dict[str, frozenset[type]], b: dict[str, frozenset[type]]
    ) -> dict[str, frozenset[type]]:
        out = dict(a)
        for k, v in b.items():
            out[k] = out.get(k, frozenset()) | v
        return out

    seen = bag.map(flatten).map(types).fold(merge, merge, initial={}).compute()
    schema = {}
    for column in sorted(seen):
        kinds = seen[column]
        schema[column] = _DTYPES.get(next(iter(kinds)), "string") if len(kinds) == 1 else "string"
    return schema


def to_dataframe(bag: db.Bag) -> Any:
    """The flattened records as a Dask DataFrame, one column per dotted key (two passes over the
    bag: one for the columns and their types, one for the rows)."""
    import dask.dataframe as dd
    from dask.delayed import delayed
    import pandas as pd

    schema = _schema(bag)
    meta = pd.DataFrame({c: pd.Series(dtype=t) for c, t in schema.items()})

    def frame(rows: list[dict[str, Any]]) -> pd.DataFrame:
        cells = [{c: _cell(row.get(c), schema[c]) for c in schema} for row in rows]
        return pd.DataFrame.from_records(cells, columns=list(schema)).astype(schema)

    parts = [delayed(frame)(rows) for rows in bag.map(flatten).to_delayed()]
    return dd.from_delayed(parts, meta=meta, verify_meta=False)


def _cell(value: Any, dtype: str) -> Any:
    if value is None or dtype != "string" or isinstance(value, str):
        return value
    return str(value)


def to_parquet(bag: db.Bag, path: str, **options: Any) -> None:
    """Writes the flattened records to a Parquet dataset at `path`, through pyarrow."""
    to_dataframe(bag).to_parquet(path, engine="pyarrow", write_index=False, **options)
