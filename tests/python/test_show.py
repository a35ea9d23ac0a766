"""Cube.show: the picture that the receiver holds, colour for colour, and
the LED writes that it costs."""

import numpy as np
import pytest

from conftest import (RunDir, assert_dark, assert_shows, bytes_to_levels, environment, floats_to_levels,
                      pattern, untimed)

EDGE = 8


def float_picture(edge, seed, dtype):
    """Levels from -0.5 to 1.5 (clipped when shown), some NaN, some black."""
    rng = np.random.default_rng(seed)
    picture = rng.uniform(-0.5, 1.5, size=(edge, edge, edge, 3)).astype(dtype)
    flat = picture.reshape(-1, 3)
    flat[5::13, 2] = np.nan
    flat[::9] = 0
    flat[1::17] = (0.0, 0.0, 1.0)
    return picture


# Every picture of TestPictures, shown one after another by one program.
PICTURES = {
    "bytes": pattern(EDGE, seed=1),
    "float32": float_picture(EDGE, seed=2, dtype=np.float32),
    "float64": float_picture(EDGE, seed=4, dtype=np.float64),
    "laid out": pattern(EDGE, seed=3),
}


@pytest.fixture(scope="class")
def pictures_shown(tmp_path_factory):
    """The frames of one program that shows PICTURES, and what show returned."""
    run = RunDir(tmp_path_factory.mktemp("pictures"))
    try:
        for name, picture in PICTURES.items():
            np.save(run.anim / f"{name}.npy", picture)
        receiver = run.receiver(EDGE)
        results = run.run("""
            laid_out = np.load("laid out.npy")
            floats = np.zeros((8, 8, 16, 3))
            floats[:, :, ::2] = laid_out / 255.0
            shows = [
                np.load("bytes.npy"),
                np.load("float32.npy"),
                np.load("float64.npy"),
                laid_out[::-1, :, ::-1],               # negative strides
                np.asfortranarray(laid_out),           # column-major
                laid_out.transpose(2, 1, 0, 3),
                floats[:, :, ::2],                     # every other element
            ]
            with ledcube.Cube(8) as cube:
                report(cube.show(shows[0]))
                for picture in shows[1:]:
                    cube.show(picture)
        """).succeeded()
        yield receiver.settled(), results
    finally:
        run.end()


class TestPictures:
    def test_bytes_show_as_their_share_of_255_and_black_as_the_unlit_grey(self, pictures_shown):
        frames, results = pictures_shown
        assert_shows(frames[0], bytes_to_levels(PICTURES["bytes"]))
        assert results == [frames[0].lit]

    def test_float32_shows_from_0_to_1_clipped_with_nan_as_dark(self, pictures_shown):
        frames, _ = pictures_shown
        assert_shows(frames[1], floats_to_levels(PICTURES["float32"]))

    def test_float64_shows_from_0_to_1_clipped_with_nan_as_dark(self, pictures_shown):
        frames, _ = pictures_shown
        assert_shows(frames[2], floats_to_levels(PICTURES["float64"]))

    def test_arrays_laid_out_otherwise_show_by_their_indices(self, pictures_shown):
        frames, _ = pictures_shown
        picture = PICTURES["laid out"]
        assert_shows(frames[3], bytes_to_levels(picture[::-1, :, ::-1]))
        assert_shows(frames[4], bytes_to_levels(picture))
        assert_shows(frames[5], bytes_to_levels(picture.transpose(2, 1, 0, 3)))
        assert_shows(frames[6], (picture / 255.0).astype(np.float32))
        assert all(f.dark for f in frames[7:]) and len(frames) > 7


class TestFrame:
    def test_the_frame_starts_dark_and_show_without_an_array_shows_it(self, run):
        receiver = run.receiver(EDGE)
        results = run.run("""
            with ledcube.Cube(8) as cube:
                frame = cube.frame
                report([cube.edge, list(frame.shape), str(frame.dtype), int(frame.max())])
                report(cube.show())
                cube.frame[1, 2, 3] = (255, 0, 0)
                cube.frame[7, 0, 6] = (0, 0, 128)
                report(cube.show())
                report(cube.show(None))
                cube.clear()
                report([int(cube.frame.max()), cube.frame is frame])
                report(cube.show())
        """).succeeded()
        assert results == [[8, [8, 8, 8, 3], "uint8", 0], 0, 2, 2, [0, True], 0]
        frames = receiver.settled()
        picture = np.zeros((EDGE, EDGE, EDGE, 3), np.uint8)
        assert_dark(frames[0], EDGE)
        picture[1, 2, 3] = (255, 0, 0)
        picture[7, 0, 6] = (0, 0, 128)
        assert_shows(frames[1], bytes_to_levels(picture))
        assert_shows(frames[2], bytes_to_levels(picture))
        assert_dark(frames[3], EDGE)


class TestWrites:
    """show returns the LED writes it sent. The receiver builds each frame on
    the frame before last, so a frame costs what changed since then, or its
    lit LEDs after a clear when that is fewer; until both of the receiver's
    tables are known, and again once a second, a frame goes out whole."""

    # Each attempt starts on a writer that forgets the receiver's tables (the
    # first show of the process, or one after a pause of a second), and counts
    # only when all of its shows fell within that second.
    SEQUENCE = """
        a = np.zeros((5, 5, 5, 3), np.uint8)
        a[0, 0, :] = (255, 0, 0)
        a[4, :, 4] = (0, 255, 0)
        b = a.copy()
        b[2, 2, 2] = (0, 0, 255)
        dark = np.zeros_like(a)
        with ledcube.Cube(5) as cube:
            for attempt in range(5):
                if attempt:
                    time.sleep(1.05)
                start = time.monotonic()
                counts = [cube.show(p) for p in (a, a, a, b, b, b, a, dark, dark)]
                if time.monotonic() - start < 0.9:
                    report([attempt, counts])
                    break
    """

    def test_show_sends_only_what_the_receivers_tables_lack(self, run):
        receiver = run.receiver(5)
        results = run.run(self.SEQUENCE).succeeded()
        if not results:
            pytest.skip("no attempt's shows fell within a second: the machine is too busy")
        [[attempt, counts]] = results
        #                 a   a  a  b  b  b  a  dark dark
        assert counts == [10, 10, 0, 1, 1, 0, 1, 0, 0]
        frames = receiver.settled()[9 * attempt:]
        a = np.zeros((5, 5, 5, 3), np.uint8)
        a[0, 0, :] = (255, 0, 0)
        a[4, :, 4] = (0, 255, 0)
        b = a.copy()
        b[2, 2, 2] = (0, 0, 255)
        for frame, picture in zip(frames, (a, a, a, b, b, b, a)):
            assert_shows(frame, bytes_to_levels(picture))
        assert_dark(frames[7], 5)
        assert_dark(frames[8], 5)


class TestFastChannel:
    SHOWS = """
        with ledcube.Cube(5) as cube:
            for k in range(6):
                cube.clear()
                cube.line((0, 0, k % 5), (4, 4, 4 - k % 5), ledcube.hsv(k / 6))
                cube.frame[k % 5, 4, 0] = (k * 40, 255 - k * 40, 7)
                report(cube.show())
    """

    def test_the_fast_channel_shows_the_frames_of_the_default_one(self, run, tmp_path):
        fast_run = RunDir(tmp_path / "fast")
        try:
            fast_env = environment(CUBE_CHANNEL="fast")
            usual_receiver, fast_receiver = run.receiver(5), fast_run.receiver(5, env=fast_env)
            usual, fast = run.animation(self.SHOWS), fast_run.animation(self.SHOWS, env=fast_env)
            assert fast.succeeded() == usual.succeeded()
            usual_frames, fast_frames = usual_receiver.settled(), fast_receiver.settled()
        finally:
            fast_run.end()

        assert untimed(fast_frames) == untimed(usual_frames)
        assert [f.leds for f in fast_frames] == [f.leds for f in usual_frames]
        assert all(f.lit > 0 for f in usual_frames[:6])
        assert_dark(usual_frames[-1], 5)
