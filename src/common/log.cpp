#include "common/log.hpp"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <ctime>
#include <iterator>
#include <memory>
#include <mutex>
#include <optional>

#include <spdlog/sinks/stdout_sinks.h>
#include <spdlog/spdlog.h>
#include <unistd.h>

#include "common/utf8.hpp"

namespace vestrel {
namespace {

std::optional<LogLevel> parse_level(std::string_view text) {
    std::string lower(text);
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (lower == "off") return LogLevel::Off;
    if (lower == "error") return LogLevel::Error;
    if (lower == "warn") return LogLevel::Warn;
    if (lower == "info") return LogLevel::Info;
    if (lower == "debug") return LogLevel::Debug;
    if (lower == "trace") return LogLevel::Trace;
    return std::nullopt;
}

std::string_view trim(std::string_view s) {
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
    return s;
}

// Every target registers itself here so a filter installed later reaches it.
struct Registry {
    std::mutex mutex;
    std::vector<LogTarget*> targets;
    LogFilter filter = LogFilter::parse("");
    bool colour = false;
    std::vector<std::string>* capture = nullptr;
    std::shared_ptr<spdlog::logger> sink;
};

Registry& registry() {
    static Registry instance;
    return instance;
}

const char* level_name(LogLevel level) {
    switch (level) {
        case LogLevel::Error: return "ERROR";
        case LogLevel::Warn: return "WARN";
        case LogLevel::Info: return "INFO";
        case LogLevel::Debug: return "DEBUG";
        case LogLevel::Trace: return "TRACE";
        case LogLevel::Off: break;
    }
    return "OFF";
}

const char* level_colour(LogLevel level) {
    switch (level) {
        case LogLevel::Error: return "\x1b[31m";
        case LogLevel::Warn: return "\x1b[33m";
        case LogLevel::Info: return "\x1b[32m";
        case LogLevel::Debug: return "\x1b[34m";
        case LogLevel::Trace: return "\x1b[36m";
        case LogLevel::Off: break;
    }
    return "";
}

void append_escaped_byte(std::string& out, unsigned char byte) {
    switch (byte) {
        case '\n': out += "\\n"; return;
        case '\r': out += "\\r"; return;
        case '\t': out += "\\t"; return;
        default: fmt::format_to(std::back_inserter(out), "\\x{:02x}", byte); return;
    }
}

}  // namespace

std::string escape_control_characters(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    size_t i = 0;
    while (i < text.size()) {
        const auto lead = static_cast<unsigned char>(text[i]);
        const int sequence = utf8_sequence(text, i);
        if (sequence <= 0) {
            append_escaped_byte(out, lead);
            ++i;
            continue;
        }
        // U+0080-U+009F are the C1 controls: a UTF-8 terminal may take U+009B as CSI.
        const auto length = static_cast<size_t>(sequence);
        const bool control = lead < 0x20 || lead == 0x7F ||
                             (lead == 0xC2 && static_cast<unsigned char>(text[i + 1]) < 0xA0);
        if (control) {
            for (size_t k = 0; k < length; ++k) append_escaped_byte(out, static_cast<unsigned char>(text[i + k]));
        } else {
            out.append(text.substr(i, length));
        }
        i += length;
    }
    return out;
}

LogFilter LogFilter::parse(std::string_view spec) {
    LogFilter filter;
    // A '/' starts env_logger's regex filter on the message text; it is not supported and ignored.
    if (auto slash = spec.find('/'); slash != std::string_view::npos) spec = spec.substr(0, slash);
    while (!spec.empty()) {
        auto comma = spec.find(',');
        std::string_view part = trim(spec.substr(0, comma));
        spec = comma == std::string_view::npos ? std::string_view{} : spec.substr(comma + 1);
        if (part.empty()) continue;
        auto eq = part.find('=');
        if (eq == std::string_view::npos) {
            // A bare word is a level for everything, or else a target enabled at every level.
            if (auto level = parse_level(part)) {
                filter.directives_.push_back({"", *level});
            } else {
                filter.directives_.push_back({std::string(part), LogLevel::Trace});
            }
            continue;
        }
        std::string_view name = trim(part.substr(0, eq));
        std::string_view level_text = trim(part.substr(eq + 1));
        if (part.find('=', eq + 1) != std::string_view::npos) continue;
        auto level = level_text.empty() ? std::optional<LogLevel>(LogLevel::Trace) : parse_level(level_text);
        if (!level) continue;
        filter.directives_.push_back({std::string(name), *level});
    }
    if (filter.directives_.empty()) filter.directives_.push_back({"", LogLevel::Info});
    return filter;
}

LogLevel LogFilter::level_for(std::string_view target) const {
    // Later directives of equal length win, as in env_logger (it keeps the last one).
    const LogDirective* best = nullptr;
    for (const auto& d : directives_) {
        if (!target.starts_with(d.target)) continue;
        if (!best || d.target.size() >= best->target.size()) best = &d;
    }
    return best ? best->level : LogLevel::Off;
}

LogTarget::LogTarget(const char* name) : name_(name) {
    auto& reg = registry();
    std::lock_guard lock(reg.mutex);
    max_level_.store(static_cast<uint8_t>(reg.filter.level_for(name)), std::memory_order_relaxed);
    reg.targets.push_back(this);
}

void log_set_filter(const LogFilter& filter) {
    auto& reg = registry();
    std::lock_guard lock(reg.mutex);
    reg.filter = filter;
    for (LogTarget* t : reg.targets) {
        t->max_level_.store(static_cast<uint8_t>(filter.level_for(t->name_)), std::memory_order_relaxed);
    }
}

LogStyle parse_log_style(std::string_view value) {
    if (value == "always") return LogStyle::Always;
    if (value == "never") return LogStyle::Never;
    return LogStyle::Auto;
}

void log_set_style(LogStyle style) {
    auto& reg = registry();
    std::lock_guard lock(reg.mutex);
    switch (style) {
        case LogStyle::Always: reg.colour = true; break;
        case LogStyle::Never: reg.colour = false; break;
        case LogStyle::Auto: {
            const char* term = std::getenv("TERM");
            reg.colour = isatty(STDERR_FILENO) && !(term && std::string_view(term) == "dumb");
            break;
        }
    }
}

void log_init_from_env() {
    const char* spec = std::getenv("RUST_LOG");
    log_set_filter(LogFilter::parse(spec ? spec : ""));
    const char* style = std::getenv("RUST_LOG_STYLE");
    log_set_style(parse_log_style(style ? style : "auto"));
}

std::string format_log_line(int64_t utc_seconds, LogLevel level, std::string_view target,
                            std::string_view message, bool colour) {
    std::time_t t = static_cast<std::time_t>(utc_seconds);
    std::tm tm{};
    gmtime_r(&t, &tm);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%SZ", &tm);
    // Messages carry paths and other outside text; none may reach the terminal raw.
    const std::string text = escape_control_characters(message);
    if (!colour) {
        return fmt::format("[{} {:<5} {}] {}", stamp, level_name(level), target, text);
    }
    // env_logger dims the brackets and colours the level only.
    return fmt::format("\x1b[90m[\x1b[0m{} {}{:<5}\x1b[0m {}\x1b[90m]\x1b[0m {}", stamp,
                       level_colour(level), level_name(level), target, text);
}

void log_write(const LogTarget& target, LogLevel level, std::string_view message) {
    auto& reg = registry();
    std::lock_guard lock(reg.mutex);
    if (reg.capture) {
        reg.capture->push_back(format_log_line(std::time(nullptr), level, target.name(), message, false));
        return;
    }
    if (!reg.sink) {
        reg.sink = std::make_shared<spdlog::logger>("vestrel", std::make_shared<spdlog::sinks::stderr_sink_mt>());
        reg.sink->set_pattern("%v");
        reg.sink->set_level(spdlog::level::trace);
        reg.sink->flush_on(spdlog::level::trace);
    }
    reg.sink->info(format_log_line(std::time(nullptr), level, target.name(), message, reg.colour));
}

void log_capture(std::vector<std::string>* capture) {
    auto& reg = registry();
    std::lock_guard lock(reg.mutex);
    reg.capture = capture;
}

}  // namespace vestrel
