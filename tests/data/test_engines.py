"""pandas, pyarrow.dataset, DuckDB and a Dask cluster of processes reading encrypted files on S3.

The S3 API is moto's server on 127.0.0.1; the files are written through
``velora::s3://`` and every engine's result is compared with the same
computation on the plaintext tables."""

from __future__ import annotations

import fsspec
import numpy as np
import pandas as pd
import pyarrow as pa
import pyarrow.dataset as ds
import pyarrow.parquet as pq
import pytest
from pyarrow.fs import FSSpecHandler, PyFileSystem

from velora.fs import VeloraFileSystem

PARTS = 16
ROWS = 250


def part(i: int) -> pd.DataFrame:
    rng = np.random.default_rng(i)
    return pd.DataFrame({
        "id": np.arange(i * ROWS, (i + 1) * ROWS, dtype=np.int64),
        "value": rng.integers(-1000, 1000, ROWS, dtype=np.int64),
        "group": rng.choice(["a", "b", "c"], ROWS),
    })


@pytest.fixture(scope="module")
def table_on_s3(s3_options, identity_path, recipient_path):
    """16 encrypted Parquet files and one encrypted CSV in a fresh bucket: (bucket, options, plaintext)."""
    import s3fs

    raw = s3fs.S3FileSystem(**s3_options)
    name = "engines"
    raw.call_s3("create_bucket", Bucket=name)
    options = {"identity": identity_path, "recipients": recipient_path, "s3": s3_options}
    frames = [part(i) for i in range(PARTS)]
    for i, df in enumerate(frames):
        # small row groups: a reader jumps between column chunks by range
        with fsspec.open(f"velora::s3://{name}/table/part-{i:02d}.parquet", "wb", **options) as f:
            pq.write_table(pa.Table.from_pandas(df, preserve_index=False), f, row_group_size=50)
    whole = pd.concat(frames, ignore_index=True)
    whole.to_csv(f"velora::s3://{name}/table.csv", index=False, storage_options=options)
    return name, options, whole


def test_the_stored_objects_are_encrypted(table_on_s3, s3_options):
    import s3fs

    name, _, _ = table_on_s3
    raw = s3fs.S3FileSystem(**s3_options)
    head = raw.cat_file(f"{name}/table/part-00.parquet", start=0, end=4)
    assert head == b"\x89VLR"  # not Parquet's PAR1
    with pytest.raises(Exception):
        pq.read_table(f"{name}/table/part-00.parquet", filesystem=raw)


def test_pandas_read_parquet_and_read_csv(table_on_s3):
    name, options, whole = table_on_s3
    df = pd.read_parquet(f"velora::s3://{name}/table/part-03.parquet", storage_options=options)
    pd.testing.assert_frame_equal(df, part(3))
    cols = pd.read_parquet(f"velora::s3://{name}/table/part-05.parquet", columns=["value"], storage_options=options)
    pd.testing.assert_frame_equal(cols, part(5)[["value"]])
    csv = pd.read_csv(f"velora::s3://{name}/table.csv", storage_options=options)
    pd.testing.assert_frame_equal(csv, whole)


def test_pyarrow_dataset_through_fsspec_handler(table_on_s3):
    name, options, whole = table_on_s3
    fs = VeloraFileSystem(target_protocol="s3", target_options=options["s3"], identity=options["identity"])
    dataset = ds.dataset(f"{name}/table", filesystem=PyFileSystem(FSSpecHandler(fs)), format="parquet")
    assert len(dataset.files) == PARTS
    table = dataset.to_table(columns=["id", "value"], filter=ds.field("group") == "b").to_pandas()
    want = whole[whole.group == "b"][["id", "value"]]
    assert sorted(table.itertuples(index=False)) == sorted(want.itertuples(index=False))
    assert dataset.count_rows() == PARTS * ROWS


def test_duckdb_through_register_filesystem(table_on_s3):
    duckdb = pytest.importorskip("duckdb")
    name, options, whole = table_on_s3
    fs = VeloraFileSystem(target_protocol="s3", target_options=options["s3"], identity=options["identity"])
    con = duckdb.connect()
    con.register_filesystem(fs)
    got = con.sql(
        f"select \"group\", sum(value), count(*) from read_parquet('velora://{name}/table/*.parquet') "
        "group by \"group\" order by \"group\""
    ).fetchall()
    want = whole.groupby("group").agg(s=("value", "sum"), n=("value", "size"))
    assert got == [(g, int(r.s), int(r.n)) for g, r in want.iterrows()]
    ((csv_sum,),) = con.sql(f"select sum(id) from read_csv('velora://{name}/table.csv')").fetchall()
    assert csv_sum == int(whole.id.sum())


def test_dask_cluster_of_processes_reads_the_files(table_on_s3):
    dd = pytest.importorskip("dask.dataframe")
    distributed = pytest.importorskip("distributed")
    name, options, whole = table_on_s3
    reading = {"identity": options["identity"], "s3": options["s3"]}  # workers need no recipients
    with distributed.LocalCluster(processes=True, n_workers=2, threads_per_worker=1, dashboard_address=None,
                                  host="127.0.0.1") as cluster, distributed.Client(cluster) as client:
        frame = dd.read_parquet(f"velora::s3://{name}/table/", storage_options=reading)
        assert frame.npartitions >= PARTS
        total, by_group = client.compute([frame.value.sum(), frame.groupby("group").id.count()], sync=True)
        pids = client.run(lambda: __import__("os").getpid())
    assert int(total) == int(whole.value.sum())
    assert by_group.sort_index().to_dict() == whole.groupby("group").id.count().to_dict()
    assert len(set(pids.values())) == 2  # two worker processes, each resolved the key itself
