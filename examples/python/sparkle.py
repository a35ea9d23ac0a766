"""Sparkle: an effect of your own, played by the toolkit's effects player.

Sparks flash at random in the colours of the palette and fade away. ledcube.play
paces it, leaves the cube dark at the end and takes every option that cubefx
takes, here a palette and a setting. Play it on the viewer until Ctrl-C:

    cubeplay --edge 8 python3 examples/python/sparkle.py
    ./run.sh python examples/python/sparkle.py
"""

import contextlib

import ledcube


class Sparkle(ledcube.Effect):
    description = "sparks flash at random and fade away"
    # key: (default, min, max, help); the player gives each as self.KEY.
    settings = {
        "rate": (3.0, 1.0, 50.0, "new sparks a frame"),
        "fade": (0.8, 0.1, 0.99, "what a spark keeps of its light from one frame to the next"),
    }

    def draw(self, frame, time):
        # frame holds what this effect drew last: dim it, then add new sparks.
        frame[:] = frame * self.fade
        for _ in range(round(self.rate)):
            x, y, z = (self.random.randrange(self.edge) for _ in range(3))
            frame[x, y, z] = self.palette(self.random.random())


if __name__ == "__main__":
    # play leaves the cube dark on Ctrl-C, then raises KeyboardInterrupt.
    with contextlib.suppress(KeyboardInterrupt):
        ledcube.play(Sparkle, loop=True, palette="candy", rate=5)
