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

TEST(LogLine, OutsideTextIsEscaped) {
    using namespace std::string_view_literals;
    struct Case {
        std::string_view text;
        std::string_view expected;
    };
    const Case cases[] = {
        {"disco.bin", "disco.bin"},
        // Italian text and other UTF-8 stay as they are, the no-break space (U+00A0) included.
        {"Città: è già lì, 5 €, 😀", "Città: è già lì, 5 €, 😀"},
        {"a\xc2\xa0" "b", "a\xc2\xa0" "b"},
        {"C:\\dischi\\x1b", "C:\\dischi\\x1b"},
        // A terminal title, a screen clear and a forged line.
        {"\x1b]0;preso\x07" ".bin", "\\x1b]0;preso\\x07.bin"},
        {"\x1b[2J", "\\x1b[2J"},
        {"a.bin\n[2026-12-10T08:30:36Z INFO  vestrel] falso", "a.bin\\n[2026-12-10T08:30:36Z INFO  vestrel] falso"},
        {"\r\t\x7f", "\\r\\t\\x7f"},
        {"a\0b"sv, "a\\x00b"},
        {"\x01\x1f", "\\x01\\x1f"},
        // C1 controls, as UTF-8 (U+009B, U+0085) and as lone bytes.
        {"\xc2\x9b" "31m", "\\xc2\\x9b31m"},
        {"\xc2\x85", "\\xc2\\x85"},
        {"\x9b" "2J", "\\x9b2J"},
        // Bytes that are not UTF-8: Latin-1, cut sequences, overlong forms, surrogates.
        {"citt\xe0", "citt\\xe0"},
        {"\xc3", "\\xc3"},
        {"\xe2\x82", "\\xe2\\x82"},
        {"\xe2\x82" "x", "\\xe2\\x82x"},
        {"\xc0\xaf", "\\xc0\\xaf"},
        {"\xed\xa0\x80", "\\xed\\xa0\\x80"},
        {"\xf4\x90\x80\x80", "\\xf4\\x90\\x80\\x80"},
        {"\xff", "\\xff"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(escape_control_characters(c.text), c.expected) << c.expected;
    }

    // In the line, plain and coloured: the sink's own colour codes stay.
    const int64_t t = 1796891436;
    EXPECT_EQ(format_log_line(t, LogLevel::Warn, "vestrel", "a\x1b[2J\n", false),
              "[2026-12-10T08:30:36Z WARN  vestrel] a\\x1b[2J\\n");
    EXPECT_EQ(format_log_line(t, LogLevel::Info, "vestrel", "\x1b]0;t\x07", true),
              "\x1b[90m[\x1b[0m2026-12-10T08:30:36Z \x1b[32mINFO \x1b[0m vestrel\x1b[90m]\x1b[0m \\x1b]0;t\\x07");
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
