"""The Python examples of examples/python, run as a reader runs them: each
draws what its docstring says until Ctrl-C, which ends it quietly with the
cube dark."""

import signal
import sys
from pathlib import Path

import numpy as np

from conftest import Child, assert_dark, bytes_to_levels, environment, lit_leds, receiver_table

EXAMPLES = Path(__file__).resolve().parents[2] / "examples" / "python"
EDGE = 5
# Enough frames to see what an example draws; none of them stops by itself.
FRAMES = 12


def play_until_ctrl_c(run, name, *arguments):
    """Runs the example in the run directory's anim/ for a few frames, then
    presses Ctrl-C; returns the frames it showed before the last and what it
    said on standard error, and checks that it ended with status 0, without
    a traceback, on a dark cube."""
    receiver = run.receiver(EDGE)
    example = Child([sys.executable, str(EXAMPLES / name), *arguments], run.anim, environment(CUBE_EDGE=EDGE),
                    *run.output_paths(name))
    run.children.append(example)
    receiver.wait_frames(lambda frames: len(frames) >= FRAMES)
    example.signal(signal.SIGINT)
    assert example.wait() == 0, example.err
    assert "Traceback" not in example.err
    frames = receiver.settled()
    assert_dark(frames[-1], EDGE)
    return frames[:-1], example.err


def test_rain_starts_with_drops_of_water_in_the_top_layer_and_they_fall(run):
    frames, _ = play_until_ctrl_c(run, "rain.py")
    water = np.zeros((EDGE, EDGE, EDGE, 3), np.uint8)
    for x, y, z in frames[0].leds:
        water[x, y, z] = (50, 130, 255)
    assert frames[0].leds == lit_leds(receiver_table(bytes_to_levels(water)))
    assert {z for _, _, z in frames[0].leds} == {EDGE - 1}
    # Two drops a frame, each lit for EDGE frames.
    assert all(0 < frame.lit <= 2 * EDGE for frame in frames)
    assert any(z == 0 for frame in frames for _, _, z in frame.leds)


def test_plasma_lights_every_led_in_every_frame_and_moves(run):
    frames, _ = play_until_ctrl_c(run, "plasma.py")
    assert all(frame.lit == EDGE**3 for frame in frames)
    assert len({frame.hash for frame in frames}) == len(frames)


def test_the_scroller_draws_the_message_in_the_front_two_layers(run):
    frames, _ = play_until_ctrl_c(run, "scroller.py", "HI")
    assert frames[0].dark  # the message starts off the right-hand side
    lit = [led for frame in frames for led in frame.leds]
    assert lit
    assert {y for _, y, _ in lit} == {0, 1}


def test_sparkle_plays_its_effect_through_the_player(run):
    frames, said = play_until_ctrl_c(run, "sparkle.py")
    assert any(frame.lit for frame in frames)
    assert "sparkle.py: playing sparkle:rate=5 for 10 s" in said
