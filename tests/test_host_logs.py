"""Logs as real hosts leave them: a cut last line, a header written again on
a restart, the usual mix-ups of logs and states each reported as one cause,
files that are no log at all, and the Python reader's fast path agreeing
with the full parse."""
import json

import pytest

import sorvane
from sorvane_cli.log.lines import event_of, parse_in_full
from sorvane_cli.status import Exit
from logs import CONFIG, FLAGS, write_run


def _decision_line():
    state = sorvane.create(10, **CONFIG)
    record = sorvane.decide(state, {"a": 1}, [("x", {"p": 1.5}), ("y", {})], 0.0, "web")
    return sorvane.log_line(record)


def _fields(event):
    return type(event).__name__, getattr(event, "message", None), getattr(event, "record", None)


@pytest.mark.parametrize("kept", [
    # the kept record has every field but the features, its propensity first
    lambda r: {"propensity": r["propensity"], **{k: v for k, v in r.items() if k not in ("features", "propensity")}},
    # the kept record is whole: the features are its own, not the discarded one's
    lambda r: {"propensity": r["propensity"], **{k: v for k, v in r.items() if k != "propensity"}},
])
def test_the_fast_path_reads_a_duplicate_record_key_as_the_full_parse_does(kept):
    line = _decision_line()
    record = json.loads(line)["record"]
    again = json.dumps(kept(record), separators=(",", ":"))
    doubled = (line[:-1] + ',"record":' + again + "}").encode()
    fast, full = event_of(3, doubled), parse_in_full(3, doubled)
    assert _fields(fast) == _fields(full)
    if type(full).__name__ == "DecisionLine":
        assert fast.parsed_features() == full.parsed_features()


@pytest.fixture(scope="module")
def long_log(tmp_path_factory):
    path = tmp_path_factory.mktemp("long") / "run.log"
    write_run(path, decisions=8000)
    return path


def test_a_damaged_compressed_log_names_the_same_line_on_either_path_and_dash_for_standard_input(
        tmp_path, long_log, cli, monkeypatch):
    import gzip

    from sorvane_cli.replay import native
    data = long_log.read_bytes()
    # Cut short: every line before the cut reads, then the stream ends.
    packed = gzip.compress(data)
    packed = packed[:len(packed) * 3 // 4]
    path = tmp_path / "run.log.gz"
    path.write_bytes(bytes(packed))
    status, _, fast = cli("verify", path, *FLAGS)
    assert status == Exit.USAGE and "the gzip data is damaged" in fast
    monkeypatch.setattr(native, "_native", None)
    assert cli("verify", path, *FLAGS)[2] == fast
    line = int(fast.split("past line ")[1].split(":")[0])
    assert line > 8192 and line < data.count(b"\n")
    status, _, err = cli("verify", "-", *FLAGS, stdin=bytes(packed))
    assert err == fast.replace(str(path), "-")


@pytest.mark.parametrize("content, says", [
    (b"id,price,chosen\n" + b"".join(b"%d,%d.5,%d\n" % (k, k, k % 3) for k in range(2000)), "not JSON objects"),
    (bytes(range(256)) * 40, "binary data"),
    (b"\x89PNG\r\n\x1a\n" + bytes(200), "binary data"),
])
@pytest.mark.parametrize("command", ["verify", "eval", "sweep"])
def test_a_file_that_is_no_log_is_one_line_and_a_usage_error(tmp_path, cli, content, says, command):
    path = tmp_path / "data.csv"
    path.write_bytes(content)
    extra = ["--grid", "epsilon=0.1"] if command == "sweep" else []
    status, out, err = cli(command, path, *FLAGS, *extra)
    assert status == Exit.USAGE and len((out + err).splitlines()) == 1
    assert f"{path} is not an experience log" in err and says in err


def test_a_log_whose_first_line_is_damaged_is_still_a_log(tmp_path, cli):
    path = tmp_path / "run.log"
    write_run(path, decisions=20)
    lines = path.read_bytes().split(b"\n")
    lines[0] = lines[0][:30] + b"garbage"
    path.write_bytes(b"\n".join(lines))
    status, out, err = cli("verify", path, *FLAGS)
    assert status == Exit.PROBLEMS and "line 1" in out


@pytest.fixture
def cut_log(tmp_path):
    """A log whose writer stopped 40 bytes before the end of its last line."""
    path = tmp_path / "cut.log"
    write_run(path, decisions=120)
    data = path.read_bytes()
    path.write_bytes(data[:-40])
    return path, data.count(b"\n")


def test_a_cut_last_line_is_one_finding_of_its_own_kind(cut_log, cli):
    path, last = cut_log
    status, out, err = cli("verify", path, "--json", *FLAGS)
    report = json.loads(out)
    assert status == Exit.PROBLEMS and report["mismatches"] == {"incomplete": 1}
    assert report["first"][0]["line"] == last and "mid-line" in report["first"][0]["message"]
    status, out, err = cli("verify", path, *FLAGS)
    assert f"line {last}: incomplete final line" in out and "not JSON" not in out


@pytest.mark.parametrize("argv", [["eval", "--method", "weighted"], ["eval", "--method", "rejection"],
                                  ["sweep", "--grid", "epsilon=0.1,0.3", "--workers", "1"]])
def test_eval_and_sweep_evaluate_the_whole_lines_of_a_cut_log_and_say_what_they_left_out(cut_log, cli, argv):
    path, last = cut_log
    status, out, err = cli(argv[0], path, *argv[1:], *FLAGS)
    assert status == Exit.OK and f"left out: line {last}, incomplete final line" in out
    assert "NOT EVALUATED" not in out
    status, out, err = cli(argv[0], path, *argv[1:], *FLAGS, "--json")
    assert json.loads(out)["left_out"]["line"] == last


@pytest.mark.parametrize("ending", [b"\n", b"\n\n", b"\n \n", b"\n\r\n"])
@pytest.mark.parametrize("native_path", [True, False])
def test_empty_lines_at_the_end_are_no_problem(tmp_path, cli, monkeypatch, ending, native_path):
    from sorvane_cli.replay import native
    path = tmp_path / "run.log"
    write_run(path, decisions=30)
    path.write_bytes(path.read_bytes().rstrip(b"\n") + ending)
    if not native_path:
        monkeypatch.setattr(native, "_native", None)
    status, out, err = cli("verify", path, "--json", *FLAGS)
    assert status == Exit.OK, out
    assert cli("eval", path, "--method", "weighted", *FLAGS)[0] == Exit.OK
    # An empty line with a line after it is still one.
    path.write_bytes(path.read_bytes() + b'{"event":"x"}\n')
    assert json.loads(cli("verify", path, "--json", *FLAGS)[1])["mismatches"].get("not-json", 0) == \
        ending.count(b"\n") - 1


def _restarted_log(path, again):
    """A log with a header whose host restarted (from its saved state) and wrote `again` as it began anew."""
    from sorvane_cli import header_line
    first = header_line(10, **CONFIG)
    path.write_text(first + "\n")
    state = write_run(path, decisions=40)
    with open(path, "a") as log:
        log.write(again(first) + "\n")
    restart_line = path.read_text().count("\n")
    write_run(path, decisions=40, state=state, start=40)
    return restart_line


@pytest.mark.parametrize("native_path", [True, False])
def test_a_restart_may_write_the_same_header_again(tmp_path, cli, monkeypatch, native_path):
    from sorvane_cli.replay import native
    if not native_path:
        monkeypatch.setattr(native, "_native", None)
    path = tmp_path / "run.log"
    _restarted_log(path, lambda first: first)
    assert cli("verify", path, "-q")[0] == Exit.OK
    assert cli("eval", path, "--method", "weighted", "-q")[0] == Exit.OK


def test_a_different_header_later_is_one_finding_that_names_both(tmp_path, cli):
    path = tmp_path / "run.log"
    line = _restarted_log(path, lambda first: first.replace('"epsilon":0.2', '"epsilon":0.1'))
    status, out, err = cli("verify", path, "--json", "-q")
    report = json.loads(out)
    assert status == Exit.PROBLEMS and report["problems"] == 1
    message = report["first"][0]["message"]
    assert report["first"][0]["line"] == line
    assert f"line 1 gives epsilon 0.2, line {line} gives epsilon 0.1" in message


def test_a_header_that_is_not_first_in_a_log_without_one_is_still_refused(tmp_path, cli):
    from sorvane_cli import header_line
    path = tmp_path / "run.log"
    write_run(path, decisions=10)
    with open(path, "a") as log:
        log.write(header_line(10, **CONFIG) + "\n")
    status, out, err = cli("verify", path, *FLAGS)
    assert status == Exit.PROBLEMS and "a header line belongs first in the log" in out


@pytest.fixture
def checkpointed(tmp_path):
    from parallel_jobs import write_log
    write_log(tmp_path / "log.jsonl", tmp_path / "checkpoints", 600, 200)
    return tmp_path


VERIFY = ["--horizon", "50", "-q", "--workers", "1"]


def test_checkpoints_skip_files_that_are_no_state_and_say_so(checkpointed, cli):
    folder = checkpointed / "checkpoints"
    (folder / "README").write_text("states saved every 200 decisions\n")
    (folder / "state-000600.hex.tmp").write_text((folder / "state-000400.hex").read_text()[:100])
    status, out, err = cli("verify", checkpointed / "log.jsonl", "--checkpoints", folder, *VERIFY)
    assert status == Exit.OK, out + err
    assert "skipped README: it does not begin like a serialized state" in out
    assert "skipped state-000600.hex.tmp: a temporary file" in out
    status, out, err = cli("verify", checkpointed / "log.jsonl", "--checkpoints", folder, "--json", *VERIFY)
    assert [s["file"] for s in json.loads(out)["skipped"]] == ["README", "state-000600.hex.tmp"]


def test_a_checkpoint_that_begins_like_a_state_and_is_damaged_stays_an_error(checkpointed, cli):
    path = checkpointed / "checkpoints" / "state-000400.hex"
    path.write_text(path.read_text()[:200])
    status, out, err = cli("verify", checkpointed / "log.jsonl", "--checkpoints", path.parent, *VERIFY)
    assert status == Exit.USAGE and "state-000400.hex is not a serialized state" in err


def test_a_checkpoint_s_line_says_where_the_log_goes_on(checkpointed, cli):
    status, out, err = cli("verify", checkpointed / "log.jsonl", "--checkpoints", checkpointed / "checkpoints",
                           "--json", *VERIFY)
    lines = (checkpointed / "log.jsonl").read_text().splitlines()
    for placed in json.loads(out)["checkpoints"]:
        assert placed["next_line"] == placed["line"] + 1
        # `tail -n +next_line` starts at the decision the saved state made next.
        first = json.loads(lines[placed["next_line"] - 1])
        assert first["record"]["decision_id"] == f"shop:{placed['decisions']}"


def test_compressed_states_are_read_wherever_states_are(checkpointed, cli, tmp_path):
    import gzip
    import lzma
    folder = checkpointed / "checkpoints"
    for k, path in enumerate(sorted(folder.iterdir())):
        pack = (gzip.compress, lzma.compress)[k % 2]
        path.with_name(path.name + ".gz").write_bytes(pack(path.read_bytes()))
        path.unlink()
    status, out, err = cli("verify", checkpointed / "log.jsonl", "--checkpoints", folder, *VERIFY)
    assert status == Exit.OK and "skipped" not in out, out + err
    # --from-state: a log that continues from a saved state, the state gzip'd.
    state = tmp_path / "from.hex.gz"
    start = sorted(folder.iterdir())[0]
    state.write_bytes(start.read_bytes() if start.read_bytes()[:2] == b"\x1f\x8b" else gzip.compress(
        lzma.decompress(start.read_bytes())))
    tail = tmp_path / "tail.jsonl"
    placed = json.loads(cli("verify", checkpointed / "log.jsonl", "--json", "--checkpoints", folder,
                            *VERIFY)[1])["checkpoints"][0]
    tail.write_text("".join((checkpointed / "log.jsonl").read_text().splitlines(keepends=True)[placed["line"]:]))
    for command in (["verify"], ["eval", "--method", "weighted"], ["sweep", "--grid", "epsilon=0.2", "--workers", "1"]):
        status, out, err = cli(command[0], tail, "--from-state", state, "-q", *command[1:])
        assert status == Exit.OK, out + err


def _continued(tmp_path):
    """A log that goes on from a state saved after 40 decisions."""
    state = write_run(tmp_path / "before.log", decisions=40)
    (tmp_path / "saved.hex").write_text(sorvane.serialize(state))
    write_run(tmp_path / "run.log", decisions=60, state=state, start=40)
    return []


def _restarted_from_older(tmp_path):
    state = write_run(tmp_path / "run.log", decisions=30)
    saved = sorvane.serialize(state)
    write_run(tmp_path / "run.log", decisions=30, state=state, start=30)
    write_run(tmp_path / "run.log", decisions=40, state=sorvane.deserialize(saved), start=30)
    return FLAGS


def _interleaved(tmp_path):
    states = {salt: sorvane.create(10, **CONFIG) for salt in ("a", "b")}
    with open(tmp_path / "run.log", "w") as log:
        for i in range(60):
            salt = "ab"[i % 2]
            record = sorvane.decide(states[salt], {"i": i % 5}, [("x", {"p": 1.0}), ("y", {"q": 2.0})], float(i),
                                    salt)
            log.write(sorvane.log_line(record) + "\n")
            log.write(sorvane.log_line(sorvane.learn(states[salt], record.decision_id, 1.0, float(i))) + "\n")
    return FLAGS


def _concatenated(tmp_path):
    write_run(tmp_path / "run.log", decisions=50)
    write_run(tmp_path / "run.log", decisions=50)
    return FLAGS


def _one_short_of_its_state(tmp_path):
    state = write_run(tmp_path / "before.log", decisions=39)
    write_run(tmp_path / "run.log", decisions=1, state=state, start=39)
    (tmp_path / "saved.hex").write_text(sorvane.serialize(state))
    write_run(tmp_path / "run.log", decisions=60, state=state, start=40)
    return ["--from-state", tmp_path / "saved.hex", "-q"]


def _a_line_twice(tmp_path):
    write_run(tmp_path / "run.log", decisions=60)
    lines = (tmp_path / "run.log").read_text().splitlines(keepends=True)
    decision = max(k for k in range(20) if '"event":"decision"' in lines[k])
    lines.insert(decision + 1, lines[decision])
    (tmp_path / "run.log").write_text("".join(lines))
    return FLAGS


@pytest.mark.parametrize("make, says", [
    (_a_line_twice, "repeats the decision web:"),
    (_continued, "the log continues from a saved state. Pass --from-state"),
    (_restarted_from_older, "the host restarted from an older checkpoint (saved after 30 decisions)"),
    (_interleaved, "decisions of two states are interleaved"),
    (_concatenated, "a second log follows the first from line"),
    (_one_short_of_its_state, "the log begins 1 decision before the state. Cut the log to begin at web:40"),
])
def test_a_mix_up_of_logs_and_states_is_one_cause_with_the_count_that_follows(tmp_path, cli, make, says):
    flags = make(tmp_path) or ["-q"]
    status, out, err = cli("verify", tmp_path / "run.log", "--json", *flags)
    report = json.loads(out)
    assert status == Exit.PROBLEMS and report["problems"] == 1, report["mismatches"]
    cause = report["first"][0]
    assert cause["kind"] == "mix-up" and says in cause["message"] and cause["follow_on"] > 10
    status, out, err = cli("verify", tmp_path / "run.log", *flags)
    assert "later problems follow from it" in out and "--forgetfulness" not in out


@pytest.mark.parametrize("argv", [["verify", "--json"], ["eval", "--method", "weighted", "--json"]])
def test_the_native_path_reports_a_cut_last_line_as_the_python_path_does(tmp_path, cli, monkeypatch, argv):
    from sorvane_cli.replay import native
    path = tmp_path / "cut.log"
    write_run(path, decisions=4000)
    data = path.read_bytes()
    path.write_bytes(data[:-40])
    fed = []
    real_feed = native.feed_log
    monkeypatch.setattr(native, "feed_log", lambda *a, **k: fed.append(real_feed(*a, **k)) or fed[-1])
    status, fast, err = cli(argv[0], path, *argv[1:], *FLAGS)
    assert fed == [True]  # proved natively: no second read
    monkeypatch.setattr(native, "_native", None)
    assert cli(argv[0], path, *argv[1:], *FLAGS) == (status, fast, err)
    assert json.loads(fast)["first" if argv[0] == "verify" else "left_out"]
