"""`sorvane export` and bandit_feedback: the log as tables and arrays, value for value."""
import gzip
import io
import json
import math
import sys

import pytest
from logs import shop_run
from logs import CONFIG, write_run

import sorvane
from sorvane_cli import NotFixedActions, bandit_feedback, header_line
from sorvane_cli.log import columns as export_columns
from sorvane_cli.log import native_columns
from sorvane_cli.log.source import LogSource
from sorvane_cli.__main__ import main
from sorvane_cli.status import Exit

pd = pytest.importorskip("pandas")
pytest.importorskip("pyarrow")


def export(argv, capsys, stdin=None, monkeypatch=None):
    if stdin is not None:
        monkeypatch.setattr(sys, "stdin", io.TextIOWrapper(io.BufferedReader(io.BytesIO(stdin))))
    status = main(["export", *argv, "-q"])
    out, err = capsys.readouterr()
    assert "Traceback" not in out + err
    return status, out, err


@pytest.fixture(scope="module")
def run_log(tmp_path_factory):
    path = tmp_path_factory.mktemp("export") / "run.log"
    write_run(path, decisions=60)
    return path


def expected_rows(path):
    """Per decision, the values its row must hold, read from the log with json."""
    rows, by_id = [], {}
    for line in path.read_text().splitlines():
        event = json.loads(line)
        if event["event"] == "decision":
            record = event["record"]
            row = {"decision_id": record["decision_id"], "salt": record["salt"], "t": record["t"],
                   "chosen": record["chosen"], "chosen_id": event["candidates"][record["chosen"]][0],
                   "propensity": record["propensity"], "candidates": len(event["candidates"]),
                   "model_version": record["model_version"], "kind": None, "reward": None}
            row.update({"context." + k: v for k, v in event["context"].items()})
            rows.append(row)
            by_id[record["decision_id"]] = row
        elif event["event"] == "resolution":
            by_id[event["decision_id"]].update(kind=event["kind"], reward=event["reward"])
    return rows


def plain(value):
    """A frame's cell as the log's value: NaN and NA are empty, numpy scalars plain."""
    if value is None or (isinstance(value, float) and math.isnan(value)) or value is pd.NA:
        return None
    return value.item() if hasattr(value, "item") else value


def read_back(path):
    return pd.read_parquet(path) if str(path).endswith(".parquet") else pd.read_csv(path)


@pytest.mark.parametrize("name", ["run.parquet", "run.csv"])
def test_one_row_per_decision_with_the_log_s_values(run_log, tmp_path, name, capsys):
    status, out, _ = export([str(run_log), "-o", str(tmp_path / name)], capsys)
    rows = expected_rows(run_log)
    assert status == Exit.OK and f"{len(rows)} rows written" in out
    frame = read_back(tmp_path / name)
    assert len(frame) == len(rows)
    for column in rows[0]:
        assert [plain(v) for v in frame[column]] == [row.get(column) for row in rows], column
    assert frame["context.promo"].dropna().unique().tolist() == ["spring"]


@pytest.mark.parametrize("flags, header", [([], False), ([], True), (["--with-candidates"], False)])
def test_every_way_of_reading_the_log_gives_the_same_table(run_log, tmp_path, flags, header, capsys, monkeypatch):
    """The extension's reading (where it applies), the Python fast paths and the reference reader."""
    if header:
        headed = tmp_path / "headed.log"
        headed.write_text(header_line(10, **CONFIG) + "\n" + run_log.read_text())
        run_log = headed
    if not flags:
        assert native_columns.native_columns(LogSource(str(run_log))) is not None  # the extension takes this log
    export([str(run_log), "-o", str(tmp_path / "native.csv"), *flags], capsys)
    monkeypatch.setattr(native_columns, "_native", None)
    export([str(run_log), "-o", str(tmp_path / "fast.csv"), *flags], capsys)
    monkeypatch.setattr(export_columns, "_inputs", lambda text: None)
    export([str(run_log), "-o", str(tmp_path / "reference.csv"), *flags], capsys)
    tables = {name: (tmp_path / f"{name}.csv").read_text() for name in ("native", "fast", "reference")}
    assert tables["native"] == tables["fast"] == tables["reference"]


def test_with_candidates_one_row_per_decision_and_candidate(run_log, tmp_path, capsys):
    status, _, _ = export([str(run_log), "-o", str(tmp_path / "c.parquet"), "--with-candidates"], capsys)
    frame = pd.read_parquet(tmp_path / "c.parquet")
    rows = expected_rows(run_log)
    assert status == Exit.OK and len(frame) == sum(row["candidates"] for row in rows)
    chosen = frame[frame["is_chosen"]]
    assert chosen["decision_id"].tolist() == [row["decision_id"] for row in rows]
    assert (chosen["position"] == chosen["chosen"]).all() and (chosen["candidate_id"] == chosen["chosen_id"]).all()
    first = json.loads(run_log.read_text().splitlines()[0])
    assert frame["candidate.price"].tolist()[:len(first["candidates"])] == [c[1]["price"] for c in first["candidates"]]


def test_standard_input_and_compressed_logs_give_the_same_table(run_log, tmp_path, capsys, monkeypatch):
    export([str(run_log), "-o", str(tmp_path / "plain.csv")], capsys)
    status, out, err = export(["-", "-o", "-"], capsys, stdin=gzip.compress(run_log.read_bytes()),
                              monkeypatch=monkeypatch)
    assert status == Exit.OK and out == (tmp_path / "plain.csv").read_text() and "rows written to -" in err


def resolution_again(lines):
    return next(line for line in lines if '"resolution"' in line)


@pytest.mark.parametrize("extra, problem", [(lambda lines: "{not json", "line 4: not JSON"),
                                            (resolution_again, "is resolved a second time")])
def test_unreadable_lines_write_nothing_unless_forced(run_log, tmp_path, extra, problem, capsys):
    damaged = tmp_path / "damaged.log"
    lines = run_log.read_text().splitlines()
    inserted_at = 3 if problem.startswith("line 4") else len(lines)
    damaged.write_text("\n".join(lines[:inserted_at] + [extra(lines)] + lines[inserted_at:]) + "\n")
    status, out, _ = export([str(damaged), "-o", str(tmp_path / "t.csv")], capsys)
    assert status == Exit.PROBLEMS and problem in out and not (tmp_path / "t.csv").exists()
    status, out, _ = export([str(damaged), "-o", str(tmp_path / "t.csv"), "--force"], capsys)
    assert status == Exit.PROBLEMS and len(pd.read_csv(tmp_path / "t.csv")) == len(expected_rows(run_log))


@pytest.mark.parametrize("name, message, code", [("t.json", "must end in .parquet or .csv", Exit.USAGE),
                                                 ("t.parquet", "Parquet needs pyarrow", Exit.USAGE),
                                                 ("missing/t.csv", "does not exist", Exit.OUTPUT)])
def test_an_output_the_export_cannot_write_is_refused_before_reading(run_log, tmp_path, name, message, code, capsys,
                                                                     monkeypatch):
    monkeypatch.setitem(sys.modules, "pyarrow", None)
    status, _, err = export([str(run_log), "-o", str(tmp_path / name)], capsys)
    assert status == code and message in err


def test_bandit_feedback_of_a_fixed_candidate_set(tmp_path):
    path = tmp_path / "shop.log"
    shop_run(path, decisions=200)
    feedback = bandit_feedback(str(path))
    decisions = [json.loads(line) for line in path.read_text().splitlines()[::2]]
    rewards = [json.loads(line)["reward"] for line in path.read_text().splitlines()[1::2]]
    assert (feedback["n_rounds"], feedback["n_actions"]) == (200, 4)
    assert feedback["action"].tolist() == [d["record"]["chosen"] for d in decisions]
    assert feedback["pscore"].tolist() == [d["record"]["propensity"] for d in decisions]
    assert feedback["reward"].tolist() == rewards and feedback["position"].tolist() == [0] * 200
    column = feedback["context_names"].index("country=NZ")
    assert feedback["context"][:, column].tolist() == [float(d["context"]["country"] == "NZ") for d in decisions]
    assert feedback["context"][:, feedback["context_names"].index("hour")].tolist() == \
        [float(d["context"]["hour"]) for d in decisions]
    assert feedback["action_context"].shape == (4, len(feedback["action_context_names"]))


def decision_line(candidates, k):
    state = sorvane.create(8, horizon=5.0)
    return sorvane.log_line(sorvane.decide(state, {"k": k}, candidates, float(k), f"s{k}"))


@pytest.mark.parametrize("second, reason", [
    ([("a", {}), ("b", {})], None),
    ([("b", {}), ("a", {})], None),
    ([("a", {})], "lacks 'b'"),
    ([("a", {}), ("b", {}), ("c", {})], "adds 'c'"),
    ([("a", {}), ("b", {"x": 1})], "other features"),
    ([("a", {}), ("a", {})], "offers the candidate 'a' twice"),
])
def test_bandit_feedback_refuses_varying_candidate_sets_and_says_why(tmp_path, second, reason):
    path = tmp_path / "varying.log"
    path.write_text(decision_line([("a", {}), ("b", {})], 0) + "\n" + decision_line(second, 1) + "\n")
    if reason is None:
        assert bandit_feedback(str(path))["n_actions"] == 2
        return
    with pytest.raises(NotFixedActions, match=reason) as refused:
        bandit_feedback(str(path))
    assert "decision s1:0 (line 2)" in str(refused.value)
