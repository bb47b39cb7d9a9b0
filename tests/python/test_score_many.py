"""examples/score_many.py on real Dask clusters of worker processes: failing
reconstructions come back as rows with their error, and the rows equal the
same call run locally."""

import io
import os
import subprocess
import sys

import pytest

# Optional extras: an interpreter that cannot install them skips this file.
pd = pytest.importorskip("pandas")
dask_distributed = pytest.importorskip("dask.distributed")
Client, LocalCluster = dask_distributed.Client, dask_distributed.LocalCluster

EXAMPLES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "examples")
SCRIPT = os.path.join(EXAMPLES, "score_many.py")
sys.path.insert(0, EXAMPLES)
import score_many  # noqa: E402

SEED = 11
UNNAMED_LEAF = "((cell1,),(cell2,cell3));"
MALFORMED = "((cell1,cell2)),cell3;"


def pairs(tmp_path):
    truth, recs = score_many.simulated_pairs(60, 7, SEED)
    recs = recs[:3] + [UNNAMED_LEAF] + recs[3:5] + [MALFORMED] + recs[5:]
    (tmp_path / "truth.nwk").write_text(truth + "\n")
    (tmp_path / "recs.nwk").write_text("\n".join(recs) + "\n")
    return truth, recs


def as_csv(frame):
    buf = io.StringIO()
    frame.to_csv(buf)
    return buf.getvalue()


def run_cli(tmp_path, *extra):
    out = tmp_path / "scores.csv"
    proc = subprocess.run(
        [
            sys.executable,
            SCRIPT,
            "--truth",
            str(tmp_path / "truth.nwk"),
            "--reconstructions",
            str(tmp_path / "recs.nwk"),
            "--out",
            str(out),
            *extra,
        ],
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert proc.returncode == 0, proc.stderr
    assert "scored 7 of 9 reconstructions (2 failed)" in proc.stdout
    return out.read_text()


def check_rows(text, truth, recs):
    assert text == as_csv(score_many.score_all(None, truth, recs))
    frame = pd.read_csv(io.StringIO(text), index_col="tree")
    assert list(frame.index) == list(range(len(recs)))
    assert frame.loc[3, "error"] == "leaf 1 of the tree (in text order) has no name"
    assert frame.loc[6, "error"].startswith("not a Newick tree: Custom { kind: InvalidData")
    assert frame.loc[[3, 6], ["rf_distance", "all_triplets_correct"]].isna().all().all()
    ok = frame[frame["error"].isna()]
    assert len(ok) == 7 and ok["all_triplets_correct"].between(0, 1).all()


def test_default_local_cluster_of_two_processes(tmp_path):
    truth, recs = pairs(tmp_path)
    check_rows(run_cli(tmp_path, "--workers", "2"), truth, recs)


def test_existing_cluster_by_address_and_from_an_import(tmp_path):
    truth, recs = pairs(tmp_path)
    with LocalCluster(
        n_workers=2, threads_per_worker=1, processes=True, dashboard_address=":0"
    ) as cluster:
        check_rows(run_cli(tmp_path, "--scheduler", cluster.scheduler_address), truth, recs)
        with Client(cluster) as client:
            frame = score_many.score_all(client.get_executor(), truth, recs)
        check_rows(as_csv(frame), truth, recs)
