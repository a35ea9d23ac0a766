#include "sound/playback.h"

#include "sound/sources.h"

#include <alsa/asoundlib.h>
#include <cstdio>
#include <thread>

namespace ledcube::sound {

namespace {

constexpr const char* kDevice = "default";
constexpr unsigned kLatencyUs = 50000;
constexpr int64_t kChunkFrames = 1024;
constexpr int kWaitMs = 20;  // for room in the output, before looking at stop again

snd_pcm_t* openOutput(const SoundFile& file)
{
    quietAlsa();
    snd_pcm_t* pcm = nullptr;
    int error = snd_pcm_open(&pcm, kDevice, SND_PCM_STREAM_PLAYBACK, SND_PCM_NONBLOCK);
    if (error >= 0) {
        error = snd_pcm_set_params(pcm, SND_PCM_FORMAT_FLOAT_LE, SND_PCM_ACCESS_RW_INTERLEAVED,
                                   static_cast<unsigned>(file.channels()), static_cast<unsigned>(file.rate()), 1,
                                   kLatencyUs);
        if (error < 0)
            snd_pcm_close(pcm);
    }
    if (error < 0)
        throw SoundError(std::string("cannot play sound on '") + kDevice + "': " + snd_strerror(error));
    return pcm;
}

}  // namespace

struct Playback::State {
    State(const std::string& path, const std::string& program)
        : path(path), program(program), file(path), pcm(openOutput(file), snd_pcm_close)
    {
    }
    ~State()
    {
        if (thread.joinable()) {
            thread.request_stop();
            thread.join();
        }
        snd_pcm_drop(pcm.get());
    }

    void play(std::stop_token stop)
    {
        std::vector<float> chunk;
        for (int64_t got; !stop.stop_requested() && (got = file.read(chunk, kChunkFrames)) > 0;)
            if (!write(stop, chunk.data(), got))
                return;
    }

    // Writes `frames` frames as the output takes them; false when it failed.
    bool write(std::stop_token stop, const float* at, int64_t frames)
    {
        while (frames > 0 && !stop.stop_requested()) {
            const snd_pcm_sframes_t put = snd_pcm_writei(pcm.get(), at, static_cast<snd_pcm_uframes_t>(frames));
            if (put == -EAGAIN) {
                snd_pcm_wait(pcm.get(), kWaitMs);
            } else if (put < 0 && snd_pcm_recover(pcm.get(), static_cast<int>(put), 1) < 0) {
                std::fprintf(stderr, "%s: cannot play '%s' on '%s': %s\n", program.c_str(), path.c_str(), kDevice,
                             snd_strerror(static_cast<int>(put)));
                return false;
            } else if (put > 0) {
                at += put * file.channels();
                frames -= put;
            }
        }
        return true;
    }

    std::string path;
    std::string program;
    SoundFile file;
    std::unique_ptr<snd_pcm_t, int (*)(snd_pcm_t*)> pcm;
    std::jthread thread;  // from start() on
};

Playback::Playback(const std::string& file, const std::string& program)
    : state_(std::make_unique<State>(file, program))
{
}

void Playback::start()
{
    if (!state_->thread.joinable())
        state_->thread = std::jthread([state = state_.get()](std::stop_token stop) { state->play(stop); });
}

Playback::~Playback() = default;

}  // namespace ledcube::sound
