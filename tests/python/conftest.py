"""Fixtures of the Python package's tests: the built programs (named by CTest through the
environment) and names no other test uses."""

import itertools
import os
import subprocess
import sys
import threading
import time

import pytest

_counter = itertools.count()


def built(variable):
    path = os.environ.get(variable)
    if not path:
        pytest.skip("%s is not set (the tests run from CTest)" % variable)
    return path


@pytest.fixture
def name(request):
    """A pipe name of this test's own."""
    return "py-%d-%s-%d" % (os.getpid(), request.node.name[:40], next(_counter))


@pytest.fixture
def tool():
    return built("TOVIIPC_TOOL")


@pytest.fixture
def example_client():
    return built("EXAMPLE_CLIENT")


class Running:
    """A child process whose output lines are collected by a thread."""

    def __init__(self, arguments, stdin=subprocess.DEVNULL, env=None):
        self.process = subprocess.Popen(
            arguments,
            stdin=stdin,
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            text=True,
            env=env,
        )
        self.lines = []
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()

    def _read(self):
        for line in self.process.stdout:
            self.lines.append(line.rstrip("\n"))

    def wait_line(self, predicate, timeout=60):
        """The first line that satisfies predicate; fails the test after timeout seconds."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            for line in list(self.lines):
                if predicate(line):
                    return line
            time.sleep(0.01)
        raise AssertionError("no such line within %s s; got %r" % (timeout, self.lines))

    def finish(self, timeout=60):
        """Waits for the exit status and the last line."""
        status = self.process.wait(timeout)
        self._reader.join(timeout)
        return status

    def stop(self):
        if self.process.poll() is None:
            self.process.kill()
        self.process.wait()


@pytest.fixture
def run():
    """Starts child processes and kills those still running when the test ends."""
    started = []

    def start(arguments, **options):
        child = Running(arguments, **options)
        started.append(child)
        return child

    yield start
    for child in started:
        child.stop()


PYTHON = sys.executable
