"""Running independent jobs (in this process, in local worker processes, or
on a Dask distributed cluster), and the share of the CPUs each job takes.

A job is a module-level function and one argument made of plain values, so
it pickles by reference; its result is plain values too. The function is
looked up by name where it runs, so every worker must have the same version
of `sorvane_cli` installed, and it reads the files its argument names (the
log, checkpoints) itself: a cluster's workers need those paths on a shared
file system, at the same place. Only the command's own process writes
output.

Results come back in the order of the jobs, whatever order they finish in,
so the same jobs give the same report however they ran. A job that cannot
finish (its process killed, an unexpected exception, a cluster that loses
it) ends the whole run with JobFailed: no partial result is returned.
"""
import concurrent.futures
import concurrent.futures.process
import ctypes
import multiprocessing
import os
import signal
import traceback

from sorvane_cli.status import JobFailed


def usable_cpus():
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:  # pragma: no cover - not Linux
        return os.cpu_count() or 1


# How many threads a native pass reads lines and hashes candidates on, the
# calling thread included. Past a few, the in-order steps on the calling
# thread are all that is left to wait for. Worker processes lower it, so
# that jobs side by side share the CPUs.
threads = min(usable_cpus(), 8)


def share_cpus(count):
    """Native passes in this process use `count` threads from now on."""
    global threads
    threads = max(1, count)


# Linux's prctl option that sends a process a signal when its parent dies.
_PR_SET_PDEATHSIG = 1


def _start_worker(cpus):
    """A worker process's start: its share of the CPUs; Ctrl-C is the
    command's to handle (it ends the workers itself), and the worker ends
    with the command's process however that ends, even by SIGKILL."""
    share_cpus(cpus)
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    try:
        ctypes.CDLL(None, use_errno=True).prctl(_PR_SET_PDEATHSIG, signal.SIGKILL, 0, 0, 0)
    except (OSError, AttributeError):  # pragma: no cover - not Linux
        pass
    if os.getppid() == 1:  # the command ended before the line above
        os._exit(1)


def _end_workers(pool):
    """Ends the pool's worker processes now, jobs running or not: an
    interrupted command does not wait for them."""
    processes = list((getattr(pool, "_processes", None) or {}).values())
    for process in processes:
        try:
            process.kill()
        except (OSError, ValueError, AttributeError):
            pass
    pool.shutdown(wait=False, cancel_futures=True)
    for process in processes:
        try:
            process.join(2.0)
        except (OSError, ValueError, AttributeError, AssertionError):
            pass
    # The pool's manager thread closes its wake-up pipe as it ends, and the
    # interpreter's exit wakes every manager thread still listed: waiting for
    # it keeps that wake-up from writing to the pipe as it closes. A machine
    # too busy for it to end in time gets a wake-up that keeps quiet instead.
    manager = getattr(pool, "_executor_manager_thread", None)
    if manager is not None:
        manager.join(2.0)
        wakeup = getattr(concurrent.futures.process, "_threads_wakeups", {}).get(manager)
        if wakeup is not None and manager.is_alive():
            wakeup.wakeup = _quietly(wakeup.wakeup)


def _quietly(wakeup):
    def quiet_wakeup():
        try:
            wakeup()
        except (OSError, ValueError):  # the pipe closed under it
            pass
    return quiet_wakeup


# How long a command tries to reach the Dask scheduler before it gives up (exit 6).
CONNECT_SECONDS = 10
_SCHEMES = ("tcp", "tls")


def cluster_address(text):
    """The scheduler address `text` ([tcp://]HOST:PORT), checked before any
    connection is tried; ValueError says what is wrong with it."""
    scheme, sep, rest = text.partition("://")
    if not sep:
        scheme, rest = "tcp", text
    why = None
    if scheme not in _SCHEMES:
        why = f"the scheme must be {' or '.join(_SCHEMES)}, not {scheme!r}"
    else:
        if rest.startswith("["):  # an IPv6 address: [::1]:8786
            host, _, port = rest[1:].partition("]")
            port = port[1:] if port.startswith(":") else ""
        else:
            host, _, port = rest.rpartition(":")
        if not host:
            why = "it has no port number" if rest and ":" not in rest else "it has no host"
        elif not port.isdigit() or not 1 <= int(port) <= 65535:
            why = "it has no port number" if not port else f"the port must be a number from 1 to 65535, not {port!r}"
    if why is not None:
        raise ValueError(f"--cluster {text}: {why}; give the scheduler's address as tcp://HOST:PORT "
                         "(tcp://127.0.0.1:8786)")
    return text if sep else f"tcp://{text}"


def placement(args):
    """(workers, cluster) from the flags: the usable CPUs unless told."""
    if args.cluster is not None and args.workers is not None:
        raise ValueError("--workers and --cluster cannot go together: the cluster has its own workers")
    cluster = cluster_address(args.cluster) if args.cluster is not None else None
    return (args.workers or usable_cpus()), cluster


class _Silent:
    total = 1

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        return False

    def update(self, done):
        pass


def no_progress(label):
    """The progress factory of a job: only the command's own process draws a bar."""
    return _Silent()


def run_jobs(function, jobs, workers=1, cluster=None, describe=str, done=None):
    """[function(job) for job in jobs], run `workers` at a time in local
    processes (1: in this process), or on the Dask scheduler at `cluster`.

    `describe(job)` names a job in messages; `done(count)` is called as
    jobs finish.
    """
    jobs = list(jobs)
    if cluster is not None:
        return _on_cluster(function, jobs, cluster, describe, done)
    if workers <= 1 or len(jobs) <= 1:
        return _here(function, jobs, describe, done)
    return _in_processes(function, jobs, min(workers, len(jobs)), describe, done)


def _first_line(exc):
    text = str(exc).strip().splitlines()
    return text[0] if text else type(exc).__name__


def _failure(job, describe, exc):
    detail = "".join(traceback.format_exception_only(type(exc), exc)).strip()
    return JobFailed(f"{describe(job)} failed: {detail}")


def _here(function, jobs, describe, done):
    results = []
    for job in jobs:
        results.append(function(job))
        if done is not None:
            done(len(results))
    return results


def _in_processes(function, jobs, workers, describe, done):
    # Spawned, not forked: a worker starts from a clean interpreter whatever
    # the command's process holds (threads, open files, a large state).
    context = multiprocessing.get_context("spawn")
    results = [None] * len(jobs)
    with concurrent.futures.ProcessPoolExecutor(max_workers=workers, mp_context=context, initializer=_start_worker,
                                                initargs=(usable_cpus() // workers,)) as pool:
        futures = {pool.submit(function, job): k for k, job in enumerate(jobs)}
        try:
            finished = 0
            for future in concurrent.futures.as_completed(futures):
                k = futures[future]
                try:
                    results[k] = future.result()
                except concurrent.futures.process.BrokenProcessPool:
                    raise JobFailed(f"{describe(jobs[k])} failed: its worker process ended abruptly "
                                    "(killed, or out of memory)") from None
                except Exception as exc:
                    raise _failure(jobs[k], describe, exc) from exc
                finished += 1
                if done is not None:
                    done(finished)
        except BaseException as exc:
            for future in futures:
                future.cancel()
            if not isinstance(exc, Exception):
                # Interrupted or terminated: running jobs are not waited for.
                _end_workers(pool)
            raise
    return results


def _on_cluster(function, jobs, address, describe, done):
    try:
        import distributed
    except ImportError:
        raise JobFailed("--cluster needs the distributed package: pip install 'sorvane[cluster]'") from None
    try:
        client = distributed.Client(address, set_as_default=False, timeout=CONNECT_SECONDS)
    except (OSError, TimeoutError, ValueError) as exc:
        raise JobFailed(f"cannot reach the Dask scheduler at {address} (tried for {CONNECT_SECONDS} s): "
                        f"{_first_line(exc)}") from None
    with client:
        # pure=False: equal arguments are still separate runs, never a
        # result the cluster kept from an earlier command.
        futures = client.map(function, jobs, pure=False)
        position = {future.key: k for k, future in enumerate(futures)}
        results = [None] * len(jobs)
        try:
            finished = 0
            for future in distributed.as_completed(futures, loop=client.loop):
                k = position[future.key]
                try:
                    results[k] = future.result()
                except Exception as exc:
                    # KilledWorker says how many workers died running it.
                    raise _failure(jobs[k], describe, exc) from exc
                finished += 1
                if done is not None:
                    done(finished)
        finally:
            client.cancel(futures)
    return results
