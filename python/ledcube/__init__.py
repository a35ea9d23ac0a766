"""Write and play LED cube animations from Python, with numpy.

    import ledcube

    with ledcube.Cube() as cube:            # the edge from $CUBE_EDGE, else 12
        for k in range(100):
            cube.clear()
            cube.line((0, 0, 0), (cube.edge - 1, cube.edge - 1, k % cube.edge), (255, 0, 0))
            cube.show()
            cube.sleep(40)

A frame is a numpy array of shape (N, N, N, 3), indexed [x, y, z] (x left to
right, y front to back, z up), of bytes: (255, 0, 0) is full red. Leaving the
with-block, however it is left, leaves the cube dark. Run the program under
cubeplay, which starts the viewer beside it: cubeplay python3 my_animation.py
"""

import atexit
import os
import signal
import sys

from ledcube import _core
from ledcube._core import (DEFAULT_EDGE, MAX_EDGE, MIN_EDGE, ChannelError, Sound, box, fill, hsv, line, sphere,
                           text)

__all__ = ["Cube", "ChannelError", "Effect", "Sound", "play", "effects", "hsv", "fill", "line", "sphere", "box",
           "text", "MIN_EDGE", "MAX_EDGE", "DEFAULT_EDGE"]
__version__ = _core.VERSION


def _program():
    """What the library calls this program in what it says, and its command line."""
    script = sys.argv[0] if sys.argv and sys.argv[0] else ""
    name = os.path.basename(script) if script and script != "-c" else "python3"
    return name, [os.path.basename(sys.executable or "python3")] + [a for a in sys.argv if a]


def _edge(edge):
    if edge is None:
        return _core.animation_edge()
    if isinstance(edge, bool) or not isinstance(edge, int):
        raise TypeError(f"edge is a whole number from {MIN_EDGE} to {MAX_EDGE}, not {edge!r}")
    if not MIN_EDGE <= edge <= MAX_EDGE:
        raise ValueError(f"edge is from {MIN_EDGE} to {MAX_EDGE}, not {edge}")
    return edge


def _stopped(number):
    """Ends the program for a stop signal that Python has no handler of its own for.

    While a cube is open the library takes Ctrl-C, SIGTERM and SIGHUP, and
    passes each on to Python's own handler; one that Python would not act on
    (SIGTERM, or Ctrl-C where it is ignored) ends the program here.
    """
    if number and signal.getsignal(number) in (signal.SIG_DFL, signal.SIG_IGN, None):
        raise KeyboardInterrupt if number == signal.SIGINT else SystemExit(128 + number)


_open_cubes = []


class Cube:
    """The cube, for a program that draws frames: cube.frame, then cube.show().

    The edge comes from the argument, else the environment's CUBE_EDGE (which
    cubeplay sets), else 12. The channel is found as every animation program
    finds it, at ../shared_buffer.txt; ChannelError says so when it is not.
    One cube is open in a process at a time.
    """

    def __init__(self, edge=None):
        edge = _edge(edge)
        name, command_line = _program()
        self._core = _core.Cube(edge, name, command_line)
        _open_cubes.append(self)

    @property
    def edge(self):
        """The LEDs along each side."""
        return self._core.edge

    @property
    def frame(self):
        """The picture to show: a numpy uint8 array of shape (N, N, N, 3), [x, y, z] -> (r, g, b)."""
        return self._core.frame

    def show(self, frame=None):
        """Shows the frame, or `frame` (bytes, or floats from 0 to 1), with the fewest LED writes; returns them."""
        writes = self._core.show(frame)
        _stopped(self._core.stop_signal())
        return writes

    def sleep(self, ms):
        """Waits `ms` milliseconds; other Python threads run meanwhile, and Ctrl-C ends the wait."""
        self._core.sleep(ms)
        _stopped(self._core.stop_signal())

    def clear(self):
        """Every LED of the frame off (shown at the next show)."""
        self.frame[...] = 0

    def fill(self, colour):
        fill(self.frame, colour)

    def line(self, start, end, colour):
        line(self.frame, start, end, colour)

    def sphere(self, centre, radius, colour, solid=False):
        sphere(self.frame, centre, radius, colour, solid)

    def box(self, corner0, corner1, colour, style="edges"):
        box(self.frame, corner0, corner1, colour, style)

    def text(self, string, x=0, top=None, depth=0, colour=(255, 255, 255)):
        text(self.frame, string, x, self.edge - 1 if top is None else top, depth, colour)

    def close(self):
        """Leaves the cube dark and lets go of it; what leaving the with-block does."""
        if self in _open_cubes:
            _open_cubes.remove(self)
        self._core.close()

    def __enter__(self):
        return self

    def __exit__(self, *exception):
        self.close()
        return False

    def _timed_show(self, frame=None):
        """For the benchmark: (seconds in all, seconds in the library's frame writer)."""
        return self._core.timed_show(frame)


@atexit.register
def _close_open_cubes():
    for cube in list(_open_cubes):
        cube.close()


class Effect:
    """An effect written in Python, played by play() as the built-in ones are.

    Subclass it and give draw(self, frame, time): frame is a uint8 array of
    shape (N, N, N, 3) holding what the effect drew last (dark at first), time
    the seconds since the effect began. Draw into frame, or return an array
    (bytes or floats from 0 to 1) to show instead. Ready before begin():
    self.edge, self.random (random.Random, from the seed), self.palette(p)
    -> (r, g, b), self.colour ((r, g, b) or None), self.text, self.sound, and
    each setting as an attribute.
    """

    name = None                # the class's name, lower-cased, when None
    description = "an effect written in Python"
    settings = {}              # key: (default, min, max, help)
    reacts_to_sound = False    # True: the player moves its brightness and speed with the sound

    def begin(self):
        """Once, before the first frame."""

    def draw(self, frame, time):
        raise NotImplementedError("an Effect draws its frames in draw(self, frame, time)")


def effects():
    """The built-in effects, as cubefx lists them: dicts of name, description, needs_sound and settings."""
    return _core.effects()


_OPTIONS = {"seconds": "duration", "edge": "edge", "seed": "seed", "palette": "palette", "colour": "colour",
            "text": "text", "fps": "fps", "speed": "speed", "audio": "audio"}


def _effect_word(effect, classes):
    if isinstance(effect, str):
        if not effect or effect.startswith("-") or any(mark in effect for mark in ":,="):
            raise ValueError(f"play: unknown effect {effect!r}; ledcube.effects() names every one")
        return effect
    if isinstance(effect, type) and issubclass(effect, Effect):
        name = effect.name or effect.__name__.lower()
        classes.append((name, effect.description, effect))
        return name
    raise TypeError(f"play takes an effect's name or a subclass of ledcube.Effect, not {effect!r}")


def _setting_value(key, value):
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise TypeError(f"play: the setting {key} takes a number, not {value!r}")
    return str(value) if isinstance(value, int) else repr(float(value))


def play(effect, seconds=None, edge=None, seed=None, palette=None, colour=None, text=None, fps=None, speed=None,
         audio=None, loop=False, **settings):
    """Plays effects in this process, as cubefx does: a built-in one by name, a subclass of Effect, or a list.

    Every option is cubefx's (seconds is its --duration; colour a name or
    "#rrggbb"; audio a sound file, "-" or a live input); settings go to the
    one effect named. Ctrl-C stops the play between frames, leaves the cube
    dark and raises KeyboardInterrupt.
    """
    edge = _edge(edge)
    classes = []
    words = [_effect_word(e, classes) for e in (effect if isinstance(effect, (list, tuple)) else [effect])]
    if settings:
        if len(words) != 1:
            raise ValueError("play: settings go with one effect")
        words[0] += ":" + ",".join(f"{key}={_setting_value(key, value)}" for key, value in settings.items())
    given = dict(seconds=seconds, edge=edge, seed=seed, palette=palette, colour=colour, text=text, fps=fps,
                 speed=speed, audio=audio)
    args = [f"--{_OPTIONS[key]}={value}" for key, value in given.items() if value is not None]
    if loop:
        args.append("--loop")
    name, command_line = _program()
    stop, status, words_said = _core.play(name, args + ["--"] + words, classes, command_line, edge)
    if status:
        raise (ValueError if status == 2 else RuntimeError)("play: " + _keyword_words(words_said, name))
    if stop == signal.SIGINT:
        raise KeyboardInterrupt
    _stopped(stop)


def _keyword_words(said, program):
    """The player's words with cubefx's option names as play's keywords, and no advice to read --help."""
    said = said.split(" (try '")[0].replace(f"{program} --list", "ledcube.effects()")
    for key, option in _OPTIONS.items():
        said = said.replace(f"--{option}", key)
    return said
