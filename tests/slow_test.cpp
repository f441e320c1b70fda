// The shipped server's real idle time-out: 60 ticks of 5 seconds.
#include <gtest/gtest.h>

#include "harness.hpp"

using namespace chat_test;

TEST(SlowTimeout, LoggedInSilentClientIsLoggedOutAfterFiveMinutes)
{
    Server server(server_binary());
    server.start();
    Client silent(server.port());
    login(silent, "010020030", "sleepy");
    auto start = clock_type::now();
    std::string got = silent.read_until(timeout_notice("010020030", "sleepy"), 400s);
    auto waited = std::chrono::duration_cast<std::chrono::seconds>(clock_type::now() - start);
    ASSERT_NE(got, "") << "no time-out notice";
    EXPECT_GE(waited.count(), 280);
    EXPECT_LE(waited.count(), 330);
    EXPECT_TRUE(silent.closed_within());
}
