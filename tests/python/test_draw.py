"""The drawing helpers, on any frame array and on the cube's own frame, and
hsv: known LEDs and known colours."""

import numpy as np
import pytest

import ledcube
from conftest import assert_shows, bytes_to_levels

COLOUR = (10, 200, 30)


def blank(edge=5):
    return np.zeros((edge, edge, edge, 3), np.uint8)


def lit(frame):
    """The LEDs drawn, each with its colour."""
    return {tuple(int(v) for v in xyz): tuple(int(c) for c in frame[tuple(xyz)])
            for xyz in np.argwhere(frame.any(axis=-1))}


def drawn(leds, colour=COLOUR):
    return {led: colour for led in leds}


def around(centre, squared_distances):
    cx, cy, cz = centre
    return {(cx + dx, cy + dy, cz + dz)
            for dx in range(-3, 4) for dy in range(-3, 4) for dz in range(-3, 4)
            if dx * dx + dy * dy + dz * dz in squared_distances}


class TestLine:
    def test_a_diagonal_lights_one_led_a_layer(self):
        frame = blank()
        ledcube.line(frame, (0, 0, 0), (4, 4, 4), COLOUR)
        assert lit(frame) == drawn({(k, k, k) for k in range(5)})

    def test_a_slanted_line_rounds_halves_away_from_its_start(self):
        expected = drawn({(0, 0, 0), (1, 1, 0), (2, 1, 0), (3, 2, 0), (4, 2, 0)})
        frame = blank()
        ledcube.line(frame, (0, 0, 0), (4, 2, 0), COLOUR)
        assert lit(frame) == expected
        frame = blank()
        ledcube.line(frame, (4, 2, 0), (0, 0, 0), COLOUR)
        assert lit(frame) == expected

    def test_a_line_through_the_cube_draws_only_inside_it(self):
        frame = blank()
        ledcube.line(frame, (-3, 2, 1), (7, 2, 1), COLOUR)
        assert lit(frame) == drawn({(x, 2, 1) for x in range(5)})

    def test_a_line_of_one_point_is_one_led(self):
        frame = blank()
        ledcube.line(frame, (3, 1, 4), (3, 1, 4), COLOUR)
        assert lit(frame) == drawn({(3, 1, 4)})


class TestBox:
    @pytest.mark.parametrize("style, count", [("edges", 44), ("faces", 98), ("solid", 125)])
    def test_the_whole_cube_as_a_box_by_style(self, style, count):
        frame = blank()
        ledcube.box(frame, (0, 0, 0), (4, 4, 4), COLOUR, style=style)
        leds = lit(frame)
        assert len(leds) == count
        assert set(leds.values()) == {COLOUR}

    def test_edges_are_the_leds_on_two_faces_whatever_the_corners_order(self):
        frame = blank()
        ledcube.box(frame, (3, 1, 1), (1, 3, 3), COLOUR)
        expected = {(x, y, z) for x in (1, 2, 3) for y in (1, 2, 3) for z in (1, 2, 3)
                    if (x != 2) + (y != 2) + (z != 2) >= 2}
        assert lit(frame) == drawn(expected)
        assert len(expected) == 20

    def test_an_unknown_style_is_refused(self):
        with pytest.raises(ValueError, match="edges"):
            ledcube.box(blank(), (0, 0, 0), (4, 4, 4), COLOUR, style="round")


class TestSphere:
    def test_a_hollow_sphere_is_the_leds_within_half_an_led_of_its_surface(self):
        frame = blank()
        ledcube.sphere(frame, (2, 2, 2), 1, COLOUR)
        assert lit(frame) == drawn(around((2, 2, 2), {1, 2}))
        assert len(lit(frame)) == 18

    def test_a_solid_sphere_fills_its_inside_too(self):
        frame = blank()
        ledcube.sphere(frame, (2, 2, 2), 1, COLOUR, solid=True)
        assert lit(frame) == drawn(around((2, 2, 2), {0, 1, 2}))
        assert len(lit(frame)) == 19

    def test_a_sphere_of_radius_2(self):
        frame = blank()
        ledcube.sphere(frame, (2, 2, 2), 2, COLOUR)
        assert lit(frame) == drawn(around((2, 2, 2), {3, 4, 5, 6}))
        assert len(lit(frame)) == 62


# The font's H and I, the top row first.
H = ("#...#", "#...#", "#...#", "#####", "#...#", "#...#", "#...#")
I = (".###.", "..#..", "..#..", "..#..", "..#..", "..#..", ".###.")


def glyph_leds(rows, left, top, depth):
    return {(left + column, depth, top - row)
            for row, line in enumerate(rows) for column, mark in enumerate(line) if mark == "#"}


class TestText:
    def test_glyphs_stand_upright_six_leds_apart_in_the_plane_y_depth(self):
        frame = blank(12)
        ledcube.text(frame, "HI", 1, 9, 4, (255, 255, 255))
        expected = glyph_leds(H, 1, 9, 4) | glyph_leds(I, 7, 9, 4)
        assert lit(frame) == drawn(expected, (255, 255, 255))
        assert len(expected) == 28

    def test_lower_case_draws_as_upper_case(self):
        upper, lower = blank(12), blank(12)
        ledcube.text(upper, "HI", 0, 7, 0, COLOUR)
        ledcube.text(lower, "hi", 0, 7, 0, COLOUR)
        assert np.array_equal(upper, lower)
        assert lit(upper)

    def test_text_past_the_cube_is_cut(self):
        frame = blank(5)
        ledcube.text(frame, "HI", 0, 4, 0, COLOUR)
        assert lit(frame) == drawn({led for led in glyph_leds(H, 0, 4, 0) if led[2] >= 0})


class TestFill:
    def test_fill_sets_every_led(self):
        frame = blank(3)
        ledcube.fill(frame, COLOUR)
        assert (frame.reshape(-1, 3) == COLOUR).all()


class TestHsv:
    @pytest.mark.parametrize("arguments, colour", [
        ((0,), (255, 0, 0)),
        ((1 / 3,), (0, 255, 0)),
        ((2 / 3,), (0, 0, 255)),
        ((1 / 6,), (255, 255, 0)),
        ((1,), (255, 0, 0)),
        ((0.5, 0.0), (255, 255, 255)),
        ((0.25, 1.0, 0.0), (0, 0, 0)),
        ((-2 / 3,), (0, 255, 0)),
    ])
    def test_hue_in_turns_with_saturation_and_value(self, arguments, colour):
        result = ledcube.hsv(*arguments)
        assert tuple(result) == colour
        assert all(type(c) is int for c in result)


def test_the_cubes_helpers_draw_into_its_frame(run):
    receiver = run.receiver(8)
    results = run.run("""
        steps = [
            ("fill", lambda f: ledcube.fill(f, (0, 0, 40)), lambda c: c.fill((0, 0, 40))),
            ("line", lambda f: ledcube.line(f, (0, 0, 0), (7, 3, 0), (255, 0, 0)),
                     lambda c: c.line((0, 0, 0), (7, 3, 0), (255, 0, 0))),
            ("box", lambda f: ledcube.box(f, (1, 1, 1), (6, 6, 6), (0, 255, 0), style="faces"),
                    lambda c: c.box((1, 1, 1), (6, 6, 6), (0, 255, 0), style="faces")),
            ("sphere", lambda f: ledcube.sphere(f, (4, 4, 4), 2, (255, 255, 0), solid=True),
                       lambda c: c.sphere((4, 4, 4), 2, (255, 255, 0), solid=True)),
            ("text", lambda f: ledcube.text(f, "A", 2, 7, 3, (200, 100, 50)),
                     lambda c: c.text("A", x=2, top=7, depth=3, colour=(200, 100, 50))),
        ]
        expected = np.zeros((8, 8, 8, 3), np.uint8)
        with ledcube.Cube(8) as cube:
            same = {}
            for name, on_array, on_cube in steps:
                on_array(expected)
                on_cube(cube)
                same[name] = bool(np.array_equal(cube.frame, expected))
            report(same)
            cube.show()
            np.save("expected.npy", expected)
    """).succeeded()
    assert results == [{"fill": True, "line": True, "box": True, "sphere": True, "text": True}]
    frames = receiver.settled()
    assert_shows(frames[0], bytes_to_levels(np.load(run.anim / "expected.npy")))
