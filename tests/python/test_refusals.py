"""What show refuses: an array of another shape or element type, or no
array at all. Each refusal names what show takes and shows nothing."""

import numpy as np

from conftest import assert_dark, assert_shows, bytes_to_levels

# Every refusal, tried between two good frames: the receiver must see the
# first, then the second, and nothing between them.
REFUSALS = """
    good = np.zeros((5, 5, 5, 3), np.uint8)
    good[1, 1, 1] = (255, 255, 255)
    other = good.copy()
    other[3, 3, 3] = (9, 99, 199)
    tries = {
        "four LEDs wide": lambda: cube.show(np.zeros((4, 5, 5, 3), np.uint8)),
        "no colour axis": lambda: cube.show(np.zeros((5, 5, 5), np.uint8)),
        "four components": lambda: cube.show(np.zeros((5, 5, 5, 4), np.uint8)),
        "flat": lambda: cube.show(np.zeros(375, np.uint8)),
        "another edge in floats": lambda: cube.show(np.zeros((8, 8, 8, 3))),
        "int64": lambda: cube.show(np.zeros((5, 5, 5, 3), np.int64)),
        "bool": lambda: cube.show(np.zeros((5, 5, 5, 3), bool)),
        "uint16": lambda: cube.show(np.zeros((5, 5, 5, 3), np.uint16)),
        "int8": lambda: cube.show(np.zeros((5, 5, 5, 3), np.int8)),
        "complex": lambda: cube.show(np.zeros((5, 5, 5, 3), complex)),
        "list": lambda: cube.show(good.tolist()),
        "text": lambda: cube.show("picture"),
        "number": lambda: cube.show(5),
    }
    with ledcube.Cube(5) as cube:
        report(cube.show(good))
        report({name: failure(call) for name, call in tries.items()})
        cube.frame[0, 0, 0] = (1, 2, 3)
        report(failure(lambda: cube.show(np.zeros((5, 5, 5, 3), np.int64))))
        report(int(cube.frame.sum()))
        report(cube.show(other))
"""

SHAPES = ("four LEDs wide", "no colour axis", "four components", "flat", "another edge in floats")
TYPES = ("int64", "bool", "uint16", "int8", "complex")
NOT_ARRAYS = ("list", "text", "number")


def test_a_refused_array_names_what_show_takes_and_shows_nothing(run):
    receiver = run.receiver(5)
    first, refused, after_frame_write, frame_sum, last = run.run(REFUSALS).succeeded()

    for name in SHAPES:
        kind, message = refused[name]
        assert kind == "ValueError", name
        assert "(5, 5, 5, 3)" in message, (name, message)
    for name in TYPES:
        kind, message = refused[name]
        assert kind == "TypeError", name
        assert "uint8" in message and "float" in message, (name, message)
    for name in NOT_ARRAYS:
        kind, message = refused[name]
        assert kind == "TypeError", name
        assert "array" in message, (name, message)

    # A refused array leaves the cube's own frame as it was.
    assert after_frame_write[0] == "TypeError"
    assert frame_sum == 6

    frames = receiver.settled()
    good = np.zeros((5, 5, 5, 3), np.uint8)
    good[1, 1, 1] = (255, 255, 255)
    other = good.copy()
    other[3, 3, 3] = (9, 99, 199)
    assert first == 1 and last == 2
    assert_shows(frames[0], bytes_to_levels(good))
    assert_shows(frames[1], bytes_to_levels(other))
    assert all(f.dark for f in frames[2:]) and len(frames) >= 3
    assert_dark(frames[-1], 5)
