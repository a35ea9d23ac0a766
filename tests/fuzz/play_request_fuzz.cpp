// Arbitrary bytes as the body of POST /api/play: text that is no JSON is
// left to the API's parser; JSON is either refused with a status and a
// reason, or taken as a plan whose writer is one of the toolkit's programs
// and whose shape with its defaults, as playing() shows it, is taken again
// as the same plan.

#include "web/api.h"
#include "web/playing.h"

#include <algorithm>
#include <cstdlib>

namespace {

constexpr int kEdge = 8;
const std::filesystem::path kPrograms = "/programs";
const std::string kRecording = "/recordings/show.rec";
const std::string kSound = "/recordings/song.flac";

web::PlayChecks checks()
{
    return {kEdge, true,
            [](std::string_view name) -> std::filesystem::path {
                if (name == "show")
                    return kRecording;
                throw web::Refusal{404, "no recording of that name"};
            },
            [](std::string_view name) -> std::filesystem::path {
                if (name == "song.flac")
                    return kSound;
                throw web::Refusal{404, "no sound of that name"};
            }};
}

// With a reason that the API can send as JSON: dump() throws on text that
// is not UTF-8.
bool refusedWell(const web::Refusal& refusal)
{
    (void)nlohmann::json(refusal.message).dump();
    return !refusal.message.empty() && (refusal.status == 400 || refusal.status == 404);
}

// Every writer's command line starts with one of the toolkit's programs;
// no word of it but the program's own path, a recording's and a sound
// file's comes first with a '/'.
void checkArgv(const web::Plan& plan)
{
    if (plan.kind == web::Plan::Kind::program)
        return;
    const std::size_t items = std::max<std::size_t>(plan.effects.size(), 1);
    for (std::size_t item = 0; item < items; ++item) {
        const std::vector<std::string> argv = web::writerArgv(plan, item, kPrograms, kEdge);
        if (argv.empty() || std::filesystem::path(argv[0]).parent_path() != kPrograms)
            std::abort();
        for (std::size_t i = 1; i < argv.size(); ++i)
            if (argv[i].empty() || (argv[i][0] == '/' && argv[i] != kRecording && argv[i] != kSound))
                std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    const nlohmann::json request = nlohmann::json::parse(data, data + size, nullptr, false);
    if (request.is_discarded())
        return 0;
    web::Plan plan;
    try {
        plan = web::checkPlay(request, checks());
    } catch (const web::Refusal& refusal) {
        if (!refusedWell(refusal))
            std::abort();
        return 0;
    }
    checkArgv(plan);
    try {
        if (web::checkPlay(plan.normal, checks()).normal != plan.normal)
            std::abort();
    } catch (const web::Refusal&) {
        std::abort();
    }
    return 0;
}
