"""Rain: drops fall from the top layer of the cube and splash on the floor.

Play it on the viewer until Ctrl-C; the cube's edge comes from cubeplay:

    cubeplay --edge 8 python3 examples/python/rain.py
    ./run.sh python examples/python/rain.py
"""

import contextlib
import random

import ledcube

WATER = (50, 130, 255)    # r, g, b from 0 to 255
SPLASH = (230, 230, 255)
NEW_DROPS = 2             # a frame
FRAME_MS = 60

# Ctrl-C ends the loop quietly, and leaving the with-block leaves the cube dark.
with ledcube.Cube() as cube, contextlib.suppress(KeyboardInterrupt):
    drops = []            # [x, y, z]; z points up, 0 is the floor
    while True:
        for _ in range(NEW_DROPS):
            drops.append([random.randrange(cube.edge), random.randrange(cube.edge), cube.edge - 1])

        cube.clear()      # start from a dark frame
        for x, y, z in drops:
            cube.frame[x, y, z] = SPLASH if z == 0 else WATER
        cube.show()
        cube.sleep(FRAME_MS)

        # Drops that splashed are gone; the others fall one layer.
        drops = [[x, y, z - 1] for x, y, z in drops if z > 0]
