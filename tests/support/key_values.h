#pragma once
// What a child process reports to the test that started it: "key=value" lines, one a finding.

#include <map>
#include <string>

namespace kestrun_test {

// A child's findings, collected as it goes.
class Findings {
  public:
    void set(const std::string& key, const std::string& value);
    void set(const std::string& key, long long value);
    const std::string& text() const { return text_; }

  private:
    std::string text_;
};

// The lines read back.
struct KeyValues {
    std::map<std::string, std::string> values;

    bool has(const std::string& key) const { return values.count(key) != 0; }
    std::string operator[](const std::string& key) const;  // "(not reported)" when missing
    double number(const std::string& key) const;  // NaN when missing or not a number, so no
                                                  // bound can pass on it
};

// Lines without '=' are passed over; of a key given twice the last counts.
KeyValues parse_key_values(const std::string& text);

}  // namespace kestrun_test
