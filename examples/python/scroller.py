"""Scroller: a message scrolls across the front of the cube, its shadow one layer behind.

Play it on the viewer until Ctrl-C, with a message of your own or the default one:

    cubeplay --edge 8 python3 examples/python/scroller.py HELLO WORLD
    ./run.sh python examples/python/scroller.py
"""

import contextlib
import sys

import ledcube

GLYPH_WIDTH = 6           # 5 LEDs wide, a column apart
SHADOW = (20, 20, 60)
FRAME_MS = 80

message = " ".join(sys.argv[1:]) or "HELLO CUBE"

with ledcube.Cube() as cube, contextlib.suppress(KeyboardInterrupt):
    width = GLYPH_WIDTH * len(message)
    top = min(cube.edge - 1, cube.edge // 2 + 3)   # the glyphs' 7 rows about the middle
    x = cube.edge                                  # starts just off the right-hand side
    while True:
        cube.clear()
        # x runs left to right, y from front to back: depth 0 is the front face.
        cube.text(message, x=x, top=top, depth=1, colour=SHADOW)
        cube.text(message, x=x, top=top, depth=0, colour=ledcube.hsv(x / width))
        cube.show()
        cube.sleep(FRAME_MS)
        x = x - 1 if x > -width else cube.edge     # once it has gone, from the right again
