#include <gtest/gtest.h>

#include "server/streaming/media_tables.h"

namespace {

using zelkit::detail::MediaTables;

TEST(MediaTables, SessionIdsStepOverZero) {
  MediaTables tables;
  EXPECT_EQ(tables.nextSessionId(5), 0x00080005u);
  EXPECT_EQ(tables.nextSessionId(zelkit::detail::NO_LINE), 0x001000FFu);
  tables.sessionIdCounter = 0xFFF00000;
  EXPECT_EQ(tables.nextSessionId(0), 0xFFF80000u);
  // The counter wraps: 0 would read as "no media session" to a client.
  EXPECT_EQ(tables.nextSessionId(0), 0x00080000u);
}

}  // namespace
