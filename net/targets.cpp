#include "net/targets.h"

#include "common/cli.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace strip {

namespace {

constexpr std::string_view kSerialScheme = "serial:";
constexpr std::string_view kSchemeEnd = "://";
constexpr unsigned kMaxPort = 65535;
constexpr unsigned kMaxOpcChannel = 255;
constexpr unsigned kDefaultBaud = 115200;
constexpr unsigned kBitsPerSerialByte = 10;  // 8N1: a start bit, 8 data bits, a stop bit

struct Baud {
    unsigned rate;
    speed_t code;
};
constexpr Baud kBauds[] = {
    {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},     {115200, B115200},
    {230400, B230400},   {460800, B460800},   {500000, B500000},   {576000, B576000},   {921600, B921600},
    {1000000, B1000000}, {1152000, B1152000}, {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000},
    {3000000, B3000000}, {3500000, B3500000}, {4000000, B4000000},
};

struct Scheme {
    std::string_view name;
    Protocol protocol;
    unsigned defaultPort;
    unsigned defaultNumber;
    unsigned minNumber, maxNumber;  // of the part after '/'; none when max is 0
    const char* numberName;
};
// The same four protocols name the controllers that cubesend lights and the
// sources that cubelisten hears.
constexpr Scheme kSchemes[] = {
    {"ddp", Protocol::Ddp, DdpEncoder::kDefaultPort, 0, 0, 0, nullptr},
    {"e131", Protocol::E131, E131Encoder::kDefaultPort, E131Encoder::kDefaultUniverse, 1, E131Encoder::kMaxUniverse,
     "universe"},
    {"opc", Protocol::Opc, OpcEncoder::kDefaultPort, 0, 0, kMaxOpcChannel, "channel"},
    {"artnet", Protocol::ArtNet, ArtNetEncoder::kDefaultPort, ArtNetEncoder::kDefaultUniverse, 0,
     ArtNetEncoder::kMaxUniverse, "universe"},
};

// A whole number from min to max, written plainly in decimal.
bool parseNumber(std::string_view text, unsigned min, unsigned max, unsigned& value)
{
    if (text.empty() || text.size() > 10 || text.find_first_not_of("0123456789") != std::string_view::npos)
        return false;
    const unsigned long n = std::stoul(std::string(text));
    if (n < min || n > max)
        return false;
    value = static_cast<unsigned>(n);
    return true;
}

std::string range(unsigned min, unsigned max)
{
    return std::to_string(min) + " to " + std::to_string(max);
}

std::optional<Destination> parseSerial(Destination destination, std::string& error)
{
    const std::string rest = destination.text.substr(kSerialScheme.size());
    const std::size_t query = rest.find('?');
    destination.protocol = Protocol::Serial;
    destination.device = rest.substr(0, query);
    destination.baud = kDefaultBaud;
    if (destination.device.empty()) {
        error = "names no serial device";
        return {};
    }
    std::string_view parameters = query == std::string::npos ? "" : std::string_view(rest).substr(query + 1);
    while (!parameters.empty()) {
        const std::string_view parameter = parameters.substr(0, parameters.find('&'));
        parameters.remove_prefix(std::min(parameters.size(), parameter.size() + 1));
        const std::size_t equals = parameter.find('=');
        const std::string_view key = parameter.substr(0, equals);
        const std::string_view value = equals == std::string_view::npos ? "" : parameter.substr(equals + 1);
        if (key == "baud") {
            unsigned baud = 0;
            const bool known = parseNumber(value, 1, ~0u, baud) &&
                               std::any_of(std::begin(kBauds), std::end(kBauds), [&](const Baud& b) { return b.rate == baud; });
            if (!known) {
                error = "has a baud rate that a serial port does not take: '" + std::string(value) + "'";
                return {};
            }
            destination.baud = baud;
        } else if (key == "framing" && (value == "adalight" || value == "tpm2")) {
            destination.framing = value == "tpm2" ? Framing::Tpm2 : Framing::Adalight;
        } else if (key == "framing") {
            error = "has a framing other than adalight or tpm2: '" + std::string(value) + "'";
            return {};
        } else {
            error = "has an unknown serial parameter '" + std::string(parameter) + "' (baud, framing)";
            return {};
        }
    }
    return destination;
}

// The scheme that `name` names, or nullptr. A source may be the scheme's
// name alone, without "://".
const Scheme* findScheme(std::string_view name, bool hasAuthority, bool source)
{
    for (const Scheme& scheme : kSchemes) {
        if (name == scheme.name && (hasAuthority || source))
            return &scheme;
    }
    return nullptr;
}

// The universe or channel after the '/'.
bool parsePathNumber(std::string_view number, const Scheme& scheme, bool source, unsigned& value, std::string& error)
{
    if (!scheme.numberName) {
        error = "has a path, which " + std::string(scheme.name) + (source ? " sources" : " targets") + " do not take";
        return false;
    }
    if (!parseNumber(number, scheme.minNumber, scheme.maxNumber, value)) {
        error = "has a " + std::string(scheme.numberName) + " that is not " + range(scheme.minNumber, scheme.maxNumber) +
                ": '" + std::string(number) + "'";
        return false;
    }
    return true;
}

// "[ADDRESS]" or "[ADDRESS]:PORT", an IPv6 address.
bool splitBracketed(std::string_view authority, std::string& host, std::optional<std::string_view>& port,
                    std::string& error)
{
    const std::size_t close = authority.find(']');
    if (close == std::string_view::npos) {
        error = "has an IPv6 address without its closing ']'";
        return false;
    }
    host = authority.substr(1, close - 1);
    const std::string_view after = authority.substr(close + 1);
    if (!after.empty() && !after.starts_with(':')) {
        error = "has something other than a port after its address";
        return false;
    }
    if (!after.empty())
        port = after.substr(1);
    return true;
}

// "HOST", "HOST:PORT", or either with an IPv6 address in brackets.
bool splitAuthority(std::string_view authority, std::string& host, std::optional<std::string_view>& port,
                    std::string& error)
{
    if (authority.starts_with('['))
        return splitBracketed(authority, host, port, error);
    const std::size_t colon = authority.find(':');
    if (colon != std::string_view::npos && authority.find(':', colon + 1) != std::string_view::npos) {
        error = "has an IPv6 address, which goes in brackets: [::1]";
        return false;
    }
    host = authority.substr(0, colon);
    if (colon != std::string_view::npos)
        port = authority.substr(colon + 1);
    return true;
}

// A source's port may be 0, which picks a free one.
bool parsePort(std::string_view text, bool source, unsigned& port, std::string& error)
{
    const unsigned minPort = source ? 0 : 1;
    if (parseNumber(text, minPort, kMaxPort, port))
        return true;
    error = "has a port that is not " + range(minPort, kMaxPort) + ": '" + std::string(text) + "'";
    return false;
}

// "SCHEME://HOST[:PORT][/NUMBER]". A source (`source`) may leave out the
// host, meaning every local address, or everything from "://" on.
std::optional<Destination> parseEndpoint(const std::string& text, bool source, std::string& error)
{
    const std::size_t schemeEnd = text.find(kSchemeEnd);
    const Scheme* scheme = findScheme(std::string_view(text).substr(0, schemeEnd), schemeEnd != std::string::npos, source);
    if (!scheme) {
        error = source ? "is not a source: e131, artnet, ddp or opc"
                       : "is not a target: ddp://, e131://, opc://, artnet:// or serial:";
        return {};
    }
    Destination destination;
    destination.text = text;
    destination.protocol = scheme->protocol;
    destination.port = scheme->defaultPort;
    destination.number = scheme->defaultNumber;
    if (schemeEnd == std::string::npos)
        return destination;
    const std::string_view rest = std::string_view(text).substr(schemeEnd + kSchemeEnd.size());
    const std::size_t slash = rest.find('/');
    if (slash != std::string_view::npos &&
        !parsePathNumber(rest.substr(slash + 1), *scheme, source, destination.number, error))
        return {};
    std::optional<std::string_view> port;
    if (!splitAuthority(rest.substr(0, slash), destination.host, port, error))
        return {};
    if (destination.host.empty() && !source) {
        error = "names no host";
        return {};
    }
    if (port && !parsePort(*port, source, destination.port, error))
        return {};
    return destination;
}

}  // namespace

std::optional<Destination> parseTarget(const std::string& text, std::string& error)
{
    if (text.starts_with(kSerialScheme)) {
        Destination destination;
        destination.text = text;
        return parseSerial(destination, error);
    }
    return parseEndpoint(text, false, error);
}

std::optional<Destination> parseSource(const std::string& text, std::string& error)
{
    return parseEndpoint(text, true, error);
}

std::optional<std::string> FailureReport::update(const std::string& target, const std::string& failure,
                                                 Clock::time_point now)
{
    if (failure.empty()) {
        const bool wasFailing = std::exchange(failing_, false);
        return wasFailing ? std::optional(target + ": sending again") : std::nullopt;
    }
    if (failing_ && now - lastReport_ < kRepeatAfter)
        return std::nullopt;
    const std::string said = target + ": " + failure + (failing_ ? " (still)" : "");
    failing_ = true;
    lastReport_ = now;
    return said;
}

std::unique_ptr<Target> openTarget(const Destination& destination, const FrameShape& shape, std::string& error)
{
    auto target = std::make_unique<Target>();
    target->name = destination.text;
    if (destination.protocol == Protocol::Serial) {
        struct stat status {};
        if (stat(destination.device.c_str(), &status) != 0) {
            error = "cannot open the serial port " + destination.device + " (" + destination.text + "): " + std::strerror(errno);
            return {};
        }
        const auto baud = std::find_if(std::begin(kBauds), std::end(kBauds), [&](const Baud& b) { return b.rate == destination.baud; });
        target->link = serialLink(destination.device, baud->code);
        if (destination.framing == Framing::Tpm2)
            target->encoder = std::make_unique<Tpm2Encoder>();
        else
            target->encoder = std::make_unique<AdalightEncoder>();
        return target;
    }

    Address address;
    std::string why;
    if (!resolve(destination.host, destination.port, destination.protocol == Protocol::Opc ? SOCK_STREAM : SOCK_DGRAM,
                 false, address, why)) {
        error = "cannot resolve the host '" + destination.host + "' (" + destination.text + "): " + why;
        return {};
    }

    switch (destination.protocol) {
    case Protocol::Ddp:
        target->encoder = std::make_unique<DdpEncoder>();
        break;
    case Protocol::E131: {
        char host[HOST_NAME_MAX + 1] = {};
        gethostname(host, sizeof host - 1);
        std::string source = "cubesend on ";
        source += host;
        target->encoder = std::make_unique<E131Encoder>(destination.number, shape.ledsPerUniverse, machineCid(), source);
        break;
    }
    case Protocol::Opc:
        target->encoder = std::make_unique<OpcEncoder>(static_cast<uint8_t>(destination.number));
        break;
    case Protocol::ArtNet:
        target->encoder = std::make_unique<ArtNetEncoder>(destination.number, shape.ledsPerUniverse);
        break;
    case Protocol::Serial:
        break;
    }
    target->link = destination.protocol == Protocol::Opc ? tcpLink(address) : udpLink(address);
    return target;
}

std::string universesPastTheLast(const Destination& destination, int edge, unsigned ledsPerUniverse)
{
    const bool e131 = destination.protocol == Protocol::E131;
    if (!e131 && destination.protocol != Protocol::ArtNet)
        return {};
    const auto side = static_cast<std::size_t>(edge);
    const std::size_t leds = side * side * side;
    const std::size_t last = destination.number + e131Universes(leds, ledsPerUniverse) - 1;
    const unsigned max = e131 ? E131Encoder::kMaxUniverse : ArtNetEncoder::kMaxUniverse;
    if (last <= max)
        return {};
    return "needs universes " + std::to_string(destination.number) + " to " + std::to_string(last) +
           ", past the last one, " + std::to_string(max);
}

void checkUniverses(const cli::Parser& args, const std::vector<Destination>& endpoints, const char* kind, int edge,
                    unsigned ledsPerUniverse)
{
    for (const Destination& endpoint : endpoints) {
        if (const std::string past = universesPastTheLast(endpoint, edge, ledsPerUniverse); !past.empty())
            args.fail(std::string(kind) + " " + cli::quoted(endpoint.text) + " " + past);
    }
}

std::string describe(const Destination& destination, const FrameShape& shape)
{
    const std::size_t bytes = shape.leds * kBytesPerPixel;
    switch (destination.protocol) {
    case Protocol::Ddp: {
        const std::size_t packets = ddpPackets(bytes);
        return std::to_string(packets) + (packets == 1 ? " DDP packet" : " DDP packets") + " a frame";
    }
    case Protocol::E131:
    case Protocol::ArtNet: {
        const std::size_t universes = e131Universes(shape.leds, shape.ledsPerUniverse);
        return "universes " + std::to_string(destination.number) + " to " + std::to_string(destination.number + universes - 1) +
               ", " + std::to_string(shape.ledsPerUniverse) + " LEDs each";
    }
    case Protocol::Opc:
        return "channel " + std::to_string(destination.number) + ", " + std::to_string(bytes) + " data bytes a frame";
    case Protocol::Serial: {
        const bool tpm2 = destination.framing == Framing::Tpm2;
        const std::size_t frameBytes = bytes + (tpm2 ? Tpm2Encoder::kOverhead : AdalightEncoder::kOverhead);
        char rate[32];
        std::snprintf(rate, sizeof rate, "%.1f", double(destination.baud) / kBitsPerSerialByte / double(frameBytes));
        return std::string(tpm2 ? "TPM2" : "Adalight") + " at " + std::to_string(destination.baud) + " baud, at most " +
               rate + " frames a second";
    }
    }
    return {};
}

}  // namespace strip
