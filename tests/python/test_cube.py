"""The Cube: its edge, its channel, one at a time, and the dark cube it
leaves however its program ends."""

import signal
import subprocess
import time

import numpy as np

import ledcube
from conftest import (STATUS_CLEAR, RunDir, assert_dark, assert_shows, bytes_to_levels, environment, program,
                      untimed)

# Lights the far corner, which only a cube of the edge asked for has.
CORNER = """
    with ledcube.Cube({argument}) as cube:
        report([cube.edge, list(cube.frame.shape)])
        cube.frame[-1, -1, -1] = (255, 255, 255)
        cube.show()
"""


def corner_picture(edge):
    picture = np.zeros((edge, edge, edge, 3), np.uint8)
    picture[-1, -1, -1] = 255
    return picture


class TestEdge:
    CASES = (  # (argument, CUBE_EDGE, the edge served)
        ("8", "5", 8),
        ("", "5", 5),
        ("", None, 12),
        ("", "20", 12),
    )

    # CUBE_EDGE is cubeplay's word to the programs it starts: one outside 3 to
    # 16 is not an edge, and leaves the default, as for every other program.
    def test_the_edge_comes_from_the_argument_else_cube_edge_else_12(self, tmp_path):
        runs = [RunDir(tmp_path / f"run{k}") for k in range(len(self.CASES))]
        try:
            started = []
            for directory, (argument, variable, edge) in zip(runs, self.CASES):
                receiver = directory.receiver(edge)
                env = environment(CUBE_EDGE=variable)
                started.append((receiver, directory.animation(CORNER.format(argument=argument), env=env), edge))
            for receiver, animation, edge in started:
                assert animation.succeeded() == [[edge, [edge, edge, edge, 3]]]
                frames = receiver.settled()
                assert_shows(frames[0], bytes_to_levels(corner_picture(edge)))
                assert_dark(frames[-1], edge)
        finally:
            for directory in runs:
                directory.end()

    def test_an_edge_outside_3_to_16_is_refused_before_the_channel_is_touched(self, run):
        receiver = run.receiver(5)
        results = run.run("""
            report([ledcube.MIN_EDGE, ledcube.MAX_EDGE, ledcube.DEFAULT_EDGE])
            report([failure(lambda: ledcube.Cube(edge)) for edge in (2, 17, 0, -1)])
            with ledcube.Cube(5) as cube:
                report(cube.edge)
        """).succeeded()
        assert results[0] == [3, 16, 12]
        for kind, message in results[1]:
            assert kind == "ValueError"
            assert "3" in message and "16" in message, message
        assert results[2] == 5
        assert all(f.dark for f in receiver.settled())


    def test_a_sleep_of_no_time_or_no_number_returns_at_once(self, run):
        receiver = run.receiver(5)
        results = run.run("""
            with ledcube.Cube(5) as cube:
                report([cube.sleep(ms) for ms in (0, -5, float("nan"), float("-inf"))])
        """).succeeded()
        assert results == [[None, None, None, None]]
        assert all(f.dark for f in receiver.settled())


class TestModule:
    def test_the_version_is_the_toolkits(self):
        said = subprocess.run([program("cubefx"), "--version"], capture_output=True, text=True, timeout=60)
        assert said.stdout == f"cubefx (ledcube) {ledcube.__version__}\n"


class TestChannel:
    def test_without_a_channel_file_the_cube_raises_channel_error(self, tmp_path):
        lonely = RunDir(tmp_path / "lonely")
        lonely.record.unlink()
        try:
            animation = lonely.run("""
                try:
                    ledcube.Cube(5)
                except ledcube.ChannelError as error:
                    report([isinstance(error, OSError), str(error)])
                report(issubclass(ledcube.ChannelError, OSError))
            """)
            results, script = animation.succeeded(), animation.script
        finally:
            lonely.end()
        assert results[0][0] is True
        # The words of every animation program of the toolkit, with the
        # command that would run this one.
        assert results[0][1] == (
            f"no usable frame channel at {lonely.root}/shared_buffer.txt (cannot open ../shared_buffer.txt: "
            "No such file or directory); an animation runs one directory below a receiver, as cubeplay lays "
            f"them out: cubeplay --edge 5 python3 {script}")
        assert results[1] is True

    def test_one_cube_at_a_time_and_one_edge_a_process(self, run):
        receiver = run.receiver(5)
        results = run.run("""
            first = ledcube.Cube(5)
            report(failure(lambda: ledcube.Cube(5)))
            report(failure(lambda: ledcube.play("rain", seconds=0.1, edge=5)))
            first.close()
            with ledcube.Cube(5) as again:
                again.frame[2, 2, 2] = (0, 255, 0)
                again.show()
            report(failure(lambda: ledcube.Cube(8)))
        """).succeeded()
        assert results[0][0] == "RuntimeError"
        assert results[1][0] == "RuntimeError"
        assert results[2][0] == "ValueError"
        assert "5" in results[2][1] and "8" in results[2][1], results[2][1]
        frames = receiver.settled()
        lit = [f for f in frames if not f.dark]
        assert len(lit) == 1
        picture = np.zeros((5, 5, 5, 3), np.uint8)
        picture[2, 2, 2] = (0, 255, 0)
        assert_shows(lit[0], bytes_to_levels(picture))
        assert_dark(frames[-1], 5)


RED = """
    red = np.zeros((5, 5, 5, 3), np.uint8)
    red[:, :, 0] = (255, 0, 0)
"""


def red_floor():
    picture = np.zeros((5, 5, 5, 3), np.uint8)
    picture[:, :, 0] = (255, 0, 0)
    return picture


def assert_red_then_dark(frames):
    assert_shows(frames[0], bytes_to_levels(red_floor()))
    assert len(frames) >= 2
    assert_dark(frames[-1], 5)


class TestLeavingDark:
    # After the block a second cube opens and lights one LED: the dark frame
    # must come between, from the block's end, not from the interpreter's.
    AFTERWARDS = """
        with ledcube.Cube(5) as again:
            again.frame[4, 4, 4] = (0, 0, 255)
            again.show()
    """

    def assert_red_dark_blue_dark(self, frames):
        blue = np.zeros((5, 5, 5, 3), np.uint8)
        blue[4, 4, 4] = (0, 0, 255)
        lit = [k for k, f in enumerate(frames) if not f.dark]
        assert lit == [0, lit[1]] and lit[1] >= 2, untimed(frames)
        assert_shows(frames[0], bytes_to_levels(red_floor()))
        assert_dark(frames[1], 5)
        assert_shows(frames[lit[1]], bytes_to_levels(blue))
        assert_dark(frames[-1], 5)

    def test_the_with_block_leaves_the_cube_dark(self, run):
        receiver = run.receiver(5)
        run.run(RED, """
            with ledcube.Cube(5) as cube:
                cube.show(red)
        """, self.AFTERWARDS).succeeded()
        self.assert_red_dark_blue_dark(receiver.settled())

    def test_an_exception_in_the_with_block_leaves_the_cube_dark_and_goes_on(self, run):
        receiver = run.receiver(5)
        results = run.run(RED, """
            try:
                with ledcube.Cube(5) as cube:
                    cube.show(red)
                    raise LookupError("inside")
            except LookupError as error:
                report(str(error))
        """, self.AFTERWARDS).succeeded()
        assert results == ["inside"]
        self.assert_red_dark_blue_dark(receiver.settled())

    def test_a_cube_left_open_is_dark_once_the_interpreter_ends(self, run):
        receiver = run.receiver(5)
        run.run(RED, """
            cube = ledcube.Cube(5)
            cube.show(red)
        """).succeeded()
        assert_red_then_dark(receiver.settled())

    def test_ctrl_c_in_a_show_loop_leaves_the_cube_dark_and_raises_keyboard_interrupt(self, run):
        receiver = run.receiver(5)
        animation = run.animation(RED, """
            with ledcube.Cube(5) as cube:
                cube.show(red)
                print("looping", flush=True)
                k = 0
                while True:
                    k += 1
                    cube.frame[:] = red
                    cube.frame[k % 5, k % 5, 4] = (0, 0, 255)
                    cube.show()
                    cube.sleep(10)
        """)
        animation.wait_output("looping")
        receiver.wait_frames(lambda frames: len(frames) >= 3)
        assert_interrupted(animation)
        assert "Traceback" in animation.err
        assert_red_then_dark(receiver.settled())

    def test_ctrl_c_ends_a_long_sleep_and_leaves_the_cube_dark(self, run):
        receiver = run.receiver(5)
        animation = run.animation(RED, """
            with ledcube.Cube(5) as cube:
                cube.show(red)
                print("sleeping", flush=True)
                cube.sleep(3600 * 1000)
        """)
        animation.wait_output("sleeping")
        # An hour's sleep that Ctrl-C did not end would meet the wait's deadline.
        assert_interrupted(animation)
        assert_red_then_dark(receiver.settled())


def assert_interrupted(animation):
    """Ctrl-C ends the animation as it ends any Python program: KeyboardInterrupt and a failure."""
    animation.signal(signal.SIGINT)
    assert animation.wait() != 0
    assert "KeyboardInterrupt" in animation.err


class TestOtherThreads:
    # The main thread keeps the interpreter's lock as long as it can (a
    # switch interval of hours), and the counting thread gives it back at each
    # count: the count moves across a call only when the call lets go of the
    # lock itself.
    COUNTING = RED, """
        import threading
        sys.setswitchinterval(3600)
        count = 0
        stop = False
        def counting():
            global count
            while not stop:
                count += 1
                time.sleep(0.001)
        threading.Thread(target=counting, daemon=True).start()
    """

    def test_show_lets_other_threads_run_while_it_waits_for_the_receiver(self, run):
        animation = run.animation(*self.COUNTING, """
            with ledcube.Cube(5) as cube:
                before = count
                cube.show(red)
                report(count - before)
                moved = False
                for k in range(200):
                    before = count
                    cube.sleep(50)
                    if count != before:
                        moved = True
                        break
                report(moved)
                stop = True
        """)
        # The show's clear is in the record, and nobody answers it yet.
        run.wait_status(STATUS_CLEAR)
        time.sleep(0.3)
        assert animation.running()
        receiver = run.receiver(5, mark_stale=False)
        moved_in_show, moved_in_sleep = animation.succeeded()
        assert moved_in_show > 0
        assert moved_in_sleep is True
        assert_red_then_dark(receiver.settled())
