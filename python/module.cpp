// ledcube._core: the library for Python. The package's __init__.py gives it
// its Python face; this side holds what must be fast or must reach C++: a
// cube's frames through lFrameWriter, the drawing of lFrame on numpy frames,
// and the effects player with effects written in Python.

#include "common/cli.h"
#include "common/edges.h"
#include "common/process.h"
#include "common/writer.h"
#include "effects/lEffect.h"
#include "effects/player.h"
#include "lbox/lBox.h"
#include "lbox/lFrame.h"
#include "wiring/pixels.h"

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <csignal>
#include <memory>
#include <stdexcept>
#include <tuple>
#include <pthread.h>
#include <string>
#include <vector>

namespace py = pybind11;

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kChannels = 3;  // r, g, b: a frame's last axis
constexpr float kFullByte = 255.0f;
constexpr int kGlyphPitch = lFrame::kGlyphWidth + 1;  // a column between letters
constexpr std::chrono::hours kLongestSleep{24 * 365 * 100};

// The library's lBox is one per process, sized by the first cube made; one
// frame writer at a time may use it.
struct Library {
    int edge = 0;  // none made yet
    bool busy = false;
};

Library& library()
{
    static Library state;
    return state;
}

std::string shapeText(int edge)
{
    const std::string n = std::to_string(edge);
    return "(" + n + ", " + n + ", " + n + ", " + std::to_string(kChannels) + ")";
}

std::string shapeText(const py::array& array)
{
    std::string text = "(";
    for (py::ssize_t k = 0; k < array.ndim(); ++k)
        text += (k == 0 ? "" : ", ") + std::to_string(array.shape(k));
    return text + (array.ndim() == 1 ? ",)" : ")");
}

bool hasShape(const py::array& array, int edge)
{
    return array.ndim() == 4 && array.shape(0) == edge && array.shape(1) == edge && array.shape(2) == edge &&
           array.shape(3) == kChannels;
}

uint8_t toByte(float level)
{
    return static_cast<uint8_t>(std::lround(std::clamp(std::isnan(level) ? 0.0f : level, 0.0f, 1.0f) * kFullByte));
}

py::tuple toBytes(const storeColor& colour)
{
    return py::make_tuple(toByte(colour.r), toByte(colour.g), toByte(colour.b));
}

// A colour as Python gives it: three numbers from 0 to 255.
std::array<uint8_t, kChannels> colourBytes(const py::handle& colour)
{
    const auto wrong = [&] {
        return py::type_error("a colour is three numbers from 0 to 255, (r, g, b), not " +
                              std::string(py::repr(colour)));
    };
    if (!py::isinstance<py::sequence>(colour) || py::isinstance<py::str>(colour) || py::len(colour) != kChannels)
        throw wrong();
    std::array<uint8_t, kChannels> bytes{};
    const py::sequence parts = py::reinterpret_borrow<py::sequence>(colour);
    for (int c = 0; c < kChannels; ++c) {
        const py::handle part = parts[static_cast<std::size_t>(c)];
        if (!py::isinstance<py::int_>(part) && !py::isinstance<py::float_>(part) &&
            !py::hasattr(part, "__index__") && !py::hasattr(part, "__float__"))
            throw wrong();
        const double value = part.cast<double>();
        if (!(value >= 0 && value <= kFullByte))
            throw py::value_error("a colour's parts go from 0 to 255, not " + std::string(py::repr(colour)));
        bytes[static_cast<std::size_t>(c)] = static_cast<uint8_t>(std::lround(value));
    }
    return bytes;
}

// What Python gives as the picture of a cube, made an lFrame: a byte b as
// b / 255, as cubelisten reads a pixel, and floats from 0 to 1 as they are.
class Pictures {
public:
    // Bytes are read as cubelisten reads a strip's, without a wiring: the
    // array's order is the frame's own.
    explicit Pictures(int edge)
        : edge_(edge), bytes_(strip::Wiring{}, {}), levels_(static_cast<std::size_t>(edge * edge * edge * kChannels))
    {
    }

    // Throws TypeError or ValueError, saying what `who` takes, and leaves
    // `frame` as it was, for anything but a picture of the cube.
    void read(const py::handle& picture, lFrame& frame, const std::string& who) const
    {
        if (!py::isinstance<py::array>(picture))
            throw py::type_error(who + " takes a numpy array of shape " + shapeText(edge_) + ", not " +
                                 std::string(py::str(py::type::handle_of(picture).attr("__name__"))));
        const py::array array = py::reinterpret_borrow<py::array>(picture);
        const char kind = array.dtype().kind();
        const bool bytes = kind == 'u' && array.itemsize() == 1;
        if (!bytes && kind != 'f')
            throw py::type_error(who + " takes an array of uint8 (0 to 255) or of floats (0 to 1), not " +
                                 std::string(py::str(array.dtype())));
        if (!hasShape(array, edge_))
            throw py::value_error(who + " takes an array of shape " + shapeText(edge_) + ", not " + shapeText(array));
        if (bytes)
            readBytes(array, frame);
        else
            readFloats(array, frame);
    }

private:
    void readBytes(const py::array& array, lFrame& frame) const
    {
        const auto ordered = py::array_t<uint8_t, py::array::c_style>::ensure(array);
        const uint8_t* byte = ordered.data();
        for (int x = 0; x < edge_; ++x)
            for (int y = 0; y < edge_; ++y)
                for (int z = 0; z < edge_; ++z, byte += kChannels)
                    frame.set(x, y, z, {bytes_.level(byte[0]), bytes_.level(byte[1]), bytes_.level(byte[2])});
    }

    // float32 and float64 are read where they lie; other floats as float32.
    void readFloats(const py::array& array, lFrame& frame) const
    {
        if (array.itemsize() == sizeof(double)) {
            const auto ordered = py::array_t<double, py::array::c_style>::ensure(array);
            readLevels(ordered.data(), frame);
        } else {
            const auto ordered = py::array_t<float, py::array::c_style | py::array::forcecast>::ensure(array);
            readLevels(ordered.data(), frame);
        }
    }

    // Clipped in one pass that the compiler vectorises, then set: NaN fails
    // both comparisons and reads as 0.
    template <class Level>
    void readLevels(const Level* level, lFrame& frame) const
    {
        const std::size_t count = levels_.size();
        for (std::size_t k = 0; k < count; ++k)
            levels_[k] = static_cast<float>(std::min(Level{1}, std::max(Level{0}, level[k])));
        const float* clipped = levels_.data();
        for (int x = 0; x < edge_; ++x)
            for (int y = 0; y < edge_; ++y)
                for (int z = 0; z < edge_; ++z, clipped += kChannels)
                    frame.set(x, y, z, {clipped[0], clipped[1], clipped[2]});
    }

    int edge_;
    strip::StripReader bytes_;
    mutable std::vector<float> levels_;  // a float picture's, clipped
};

// A frame that Python draws into: uint8, (N, N, N, 3), writable.
py::array_t<uint8_t> drawable(const py::handle& frame)
{
    if (!py::isinstance<py::array>(frame) || py::reinterpret_borrow<py::array>(frame).dtype().kind() != 'u' ||
        py::reinterpret_borrow<py::array>(frame).itemsize() != 1)
        throw py::type_error("the drawing functions draw on a uint8 numpy array of shape (N, N, N, 3)");
    const py::array array = py::reinterpret_borrow<py::array>(frame);
    if (array.ndim() != 4 || array.shape(0) < 1 || !hasShape(array, static_cast<int>(array.shape(0))))
        throw py::value_error("the drawing functions draw on an array of shape (N, N, N, 3), not " +
                              shapeText(array));
    if (!array.writeable())
        throw py::value_error("the frame to draw on is read-only");
    return py::reinterpret_borrow<py::array_t<uint8_t>>(frame);
}

// Draws a shape of lFrame on a numpy frame: the LEDs that `shape` lights on
// an lFrame of the frame's edge take `colour`, black too, and no others.
template <class Shape>
void paint(const py::handle& frame, const py::handle& colour, Shape shape)
{
    py::array_t<uint8_t> target = drawable(frame);
    const std::array<uint8_t, kChannels> bytes = colourBytes(colour);
    const int edge = static_cast<int>(target.shape(0));
    lFrame mask(edge);
    shape(mask, storeColor{1, 1, 1});
    auto leds = target.mutable_unchecked<4>();
    for (int x = 0; x < edge; ++x)
        for (int y = 0; y < edge; ++y)
            for (int z = 0; z < edge; ++z)
                if (!lFrame::isOff(mask.get(x, y, z)))
                    for (int c = 0; c < kChannels; ++c)
                        leds(x, y, z, c) = bytes[static_cast<std::size_t>(c)];
}

lFrame::Box boxStyle(const std::string& style)
{
    if (style == "edges")
        return lFrame::Box::Edges;
    if (style == "faces")
        return lFrame::Box::Faces;
    if (style == "solid")
        return lFrame::Box::Solid;
    throw py::value_error("a box's style is \"edges\", \"faces\" or \"solid\", not \"" + style + "\"");
}

struct Point {
    float x, y, z;
};

Point point(const py::handle& given, const char* what)
{
    if (!py::isinstance<py::sequence>(given) || py::len(given) != strip::kAxes)
        throw py::type_error(std::string(what) + " is three numbers, (x, y, z), not " + std::string(py::repr(given)));
    const py::sequence p = py::reinterpret_borrow<py::sequence>(given);
    return {p[0].cast<float>(), p[1].cast<float>(), p[2].cast<float>()};
}

void bindDrawing(py::module_& m)
{
    const auto frame = py::arg("frame");
    const auto colour = py::arg("colour");
    m.def(
        "fill", [](py::handle on, py::handle c) { paint(on, c, [](lFrame& f, storeColor lit) { f.fill(lit); }); },
        frame, colour, "Every LED of the frame in the colour (r, g, b), each 0 to 255.");
    m.def(
        "line",
        [](py::handle on, py::handle start, py::handle end, py::handle c) {
            const Point a = point(start, "a line's start"), b = point(end, "a line's end");
            paint(on, c, [&](lFrame& f, storeColor lit) { f.line(a.x, a.y, a.z, b.x, b.y, b.z, lit); });
        },
        frame, py::arg("start"), py::arg("end"), colour,
        "The LEDs of the straight line from start to end, (x, y, z) each, both ends included.");
    m.def(
        "sphere",
        [](py::handle on, py::handle centre, float radius, py::handle c, bool solid) {
            const Point o = point(centre, "a sphere's centre");
            paint(on, c, [&](lFrame& f, storeColor lit) { f.sphere(o.x, o.y, o.z, radius, lit, solid); });
        },
        frame, py::arg("centre"), py::arg("radius"), colour, py::arg("solid") = false,
        "The LEDs within half an LED of the sphere's surface, or with solid every LED inside it too.");
    m.def(
        "box",
        [](py::handle on, py::handle corner0, py::handle corner1, py::handle c, const std::string& style) {
            const Point a = point(corner0, "a box's corner"), b = point(corner1, "a box's corner");
            const lFrame::Box how = boxStyle(style);
            const auto whole = [](float v) { return static_cast<int>(std::lround(v)); };
            paint(on, c, [&](lFrame& f, storeColor lit) {
                f.box(whole(a.x), whole(a.y), whole(a.z), whole(b.x), whole(b.y), whole(b.z), lit, how);
            });
        },
        frame, py::arg("corner0"), py::arg("corner1"), colour, py::arg("style") = "edges",
        "The box with those corners, both included: its \"edges\", \"faces\" or all of it, \"solid\".");
    m.def(
        "text",
        [](py::handle on, const std::string& text, int x, int top, int depth, py::handle c) {
            paint(on, c, [&](lFrame& f, storeColor lit) {
                for (std::size_t k = 0; k < text.size(); ++k)
                    f.character(text[k], x + static_cast<int>(k) * kGlyphPitch, top, depth, lit);
            });
        },
        frame, py::arg("string"), py::arg("x"), py::arg("top"), py::arg("depth"), colour,
        "Letters of the 5 x 7 font, 6 LEDs apart, upright in the plane y = depth: the first one's left column at "
        "x, the top row at z = top.");
    m.def(
        "hsv", [](float hue, float saturation, float value) { return toBytes(lFrame::hsv(hue, saturation, value)); },
        py::arg("hue"), py::arg("saturation") = 1.0f, py::arg("value") = 1.0f,
        "The colour (r, g, b) of a hue in turns (0 red, 1/3 green, 2/3 blue), saturation and value, each 0 to 1.");
}

// The channel cannot serve: no receiver's run directory here.
struct ChannelFailure : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Tells Python's main thread of a stop signal as the signal itself would:
// the stop signals are the guard's while a cube is open, so Python's own
// handler never sees them. Under the GIL, which Python asks for when the
// signal's handler is not a Python function.
void tellPython(int signal)
{
    py::gil_scoped_acquire gil;
    PyErr_SetInterruptEx(signal);
}

// The stop signals as the thread had them before a guard blocked them, set
// back when the object goes: Ctrl-C is Python's again after a cube or a play.
class SignalMask {
public:
    SignalMask() { pthread_sigmask(SIG_BLOCK, nullptr, &saved_); }
    ~SignalMask() { pthread_sigmask(SIG_SETMASK, &saved_, nullptr); }
    SignalMask(const SignalMask&) = delete;
    SignalMask& operator=(const SignalMask&) = delete;

private:
    sigset_t saved_{};
};

// Whether a writer of `edge` may take the process's lBox: there is one, sized
// by the first edge asked for, and one writer uses it at a time.
void checkLibrary(int edge, const char* who)
{
    const Library& state = library();
    if (state.busy)
        throw std::runtime_error(std::string(who) + ": a cube is open in this process already; close it first");
    if (state.edge != 0 && state.edge != edge)
        throw py::value_error(std::string(who) + ": this process drew on a cube of edge " + std::to_string(state.edge) +
                              " first, and the library keeps that edge: edge " + std::to_string(edge) +
                              " needs a process of its own");
}

lBox* takeLibrary(int edge, const char* who)
{
    checkLibrary(edge, who);
    Library& state = library();
    state.busy = true;
    state.edge = edge;
    const auto side = static_cast<uint8_t>(edge);
    return lBox::getInstance(side, side, side);
}

void releaseLibrary()
{
    library().busy = false;
}

// A writer on the channel: the numpy frame, its pictures through
// lFrameWriter, and the stop signals while it is open.
class Cube {
public:
    Cube(int edge, std::string name, std::vector<std::string> commandLine)
        : edge_(edge), pictures_(edge), shown_(edge), frame_(py::array_t<uint8_t>({edge, edge, edge, kChannels}))
    {
        std::fill_n(frame_.mutable_data(), frame_.size(), 0);
        checkLibrary(edge, "Cube");
        std::vector<char*> argv = process::argumentVector(commandLine);
        try {
            guard_ = std::make_unique<writer::Guard>(name, edge, static_cast<int>(commandLine.size()), argv.data(),
                                                     tellPython);
        } catch (const process::Failure& failure) {
            throw ChannelFailure(failure.what);
        }
        writer_ = std::make_unique<lFrameWriter>(takeLibrary(edge, "Cube"), edge);
    }

    ~Cube() { close(); }

    int edge() const { return edge_; }
    py::array_t<uint8_t> frame() const { return frame_; }
    bool open() const { return writer_ != nullptr; }

    // Shows `picture` (the frame when None) and returns the LED writes sent.
    int show(const py::handle& picture) { return show(picture, nullptr); }

    // show, and how long it took in all and in lFrameWriter::show alone.
    std::pair<double, double> timedShow(const py::handle& picture)
    {
        const Clock::time_point start = Clock::now();
        double channel = 0;
        show(picture, &channel);
        return {std::chrono::duration<double>(Clock::now() - start).count(), channel};
    }

    // False when a stop signal ended the wait. No time, or not a number, is
    // no wait; more than a century is a century, which the clock still counts.
    bool sleep(double ms)
    {
        requireOpen("sleep");
        using Milliseconds = std::chrono::duration<double, std::milli>;
        const Milliseconds wait = std::clamp(Milliseconds(std::isnan(ms) ? 0.0 : ms), Milliseconds::zero(),
                                             Milliseconds(kLongestSleep));
        const auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(wait);
        py::gil_scoped_release free;
        return guard_->sleepUntil(deadline);
    }

    int stopSignal() const { return guard_ ? guard_->stopSignal() : 0; }

    // The cube dark, the guard gone and Ctrl-C Python's again.
    void close()
    {
        if (!open())
            return;
        {
            py::gil_scoped_release free;
            writer_->show(lFrame(edge_));
            writer_.reset();
            guard_.reset();
        }
        mask_.reset();
        releaseLibrary();
    }

private:
    int show(const py::handle& picture, double* channelSeconds)
    {
        requireOpen("show");
        pictures_.read(picture.is_none() ? py::handle(frame_) : picture, shown_, "show");
        py::gil_scoped_release free;
        const Clock::time_point start = Clock::now();
        const int writes = writer_->show(shown_);
        if (channelSeconds != nullptr)
            *channelSeconds = std::chrono::duration<double>(Clock::now() - start).count();
        return writes;
    }

    void requireOpen(const char* what) const
    {
        if (!open())
            throw std::runtime_error(std::string(what) + ": the cube is closed");
    }

    int edge_;
    std::unique_ptr<SignalMask> mask_ = std::make_unique<SignalMask>();
    Pictures pictures_;
    lFrame shown_;
    py::array_t<uint8_t> frame_;
    std::unique_ptr<writer::Guard> guard_;
    std::unique_ptr<lFrameWriter> writer_;
};

// An effect written in Python, a subclass of ledcube.Effect, as the player
// plays its own: its settings are the class's `settings`, and what it draws
// is read as show reads a picture. Every call into Python takes the GIL,
// which the player's thread does not hold between frames.
class PythonEffect : public lEffect {
public:
    explicit PythonEffect(py::object instance) : instance_(std::move(instance))
    {
        const py::dict declared = instance_.attr("settings");
        for (const auto& [key, value] : declared) {
            const py::tuple range = py::reinterpret_borrow<py::tuple>(value);
            values_.emplace_back(py::str(key), &setting(py::str(key), range[0].cast<double>(),
                                                        range[1].cast<double>(), range[2].cast<double>(),
                                                        range.size() > 3 ? py::str(range[3]) : py::str("")));
        }
        if (py::bool_(instance_.attr("reacts_to_sound")))
            reactToSound();
    }

    ~PythonEffect() override
    {
        // The Python objects go under the GIL; the members then hold nothing.
        py::gil_scoped_acquire gil;
        instance_.release().dec_ref();
        picture_.release().dec_ref();
    }

    void begin() override
    {
        py::gil_scoped_acquire gil;
        pictures_ = std::make_unique<Pictures>(edge());
        picture_ = py::array_t<uint8_t>({edge(), edge(), edge(), kChannels});
        std::fill_n(picture_.mutable_data(), picture_.size(), 0);
        for (const auto& [key, value] : values_)
            instance_.attr(key.c_str()) = *value;
        instance_.attr("edge") = edge();
        instance_.attr("text") = context().text;
        instance_.attr("colour") = context().colourGiven ? py::object(toBytes(context().colour)) : py::none();
        instance_.attr("random") = py::module_::import("random").attr("Random")(context().random.next());
        const lPalette palette = context().palette;
        instance_.attr("palette") = py::cpp_function([palette](float position) { return toBytes(palette.at(position)); },
                                                     py::arg("position"));
        instance_.attr("sound") = sound();
        instance_.attr("begin")();
    }

    void draw(lFrame& frame, double time) override
    {
        py::gil_scoped_acquire gil;
        if (sound().given)
            instance_.attr("sound") = sound();
        const py::object drawn = instance_.attr("draw")(picture_, time);
        pictures_->read(drawn.is_none() ? py::handle(picture_) : py::handle(drawn), frame, "draw");
    }

private:
    py::object instance_;
    std::vector<std::pair<std::string, const double*>> values_;
    std::unique_ptr<Pictures> pictures_;
    py::array_t<uint8_t> picture_;
};

py::dict settingsOf(const lEffect& effect)
{
    py::dict settings;
    for (const lEffect::Setting& s : effect.settings())
        settings[s.key.c_str()] = py::dict(py::arg("value") = s.value, py::arg("min") = s.min,
                                           py::arg("max") = s.max, py::arg("help") = s.help);
    return settings;
}

py::list builtInEffects()
{
    py::list list;
    for (const lEffectInfo& info : lBuiltInEffects())
        list.append(py::dict(py::arg("name") = info.name, py::arg("description") = info.description,
                             py::arg("needs_sound") = info.needsSound, py::arg("settings") = settingsOf(*info.make())));
    return list;
}

// Plays through the effects player: `args` are cubefx's options and effects,
// `classes` the Python effects as (name, description, class). Returns the
// stop signal that ended the play early (0 when none did), and a failure's
// status and words (0 and "" when it played).
std::tuple<int, int, std::string> play(const std::string& name, const std::vector<std::string>& args,
                                       const py::list& classes, const std::vector<std::string>& commandLine, int edge)
{
    std::vector<lEffectInfo> playable;
    for (const py::handle item : classes) {
        const py::tuple entry = py::reinterpret_borrow<py::tuple>(item);
        const py::object cls = entry[2];
        playable.push_back({entry[0].cast<std::string>(), entry[1].cast<std::string>(), [cls] {
                               py::gil_scoped_acquire gil;
                               return std::unique_ptr<lEffect>(std::make_unique<PythonEffect>(cls()));
                           }});
    }
    const std::vector<lEffectInfo>& builtIn = lBuiltInEffects();
    playable.insert(playable.end(), builtIn.begin(), builtIn.end());
    checkLibrary(edge, "play");
    const SignalMask mask;
    library().busy = true;
    struct Release {
        ~Release() { releaseLibrary(); }
    } release;
    try {
        py::gil_scoped_release free;
        const int stopSignal = effects::playEffects(name, args, playable, commandLine);
        library().edge = edge;
        return {stopSignal, 0, ""};
    } catch (const process::Failure& failure) {
        if (failure.status != cli::kUsageStatus)  // a usage error comes before the library starts
            library().edge = edge;
        return {0, failure.status, failure.what};
    }
}

}  // namespace

PYBIND11_MODULE(_core, m)
{
    m.doc() = "The C++ side of ledcube: cubes, drawing and the effects player.";
    m.attr("MIN_EDGE") = cli::kMinEdge;
    m.attr("MAX_EDGE") = cli::kMaxEdge;
    m.attr("DEFAULT_EDGE") = cli::kDefaultEdge;
    m.attr("VERSION") = CUBE_VERSION;
    py::register_exception<ChannelFailure>(m, "ChannelError", PyExc_OSError);

    py::class_<lSound>(m, "Sound")
        .def(py::init<>())
        .def_readonly("given", &lSound::given)
        .def_readonly("level", &lSound::level)
        .def_readonly("bands", &lSound::bands)
        .def_readonly("beat", &lSound::beat)
        .def_readonly("tempo", &lSound::tempo)
        .def_readonly("wave", &lSound::wave);

    py::class_<Cube>(m, "Cube")
        .def(py::init<int, std::string, std::vector<std::string>>())
        .def_property_readonly("edge", &Cube::edge)
        .def_property_readonly("frame", &Cube::frame)
        .def_property_readonly("open", &Cube::open)
        .def("show", py::overload_cast<const py::handle&>(&Cube::show), py::arg("picture"))
        .def("timed_show", &Cube::timedShow)
        .def("sleep", &Cube::sleep)
        .def("stop_signal", &Cube::stopSignal)
        .def("close", &Cube::close);

    bindDrawing(m);
    m.def("animation_edge", [] { return cli::animationEdge(cli::kMinEdge, cli::kMaxEdge); });
    m.def("effects", &builtInEffects);
    m.def("play", &play);
}
