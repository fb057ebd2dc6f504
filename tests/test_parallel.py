"""sorvane sweep and verify --checkpoints: the same report from one process,
from local worker processes and from a Dask cluster; failures end the
command, never a partial report."""
import gzip
import io
import json
import shutil
import sys

import pytest

import parallel_jobs
import sorvane
from parallel_jobs import EPSILON, HORIZON, write_log
from sorvane_cli.commands import sweep
from sorvane_cli.report import sweep as sweep_report
from sorvane_cli.__main__ import main
from sorvane_cli.jobs import run_jobs
from sorvane_cli.log.config import LogConfig
from sorvane_cli.status import Exit, JobFailed

FLAGS = ["--horizon", str(HORIZON), "--epsilon", str(EPSILON), "-q"]
GRID = ["--grid", "epsilon=0.05,0.2", "--grid", "bits=8,10"]


@pytest.fixture(scope="module")
def logged(tmp_path_factory):
    """A log of 1,200 decisions with a checkpoint before every 300th."""
    out = tmp_path_factory.mktemp("parallel")
    write_log(out / "log.jsonl", out / "checkpoints", 1200, 300)
    return out


@pytest.fixture(scope="module")
def cluster():
    """A Dask cluster of two worker processes on this machine, on loopback."""
    dask = pytest.importorskip("dask")
    distributed = pytest.importorskip("distributed")
    # A task whose worker dies fails at once instead of being tried again.
    with dask.config.set({"distributed.scheduler.allowed-failures": 0}):
        with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                                      dashboard_address=None) as local:
            yield local.scheduler_address




WHERE = {"one process": ["--workers", "1"], "two processes": ["--workers", "2"], "cluster": None}


def outputs(cli, cluster, argv):
    """The command's status and output run in each place, by place."""
    got = {}
    for place, flags in WHERE.items():
        status, out, err = cli(*argv, *(flags if flags is not None else ["--cluster", cluster]))
        assert status in (0, 1), err
        got[place] = (status, out)
    return got


def test_sweep_json_is_the_same_in_one_process_in_processes_and_on_a_cluster(logged, cluster, cli):
    got = outputs(cli, cluster, ["sweep", logged / "log.jsonl", *FLAGS, *GRID, "--bootstrap", "50", "--json"])
    assert got["one process"] == got["two processes"] == got["cluster"]
    assert got["one process"][0] == 0


def test_checkpoint_verify_json_is_the_same_in_one_process_in_processes_and_on_a_cluster(logged, cluster, cli):
    got = outputs(cli, cluster, ["verify", logged / "log.jsonl", *FLAGS, "--json",
                                    "--checkpoints", logged / "checkpoints"])
    assert got["one process"] == got["two processes"] == got["cluster"]
    assert got["one process"][0] == 0


def test_sweep_gives_each_configuration_the_estimates_eval_gives_it(logged, cli):
    status, out, err = cli("sweep", logged / "log.jsonl", *FLAGS, *GRID, "--bootstrap", "50", "--json",
                           "--workers", "2")
    assert status == 0, err
    swept = {t["name"]: t for t in json.loads(out)["targets"]}
    assert len(swept) == 5  # four grid points and the logging configuration
    status, out, err = cli("eval", logged / "log.jsonl", *FLAGS, "--bootstrap", "50", "--json",
                           "--target", "epsilon=0.05,bits=8", "--target", "epsilon=0.2,bits=10")
    assert status == 0, err
    for target in json.loads(out)["targets"]:
        ranked = dict(swept[target["name"]])
        del ranked["rank"]
        assert ranked == target


@pytest.mark.parametrize("rank_by", ["rejection", "dr", "snips", "ips"])
def test_sweep_ranks_best_first_and_recommends_the_best_grid_point(logged, cli, rank_by):
    method = ["--method", "weighted", "--rank-by", rank_by] if rank_by != "rejection" else ["--method", "rejection"]
    status, out, err = cli("sweep", logged / "log.jsonl", *FLAGS, *GRID, "--bootstrap", "50", "--json",
                           *method, "--workers", "1")
    assert status == 0, err
    rep = json.loads(out)
    values = [sweep_report.estimate_of(t, rank_by) for t in rep["targets"]]
    assert values == sorted(values, reverse=True)
    assert [t["rank"] for t in rep["targets"]] == [1, 2, 3, 4, 5]
    best = next(t for t in rep["targets"] if t["name"] != "logging")
    assert rep["recommended"]["name"] == best["name"]
    assert rep["recommended"]["ci"] == (best["rejection"]["ci"] if rank_by == "rejection"
                                        else best["estimators"][rank_by]["ci_bootstrap"])
    status, text, err = cli("sweep", logged / "log.jsonl", *FLAGS, *GRID, "--bootstrap", "50",
                            *method, "--workers", "1")
    # A winner is named only when its interval is clear of the runner-up's.
    last = text.splitlines()[-1]
    if rep["recommended"]["recommended"]:
        assert f"recommended: {best['name']}" in last
    else:
        assert rep["recommended"]["apart_from_next"] is False
        assert f"no recommendation: the log cannot tell {best['name']} " in last
    assert "logging (as logged)" in text


@pytest.mark.parametrize("points, log_bits, expected, method", [
    # Epsilon alone never changes the model: one job, the logging configuration in it.
    ([{"epsilon": 0.01}, {"epsilon": 0.2}], 10, [([0, 1], True)], "weighted"),
    # Rejection sampling runs each target on a state of its own.
    ([{"epsilon": 0.01}, {"epsilon": 0.2}], 10, [([], True), ([0], False), ([1], False)], "rejection"),
    # Bits 10 is the log's: the logging configuration rides with it.
    ([{"bits": 8}, {"bits": 10}], 10, [([0], False), ([1], True)], "weighted"),
    # No grid point shares its model: it gets a job of its own.
    ([{"forgetfulness": 0.9, "epsilon": 0.1}, {"forgetfulness": 0.9, "epsilon": 0.3}], 10,
     [([], True), ([0, 1], False)], "weighted"),
])
def test_targets_that_share_a_model_are_one_job(points, log_bits, expected, method):
    assert sweep.plan_jobs(points, LogConfig(HORIZON, 0.0, EPSILON, 0.999), log_bits, method) == expected


@pytest.mark.parametrize("grid, message", [
    ([], "at least one --grid"),
    (["--grid", "epsilon=0.1", "--grid", "epsilon=0.2"], "--grid epsilon is given twice"),
    (["--grid", "epsilon=0.1,0.1"], "lists 0.1 twice"),
    (["--grid", "epsilon"], "--grid takes KEY=VALUE"),
    (["--grid", "colour=red"], "--grid takes key=value"),
    (["--grid", "bits=8.5"], "must be an integer"),
    (["--grid", "epsilon=1.5"], "epsilon must be in [0, 1]"),
    (["--grid", "name=a,b"], "cannot vary the name"),
])
def test_a_bad_grid_is_a_usage_error_before_any_job(logged, cli, grid, message):
    status, out, err = cli("sweep", logged / "log.jsonl", *FLAGS, *grid)
    assert status == 2 and out == ""
    assert message in err


def test_checkpoint_verify_reports_what_plain_verify_reports(logged, cli):
    status, plain, err = cli("verify", logged / "log.jsonl", *FLAGS, "--json")
    assert status == 0, err
    status, out, err = cli("verify", logged / "log.jsonl", *FLAGS, "--json", "--workers", "2",
                           "--checkpoints", logged / "checkpoints")
    assert status == 0, err
    report, plain = json.loads(out), json.loads(plain)
    placed = report.pop("checkpoints")
    # What plain verify leaves at its default, the checkpoints give.
    assert plain["configuration"].pop("from")["forgetfulness"] == "default"
    assert report["configuration"].pop("from")["forgetfulness"] == "checkpoint"
    assert report == plain
    assert [p["decisions"] for p in placed] == [300, 600, 900]
    lines = (logged / "log.jsonl").read_bytes().split(b"\n")
    for p in placed:
        # The line after a checkpoint's place is the decision the state made next.
        assert json.loads(lines[p["line"]])["record"]["decision_id"] == f"shop:{p['decisions']}"


@pytest.mark.parametrize("form", ["gzip", "stdin"])
def test_checkpoint_verify_and_sweep_read_compressed_logs_and_standard_input(logged, tmp_path, cli, monkeypatch,
                                                                         form):
    data = (logged / "log.jsonl").read_bytes()
    expected = {}
    for command in (["verify", "--checkpoints", logged / "checkpoints"], ["sweep", *GRID, "--bootstrap", "20"]):
        expected[command[0]] = cli(command[0], logged / "log.jsonl", *FLAGS, *command[1:], "--json",
                                   "--workers", "2")[1].replace(f'"{logged / "log.jsonl"}"', '"LOG"')
        if form == "gzip":
            log = tmp_path / "log.gz"
            log.write_bytes(gzip.compress(data))
        else:
            log = "-"
            monkeypatch.setattr(sys, "stdin", io.TextIOWrapper(io.BufferedReader(io.BytesIO(data))))
        status, out, err = cli(command[0], log, *FLAGS, *command[1:], "--json", "--workers", "2")
        assert status == 0, err
        assert out.replace(f'"{log}"', '"LOG"') == expected[command[0]]


def test_checkpoints_give_the_configuration_nothing_else_gives(logged, cli):
    status, out, err = cli("verify", logged / "log.jsonl", "-q", "--json", "--workers", "2",
                           "--checkpoints", logged / "checkpoints")
    assert status == 0, err
    configuration = json.loads(out)["configuration"]
    assert (configuration["horizon"], configuration["epsilon"]) == (HORIZON, EPSILON)
    assert configuration["from"] == {"horizon": "checkpoint", "default_reward": "log", "epsilon": "log",
                                     "forgetfulness": "checkpoint"}


@pytest.fixture
def copy(logged, tmp_path):
    shutil.copytree(logged / "checkpoints", tmp_path / "checkpoints")
    shutil.copy(logged / "log.jsonl", tmp_path / "log.jsonl")
    return tmp_path


def damage(path):
    text = path.read_text()
    at = len(text) // 2
    path.write_text(text[:at] + ("1" if text[at] == "0" else "0") + text[at + 1:])


def truncate(path):
    path.write_text(path.read_text()[:300])


def replace_with_an_early_state(path):
    """A state of 7 decisions and no resolution: this log never is at that point."""
    state = sorvane.create(10, HORIZON, epsilon=EPSILON)
    for _ in range(7):
        sorvane.decide(state, {}, [("a", {}), ("b", {})], 0.0, "other")
    path.write_text(sorvane.serialize(state))


def of_another_configuration(path):
    path.write_text(sorvane.serialize(sorvane.create(10, HORIZON, epsilon=0.3)))


@pytest.mark.parametrize("spoil, message", [
    (damage, "state-000600.hex is damaged: state checksum mismatch"),
    (truncate, "state-000600.hex is not a serialized state"),
    # One that does not even begin like a state is skipped (test_host_logs); one that does is checked.
    (lambda p: p.write_text(p.read_text()[:16] + "not a state"), "state-000600.hex is not a serialized state"),
    (replace_with_an_early_state, "state-000600.hex is misplaced: it was taken after 7 decisions"),
    (of_another_configuration, "state-000600.hex holds epsilon 0.3, but the log is verified with 0.1"),
])
@pytest.mark.parametrize("workers", ["1", "2"])
def test_a_bad_checkpoint_ends_verify_with_an_error_naming_it(copy, cli, spoil, message, workers):
    spoil(copy / "checkpoints" / "state-000600.hex")
    status, out, err = cli("verify", copy / "log.jsonl", *FLAGS, "--workers", workers,
                           "--checkpoints", copy / "checkpoints")
    assert status == 2 and out == ""
    assert message in err


def test_a_directory_without_checkpoints_is_a_usage_error(copy, cli):
    (copy / "empty").mkdir()
    status, out, err = cli("verify", copy / "log.jsonl", *FLAGS, "--checkpoints", copy / "empty")
    assert status == 2 and "holds no checkpoint file" in err


def test_a_reward_changed_just_before_a_checkpoint_is_caught_by_it(copy, cli):
    """Plain verify cannot see it until a later decision comes out otherwise;
    the checkpoint holds the model the true reward made."""
    placed = json.loads(cli("verify", copy / "log.jsonl", *FLAGS, "--json", "--workers", "1",
                            "--checkpoints", copy / "checkpoints")[1])["checkpoints"]
    lines = (copy / "log.jsonl").read_text().split("\n")
    at = next(k for k in range(placed[1]["line"] - 1, 0, -1) if '"kind":"rewarded"' in lines[k])
    reward = json.loads(lines[at])["reward"]
    lines[at] = lines[at].replace(f'"reward":{reward}', f'"reward":{1.0 - reward}')
    (copy / "log.jsonl").write_text("\n".join(lines))
    status, out, err = cli("verify", copy / "log.jsonl", *FLAGS, "--json", "--workers", "2",
                           "--checkpoints", copy / "checkpoints")
    report = json.loads(out)
    assert status == 1 and not report["verified"]
    assert report["mismatches"]["checkpoint-mismatch"] == 1
    first = next(f for f in report["first"] if f["kind"] == "checkpoint-mismatch")
    assert first["line"] == placed[1]["line"] and "state-000600.hex" in first["message"]


@pytest.mark.parametrize("workers", [2, "cluster"])
def test_a_killed_worker_fails_the_run(cluster, workers):
    where = {"cluster": cluster} if workers == "cluster" else {"workers": workers}
    assert run_jobs(parallel_jobs.square, [1, 2, 3], **where) == [1, 4, 9]
    with pytest.raises(JobFailed, match=r"job \d failed: .*(died|ended abruptly)"):
        run_jobs(parallel_jobs.die, [1, 2, 3], describe=lambda job: f"job {job}", **where)


def test_a_sweep_whose_worker_is_killed_prints_no_table(logged, cli, monkeypatch):
    # The long-run replay runs in the command's own process; the other methods' jobs in worker processes.
    monkeypatch.setattr(sweep, "sweep_job", parallel_jobs.die_in_sweep)
    status, out, err = cli("sweep", logged / "log.jsonl", *FLAGS, *GRID, "--workers", "2", "--method", "weighted")
    assert status == Exit.JOB_FAILED and out == ""
    assert "worker process ended abruptly" in err and "no result is reported" in err


def test_an_unreachable_cluster_is_a_clear_error(logged, cli):
    dask = pytest.importorskip("dask")
    pytest.importorskip("distributed")
    with dask.config.set({"distributed.comm.timeouts.connect": "1s"}):
        status, out, err = cli("sweep", logged / "log.jsonl", *FLAGS, *GRID, "--cluster", "tcp://127.0.0.1:9")
    assert status == Exit.JOB_FAILED and out == ""
    assert "cannot reach the Dask scheduler at tcp://127.0.0.1:9" in err


@pytest.mark.parametrize("argv, message", [
    (["verify", "LOG", *FLAGS, "--workers", "2"], "--workers and --cluster go with --checkpoints"),
    (["sweep", "LOG", *FLAGS, *GRID, "--workers", "2", "--cluster", "tcp://127.0.0.1:9"], "cannot go together"),
    (["sweep", "LOG", *FLAGS, *GRID, "--workers", "0"], "must be 1 or more"),
])
def test_misplaced_executor_flags_are_usage_errors(logged, capsys, argv, message):
    argv = [str(logged / "log.jsonl") if a == "LOG" else a for a in argv]
    try:
        status = main(argv)
    except SystemExit as exc:  # argparse's own refusal
        status = exc.code
    out, err = capsys.readouterr()
    assert status == 2 and out == "" and message in err


def test_a_log_continuing_from_a_saved_state_is_placed_from_that_state(logged, tmp_path, cli):
    """The checkpoints count from the state the log continues from."""
    placed = json.loads(cli("verify", logged / "log.jsonl", *FLAGS, "--json", "--workers", "1",
                            "--checkpoints", logged / "checkpoints")[1])["checkpoints"]
    lines = (logged / "log.jsonl").read_text().splitlines(keepends=True)
    start = placed[0]["line"]
    (tmp_path / "tail.jsonl").write_text("".join(lines[start:]))
    (tmp_path / "later").mkdir()
    for name in ("state-000600.hex", "state-000900.hex"):
        shutil.copy(logged / "checkpoints" / name, tmp_path / "later" / name)
    status, out, err = cli("verify", tmp_path / "tail.jsonl", "--from-state",
                           logged / "checkpoints" / "state-000300.hex", "-q", "--json", "--workers", "2",
                           "--checkpoints", tmp_path / "later")
    assert status == 0, out + err
    assert [p["line"] for p in json.loads(out)["checkpoints"]] == [p["line"] - start for p in placed[1:]]
