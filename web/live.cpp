#include "web/live.h"

#include "lbox/lFrame.h"

#include <algorithm>
#include <cmath>

namespace ledcube::web {

namespace {

constexpr std::array<int, strip::kAxes> kStripOrder{0, 1, 2};  // x fastest, then y, then z
constexpr auto kMeasureEvery = std::chrono::seconds(1);

}  // namespace

void packFrame(const storeColor* table, const strip::Wiring& order, uint32_t number, std::size_t headroom,
               std::vector<uint8_t>& out)
{
    out.resize(headroom + kFrameHeaderSize + order.size() * strip::kBytesPerPixel);
    uint8_t* message = out.data() + headroom;
    message[0] = kFrameVersion;
    message[1] = static_cast<uint8_t>(std::cbrt(static_cast<double>(order.size())) + 0.5);
    message[2] = static_cast<uint8_t>(number >> 24);
    message[3] = static_cast<uint8_t>(number >> 16);
    message[4] = static_cast<uint8_t>(number >> 8);
    message[5] = static_cast<uint8_t>(number);
    strip::toPixels(table, order, strip::ColourCorrection{}, message + kFrameHeaderSize);
}

Live::Live(int edge) : edge_(edge), order_(strip::axisWiring(edge, kStripOrder, false))
{
    // Frame 0: the unlit cube that the receiver starts from, for a client
    // that connects before the first release.
    const std::vector<storeColor> unlit(order_.size(), lFrame::kUnlit);
    packFrame(unlit.data(), order_, number_, 0, message_);
}

void Live::shown(const storeColor* table)
{
    {
        std::lock_guard hold(lock_);
        packFrame(table, order_, ++number_, 0, message_);
    }
    frames_.fetch_add(1, std::memory_order_relaxed);
    if (onFrame)
        onFrame();
}

uint32_t Live::newest(uint32_t have, std::size_t headroom, std::vector<uint8_t>& out) const
{
    std::lock_guard hold(lock_);
    if (number_ == have)
        return have;
    out.resize(headroom + message_.size());
    std::copy(message_.begin(), message_.end(), out.begin() + static_cast<std::ptrdiff_t>(headroom));
    return number_;
}

bool Live::measure(Clock::time_point now)
{
    if (now - mark_ < kMeasureEvery)
        return false;
    const uint64_t frames = frames_.load(std::memory_order_relaxed);
    const double seconds = std::chrono::duration<double>(now - mark_).count();
    const double fps = std::round(static_cast<double>(frames - framesAtMark_) / seconds * 10) / 10;
    framesAtMark_ = frames;
    mark_ = now;
    const bool changed = fps != fps_;
    fps_ = fps;
    return changed;
}

void Live::setBrightness(double brightness)
{
    brightness_ = std::clamp(brightness, 0.0, 1.0);
    if (onBrightness)
        onBrightness(brightness_);
}

}  // namespace ledcube::web
