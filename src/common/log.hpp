// The program's log: one line per message in the layout below, chosen by the RUST_LOG variable
// with env_logger's rules (a comma list of `target=level` or bare levels, the longest matching
// target prefix wins), so the variable works as in any program that follows that convention.
//
//   [2026-12-10T08:30:36Z INFO  vestrel::cdic] text
//
// Each module declares one `LogTarget` with its module path; a disabled level costs one load and
// one compare at the call site, and the arguments are not evaluated.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <fmt/format.h>

namespace vestrel {

enum class LogLevel : uint8_t { Off = 0, Error = 1, Warn = 2, Info = 3, Debug = 4, Trace = 5 };

// One `target=level` (or bare level, with an empty target) of a RUST_LOG string.
struct LogDirective {
    std::string target;
    LogLevel level;
};

// The parsed RUST_LOG filter: the directive with the longest matching target prefix wins.
class LogFilter {
public:
    // Parses a comma-separated directive list; an empty or absent string means "info".
    // Unparsable parts are skipped, as env_logger does.
    static LogFilter parse(std::string_view spec);

    LogLevel level_for(std::string_view target) const;
    const std::vector<LogDirective>& directives() const { return directives_; }

private:
    std::vector<LogDirective> directives_;
};

// A log target: a module path with its enabled level cached.
class LogTarget {
public:
    explicit LogTarget(const char* name);
    LogTarget(const LogTarget&) = delete;
    LogTarget& operator=(const LogTarget&) = delete;

    bool enabled(LogLevel level) const {
        return static_cast<uint8_t>(level) <= max_level_.load(std::memory_order_relaxed);
    }
    const char* name() const { return name_; }

private:
    friend void log_set_filter(const LogFilter&);
    const char* name_;
    std::atomic<uint8_t> max_level_;
};

// Installs the filter for every target, present and future.
void log_set_filter(const LogFilter& filter);

// Reads RUST_LOG and RUST_LOG_STYLE and installs the standard-error sink.
void log_init_from_env();

enum class LogStyle : uint8_t { Auto, Always, Never };
LogStyle parse_log_style(std::string_view value);
void log_set_style(LogStyle style);

// Outside text (paths, names, other programs' errors) made safe for a terminal: the control
// characters (C0, DEL, and C1 as UTF-8) and the bytes that are not UTF-8 become `\n`, `\r`, `\t`
// or `\xNN` escapes, one per byte, so no name can move the cursor, set the title or start a line.
std::string escape_control_characters(std::string_view text);

// Formats one line without its newline, the message escaped as above; `utc_seconds` is seconds
// since the Unix epoch.
std::string format_log_line(int64_t utc_seconds, LogLevel level, std::string_view target,
                            std::string_view message, bool colour);

// Writes one formatted line to the sink (standard error unless a test captured it).
void log_write(const LogTarget& target, LogLevel level, std::string_view message);

// Sends the lines to `capture` instead of standard error (tests); nullptr restores.
void log_capture(std::vector<std::string>* capture);

}  // namespace vestrel

#define VESTREL_LOG(target, level, ...)                                             \
    do {                                                                            \
        if ((target).enabled(level)) [[unlikely]]                                   \
            ::vestrel::log_write((target), (level), ::fmt::format(__VA_ARGS__));    \
    } while (0)

#define LOG_ERROR(target, ...) VESTREL_LOG(target, ::vestrel::LogLevel::Error, __VA_ARGS__)
#define LOG_WARN(target, ...) VESTREL_LOG(target, ::vestrel::LogLevel::Warn, __VA_ARGS__)
#define LOG_INFO(target, ...) VESTREL_LOG(target, ::vestrel::LogLevel::Info, __VA_ARGS__)
#define LOG_DEBUG(target, ...) VESTREL_LOG(target, ::vestrel::LogLevel::Debug, __VA_ARGS__)
#define LOG_TRACE(target, ...) VESTREL_LOG(target, ::vestrel::LogLevel::Trace, __VA_ARGS__)
