// Test helper: captures every log line at trace level for the lifetime of the object.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "common/log.hpp"

namespace vestrel {

class LogCapture {
public:
    LogCapture() {
        log_set_filter(LogFilter::parse("trace"));
        log_capture(&lines_);
    }
    ~LogCapture() {
        log_capture(nullptr);
        log_set_filter(LogFilter::parse(""));
    }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    size_t count_containing(const std::string& text) const {
        size_t n = 0;
        for (const auto& l : lines_) n += l.find(text) != std::string::npos;
        return n;
    }
    bool has(const std::string& text) const { return count_containing(text) != 0; }
    bool has_line_ending(const std::string& text) const {
        for (const auto& l : lines_) {
            if (l.size() >= text.size() && l.compare(l.size() - text.size(), text.size(), text) == 0)
                return true;
        }
        return false;
    }
    const std::vector<std::string>& lines() const { return lines_; }
    void clear() { lines_.clear(); }

private:
    std::vector<std::string> lines_;
};

}  // namespace vestrel
