// The endpoints of cubesend and cubelisten as their command lines name them,
// the universes they need, and the addresses their names resolve to: the
// functions themselves, without a process.

#include "common/cli.h"
#include "common/process.h"
#include "net/links.h"
#include "net/targets.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>

namespace {

using strip::Destination;
using strip::Protocol;

Destination target(const std::string& text)
{
    std::string error;
    const std::optional<Destination> parsed = strip::parseTarget(text, error);
    EXPECT_TRUE(parsed) << text << ": " << error;
    return parsed.value_or(Destination{});
}

Destination source(const std::string& text)
{
    std::string error;
    const std::optional<Destination> parsed = strip::parseSource(text, error);
    EXPECT_TRUE(parsed) << text << ": " << error;
    return parsed.value_or(Destination{});
}

std::string targetError(const std::string& text)
{
    std::string error;
    EXPECT_FALSE(strip::parseTarget(text, error)) << text;
    return error;
}

std::string sourceError(const std::string& text)
{
    std::string error;
    EXPECT_FALSE(strip::parseSource(text, error)) << text;
    return error;
}

TEST(Endpoints, ATargetTakesEachProtocolsDefaults)
{
    const Destination ddp = target("ddp://127.0.0.1");
    EXPECT_EQ(ddp.protocol, Protocol::Ddp);
    EXPECT_EQ(ddp.host, "127.0.0.1");
    EXPECT_EQ(ddp.port, 4048u);
    const Destination e131 = target("e131://cube.local");
    EXPECT_EQ(e131.protocol, Protocol::E131);
    EXPECT_EQ(e131.port, 5568u);
    EXPECT_EQ(e131.number, 1u);
    const Destination artnet = target("artnet://cube");
    EXPECT_EQ(artnet.port, 6454u);
    EXPECT_EQ(artnet.number, 0u);
    const Destination opc = target("opc://cube");
    EXPECT_EQ(opc.port, 7890u);
    EXPECT_EQ(opc.number, 0u);
}

TEST(Endpoints, PortNumberAndBracketedIpv6AreRead)
{
    const Destination e131 = target("e131://[::1]:6000/7");
    EXPECT_EQ(e131.host, "::1");
    EXPECT_EQ(e131.port, 6000u);
    EXPECT_EQ(e131.number, 7u);
    EXPECT_EQ(e131.text, "e131://[::1]:6000/7");
    const Destination opc = target("opc://127.0.0.1:7000/255");
    EXPECT_EQ(opc.host, "127.0.0.1");
    EXPECT_EQ(opc.port, 7000u);
    EXPECT_EQ(opc.number, 255u);
    EXPECT_EQ(target("artnet://[fe80::1]/32767").number, 32767u);
}

TEST(Endpoints, ASourceMayLeaveOutTheHostOrAllButItsScheme)
{
    const Destination bare = source("e131");
    EXPECT_EQ(bare.protocol, Protocol::E131);
    EXPECT_EQ(bare.host, "");
    EXPECT_EQ(bare.port, 5568u);
    EXPECT_EQ(bare.number, 1u);
    const Destination anyPort = source("ddp://:0");
    EXPECT_EQ(anyPort.host, "");
    EXPECT_EQ(anyPort.port, 0u);
    EXPECT_EQ(source("artnet:///3").number, 3u);
}

TEST(Endpoints, EachFaultIsNamed)
{
    EXPECT_EQ(targetError("e131"), "is not a target: ddp://, e131://, opc://, artnet:// or serial:");
    EXPECT_EQ(targetError("http://cube"), "is not a target: ddp://, e131://, opc://, artnet:// or serial:");
    EXPECT_EQ(sourceError("serial:/dev/ttyUSB0"), "is not a source: e131, artnet, ddp or opc");
    EXPECT_EQ(targetError("ddp://cube/3"), "has a path, which ddp targets do not take");
    EXPECT_EQ(sourceError("ddp://:0/3"), "has a path, which ddp sources do not take");
    EXPECT_EQ(targetError("e131://cube/0"), "has a universe that is not 1 to 63999: '0'");
    EXPECT_EQ(targetError("artnet://cube/32768"), "has a universe that is not 0 to 32767: '32768'");
    EXPECT_EQ(targetError("opc://cube/x"), "has a channel that is not 0 to 255: 'x'");
    EXPECT_EQ(targetError("ddp://[::1"), "has an IPv6 address without its closing ']'");
    EXPECT_EQ(targetError("ddp://[::1]4048"), "has something other than a port after its address");
    EXPECT_EQ(targetError("ddp://::1"), "has an IPv6 address, which goes in brackets: [::1]");
    EXPECT_EQ(targetError("ddp://:4048"), "names no host");
    EXPECT_EQ(targetError("ddp://cube:0"), "has a port that is not 1 to 65535: '0'");
    EXPECT_EQ(sourceError("ddp://:65536"), "has a port that is not 0 to 65535: '65536'");
}

// The usage error that checkUniverses ends a tool with, or "" for none.
std::string universesRefusal(const std::vector<std::string>& endpoints, int edge, unsigned ledsPerUniverse = 170)
{
    char name[] = "cubesend";
    char* argv[] = {name, nullptr};
    const cli::Parser args({"cubesend", ""}, 1, argv);
    std::vector<Destination> parsed;
    for (const std::string& text : endpoints)
        parsed.push_back(target(text));
    try {
        strip::checkUniverses(args, parsed, "target", edge, ledsPerUniverse);
    } catch (const process::Failure& failure) {
        EXPECT_EQ(failure.status, cli::kUsageStatus);
        return failure.what;
    }
    return "";
}

TEST(Universes, TheCubesLastUniverseMayBeTheProtocolsLast)
{
    // Edge 12: 1728 LEDs, 170 to a universe, 11 universes.
    EXPECT_EQ(universesRefusal({"e131://cube/63989", "artnet://cube/32757", "ddp://cube"}, 12), "");
    // 4 to a universe: 432 universes.
    EXPECT_EQ(universesRefusal({"e131://cube/63568"}, 12, 4), "");
}

TEST(Universes, OnePastTheLastIsRefusedNamingTheFirstSuchEndpoint)
{
    EXPECT_EQ(universesRefusal({"ddp://cube", "e131://cube/63990", "artnet://cube/32758"}, 12),
              "target 'e131://cube/63990' needs universes 63990 to 64000, past the last one, 63999 "
              "(try 'cubesend --help')");
    EXPECT_EQ(universesRefusal({"artnet://cube/32758"}, 12),
              "target 'artnet://cube/32758' needs universes 32758 to 32768, past the last one, 32767 "
              "(try 'cubesend --help')");
    EXPECT_EQ(universesRefusal({"e131://cube/63569"}, 12, 4),
              "target 'e131://cube/63569' needs universes 63569 to 64000, past the last one, 63999 "
              "(try 'cubesend --help')");
}

TEST(Universes, TheReasonAloneIsWhatASourcePastTheLastNeeds)
{
    // Edge 5: 125 LEDs, one universe at 170 to a universe, 32 at 4.
    EXPECT_EQ(strip::universesPastTheLast(source("artnet://127.0.0.1/32767"), 5, 170), "");
    EXPECT_EQ(strip::universesPastTheLast(source("artnet://127.0.0.1/32767"), 5, 4),
              "needs universes 32767 to 32798, past the last one, 32767");
    EXPECT_EQ(strip::universesPastTheLast(source("e131://127.0.0.1/63999"), 6, 170),
              "needs universes 63999 to 64000, past the last one, 63999");
    EXPECT_EQ(strip::universesPastTheLast(source("ddp"), 16, 1), "");
    EXPECT_EQ(strip::universesPastTheLast(source("opc://127.0.0.1/255"), 16, 1), "");
}

std::string addressOf(const strip::Address& address)
{
    char text[INET6_ADDRSTRLEN] = {};
    if (address.storage.ss_family == AF_INET6)
        inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6&>(address.storage).sin6_addr, text, sizeof text);
    else
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in&>(address.storage).sin_addr, text, sizeof text);
    return text;
}

TEST(Resolve, LocalhostIsItsIpv4AddressOnBothSides)
{
    for (const bool passive : {false, true}) {
        strip::Address address;
        std::string error;
        ASSERT_TRUE(strip::resolve("localhost", 4048, SOCK_DGRAM, passive, address, error)) << error;
        EXPECT_EQ(address.storage.ss_family, AF_INET);
        EXPECT_EQ(addressOf(address), "127.0.0.1");
        EXPECT_EQ(ntohs(reinterpret_cast<const sockaddr_in&>(address.storage).sin_port), 4048);
    }
}

TEST(Resolve, NoHostListensOnEveryIpv4InterfaceAndIpv6StaysIpv6)
{
    strip::Address address;
    std::string error;
    ASSERT_TRUE(strip::resolve("", 0, SOCK_STREAM, true, address, error)) << error;
    EXPECT_EQ(addressOf(address), "0.0.0.0");
    ASSERT_TRUE(strip::resolve("::1", 7890, SOCK_STREAM, false, address, error)) << error;
    EXPECT_EQ(address.storage.ss_family, AF_INET6);
    EXPECT_EQ(addressOf(address), "::1");
}

}  // namespace
