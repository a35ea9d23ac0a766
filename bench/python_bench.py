"""What the Python module adds to a frame, and how fast a numpy plasma plays.

    PYTHONPATH=BUILD/python /usr/bin/python3 bench/python_bench.py BUILD/bin

For each edge (8, 12 and 16; the build needs cubetrace16, CUBE_EDGES="12;5;8;16"),
cubetrace serves a run directory and the cube shows full-change frames: every
LED a new colour in every frame, so that no frame costs fewer writes than the
last, each drawn just before it is shown. Each show is split into the time spent in the library's frame writer
(lFrameWriter::show: its writes and its waits on the receiver, the channel's
own time) and the rest, which is Python's and the bindings': checking the
array and reading it into the frame. Then the plasma of examples/python
plays as fast as the channel takes it, at edge 8, in both channel modes.

Each edge plays in a process of its own, since the library keeps the first
edge that a process uses.
"""

import json
import os
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

import ledcube

EDGES = (8, 12, 16)
FRAMES = 60            # shown and timed at each edge, after the warm-up
WARM_UP = 5
DISTINCT = 7           # pictures cycled: more than the receiver's two tables
PLASMA_EDGE = 8
PLASMA_SECONDS = 5.0
RECORD_SIZE = 46       # the channel file's bytes
START_WAIT = 0.3       # for cubetrace to map the channel


def tracer(bin_dir, edge):
    name = "cubetrace" if edge == ledcube.DEFAULT_EDGE else f"cubetrace{edge}"
    path = Path(bin_dir).resolve() / name
    if not path.exists():
        sys.exit(f"python_bench: no {path}: build with CUBE_EDGES holding {edge}")
    return path


def run_child(bin_dir, args, mode):
    """Runs this script's measuring side under a fresh cubetrace; returns its JSON line."""
    edge = int(args[1])
    with tempfile.TemporaryDirectory(prefix="python-bench-") as run:
        Path(run, "shared_buffer.txt").write_bytes(bytes(RECORD_SIZE))
        Path(run, "anim").mkdir()
        # The child runs in another folder: it finds this module by full paths.
        package = Path(os.path.abspath(ledcube.__file__)).parent.parent
        environment = dict(os.environ, CUBE_CHANNEL=mode, PYTHONPATH=str(package))
        receiver = subprocess.Popen([tracer(bin_dir, edge)], cwd=run, stdout=subprocess.DEVNULL, env=environment)
        try:
            time.sleep(START_WAIT)
            child = subprocess.run([sys.executable, os.path.abspath(__file__), *args], cwd=Path(run, "anim"),
                                   env=environment, capture_output=True, text=True)
        finally:
            receiver.terminate()
            receiver.wait()
    if child.returncode != 0:
        sys.exit(f"python_bench: {' '.join(args)} failed: {child.stderr.strip()}")
    # The library's closing line follows the result.
    return json.loads(next(line for line in child.stdout.splitlines() if line.startswith("{")))


def pictures(edge, dtype):
    generator = np.random.default_rng(edge)
    if dtype == "uint8":
        # 1 to 255: no LED is ever off, so every one changes every frame.
        return [generator.integers(1, 256, (edge,) * 3 + (3,), dtype=np.uint8) for _ in range(DISTINCT)]
    return [generator.uniform(0.01, 1, (edge,) * 3 + (3,)).astype(np.float32) for _ in range(DISTINCT)]


def measure_shows(edge, dtype):
    """Median µs a full-change frame: the whole call as Python sees it, the frame writer's part, the rest."""
    frames = pictures(edge, dtype)
    drawn = np.empty_like(frames[0])
    whole, channel = [], []
    with ledcube.Cube(edge) as cube:
        for k in range(WARM_UP + FRAMES):
            # Drawn just before it is shown, as an animation draws its frame.
            np.copyto(drawn, frames[k % DISTINCT])
            start = time.perf_counter()
            _, writer = cube._timed_show(drawn)
            took = time.perf_counter() - start
            if k >= WARM_UP:
                whole.append(took)
                channel.append(writer)
    rest = [w - c for w, c in zip(whole, channel)]
    micro = 1e6
    return {"whole": statistics.median(whole) * micro, "channel": statistics.median(channel) * micro,
            "python": statistics.median(rest) * micro, "python_max": max(rest) * micro}


def measure_plasma():
    """Frames a second of the plasma of examples/python/plasma.py, without its pause."""
    with ledcube.Cube(PLASMA_EDGE) as cube:
        x, y, z = np.indices((cube.edge,) * 3) / (cube.edge - 1)
        shift = np.array([0, 2 / 3, 4 / 3]) * np.pi
        start = time.monotonic()
        frames = 0
        while (t := time.monotonic() - start) < PLASMA_SECONDS:
            wave = np.sin(6 * x + t) + np.sin(5 * y - 1.3 * t) + np.sin(4 * z + 0.7 * t) + np.sin(8 * np.hypot(x, y) - t)
            cube.show(0.5 + 0.5 * np.sin(wave[..., np.newaxis] + shift))
            frames += 1
        return {"fps": frames / (time.monotonic() - start)}


def child(args):
    if args[0] == "shows":
        result = measure_shows(int(args[1]), args[2])
    else:
        result = measure_plasma()
    print(json.dumps(result), flush=True)


def main():
    if len(sys.argv) != 2 or sys.argv[1].startswith("-"):
        print(__doc__.split("\n\n")[1], file=sys.stderr)
        sys.exit(2)
    bin_dir = sys.argv[1]
    print(f"full-change frames, median of {FRAMES} (µs a frame); python = the call minus the frame writer")
    print(f"{'edge':>5} {'pixels':>7} {'whole call':>11} {'frame writer':>13} {'python':>8} {'python max':>11}")
    for edge in EDGES:
        for dtype in ("uint8", "float32"):
            r = run_child(bin_dir, ["shows", str(edge), dtype], "default")
            print(f"{edge:>5} {dtype:>7} {r['whole']:>11.1f} {r['channel']:>13.1f} {r['python']:>8.1f} "
                  f"{r['python_max']:>11.1f}")
    for mode in ("default", "fast"):
        r = run_child(bin_dir, ["plasma", str(PLASMA_EDGE)], mode)
        print(f"numpy plasma at edge {PLASMA_EDGE}, {mode} channel: {r['fps']:.1f} frames a second")


if __name__ == "__main__":
    if len(sys.argv) > 1 and sys.argv[1] in ("shows", "plasma"):
        child(sys.argv[1:])
    else:
        main()
