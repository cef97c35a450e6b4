#include "common/log.hpp"

#include <gtest/gtest.h>

namespace vestrel {
namespace {

TEST(LogFilter, DirectiveRules) {
    struct Case {
        const char* spec;
        const char* target;
        LogLevel expected;
    };
    const Case cases[] = {
        {"", "vestrel::cdic", LogLevel::Info},
        {"debug", "vestrel::cdic", LogLevel::Debug},
        {"vestrel::cdic=trace", "vestrel::cdic", LogLevel::Trace},
        {"vestrel::cdic=trace", "vestrel::bus", LogLevel::Off},
        {"warn,vestrel=debug", "vestrel::bus", LogLevel::Debug},
        {"warn,vestrel=debug", "m68k", LogLevel::Warn},
        {"vestrel=debug,vestrel::cdic=error", "vestrel::cdic", LogLevel::Error},
        {"vestrel::cdic=error,vestrel=debug", "vestrel::cdic", LogLevel::Error},
        {"vestrel=info,vestrel=trace", "vestrel::x", LogLevel::Trace},
        {"vestrel::slave", "vestrel::slave", LogLevel::Trace},
        {" info , vestrel::bus = OFF ", "vestrel::bus", LogLevel::Off},
        {"bogus=loud,info", "vestrel", LogLevel::Info},
        {"error/some regex", "vestrel", LogLevel::Error},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(LogFilter::parse(c.spec).level_for(c.target), c.expected)
            << "RUST_LOG=\"" << c.spec << "\" target " << c.target;
    }
}

TEST(LogLine, EnvLoggerLayout) {
    // 2026-12-10T08:30:36Z
    const int64_t t = 1796891436;
    EXPECT_EQ(format_log_line(t, LogLevel::Info, "vestrel::cdic", "text", false),
              "[2026-12-10T08:30:36Z INFO  vestrel::cdic] text");
    EXPECT_EQ(format_log_line(t, LogLevel::Error, "vestrel", "x", false),
              "[2026-12-10T08:30:36Z ERROR vestrel] x");
    EXPECT_EQ(format_log_line(t, LogLevel::Warn, "m68k", "", false), "[2026-12-10T08:30:36Z WARN  m68k] ");
}

LogTarget test_target("vestrel::log_test");

TEST(LogTarget, FilterReachesTargetsAndSkipsArguments) {
    std::vector<std::string> lines;
    log_capture(&lines);
    int evaluated = 0;
    auto count = [&] { return ++evaluated; };

    log_set_filter(LogFilter::parse("vestrel::log_test=warn"));
    LOG_INFO(test_target, "hidden {}", count());
    LOG_WARN(test_target, "shown {}", count());
    EXPECT_EQ(evaluated, 1);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_TRUE(lines[0].ends_with(" WARN  vestrel::log_test] shown 1")) << lines[0];

    log_set_filter(LogFilter::parse(""));
    log_capture(nullptr);
}

TEST(LogStyle, Parse) {
    EXPECT_EQ(parse_log_style("always"), LogStyle::Always);
    EXPECT_EQ(parse_log_style("never"), LogStyle::Never);
    EXPECT_EQ(parse_log_style("auto"), LogStyle::Auto);
    EXPECT_EQ(parse_log_style("other"), LogStyle::Auto);
}

}  // namespace
}  // namespace vestrel
