// Time texts: fixed widths, English months whatever the locale.
#include "base/clock.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace zelkord::base {
namespace {

TEST(Clock, FixedFormsInLocalTime) {
  setenv("TZ", "UTC", 1);
  tzset();
  const std::time_t when = 1796612660;  // 2026-12-07 03:04:20 UTC
  EXPECT_EQ(base::LongDateTime(when), "Dec 07 2026 03:04:20");
  EXPECT_EQ(base::ConversationStamp(when), "03:04 ");
  EXPECT_EQ(base::DayStamp(when), "20261207");
  EXPECT_EQ(base::ClockTime(when), "03:04:20");
  EXPECT_EQ(base::LongDateTime(0), "Jan 01 1970 00:00:00");
}

}  // namespace
}  // namespace zelkord::base
