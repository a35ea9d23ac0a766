// Placeholder until the recordings are built.
#include "web/recordings.h"
#include "web/api.h"

namespace ledcube::web {

struct Recordings::State {
    Setup setup;
};

Recordings::Recordings(Setup setup) : state_(std::make_unique<State>(State{std::move(setup)})) {}
Recordings::~Recordings() = default;
const std::filesystem::path& Recordings::folder() const { return state_->setup.folder; }
std::filesystem::path Recordings::existing(std::string_view) const { throw Refusal{404, "not yet"}; }
nlohmann::json Recordings::list() const { return nlohmann::json::array(); }
void Recordings::remove(std::string_view) { throw Refusal{404, "not yet"}; }
void Recordings::startRecording(std::string_view) { throw Refusal{409, "not yet"}; }
void Recordings::stopRecording() { throw Refusal{409, "not yet"}; }
void Recordings::code(uint8_t, const uint8_t*, const storeColor*, const storeColor*) {}
Response Recordings::download(std::string_view, std::string_view) { throw Refusal{404, "not yet"}; }
bool Recordings::tick() { return false; }
nlohmann::json Recordings::state() const { return {{"recording", nullptr}, {"exports", nlohmann::json::array()}}; }

}  // namespace ledcube::web
