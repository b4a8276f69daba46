#pragma once
// The performance table's rows as every bench program hands them to scripts/bench: one line
// per row, tab-separated fields, already formatted for the page.

#include <cmath>
#include <cstdio>
#include <stdexcept>
#include <string>

namespace bench {

struct TableRow {
    std::string measure;  // what is measured, and how often (e.g. "start-up to tray icon, 15 runs")
    std::string kestrun;  // kestrun's median
    std::string peer;     // the program it is set against
    std::string peer_value;  // the peer's median, measured in the same run
    std::string ratio;       // kestrun / peer
    std::string budget;      // the target, or "-"
    std::string verdict;     // "met", "missed" or "-"
};

inline void append_row(const std::string& file, const TableRow& row) {
    std::FILE* out = std::fopen(file.c_str(), "a");
    if (out == nullptr) throw std::runtime_error("cannot append to " + file);
    std::fprintf(out, "%s\t%s\t%s\t%s\t%s\t%s\t%s\n", row.measure.c_str(), row.kestrun.c_str(),
                 row.peer.c_str(), row.peer_value.c_str(), row.ratio.c_str(), row.budget.c_str(),
                 row.verdict.c_str());
    std::fclose(out);
}

inline std::string printed(const char* format, double value) {
    char text[64];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

// Three significant figures, in the unit that suits the size.
inline std::string format_seconds(double seconds) {
    const double magnitude = std::fabs(seconds);
    const auto three = [](double v, const char* unit) {
        const char* format = v >= 100 ? "%.0f %s" : v >= 10 ? "%.1f %s" : "%.2f %s";
        char text[64];
        std::snprintf(text, sizeof text, format, v, unit);
        return std::string(text);
    };
    if (magnitude < 1e-3) return three(seconds * 1e6, "µs");
    if (magnitude < 1.0) return three(seconds * 1e3, "ms");
    return three(seconds, "s");
}

inline std::string format_bytes(double bytes) {
    const double magnitude = std::fabs(bytes);
    if (magnitude < 1024.0 * 1024.0) return printed("%.0f KiB", bytes / 1024.0);
    return printed("%.1f MiB", bytes / (1024.0 * 1024.0));
}

// kestrun / peer; below 1 the peer's multiple is shown too ("0.05x, 20x less").
inline std::string format_ratio(double kestrun, double peer) {
    if (peer <= 0.0 || kestrun < 0.0) return "-";
    const double ratio = kestrun / peer;
    if (ratio >= 0.95) return printed("%.2fx", ratio);  // "1.0x less" would say nothing
    if (kestrun <= 0.0) return "0x";
    const double less = peer / kestrun;
    const std::string times = less >= 100 ? printed("%.0f", less) : printed("%.1f", less);
    return printed(ratio >= 0.01 ? "%.2fx" : "%.4fx", ratio) + " (" + times + "x less)";
}

inline std::string verdict(bool met) {
    return met ? "met" : "missed";
}

}  // namespace bench
