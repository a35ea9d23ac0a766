"""What the ledcube module's tests share: a run directory laid out as cubeplay
lays one out, cubetrace serving its channel, and Python animations run as
real child processes one folder below it.

The build is found through the environment:
  CUBE_BUILD_BIN  the folder holding cubetrace, cubetrace5, cubetrace8, cubefx
  PYTHONPATH      the folder holding the ledcube package (the test process
                  imports it, and every animation it starts inherits it)
"""

import json
import os
import subprocess
import sys
import textwrap
import time
from dataclasses import dataclass, field
from pathlib import Path

import numpy as np
import pytest

BIN_VARIABLE = "CUBE_BUILD_BIN"

# The channel record: 46 bytes, the status byte first (lbox/channel.h).
RECORD_SIZE = 46
STATUS_IDLE = 200
STATUS_CLEAR = 72
# Any code but idle: the receiver's own reset to idle shows that it is up.
STATUS_STALE = 0

# What a receiver shows for an LED that is off (lFrame::kUnlit).
UNLIT = np.float32(0.3)
# An LED that is neither off nor within this of the grey in every component
# is lit, as cubetrace counts it (common/leds.cpp).
LIT_TOLERANCE = 0.0001

# Deadlines for what should take a moment; only a machine that has stopped
# meets them. No test measures speed.
START_DEADLINE = 30.0
RUN_DEADLINE = 90.0
POLL_INTERVAL = 0.005

RESULT_PREFIX = "RESULT "
# The variables that change what an animation or a receiver does: each test
# sets them itself.
CHOSEN_VARIABLES = ("CUBE_EDGE", "CUBE_CHANNEL", "CUBE_TEST_FAST_SIDE")

# Put before every animation's own source: report(value) passes a value back
# to the test as one line of JSON.
PRELUDE = """\
import json, os, sys, time
import numpy as np
import ledcube

def report(value):
    print("RESULT " + json.dumps(value), flush=True)

def failure(call):
    try:
        call()
    except Exception as error:
        return [type(error).__name__, str(error)]
    return None
"""


def pytest_configure(config):
    if not os.environ.get(BIN_VARIABLE):
        raise pytest.UsageError(f"{BIN_VARIABLE} must name the build's bin folder (cubetrace, cubefx...)")
    try:
        import ledcube  # noqa: F401
    except ImportError as error:
        raise pytest.UsageError(f"ledcube cannot be imported ({error}): PYTHONPATH must name the build's python folder")


def program(name):
    path = Path(os.environ[BIN_VARIABLE]) / name
    if not path.is_file():
        raise AssertionError(f"{path} is not built")
    return str(path)


def environment(**chosen):
    """This process's environment without the cube's variables, then with
    `chosen` (a value of None leaves the variable out)."""
    env = {k: v for k, v in os.environ.items() if k not in CHOSEN_VARIABLES}
    env.update({k: str(v) for k, v in chosen.items() if v is not None})
    return env


# ---- frames as cubetrace reports them ----

@dataclass
class Frame:
    release: int
    ms: int
    lit: int
    hash: str
    leds: dict = field(default_factory=dict)  # (x, y, z) -> (r, g, b) as printed

    @property
    def dark(self):
        return self.lit == 0


def parse_trace(text):
    """The frames in cubetrace's output with --leds; a line still being
    written (no newline yet) is left for the next read."""
    frames = []
    complete = text[: text.rfind("\n") + 1]
    for line in complete.splitlines():
        if line.startswith("  "):
            x, y, z, r, g, b = line.split()
            frames[-1].leds[(int(x), int(y), int(z))] = (r, g, b)
        else:
            release, ms, lit, hashed = line.split()
            frames.append(Frame(int(release), int(ms), int(lit), hashed))
    return frames


def untimed(frames):
    """What does not depend on timing: release, lit count and hash of each."""
    return [(f.release, f.lit, f.hash) for f in frames]


def fnv1a(data):
    value = 0x811C9DC5
    for byte in data:
        value = ((value ^ byte) * 0x01000193) & 0xFFFFFFFF
    return f"{value:08x}"


def bytes_to_levels(picture):
    """A uint8 picture as the receiver holds its colours: b / 255 in float32."""
    return np.asarray(picture, dtype=np.float32) / np.float32(255)


def floats_to_levels(picture):
    """A float picture as the receiver holds its colours: clipped to 0..1,
    NaN as 0, in float32."""
    clipped = np.clip(np.nan_to_num(np.asarray(picture, dtype=np.float64), nan=0.0), 0.0, 1.0)
    return clipped.astype(np.float32)


def receiver_table(levels):
    """The receiver's colour table for a picture of float32 levels: an LED
    with no component above 0 shows the unlit grey."""
    table = np.array(levels, dtype=np.float32, order="C", copy=True)
    off = ~(table > 0).any(axis=-1)
    table[off] = UNLIT
    return table


def lit_leds(table):
    """The LEDs that cubetrace lists for a table, their colours as it prints them."""
    grey = (np.abs(table - UNLIT) <= LIT_TOLERANCE).all(axis=-1)
    off = ~(table > 0).any(axis=-1)
    leds = {}
    for x, y, z in zip(*np.nonzero(~grey & ~off)):
        leds[(int(x), int(y), int(z))] = tuple("%g" % float(c) for c in table[x, y, z])
    return leds


def assert_shows(frame, levels):
    """`frame` is exactly the picture of float32 `levels`: every colour of its
    table (by the hash) and every lit LED as printed."""
    table = receiver_table(levels)
    expected = lit_leds(table)
    assert frame.leds == expected
    assert frame.lit == len(expected)
    assert frame.hash == fnv1a(table.tobytes())


def dark_hash(edge):
    return fnv1a(receiver_table(np.zeros((edge, edge, edge, 3), np.float32)).tobytes())


def assert_dark(frame, edge):
    assert frame.lit == 0 and frame.leds == {}
    assert frame.hash == dark_hash(edge)


# ---- the run directory and its receiver ----

class RunDir:
    """<root>/shared_buffer.txt (46 bytes, status idle, the rest zero) and
    <root>/anim/, where an animation runs."""

    def __init__(self, root):
        self.root = Path(root)
        self.anim = self.root / "anim"
        self.anim.mkdir(parents=True)
        self.record = self.root / "shared_buffer.txt"
        self.record.write_bytes(bytes([STATUS_IDLE]) + bytes(RECORD_SIZE - 1))
        self._started = 0
        self.children = []

    def status(self):
        with open(self.record, "rb") as f:
            return f.read(1)[0]

    def set_status(self, status):
        with open(self.record, "r+b") as f:
            f.write(bytes([status]))

    def wait_status(self, status, deadline=START_DEADLINE):
        end = time.monotonic() + deadline
        while self.status() != status:
            assert time.monotonic() < end, f"the channel's status never read {status}"
            time.sleep(POLL_INTERVAL)

    def output_paths(self, name):
        self._started += 1
        stem = self.root / f"{name}-{self._started}"
        return Path(f"{stem}.out"), Path(f"{stem}.err")

    def receiver(self, edge, *options, env=None, mark_stale=True):
        self.children.append(Receiver(self, edge, options, env if env is not None else environment(), mark_stale))
        return self.children[-1]

    def animation(self, *parts, env=None, name="animation"):
        self.children.append(Animation(self, parts, env if env is not None else environment(), name))
        return self.children[-1]

    def end(self):
        for child in reversed(self.children):
            child.kill()

    def run(self, *parts, env=None, deadline=RUN_DEADLINE):
        animation = self.animation(*parts, env=env)
        animation.wait(deadline)
        return animation


class Child:
    """A child process whose output goes to files that can be read while it runs."""

    def __init__(self, argv, cwd, env, out, err):
        self.out_path, self.err_path = out, err
        with open(out, "wb") as stdout, open(err, "wb") as stderr:
            self.process = subprocess.Popen(argv, cwd=cwd, env=env, stdout=stdout, stderr=stderr,
                                            stdin=subprocess.DEVNULL)

    @property
    def out(self):
        return self.out_path.read_text(errors="replace")

    @property
    def err(self):
        return self.err_path.read_text(errors="replace")

    def running(self):
        return self.process.poll() is None

    def wait(self, deadline=RUN_DEADLINE):
        try:
            return self.process.wait(timeout=deadline)
        except subprocess.TimeoutExpired:
            self.kill()
            raise AssertionError(f"{self.process.args} did not end within {deadline} s: {self.err}")

    def signal(self, number):
        self.process.send_signal(number)

    def kill(self):
        if self.running():
            self.process.kill()
            self.process.wait()

    def wait_output(self, text, deadline=START_DEADLINE):
        end = time.monotonic() + deadline
        while text not in self.out:
            assert self.running(), f"ended before printing {text!r}: {self.err}"
            assert time.monotonic() < end, f"never printed {text!r}: {self.err}"
            time.sleep(POLL_INTERVAL)


class Receiver(Child):
    """cubetrace --leds serving the run directory's channel for a cube of
    `edge`. Returns once it has reset the record, so an animation started
    afterwards never meets a channel that nobody answers."""

    def __init__(self, run, edge, options, env, mark_stale):
        self.edge = edge
        self.run = run
        if mark_stale:
            run.set_status(STATUS_STALE)
        argv = [program("cubetrace"), "--edge", str(edge), "--leds", *options]
        super().__init__(argv, run.root, env, *run.output_paths("cubetrace"))
        end = time.monotonic() + START_DEADLINE
        while run.status() != STATUS_IDLE:
            assert self.running(), f"cubetrace did not take up the channel: {self.err}"
            assert time.monotonic() < end, "cubetrace did not take up the channel in time"
            time.sleep(POLL_INTERVAL)

    def frames(self):
        return parse_trace(self.out)

    def wait_frames(self, done, deadline=START_DEADLINE):
        """Polls until done(frames) holds; fails with the trace when it never does."""
        end = time.monotonic() + deadline
        while True:
            frames = self.frames()
            if done(frames):
                return frames
            assert time.monotonic() < end, f"the receiver never showed what was waited for: {untimed(frames)}"
            assert self.running(), f"cubetrace ended: {self.err}"
            time.sleep(POLL_INTERVAL)

    def settled(self):
        """Every frame, once the programs that wrote have ended: when the record
        reads idle again, the receiver has answered (and so printed) the last
        code that they left."""
        self.run.wait_status(STATUS_IDLE)
        return self.frames()


class Animation(Child):
    """A Python animation run as a real program: PRELUDE and the source's
    parts, each indented as it likes, in <run>/anim/<name>.py, started there
    with this interpreter."""

    def __init__(self, run, parts, env, name):
        self.script = run.anim / f"{name}.py"
        self.script.write_text(PRELUDE + "".join(textwrap.dedent(part) for part in parts))
        super().__init__([sys.executable, str(self.script)], run.anim, env, *run.output_paths(name))

    @property
    def results(self):
        return [json.loads(line[len(RESULT_PREFIX):]) for line in self.out.splitlines()
                if line.startswith(RESULT_PREFIX)]

    def succeeded(self):
        code = self.wait()
        assert code == 0, f"the animation failed ({code}): {self.err}"
        return self.results


@pytest.fixture
def run(tmp_path):
    """A run directory; whatever the test started there is ended with it."""
    directory = RunDir(tmp_path / "cube")
    yield directory
    directory.end()


def pattern(edge, seed):
    """A fixed picture of bytes with every level 0..255 in use where the cube
    has room, some LEDs black and some with one component only."""
    rng = np.random.default_rng(seed)
    picture = rng.integers(0, 256, size=(edge, edge, edge, 3), dtype=np.uint8)
    flat = picture.reshape(-1, 3)
    levels = np.arange(flat.shape[0]) % 256
    flat[:, 0] = levels
    flat[::7] = 0
    flat[3::11, 1:] = 0
    return picture
