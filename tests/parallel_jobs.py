"""Jobs for the parallel tests, importable by name in worker processes."""
import os
import random
import signal

import sorvane

HORIZON = 50.0
EPSILON = 0.1
SALT = "shop"


def write_log(path, checkpoints, decisions, every, seed=3, bits=10):
    """A log of a learning state, with a serialized state written to the
    directory `checkpoints` before every `every`-th decision. Decisions are
    rewarded out of order or expire, so resolutions interleave."""
    rng = random.Random(seed)
    state = sorvane.create(bits, HORIZON, epsilon=EPSILON)
    if checkpoints is not None:
        os.makedirs(checkpoints, exist_ok=True)
    pending = []
    with open(path, "w") as log:
        for i in range(decisions):
            if checkpoints is not None and i and i % every == 0:
                with open(os.path.join(checkpoints, f"state-{i:06d}.hex"), "w") as f:
                    f.write(sorvane.serialize(state))
            context = {"u": f"v{rng.randrange(5)}", "x": rng.random()}
            candidates = [(f"c{k}", {"p": float(k), "g": f"g{k % 2}"}) for k in range(4)]
            record = sorvane.decide(state, context, candidates, float(i), SALT)
            log.write(sorvane.log_line(record) + "\n")
            pending.append(record.decision_id)
            if rng.random() < 0.7:
                decision_id = pending.pop(rng.randrange(len(pending)))
                reward = 1.0 if rng.random() < 0.2 + 0.15 * record.chosen else 0.0
                log.write(sorvane.log_line(sorvane.learn(state, decision_id, reward, float(i))) + "\n")
            for resolution in sorvane.expire(state, float(i)):
                log.write(sorvane.log_line(resolution) + "\n")
                pending.remove(resolution.decision_id)
    return state


def square(job):
    return job * job


def die(job):
    """A worker process killed while it runs the job."""
    if job == 2:
        os.kill(os.getpid(), signal.SIGKILL)
    return job


def die_in_sweep(job):
    os.kill(os.getpid(), signal.SIGKILL)
