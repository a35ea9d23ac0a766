#include "sound/analysis.h"

#include <fftw3.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <mutex>
#include <numbers>
#include <stdexcept>
#include <string>
#include <vector>

namespace ledcube::sound {

namespace {

constexpr std::size_t kBaseWindow = 2048;  // samples at kBaseRate
constexpr double kBaseRate = 44100.0;
constexpr int kMinWindowShift = -5;  // 64 samples, for rates no one plays
constexpr int kMaxWindowShift = 5;   // 65,536 samples
constexpr double kTwoPi = 2 * std::numbers::pi;

// The gain follows the loudest moment down by this much a second, so that a
// quiet passage fills the cube again within seconds but a single quiet beat
// does not.
constexpr double kGainFallDbPerSecond = 3.0;
// A band falls by this much a second once its sound stops: from the top of
// the cube to a tenth of it in half a second.
constexpr double kBandFallDbPerSecond = 40.0;
// Below this a band, faded after its sound, reads as 0 (-60 dB).
constexpr float kShownFloor = 1e-3f;
// Bands holding fewer bins than this take the magnitude at their centre:
// one bin alone is as often a neighbour's main lobe as the band's own.
constexpr std::size_t kMinBinsToSum = 2;

// Beats: the sound's amplitude in these bins rising over its recent mean.
constexpr double kBeatLowHz = 40.0;
constexpr double kBeatHighHz = 200.0;
constexpr double kBeatOverMean = 1.5;
constexpr double kBeatMargin = 0.1;        // of the spectrum's peak
constexpr double kBeatMeanSeconds = 0.15;  // the mean's time constant
constexpr double kMinBeatGap = 0.25;       // seconds: at most 240 a minute
constexpr double kMaxBeatGap = 2.0;        // longer, and the tempo starts over
constexpr std::size_t kTempoBeats = 8;
constexpr std::size_t kMinTempoBeats = 4;
constexpr double kSecondsAMinute = 60.0;

double amplitudeOfDb(double db)
{
    return std::pow(10.0, db / 20.0);
}

// What is left of a value after falling `dbPerSecond` for `seconds`.
double fallOver(double dbPerSecond, double seconds)
{
    return amplitudeOfDb(-dbPerSecond * seconds);
}

std::size_t windowFor(int rate)
{
    const int shift = std::clamp(static_cast<int>(std::lround(std::log2(rate / kBaseRate))), kMinWindowShift,
                                 kMaxWindowShift);
    return shift >= 0 ? kBaseWindow << shift : kBaseWindow >> -shift;
}

// FFTW's planner keeps global tables: plans are made and destroyed one at a
// time, whichever thread builds an Analyser.
std::mutex& fftwPlanner()
{
    static std::mutex planner;
    return planner;
}

// The Hann-windowed window's power spectrum, from 0 Hz to half the rate,
// through one real FFT planned at construction.
class Spectrum {
public:
    explicit Spectrum(std::size_t size)
        : size_(size), hann_(size), power_(size / 2 + 1), in_(fftwf_alloc_real(size)),
          out_(fftwf_alloc_complex(size / 2 + 1))
    {
        if (!in_ || !out_)
            throw std::bad_alloc();
        double sum = 0;
        double squares = 0;
        const double turn = kTwoPi / static_cast<double>(size);
        for (std::size_t i = 0; i < size; ++i) {
            hann_[i] = static_cast<float>(0.5 - 0.5 * std::cos(turn * static_cast<double>(i)));
            sum += hann_[i];
            squares += hann_[i] * hann_[i];
        }
        // A sine of amplitude A peaks at A * sum / 2 in its bin, and its bins
        // hold N * A^2 * squares / 4 in all.
        peakScale_ = 2.0 / sum;
        powerScale_ = 4.0 / (static_cast<double>(size) * squares);
        // ESTIMATE: it plans in microseconds, where MEASURE times candidate
        // plans for a noticeable while at every start, and picks the same
        // plan every run, so that the same sound gives the same frames to the
        // last bit. At this size its plan is as fast as a measured one.
        const std::lock_guard lock(fftwPlanner());
        plan_ = fftwf_plan_dft_r2c_1d(static_cast<int>(size), in_.get(), out_.get(), FFTW_ESTIMATE);
        if (!plan_)
            throw std::runtime_error("cannot plan an FFT of " + std::to_string(size) + " samples");
    }

    ~Spectrum()
    {
        const std::lock_guard lock(fftwPlanner());
        fftwf_destroy_plan(plan_);
    }

    Spectrum(const Spectrum&) = delete;
    Spectrum& operator=(const Spectrum&) = delete;

    // `window` holds size() samples.
    void take(const float* window)
    {
        for (std::size_t i = 0; i < size_; ++i)
            in_.get()[i] = window[i] * hann_[i];
        fftwf_execute(plan_);
        const fftwf_complex* out = out_.get();
        for (std::size_t k = 0; k < power_.size(); ++k)
            power_[k] = out[k][0] * out[k][0] + out[k][1] * out[k][1];
    }

    std::size_t size() const { return size_; }
    std::size_t bins() const { return power_.size(); }
    // The amplitude of the sines whose power lies in bins [first, last).
    double amplitude(std::size_t first, std::size_t last) const
    {
        double sum = 0;
        for (std::size_t k = first; k < last; ++k)
            sum += power_[k];
        return std::sqrt(sum * powerScale_);
    }
    // The magnitude at fractional bin `bin`, between its two neighbours, as
    // the amplitude of a sine peaking there.
    double amplitudeAt(double bin) const
    {
        const auto k = static_cast<std::size_t>(bin);
        const double share = bin - static_cast<double>(k);
        const double low = std::sqrt(power_[k]);
        const double high = k + 1 < power_.size() ? std::sqrt(power_[k + 1]) : 0.0;
        return (low + share * (high - low)) * peakScale_;
    }

private:
    struct FftwFree {
        void operator()(void* p) const { fftwf_free(p); }
    };

    std::size_t size_;
    std::vector<float> hann_;
    std::vector<float> power_;
    std::unique_ptr<float, FftwFree> in_;
    std::unique_ptr<fftwf_complex, FftwFree> out_;
    fftwf_plan plan_ = nullptr;
    double peakScale_ = 0;
    double powerScale_ = 0;
};

// Which bins make each band: the bins whose centres lie in it, or for a band
// narrower than that, the magnitude at its centre.
class BandMap {
public:
    BandMap(int bands, int rate, const Spectrum& spectrum)
    {
        const double binHz = static_cast<double>(rate) / static_cast<double>(spectrum.size());
        const double lastBin = static_cast<double>(spectrum.bins() - 1);
        for (int i = 0; i < bands; ++i) {
            const double low = bandLow(i, bands) / binHz;
            const double high = bandLow(i + 1, bands) / binHz;
            Band band;
            band.first = binAtOrAbove(low, lastBin);
            band.last = binAtOrAbove(high, lastBin);
            band.centre = std::sqrt(low * high);
            band.outside = band.centre >= lastBin;
            bands_.push_back(band);
        }
        beatFirst_ = binAtOrAbove(kBeatLowHz / binHz, lastBin);
        beatLast_ = std::min(static_cast<std::size_t>(kBeatHighHz / binHz) + 1, spectrum.bins());
    }

    std::size_t size() const { return bands_.size(); }

    double amplitude(std::size_t band, const Spectrum& spectrum) const
    {
        const Band& b = bands_[band];
        if (b.outside)
            return 0;
        if (b.last - b.first < kMinBinsToSum)
            return spectrum.amplitudeAt(b.centre);
        return spectrum.amplitude(b.first, b.last);
    }

    double beatAmplitude(const Spectrum& spectrum) const { return spectrum.amplitude(beatFirst_, beatLast_); }

private:
    struct Band {
        std::size_t first = 0, last = 0;  // bins
        double centre = 0;                // fractional bin, geometric centre
        bool outside = false;             // above half the rate
    };

    static std::size_t binAtOrAbove(double bin, double lastBin)
    {
        return static_cast<std::size_t>(std::ceil(std::min(bin, lastBin + 1)));
    }

    std::vector<Band> bands_;
    std::size_t beatFirst_ = 0, beatLast_ = 0;
};

// The loudest recent value, falling slowly in time; the gain is its
// inverse, never above kMaxGainDb.
class PeakFollower {
public:
    double gain(double value, double seconds)
    {
        peak_ = std::max(value, peak_ * fallOver(kGainFallDbPerSecond, seconds));
        return 1.0 / std::max(peak_, amplitudeOfDb(-kMaxGainDb));
    }

    double peak() const { return peak_; }

private:
    double peak_ = 0;
};

// Onsets in the low bins and the tempo of the last beats.
class BeatTracker {
public:
    // Whether `amplitude` (of the low bins) at `time` starts a beat.
    bool heard(double amplitude, double peak, double time, double seconds)
    {
        const bool beat = amplitude > kBeatOverMean * mean_ + kBeatMargin * peak && time - last_ >= kMinBeatGap;
        mean_ += (amplitude - mean_) * (1.0 - std::exp(-seconds / kBeatMeanSeconds));
        if (beat)
            count(time);
        return beat;
    }

    double tempo() const { return tempo_; }

private:
    void count(double time)
    {
        if (time - last_ > kMaxBeatGap)
            beats_ = 0;
        last_ = time;
        times_[next_] = time;
        next_ = (next_ + 1) % kTempoBeats;
        beats_ = std::min(beats_ + 1, kTempoBeats);
        if (beats_ < kMinTempoBeats) {
            tempo_ = 0;
            return;
        }
        // First to last over the beats between: a beat heard a frame late is
        // made up for by the next one, where a mean of tempos would not be.
        const double first = times_[(next_ + kTempoBeats - beats_) % kTempoBeats];
        tempo_ = kSecondsAMinute * static_cast<double>(beats_ - 1) / (time - first);
    }

    double mean_ = 0;
    double last_ = -std::numeric_limits<double>::infinity();
    std::array<double, kTempoBeats> times_{};
    std::size_t next_ = 0;
    std::size_t beats_ = 0;
    double tempo_ = 0;
};

struct Loudness {
    // The RMS about the window's mean, so that an offset is not heard, times
    // root 2: the amplitude of a sine as loud, which makes a full-scale sine
    // 0 dBFS.
    double amplitude = 0;
    double peak = 0;  // the largest sample's magnitude
};

Loudness loudness(const float* window, std::size_t size)
{
    double sum = 0;
    double peak = 0;
    for (std::size_t i = 0; i < size; ++i) {
        sum += window[i];
        peak = std::max(peak, static_cast<double>(std::abs(window[i])));
    }
    const double mean = sum / static_cast<double>(size);
    double squares = 0;
    for (std::size_t i = 0; i < size; ++i)
        squares += (window[i] - mean) * (window[i] - mean);
    return {std::sqrt(squares / static_cast<double>(size)) * std::numbers::sqrt2, peak};
}

void checkArguments(int rate, int bands, double gateDb)
{
    if (rate <= 0)
        throw std::invalid_argument("a sound's rate must be positive, not " + std::to_string(rate));
    if (bands < 1 || bands > kMaxBands)
        throw std::invalid_argument("bands must be from 1 to " + std::to_string(kMaxBands) + ", not " +
                                    std::to_string(bands));
    if (!(gateDb >= kMinGateDb && gateDb <= kMaxGateDb))
        throw std::invalid_argument("the gate must be from " + std::to_string(kMinGateDb) + " to " +
                                    std::to_string(kMaxGateDb) + " dBFS");
}

}  // namespace

double bandLow(int i, int bands)
{
    return kLowestHz * std::pow(kHighestHz / kLowestHz, static_cast<double>(i) / bands);
}

struct Analyser::State {
    State(int rate, int bands, double gateDb)
        : spectrum(windowFor(rate)), map(bands, rate, spectrum), gate(amplitudeOfDb(gateDb)),
          held(static_cast<std::size_t>(bands)), window(spectrum.size())
    {
        sound.given = true;
        sound.bands.assign(static_cast<std::size_t>(bands), 0.0f);
        sound.wave.assign(spectrum.size(), 0.0f);
    }

    // The window as given, or cut or padded at its old end to the size the
    // FFT takes.
    const float* fit(std::span<const float> given);
    void showBands(bool silent, double seconds);
    void showWave(const float* samples, bool silent, double gain);

    Spectrum spectrum;
    BandMap map;
    double gate;  // a Loudness::amplitude
    std::vector<double> held;  // each band's amplitude, falling since its last rise
    std::vector<float> window;
    PeakFollower bandPeak, levelPeak, wavePeak;
    BeatTracker beats;
    double lastTime = std::numeric_limits<double>::quiet_NaN();
    lSound sound;
};

const float* Analyser::State::fit(std::span<const float> given)
{
    const std::size_t size = window.size();
    if (given.size() == size)
        return given.data();
    const std::size_t kept = std::min(given.size(), size);
    std::fill(window.begin(), window.end() - static_cast<std::ptrdiff_t>(kept), 0.0f);
    std::copy(given.end() - static_cast<std::ptrdiff_t>(kept), given.end(),
              window.end() - static_cast<std::ptrdiff_t>(kept));
    return window.data();
}

void Analyser::State::showBands(bool silent, double seconds)
{
    const double fall = fallOver(kBandFallDbPerSecond, seconds);
    double loudest = 0;
    for (std::size_t i = 0; i < held.size(); ++i) {
        const double now = silent ? 0.0 : map.amplitude(i, spectrum);
        loudest = std::max(loudest, now);
        held[i] = std::max(now, held[i] * fall);
    }
    const double gain = bandPeak.gain(loudest, seconds);
    for (std::size_t i = 0; i < held.size(); ++i) {
        const auto shown = static_cast<float>(std::min(1.0, held[i] * gain));
        sound.bands[i] = shown < kShownFloor ? 0.0f : shown;
    }
}

void Analyser::State::showWave(const float* samples, bool silent, double gain)
{
    for (std::size_t i = 0; i < sound.wave.size(); ++i)
        sound.wave[i] = silent ? 0.0f : std::clamp(static_cast<float>(samples[i] * gain), -1.0f, 1.0f);
}

Analyser::Analyser(int rate, int bands, double gateDb)
{
    checkArguments(rate, bands, gateDb);
    state_ = std::make_unique<State>(rate, bands, gateDb);
}

Analyser::~Analyser() = default;

std::size_t Analyser::windowSize() const
{
    return state_->spectrum.size();
}

const lSound& Analyser::analyse(std::span<const float> window, double time)
{
    State& s = *state_;
    const double seconds = std::isnan(s.lastTime) ? 0.0 : std::max(0.0, time - s.lastTime);
    s.lastTime = time;
    const float* samples = s.fit(window);
    const Loudness loud = loudness(samples, s.spectrum.size());
    const bool silent = loud.amplitude < s.gate;
    if (!silent)
        s.spectrum.take(samples);
    s.showBands(silent, seconds);

    // The level and the wave keep gains of their own, by the same rule: a
    // sine at the loudest moment gives level 1 and a wave from -1 to 1.
    const double amplitude = silent ? 0.0 : loud.amplitude;
    s.sound.level = static_cast<float>(std::min(1.0, amplitude * s.levelPeak.gain(amplitude, seconds)));
    s.showWave(samples, silent, s.wavePeak.gain(silent ? 0.0 : loud.peak, seconds));

    const double low = silent ? 0.0 : s.map.beatAmplitude(s.spectrum);
    s.sound.beat = s.beats.heard(low, s.bandPeak.peak(), time, seconds);
    s.sound.tempo = s.beats.tempo();
    return s.sound;
}

}  // namespace ledcube::sound
