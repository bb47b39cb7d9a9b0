"""examples/score_many.py on real Dask clusters of worker processes: failing
pairs come back as rows with their error, and the rows equal a serial loop."""

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

TRIALS, SEED = 300, 11
UNNAMED_LEAF = "((cell1,),(cell2,cell3));"  # PanicException in Robinson-Foulds
MALFORMED = "((cell1,cell2)),cell3;"  # ValueError from the reader


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


def serial_csv(truth, recs):
    rows = [score_many.score_pair(i, truth, r, TRIALS, SEED) for i, r in enumerate(recs)]
    return as_csv(score_many.to_frame(rows))


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
            "--trials",
            str(TRIALS),
            "--seed",
            str(SEED),
            "--batch-size",
            "2",
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
    assert text == serial_csv(truth, recs)
    frame = pd.read_csv(io.StringIO(text), index_col="pair", keep_default_na=False)
    assert list(frame.index) == list(range(len(recs)))
    assert frame.loc[3, "error"].startswith("PanicException: ") and "named" in frame.loc[3, "error"]
    assert frame.loc[6, "error"].startswith("ValueError: Failed to parse tree2: ")
    assert (
        (frame.loc[[3, 6], ["leaves", "rf_distance", "triplets_correct_sampled"]] == "").all().all()
    )
    ok = frame[frame["error"] == ""]
    assert len(ok) == 7 and (ok["leaves"].astype(int) == 60).all()
    assert ok["triplets_correct_sampled"].astype(float).between(0, 1).all()


def test_default_local_cluster_of_two_processes(tmp_path):
    truth, recs = pairs(tmp_path)
    check_rows(run_cli(tmp_path, "--workers", "2"), truth, recs)


def test_existing_cluster_by_address_and_from_an_import(tmp_path):
    truth, recs = pairs(tmp_path)
    with LocalCluster(
        n_workers=2, threads_per_worker=1, processes=True, dashboard_address=":0"
    ) as cluster:
        check_rows(run_cli(tmp_path, "--scheduler", cluster.scheduler_address), truth, recs)
        # Imported rather than run: the task functions travel by value.
        with Client(cluster) as client:
            rows = score_many.score_all(client, truth, recs, TRIALS, SEED, batch_size=3)
        check_rows(as_csv(score_many.to_frame(rows)), truth, recs)
