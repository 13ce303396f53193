#include "support/ratio_table.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace rvsys::bench {

double Median(std::vector<double> values) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

namespace {

double Min(const std::vector<double>& values) { return *std::min_element(values.begin(), values.end()); }

// Standard deviation / mean of the repetitions: the spread of a figure.
double Cv(const std::vector<double>& values) {
    double sum = 0;
    for (double v : values) sum += v;
    const double mean = sum / static_cast<double>(values.size());
    double squares = 0;
    for (double v : values) squares += (v - mean) * (v - mean);
    return values.size() < 2 || mean == 0 ? 0 : std::sqrt(squares / static_cast<double>(values.size() - 1)) / mean;
}

// Small ratios (a drift against a loop that drifts a lot) keep a third digit.
std::string FormatRatio(double ratio) { return Format(std::fabs(ratio) < 0.095 ? "%.3fx" : "%.2fx", ratio); }

std::string Line(const std::string& ratio, const std::string& best, const std::string& target,
                 const std::string& verdict, const std::string& candidate, const std::string& baseline,
                 const std::string& repetitions, const std::string& figure) {
    char text[512];
    std::snprintf(text, sizeof text, "%-7s %-7s %-8s %-7s %-10s %-10s %-3s %s\n", ratio.c_str(), best.c_str(),
                  target.c_str(), verdict.c_str(), candidate.c_str(), baseline.c_str(), repetitions.c_str(),
                  figure.c_str());
    return text;
}

// What a row shows: medians, their ratio, the ratio of the minimums, and the
// verdict on the figure the target is about.
struct Figures {
    double candidate = 0, baseline = 0, ratio = 0, best = 0;
    std::size_t n = 0;
    const char* verdict = "info";
    std::string target;
};

Figures FiguresOf(const std::vector<double>& candidate, const std::vector<double>& baseline, const Target& target) {
    Figures f;
    f.candidate = Median(candidate);
    f.baseline = Median(baseline);
    f.ratio = f.candidate / f.baseline;
    f.best = Min(candidate) / Min(baseline);
    f.n = std::min(candidate.size(), baseline.size());
    if (target.ratio > 0) {
        f.target = "<=" + Format("%.2fx", target.ratio);
        f.verdict = f.ratio <= target.ratio ? "ok" : "MISS";
    } else if (target.belowNs > 0) {
        // An absolute limit: the baseline is only there to give the ratio.
        f.target = target.belowText != nullptr ? target.belowText : "<" + FormatTime(target.belowNs);
        f.verdict = f.candidate < target.belowNs ? "ok" : "MISS";
    }
    return f;
}

}  // namespace

std::string Format(const char* format, double value) {
    char text[64];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

std::string FormatTime(double ns) {
    const double magnitude = std::fabs(ns);
    if (magnitude < 1e3) return Format("%.1f ns", ns);
    if (magnitude < 1e6) return Format("%.2f us", ns / 1e3);
    if (magnitude < 1e9) return Format("%.2f ms", ns / 1e6);
    return Format("%.3f s", ns / 1e9);
}

std::string JsonNumbers(const std::vector<double>& values) {
    std::string text = "[";
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (i != 0) text += ", ";
        text += Format("%.6g", values[i]);
    }
    return text + "]";
}

std::string JsonString(const std::string& text) {
    std::string quoted = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\') quoted += '\\';
        quoted += c;
    }
    return quoted + "\"";
}

void WriteJsonObject(const std::string& path, const std::string& members) {
    FILE* out = std::fopen(path.c_str(), "w");
    if (out == nullptr) {
        std::fprintf(stderr, "cannot write %s\n", path.c_str());
        return;
    }
    std::fprintf(out, "{%s}\n", members.c_str());
    std::fclose(out);
}

void RatioTable::Add(const std::string& label, const std::vector<double>& candidate,
                     const std::vector<double>& baseline, const Target& target) {
    mRows.push_back(Row{label, candidate, baseline, target});
}

std::string RatioTable::Text() const {
    std::string text = Line("ratio", "min", "target", "verdict", "candidate", "baseline", "n", "figure");
    for (const Row& row : mRows) {
        if (row.candidate.empty() || row.baseline.empty()) {
            text += Line("n/a", "n/a", "", "", "", "", "", row.label);
            continue;
        }
        const Figures f = FiguresOf(row.candidate, row.baseline, row.target);
        text += Line(FormatRatio(f.ratio), FormatRatio(f.best), f.target, f.verdict, FormatTime(f.candidate),
                     FormatTime(f.baseline), std::to_string(f.n), row.label);
    }
    return text;
}

std::string RatioTable::JsonRows() const {
    std::string json;
    for (const Row& row : mRows) {
        if (row.candidate.empty() || row.baseline.empty()) continue;
        const Figures f = FiguresOf(row.candidate, row.baseline, row.target);
        if (!json.empty()) json += ",\n";
        json += "{\"label\": " + JsonString(row.label) + ", \"target\": " + Format("%g", row.target.ratio) +
                ", \"below_ns\": " + Format("%g", row.target.belowNs) + ", \"target_text\": " + JsonString(f.target) +
                ", \"verdict\": \"" + f.verdict + "\", \"ratio\": " + Format("%.6g", f.ratio) +
                ", \"min_ratio\": " + Format("%.6g", f.best) + ", \"n\": " + std::to_string(f.n) +
                ", \"candidate_ns\": " + Format("%.6g", f.candidate) +
                ", \"baseline_ns\": " + Format("%.6g", f.baseline) +
                ", \"candidate_cv\": " + Format("%.4g", Cv(row.candidate)) +
                ", \"baseline_cv\": " + Format("%.4g", Cv(row.baseline)) +
                ", \"candidate_values\": " + JsonNumbers(row.candidate) +
                ", \"baseline_values\": " + JsonNumbers(row.baseline) + "}";
    }
    return json;
}

}  // namespace rvsys::bench
