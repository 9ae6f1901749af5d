// Broken internal invariants. These are the only C++ exceptions thrown below the
// Python boundary; the call entry turns them into PanicException with a report.
#pragma once

#include <source_location>
#include <stdexcept>
#include <string>

namespace tarnwick::base {

class Fault : public std::logic_error {
public:
    Fault(const std::string& message, std::source_location where)
        : std::logic_error(message), where_(where) {}
    const std::source_location& where() const noexcept { return where_; }

private:
    std::source_location where_;
};

[[noreturn]] void fault(const std::string& message,
                        std::source_location where = std::source_location::current());

// Checked index into caller-sized data.
inline void check_index(std::size_t index, std::size_t len,
                        std::source_location where = std::source_location::current()) {
    if (index >= len) {
        fault("index " + std::to_string(index) + " out of bounds for length " + std::to_string(len),
              where);
    }
}

}  // namespace tarnwick::base
