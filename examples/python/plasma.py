"""Plasma: colours flow through the whole cube, every LED computed at once with numpy.

Play it on the viewer until Ctrl-C; the cube's edge comes from cubeplay:

    cubeplay --edge 8 python3 examples/python/plasma.py
    ./run.sh python examples/python/plasma.py
"""

import contextlib
import time

import numpy as np

import ledcube

with ledcube.Cube() as cube, contextlib.suppress(KeyboardInterrupt):
    # Every LED's x, y and z from 0 to 1, each an array of shape (N, N, N).
    x, y, z = np.indices((cube.edge,) * 3) / (cube.edge - 1)
    # Red, green and blue follow the same wave a third of a turn apart.
    shift = np.array([0, 2 / 3, 4 / 3]) * np.pi
    start = time.monotonic()
    while True:
        t = time.monotonic() - start
        wave = np.sin(6 * x + t) + np.sin(5 * y - 1.3 * t) + np.sin(4 * z + 0.7 * t) + np.sin(8 * np.hypot(x, y) - t)
        cube.show(0.5 + 0.5 * np.sin(wave[..., np.newaxis] + shift))   # floats 0..1, shape (N, N, N, 3)
        cube.sleep(10)
