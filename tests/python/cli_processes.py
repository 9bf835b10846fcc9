"""Running the korvane command as a process in tests: every wait has a time limit, and a
process whose wait times out is killed with its process group."""
import os
import signal
import subprocess
import sys
import time

import pytest


def run_cli(args, **kw):
    return subprocess.Popen([sys.executable, "-m", "korvane", *args], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, **kw)


def finish(process, timeout):
    """Waits for `process` and returns its exit status; kills it (and its process group,
    when it leads one) if the wait times out, and fails the test."""
    try:
        process.communicate(timeout=timeout)
        return process.returncode
    except subprocess.TimeoutExpired:
        try:
            os.killpg(process.pid, signal.SIGKILL)
        except (ProcessLookupError, PermissionError):
            process.kill()
        process.communicate()
        pytest.fail(f"{process.args} did not end within {timeout} s")


def wait_for_lines(path, count, process, timeout=120):
    """Waits until `path` holds `count` complete lines while `process` runs."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline and process.poll() is None:
        if path.exists() and path.read_bytes().count(b"\n") >= count:
            return
        time.sleep(0.05)
    pytest.fail(f"{path} did not reach {count} lines (exit status {process.poll()})")


def interrupt_while_reading(args, fifo, head, out, count, timeout=120):
    """Runs the command on a named pipe fed `head` and held open, so that the run cannot
    end by itself; once OUTPUT holds `count` lines, sends Ctrl-C to its process group (as
    a terminal does) and returns the exit status."""
    os.mkfifo(fifo)
    # As in a terminal's foreground: a suite started in the background of a script has
    # SIGINT ignored, which its processes would inherit.
    run = run_cli(args, start_new_session=True,
                  preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
    try:
        deadline = time.monotonic() + timeout
        while True:  # the pipe opens for writing once the command opened it to read
            try:
                fd = os.open(fifo, os.O_WRONLY | os.O_NONBLOCK)
                break
            except OSError:
                if run.poll() is not None or time.monotonic() > deadline:
                    pytest.fail(f"the command did not open its input (exit {run.poll()})")
                time.sleep(0.05)
        os.set_blocking(fd, True)
        with open(fd, "w") as writer:  # held open: the input never ends
            writer.write(head)
            writer.flush()
            wait_for_lines(out, count, run, timeout)
            os.killpg(run.pid, signal.SIGINT)
            return finish(run, 60)
    finally:
        if run.poll() is None:
            os.killpg(run.pid, signal.SIGKILL)
            run.wait()
