// The hash that names frames in traces and seeds each effect's chance: the
// published FNV-1a values, so that a change to it is seen.

#include "common/fnv.h"

#include <gtest/gtest.h>

#include <array>

namespace {

TEST(Fnv1a, GivesThePublishedValues)
{
    EXPECT_EQ(fnv::hash(""), 0x811c9dc5u);
    EXPECT_EQ(fnv::hash("a"), 0xe40c292cu);
    EXPECT_EQ(fnv::hash("foobar"), 0xbf9cf968u);
}

TEST(Fnv1a, BytesAndTextOfTheSameBytesHashAlike)
{
    const std::array<unsigned char, 3> bytes{'r', 'a', 'i'};
    EXPECT_EQ(fnv::hash(bytes), fnv::hash("rai"));
    EXPECT_NE(fnv::hash("rain"), fnv::hash("rai"));
}

}  // namespace
