// Placeholder until what plays is built.
#include "web/control.h"
#include "web/api.h"

namespace ledcube::web {

struct Control::State {};

Control::Control(Setup, const Recordings&) : state_(std::make_unique<State>()) {}
Control::~Control() = default;
void Control::play(const nlohmann::json&) { throw Refusal{501, "not yet"}; }
void Control::stop() {}
bool Control::tick() { return false; }
nlohmann::json Control::playing() const { return nullptr; }
nlohmann::json Control::effects() { return nlohmann::json::object(); }

}  // namespace ledcube::web
