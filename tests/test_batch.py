"""Many groups planned on a local Dask cluster of two worker processes."""

import logging
import os
import signal
import subprocess
import sys
import time

import duckdb
import numpy as np
import pytest
from conftest import module_failure
from distributed import Client, LocalCluster
from distributed.diagnostics.plugin import WorkerPlugin

import velmar.batch.run
from velmar import data
from velmar.batch import plan_group, plan_many
from velmar.batch.results import plan_rows
from velmar.cli import main
from velmar.demo_data import write_demo
from velmar.errors import UserError
from velmar.plan import recommend
from velmar.records import UsageHistory

pytestmark = pytest.mark.timeout(180)

MODELS = ("RI1Y", "SP1Y")
OPTIONS = {"n_starts": 1}


@pytest.fixture(scope="module")
def client():
    with (
        LocalCluster(
            n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None, silence_logs=logging.CRITICAL
        ) as cluster,
        Client(cluster, timeout="60s") as client,
    ):
        client.wait_for_workers(2, timeout=60)
        yield client


@pytest.fixture(scope="module")
def demo(tmp_path_factory):
    return write_demo(str(tmp_path_factory.mktemp("demo")), days=14, accounts=6, kinds=4)


def accounts(export):
    return [row[0] for row in duckdb.sql(f"SELECT DISTINCT SubAccountId FROM '{export}' ORDER BY 1").fetchall()]


def run(demo, client, out, **extra):
    client.wait_for_workers(2, timeout=60)  # a worker killed by an earlier test is back
    return plan_many(demo.export, demo.prices, client=client, out=out, models=MODELS, **OPTIONS, **extra)


def without_time(rows):
    return [{name: value for name, value in row.items() if name != "seconds"} for row in rows]


def test_the_batch_equals_the_plans_made_one_by_one(demo, client, tmp_path):
    result = run(demo, client, tmp_path)
    expected = []
    for account in accounts(demo.export):
        history = data.load_focus(demo.export, sub_account=account)
        prices = data.load_prices(demo.prices, history.kinds, focus_paths=demo.export)
        rec = recommend(history, prices, models=MODELS, **OPTIONS)
        expected += [{"SubAccountId": account, **row} for row in plan_rows(rec, len(history.timestamps), 0.0)]
    assert without_time(result.rows) == without_time(expected)
    table = duckdb.sql(f"SELECT * FROM '{result.parquet}'")
    assert without_time(dict(zip(table.columns, row)) for row in table.fetchall()) == without_time(expected)
    assert duckdb.sql(f"SELECT count(*) FROM read_csv('{result.csv}')").fetchall() == [(len(expected),)]
    assert (result.groups, result.planned, result.skipped, result.failed) == (6, 6, 0, 0)


def test_a_bad_group_gets_one_error_row_and_the_summary_lists_it(demo, client, tmp_path):
    bad_account = accounts(demo.export)[1]
    export = tmp_path / "bad.parquet"
    duckdb.execute(
        f"""COPY (SELECT * REPLACE (CASE WHEN SubAccountId = '{bad_account}' THEN -ConsumedQuantity
                                         ELSE ConsumedQuantity END AS ConsumedQuantity)
                  FROM '{demo.export}') TO '{export}' (FORMAT parquet)"""
    )
    with pytest.raises(UserError) as expected:
        data.load_focus(str(export), sub_account=bad_account)
    out = tmp_path / "out"
    arguments = ["batch", str(export), "--prices", demo.prices, "--out", str(out), "--models", ",".join(MODELS)]
    assert main([*arguments, "--n-starts", "1", "--scheduler", client.scheduler.address]) == 3
    rows = duckdb.sql(f"SELECT SubAccountId, status, error FROM '{out / 'results.parquet'}'").fetchall()
    errors = [row for row in rows if row[1] == "error"]
    assert errors == [(bad_account, "error", str(expected.value))]
    assert len(rows) == 1 + 5 * len(MODELS)
    page = (out / "summary.html").read_text()
    assert "<svg" in page and "Groups not planned (1)" in page and "is negative" in page


def test_a_worker_killed_mid_batch_leaves_a_complete_table(demo, client, tmp_path):
    pids = list(client.run(os.getpid, wait=True).values())

    def kill_one_worker_after_the_first_group(progress):
        if progress.done == 1 and len(pids) == 2:  # progress also comes when a worker restarts
            os.kill(pids.pop(), signal.SIGKILL)

    result = run(demo, client, tmp_path, progress=kill_one_worker_after_the_first_group)
    keys = [(row["SubAccountId"], row["model"]) for row in result.rows]
    assert len(keys) == len(set(keys)) == 6 * len(MODELS)
    assert {row["status"] for row in result.rows} == {"ok"}


class KillOnStart(WorkerPlugin):
    """Ends the worker process that starts the task of the group numbered `index`."""

    name = "kill-on-start"

    def __init__(self, index):
        self.suffix = f"-{index}"

    def transition(self, key, start, finish, **kwargs):
        if finish == "executing" and str(key).endswith(self.suffix):
            os._exit(1)


def test_groups_without_usage_without_a_price_or_whose_worker_died_each_say_so_and_retry_replans(
    demo, client, tmp_path
):
    idle, unpriced, killed = accounts(demo.export)[:3]
    export = tmp_path / "mixed.parquet"
    duckdb.execute(
        f"""COPY (SELECT * REPLACE (
                    CASE WHEN SubAccountId = '{idle}' THEN 0 ELSE ConsumedQuantity END AS ConsumedQuantity,
                    CASE WHEN SubAccountId = '{unpriced}' THEN SkuId || '-new' ELSE SkuId END AS SkuId)
                  FROM '{demo.export}') TO '{export}' (FORMAT parquet)"""
    )
    out = tmp_path / "out"
    out.mkdir()
    ended = subprocess.Popen(["true"])
    ended.wait()
    leftover = out / f".results.csv.{ended.pid}.part"  # what a writer killed midway leaves
    leftover.write_text("cut short")
    arguments = ["batch", str(export), "--prices", demo.prices, "--out", str(out), "--models", ",".join(MODELS)]
    arguments += ["--n-starts", "1", "--scheduler", client.scheduler.address]
    client.wait_for_workers(2, timeout=60)
    client.register_plugin(KillOnStart(accounts(demo.export).index(killed)))
    try:
        assert main(arguments) == 3
    finally:
        client.unregister_worker_plugin(KillOnStart.name)
    table = duckdb.sql(f"SELECT SubAccountId, status, error, note FROM '{out / 'results.csv'}'").fetchall()
    rows = {row[0]: row[1:] for row in table}
    assert rows[idle] == ("ok", None, "no usage: nothing to buy")
    assert rows[unpriced][0] == "error" and "all outside the plan" in rows[unpriced][1]
    assert rows[killed][0] == "error" and "worker planning this group died" in rows[killed][1]
    assert "1 with no usage" in (out / "summary.html").read_text() and not leftover.exists()
    client.wait_for_workers(2, timeout=60)
    assert main([*arguments, "--retry-failed"]) == 3
    statuses = duckdb.sql(f"SELECT SubAccountId, status FROM '{out / 'results.parquet'}'").fetchall()
    assert sorted(statuses) == sorted(
        [(account, "ok") for account in accounts(demo.export) if account != unpriced for _ in MODELS]
        + [(unpriced, "error")]
    )


def test_an_interrupted_batch_resumes_without_losing_or_repeating_a_group(demo, client, tmp_path):
    def interrupt_after_two_groups(progress):
        if progress.done == 2:
            raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        run(demo, client, tmp_path, progress=interrupt_after_two_groups)
    first = duckdb.sql(f"SELECT * FROM '{tmp_path / 'results.parquet'}'").fetchall()
    assert len(first) == 2 * len(MODELS)
    with (tmp_path / "results.jsonl").open("a") as journal:
        journal.write('{"group": ["cut short by a cra')  # a line a crash left unfinished
    result = run(demo, client, tmp_path)
    assert (result.planned, result.skipped) == (4, 2)
    final = duckdb.sql(f"SELECT * FROM '{tmp_path / 'results.parquet'}'").fetchall()
    assert set(first) <= set(final) and len(final) == len(set(final)) == 6 * len(MODELS)
    with pytest.raises(UserError, match="other settings"):
        plan_many(demo.export, demo.prices, client=client, out=tmp_path, models=("RI3Y",))


def test_every_batch_sizes_the_workers_module_threads_and_a_bad_thread_count_fails_clearly(
    demo, client, tmp_path, monkeypatch
):
    if os.environ.get("VELMAR_NUM_THREADS"):
        pytest.skip("the workers' own VELMAR_NUM_THREADS decides")
    cpus = len(os.sched_getaffinity(0))

    def seen():
        probe = lambda: (os.environ["VELMAR_NUM_THREADS"], tuple(sorted(os.sched_getaffinity(0))))  # noqa: E731
        return sorted(client.run(probe).values())

    monkeypatch.setenv("VELMAR_NUM_THREADS", "2")
    run(demo, client, tmp_path / "two")
    assert [(threads, len(pinned)) for threads, pinned in seen()] == [("2", min(2, cpus))] * 2
    monkeypatch.delenv("VELMAR_NUM_THREADS")
    run(demo, client, tmp_path / "shared")  # a pool started with 2 threads is held to its share of the cores
    share = max(1, cpus // 2)
    assert [(threads, len(pinned)) for threads, pinned in seen()] == [(str(share), share)] * 2
    if cpus >= 2:
        assert len({cpu for _, pinned in seen() for cpu in pinned}) == 2 * share
    monkeypatch.setenv("VELMAR_NUM_THREADS", "two")
    with pytest.raises(UserError, match="VELMAR_NUM_THREADS: 'two' is not a positive whole number"):
        run(demo, client, tmp_path / "other")
    parallel_call = (
        "import numpy as np, velmar_backend as vb\n"
        "try:\n    vb.generate_cost_and_coverage(np.ones((4, 2)), np.ones((3, 2)), 8, 2, 'H')\n"
        "except BaseException as failure:\n    print(failure)\n"
    )
    done = subprocess.run([sys.executable, "-c", parallel_call], capture_output=True, text=True, timeout=60)
    if not done.stdout.strip():
        pytest.skip("the module in use predates VELMAR_NUM_THREADS")
    assert done.stdout.strip() == "VELMAR_NUM_THREADS must be a positive whole number, got 'two'"


@pytest.mark.parametrize(
    ("failure", "message"),
    [
        (UserError("prices.csv: no price"), "prices.csv: no price"),
        (ValueError("a bug"), "internal error: ValueError: a bug"),
        (MemoryError(), "out of memory planning a usage matrix of 3x1"),
        (module_failure("boom"), "internal failure of the numerical module: boom"),
        (module_failure("Keyboard interupt"), None),
        (KeyboardInterrupt(), None),
    ],
    ids=["user error", "bug", "out of memory", "module failure", "interrupt in the module", "interrupt"],
)
def test_a_group_that_fails_gets_its_error_and_an_interrupt_goes_through(monkeypatch, failure, message):
    def fail(*args, **kwargs):
        raise failure

    monkeypatch.setattr(velmar.batch.run, "recommend", fail)
    history = UsageHistory(np.arange(3).astype("datetime64[h]"), ("k",), np.ones((3, 1)), "H")
    if message is None:
        with pytest.raises(BaseException) as raised:
            plan_group(history, None, MODELS, {})
        assert raised.value is failure
        return
    [row] = plan_group(history, None, MODELS, {})
    assert (row["status"], row["error"], row["model"]) == ("error", message, None)


@pytest.mark.parametrize(
    ("by", "window"),
    [(["SubAccountId"], {"start": "2025-01-08", "end": "2025-01-15T06:00"}), (["SubAccountId", "RegionId"], {})],
    ids=["one column, a window", "two columns"],
)
def test_each_group_of_the_split_is_its_slice_of_the_account(demo, by, window):
    with data.split_focus(demo.export, by, **window) as split:
        groups = {key: split.history(index) for index, key in enumerate(split.keys)}
    assert {key[0] for key in groups} == set(accounts(demo.export))
    for key, history in groups.items():
        whole = data.load_focus(demo.export, sub_account=key[0], **window)
        rows = np.searchsorted(whole.timestamps, history.timestamps)
        columns = [whole.kinds.index(kind) for kind in history.kinds]
        assert np.array_equal(whole.timestamps[rows], history.timestamps)
        assert np.array_equal(whole.usage[np.ix_(rows, columns)], history.usage)
        if len(by) == 2:
            assert {kind.split("/")[0] for kind in history.kinds} == {key[1]}
        else:
            assert (history.kinds, history.source) == (whole.kinds, whole.source)


def test_the_summary_counts_each_group_once(tmp_path):
    from velmar.batch.report import write_summary

    def rows(account, savings):
        figures = {"cost": 100.0 - savings, "on_demand_cost": 100.0, "savings": savings, "savings_rate": savings / 100,
                   "coverage": 0.5, "lower_bound": 90.0 - savings, "gap_percent": 1.0, "method": "polish"}  # fmt: skip
        return [{"SubAccountId": account, "model": model, "status": "ok", **figures} for model in MODELS]

    failed = {"SubAccountId": "c", "model": None, "status": "error", "error": "no price for kind 'x'"}
    write_summary(tmp_path / "summary.html", [*rows("a", 30.0), *rows("b", 10.0), failed], ["SubAccountId"], "export")
    page = (tmp_path / "summary.html").read_text()
    assert "40.00" in page and "20.0% of all on demand (200.00)" in page and "1 not planned" in page


MARKED_CLI = """
import sys
import velmar.batch.cluster, velmar.data
from velmar.cli import main

def marked(function):
    def call(*args, **kwargs):
        print("started", flush=True)
        return function(*args, **kwargs)
    return call

velmar.{target} = marked(velmar.{target})
if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
"""


@pytest.mark.parametrize("target", ["data.split_focus", "batch.cluster.LocalCluster"], ids=["split", "cluster start"])
def test_ctrl_c_while_splitting_or_starting_the_cluster_interrupts_cleanly(demo, tmp_path, target):
    export = tmp_path / "large.parquet"  # large enough that splitting takes seconds
    duckdb.execute(
        f"""COPY (SELECT e.* REPLACE (e.SubAccountId || '-' || copy AS SubAccountId)
                  FROM '{demo.export}' e, range(40) r(copy)) TO '{export}' (FORMAT parquet)"""
    )
    script = tmp_path / "marked_cli.py"
    script.write_text(MARKED_CLI.format(target=target))
    command = [
        sys.executable,
        str(script),
        "batch",
        str(export),
        "--prices",
        demo.prices,
        "--out",
        str(tmp_path / "out"),
    ]
    batch = subprocess.Popen(
        [*command, "--workers", "2"], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
        preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL),
    )  # fmt: skip
    assert batch.stdout.readline() == "started\n"
    time.sleep(0.3)
    batch.send_signal(signal.SIGINT)
    _, errors = batch.communicate(timeout=120)  # also waits for every worker, which shares standard error
    assert (batch.returncode, errors) == (130, "velmar: interrupted\n")
