"""Beyond one machine: the batch parse as a Dask bag, and its table form (a Dask DataFrame or a
Parquet dataset), for a file list on storage that every worker can read.

    pip install "trawl-meta[dask]"

    from distributed import Client
    import trawl.dask
    client = Client("scheduler:8786")
    bag = trawl.dask.parse_paths(open("paths.txt").read().splitlines(), fast=True)
    trawl.dask.to_parquet(bag, "s3://bucket/metadata/")
"""

from __future__ import annotations

import os
import typing
from collections.abc import Iterable
from typing import Any

import dask.bag as db

from ._batch import _items, display_path, flatten, namespaces, parse_many, record
from .types import Result

__all__ = ["parse_paths", "to_dataframe", "to_parquet"]


def _records(paths: list[str], fast: bool, only: list[str] | None,
             thorough: bool = False) -> list[dict[str, Any]]:
    return [record(path, result) for path, result in parse_many(paths, jobs=1, fast=fast,
                                                                 only=only, thorough=thorough)]


def parse_paths(
    paths: str | os.PathLike[str] | Iterable[str | os.PathLike[str]],
    *,
    fast: bool = False,
    only: str | Iterable[str] | None = None,
    partition_size: int = 1000,
    thorough: bool = False,
) -> db.Bag:
    """A bag of records, one per path: {"path": ..., <namespace>: {...}} as the trawl command
    prints them, or {"path": ..., "error": {"type", "code", "errno", "message"}} for a path that
    cannot be read. Each partition of `partition_size` paths is parsed by one task. A str or
    path object for `paths` (or a str for `only`) is one item; an unknown namespace in `only`
    raises ValueError here, before any task runs. `fast` and `thorough` read as trawl.inspect
    does."""
    names = [os.fspath(p) for p in _items(paths)]
    keep = namespaces(only)
    wanted = None if keep is None else sorted(keep)
    parts = [names[i : i + partition_size] for i in range(0, len(names), partition_size)]
    return db.from_sequence(parts, npartitions=max(1, len(parts))).map(
        _records, fast, wanted, thorough).flatten()


def _table_row(rec: dict[str, Any]) -> dict[str, Any]:
    row = flatten(rec)
    row["path"], row["path_bytes"] = display_path(rec["path"])
    return row


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

    seen = bag.map(_table_row).map(types).fold(merge, merge, initial={}).compute()
    schema = {}
    for column in sorted(seen):
        kinds = seen[column]
        schema[column] = _DTYPES.get(next(iter(kinds)), "string") if len(kinds) == 1 else "string"
    # The exact bytes of a name that is not valid UTF-8, as hex text: a column of bytes would
    # be turned into text by Dask's string conversion and fail on exactly those names.
    schema["path_bytes"] = "string"
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

    parts = [delayed(frame)(rows) for rows in bag.map(_table_row).to_delayed()]
    return dd.from_delayed(parts, meta=meta, verify_meta=False)


def _cell(value: Any, dtype: str) -> Any:
    if value is None or dtype != "string" or isinstance(value, str):
        return value
    if isinstance(value, bytes):
        return value.hex()
    return str(value)


def _known_columns() -> dict[str, Any]:
    """The Arrow type of every column trawl.types declares: path, path_bytes, the error fields,
    and each namespace's keys flattened (lists as their JSON text)."""
    import pyarrow as pa

    scalars = {bool: pa.bool_(), int: pa.int64(), float: pa.float64(), str: pa.string()}
    columns: dict[str, Any] = {"path": pa.string(), "path_bytes": pa.binary(),
                               "error.type": pa.string(), "error.code": pa.string(),
                               "error.errno": pa.int64(), "error.message": pa.string()}
    stack: list[tuple[str, Any]] = [("", Result)]
    while stack:
        prefix, shape = stack.pop()
        for key, kind in typing.get_type_hints(shape).items():
            if typing.is_typeddict(kind):
                stack.append((f"{prefix}{key}.", kind))
            elif kind in scalars:
                columns[f"{prefix}{key}"] = scalars[kind]
            elif typing.get_origin(kind) is list:
                columns[f"{prefix}{key}"] = pa.string()
            # dict[str, str] (EXIF fields, PNG text): its keys are the record's own columns.
    return columns


def _array(values: list[Any], kind: Any) -> Any:
    import pyarrow as pa

    try:
        return pa.array(values, type=kind)
    except (pa.ArrowException, TypeError, ValueError, OverflowError):
        # A value the declared type cannot hold (an integer beyond 64 bits) is left empty.
        cells = []
        for value in values:
            try:
                cells.append(pa.scalar(value, type=kind))
            except (pa.ArrowException, TypeError, ValueError, OverflowError):
                cells.append(pa.scalar(None, type=kind))
        return pa.array(cells, type=kind)


def _write_part(records: list[dict[str, Any]], target: Any, index: int,
                known: dict[str, Any], options: dict[str, Any]) -> list[str]:
    """Writes one partition's rows with the known columns and its own; its own column names."""
    import pyarrow as pa
    import pyarrow.parquet as pq

    fs, root = target
    rows = [_table_row(rec) for rec in records]
    extra: set[str] = set()
    for row in rows:
        for key in row.keys() - known.keys():
            extra.add(key)
            row[key] = _text(row[key])
    columns = [*known.items(), *((c, pa.string()) for c in sorted(extra))]
    try:  # the rows convert in one call when every value has its column's type
        batch = pa.RecordBatch.from_struct_array(pa.array(rows, type=pa.struct(columns)))
        table = pa.Table.from_batches([batch])
    except (pa.ArrowException, TypeError, ValueError, OverflowError):
        table = pa.Table.from_arrays([_array([row.get(c) for row in rows], kind)
                                      for c, kind in columns], names=[c for c, _ in columns])
    sink = pa.BufferOutputStream()
    pq.write_table(table, sink, **options)
    fs.pipe_file(f"{root}/part.{index}.parquet", sink.getvalue().to_pybytes())
    return sorted(extra)


def _text(value: Any) -> str | None:
    return value if value is None or isinstance(value, str) else str(value)


def _widen_part(target: Any, index: int, columns: list[str], options: dict[str, Any]) -> None:
    """Gives one part every column, those other parts brought empty here, so that every file
    of the dataset has one schema."""
    import pyarrow as pa
    import pyarrow.parquet as pq

    fs, root = target
    name = f"{root}/part.{index}.parquet"
    with fs.open(name, "rb") as source:
        table = pq.read_table(source)
    present = set(table.column_names)
    arrays = [table[c] if c in present else pa.nulls(table.num_rows, pa.string())
              for c in columns]
    with fs.open(name, "wb") as out:
        pq.write_table(pa.Table.from_arrays(arrays, names=columns), out, **options)


def to_parquet(bag: db.Bag, path: str, *, storage_options: dict[str, Any] | None = None,
               **options: Any) -> None:
    """Writes the flattened records to a Parquet dataset at `path` (a directory or any fsspec
    URL, opened with `storage_options`), one file per partition, parsing each file once. Columns
    and their types come from trawl.types; the keys a record brings that the types do not name
    (EXIF tags, PNG text keywords) become text columns, which the parts that lack them get
    empty. `options` go to pyarrow.parquet.write_table (compression, ...)."""
    import fsspec
    from dask.base import compute
    from dask.delayed import delayed

    fs, root = fsspec.core.url_to_fs(path, **(storage_options or {}))
    root = root.rstrip("/")
    fs.makedirs(root, exist_ok=True)
    known = _known_columns()
    extras = compute(*[delayed(_write_part)(part, (fs, root), i, known, options)
                       for i, part in enumerate(bag.to_delayed())])
    union = sorted(set().union(*extras))
    compute(*[delayed(_widen_part)((fs, root), i, [*known, *union], options)
              for i, extra in enumerate(extras) if extra != union])
