"""ledcube.effects and ledcube.play: the built-in effects as cubefx knows
them, effects written in Python, and the player's refusals."""

import re
import signal
import subprocess

import numpy as np
import pytest

import ledcube
from conftest import RunDir, assert_dark, assert_shows, environment, program, untimed

# Dark without a sound: left out when every effect plays without one.
SOUND_EFFECTS = {"bars", "pulse", "beat", "waveform"}


def cubefx_list(*names):
    listed = subprocess.run([program("cubefx"), "--list", *names], capture_output=True, text=True,
                            timeout=60, env=environment())
    assert listed.returncode == 0, listed.stderr
    return listed.stdout.splitlines()


class TestEffects:
    def test_the_built_in_effects_are_cubefxs_in_its_order_with_its_words(self):
        listed = []
        for line in cubefx_list():
            name, rest = line.split(None, 1)
            description, _, settings = rest.rpartition(" [")
            listed.append((name, description,
                           {key: float(value) for key, value in re.findall(r"(\w+)=([^,\]]+)", settings)}))
        effects = ledcube.effects()
        assert [e["name"] for e in effects] == [name for name, _, _ in listed]
        assert [e["description"] for e in effects] == [description for _, description, _ in listed]
        assert [{k: s["value"] for k, s in e["settings"].items()} for e in effects] == \
            [settings for _, _, settings in listed]
        assert {e["name"] for e in effects if e["needs_sound"]} == SOUND_EFFECTS

    def test_each_setting_has_cubefxs_range_and_help(self):
        effects = ledcube.effects()
        settings = {}
        effect = None
        for line in cubefx_list(*[e["name"] for e in effects]):
            if not line.startswith("  "):
                effect = line.split()[0]
                continue
            found = re.fullmatch(r"  (\w+)=(\S+) \((\S+) to (\S+)\): (.*)", line)
            assert found, line
            key, value, low, high, words = found.groups()
            settings[(effect, key)] = {"value": float(value), "min": float(low), "max": float(high), "help": words}
        assert {(e["name"], key): s for e in effects for key, s in e["settings"].items()} == settings


# An effect of our own: a column of `height` red LEDs in the corner, on a
# frame that it must find as it left it.
COLUMN = """
    class Column(ledcube.Effect):
        description = "a red column"
        settings = {"height": (2.0, 1.0, 5.0, "LEDs lit")}

        def begin(self):
            self.times = []
            self.found = []

        def draw(self, frame, time):
            self.found.append(int(frame.sum()))
            self.times.append(time)
            frame[:] = 0
            frame[0, 0, :int(self.height)] = (255, 0, 0)
"""


def column(height):
    picture = np.zeros((5, 5, 5, 3), np.float32)
    picture[0, 0, :height] = (1, 0, 0)
    return picture


class TestPlay:
    def test_a_built_in_effect_plays_the_frames_of_cubefx(self, run, tmp_path):
        cubefx_run = RunDir(tmp_path / "cubefx")
        try:
            receiver, cubefx_receiver = run.receiver(5), cubefx_run.receiver(5)
            animation = run.animation("""
                ledcube.play("rain", seconds=0.5, fps=10, seed=7, edge=5)
            """)
            cubefx = subprocess.run([program("cubefx"), "--edge", "5", "--duration", "0.5", "--fps", "10",
                                     "--seed", "7", "rain"], cwd=cubefx_run.anim, env=environment(),
                                    capture_output=True, text=True, timeout=90)
            assert cubefx.returncode == 0, cubefx.stderr
            animation.succeeded()
            played, expected = receiver.settled(), cubefx_receiver.settled()
        finally:
            cubefx_run.end()

        assert untimed(played) == untimed(expected)
        assert [f.leds for f in played] == [f.leds for f in expected]
        assert len(played) >= 5 and any(f.lit for f in played)
        assert_dark(played[-1], 5)

    def test_a_python_effect_plays_with_its_setting_and_ends_dark(self, run):
        receiver = run.receiver(5)
        animation = run.run(COLUMN, """
            ledcube.play(Column, seconds=0.3, fps=10, edge=5, height=4)
        """)
        animation.succeeded()
        # The class's name lower-cased, with the setting given, as cubefx says it.
        assert re.search(r"^animation\.py: playing column:height=4(\.0)? for 0\.3 s$", animation.err, re.M)
        frames = receiver.settled()
        assert len(frames) == 4
        for frame in frames[:3]:
            assert_shows(frame, column(4))
        assert_dark(frames[3], 5)

    def test_a_python_effect_finds_its_last_frame_and_time_runs_on(self, run):
        receiver = run.receiver(5)
        results = run.run(COLUMN, """
            drawn = []
            class Watched(Column):
                def begin(self):
                    super().begin()
                    drawn.append(self)
                    report([self.edge, self.height])
            ledcube.play(Watched, seconds=0.4, fps=10, edge=5)
            report(drawn[0].found)
            report(drawn[0].times)
        """).succeeded()
        assert results[0] == [5, 2.0]
        assert results[1] == [0, 510, 510, 510]
        times = results[2]
        assert len(times) == 4 and all(a < b for a, b in zip(times, times[1:]))
        frames = receiver.settled()
        assert_shows(frames[0], column(2))

    def test_a_python_effect_gets_the_plays_seed_colour_and_text(self, run):
        receiver = run.receiver(5)
        results = run.run("""
            class Told(ledcube.Effect):
                def begin(self):
                    report([self.colour, self.text, self.random.random()])
                def draw(self, frame, time):
                    frame[1, 1, 1] = self.colour
            for seed in (3, 3, 4):
                ledcube.play(Told, seconds=0.1, fps=10, edge=5, seed=seed, colour="#ff8000", text="HI")
        """).succeeded()
        assert [r[:2] for r in results] == [[[255, 128, 0], "HI"]] * 3
        draws = [r[2] for r in results]
        assert draws[0] == draws[1] != draws[2]
        frames = receiver.settled()
        picture = np.zeros((5, 5, 5, 3), np.uint8)
        picture[1, 1, 1] = (255, 128, 0)
        assert_shows(frames[0], picture.astype(np.float32) / np.float32(255))

    def test_a_python_effect_may_return_floats_to_show(self, run):
        receiver = run.receiver(5)
        run.run("""
            class Glow(ledcube.Effect):
                def draw(self, frame, time):
                    picture = np.zeros((self.edge,) * 3 + (3,))
                    picture[2, :, :] = (0.25, 0.5, 2.0)
                    return picture
            ledcube.play(Glow, seconds=0.1, fps=10, edge=5)
        """).succeeded()
        frames = receiver.settled()
        picture = np.zeros((5, 5, 5, 3), np.float32)
        picture[2] = (0.25, 0.5, 1.0)
        assert_shows(frames[0], picture)
        assert_dark(frames[-1], 5)

    def test_ctrl_c_stops_a_play_between_frames_and_leaves_the_cube_dark(self, run):
        receiver = run.receiver(5)
        animation = run.animation("""
            ledcube.play("plasma", seconds=600, fps=10, edge=5)
        """)
        receiver.wait_frames(lambda frames: len(frames) >= 2)
        animation.signal(signal.SIGINT)
        code = animation.wait()
        assert code != 0
        assert "KeyboardInterrupt" in animation.err
        frames = receiver.settled()
        assert frames[0].lit > 0
        assert_dark(frames[-1], 5)


REFUSED_PLAYS = COLUMN, """
    for call in (
        lambda: ledcube.play("rain", seconds=0.2, edge=5, drops=-1),
        lambda: ledcube.play("rain", seconds=0.2, edge=5, puddles=3),
        lambda: ledcube.play("no-such-effect", seconds=0.2, edge=5),
        lambda: ledcube.play(Column, seconds=0.2, edge=5, height=9),
        lambda: ledcube.play("rain", seconds=-1, edge=5),
        lambda: ledcube.play("rain", seconds=0.2, edge=2),
        lambda: ledcube.play("rain", seconds=0.2, edge=5, fps=0),
        lambda: ledcube.play(["rain", "snake"], seconds=0.2, edge=5, drops=3),
    ):
        report(failure(call))
    ledcube.play(Column, seconds=0.1, fps=10, edge=5, height=3)
"""


def test_a_bad_setting_or_option_is_a_value_error_naming_it_and_plays_nothing(run):
    receiver = run.receiver(5)
    results = run.run(*REFUSED_PLAYS).succeeded()
    named = ["drops", "puddles", "no-such-effect", "height", "seconds", "edge", "fps", None]
    assert len(results) == len(named)
    for (kind, message), name in zip(results, named):
        assert kind == "ValueError", message
        if name:
            assert name in message, message
    frames = receiver.settled()
    assert_shows(frames[0], column(3))
    assert len(frames) == 2
    assert_dark(frames[1], 5)


def test_play_fast_shows_the_frames_of_the_default_channel(run, tmp_path):
    plays = """
        ledcube.play(Column, seconds=0.2, fps=10, edge=5, height=5)
        ledcube.play("snake", seconds=0.3, fps=10, seed=3, edge=5)
    """
    fast_env = environment(CUBE_CHANNEL="fast")
    fast_run = RunDir(tmp_path / "fast")
    try:
        receiver = run.receiver(5)
        fast_receiver = fast_run.receiver(5, env=fast_env)
        usual = run.animation(COLUMN, plays)
        fast = fast_run.animation(COLUMN, plays, env=fast_env)
        usual.succeeded()
        fast.succeeded()
        usual_frames, fast_frames = receiver.settled(), fast_receiver.settled()
    finally:
        fast_run.end()
    assert untimed(fast_frames) == untimed(usual_frames)
    assert [f.leds for f in fast_frames] == [f.leds for f in usual_frames]
    assert_shows(usual_frames[0], column(5))
