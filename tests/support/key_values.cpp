#include "key_values.h"

#include <cmath>
#include <cstdlib>
#include <sstream>

namespace kestrun_test {

void Findings::set(const std::string& key, const std::string& value) {
    text_ += key + '=' + value + '\n';
}

void Findings::set(const std::string& key, long long value) {
    set(key, std::to_string(value));
}

std::string KeyValues::operator[](const std::string& key) const {
    const auto it = values.find(key);
    return it == values.end() ? "(not reported)" : it->second;
}

double KeyValues::number(const std::string& key) const {
    const auto it = values.find(key);
    if (it == values.end() || it->second.empty()) return std::nan("");
    char* end = nullptr;
    const double value = std::strtod(it->second.c_str(), &end);
    return *end == '\0' ? value : std::nan("");
}

KeyValues parse_key_values(const std::string& text) {
    KeyValues result;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        const auto eq = line.find('=');
        if (eq != std::string::npos) result.values[line.substr(0, eq)] = line.substr(eq + 1);
    }
    return result;
}

}  // namespace kestrun_test
