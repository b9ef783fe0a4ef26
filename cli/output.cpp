// SPDX-License-Identifier: Apache-2.0
// Argument parsing, tables, JSON text and the progress bar.
#include "output.h"

#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdarg>
#include <mutex>
#include <thread>

namespace zcli {

std::string Args::get(const std::string &name, const std::string &fallback) const {
    const auto it = values.find(name);
    return it == values.end() ? fallback : it->second;
}

uint64_t Args::get_u64(const std::string &name, uint64_t fallback, uint64_t lo, uint64_t hi) const {
    const auto it = values.find(name);
    if (it == values.end()) return fallback;
    uint64_t v;
    if (!parse_u64(it->second, v) || v < lo || v > hi)
        throw CliError(kExitUsage, "--" + name + " wants a whole number from " + std::to_string(lo) + " to " +
                                       std::to_string(hi) + ", not '" + it->second + "'");
    return v;
}

bool parse_u64(const std::string &s, uint64_t &out) {
    if (s.empty()) return false;
    const auto r = std::from_chars(s.data(), s.data() + s.size(), out);
    return r.ec == std::errc() && r.ptr == s.data() + s.size();
}

std::vector<float> parse_vector_text(const std::string &s) {
    std::vector<float> v;
    size_t i = 0;
    while (i <= s.size()) {
        size_t j = s.find(',', i);
        if (j == std::string::npos) j = s.size();
        std::string part = s.substr(i, j - i);
        part.erase(0, part.find_first_not_of(" \t"));
        part.erase(part.find_last_not_of(" \t") + 1);
        float f;
        const char *b = part.data(), *e = part.data() + part.size();
        if (!part.empty() && *b == '+') ++b;
        const auto r = std::from_chars(b, e, f);
        if (part.empty() || r.ec != std::errc() || r.ptr != e || !std::isfinite(f))
            throw CliError(kExitUsage, "vector component " + std::to_string(v.size() + 1) + " ('" + part +
                                           "') is not a finite number");
        v.push_back(f);
        i = j + 1;
    }
    return v;
}

namespace {

const OptionSpec *find_option(const CommandSpec &spec, const std::string &name, char short_name) {
    for (const OptionSpec &o : spec.options)
        if ((short_name && o.short_name == short_name) || (!short_name && name == o.name)) return &o;
    return nullptr;
}

}  // namespace

Args parse_args(const CommandSpec &spec, const std::vector<std::string> &argv) {
    Args a;
    bool only_positional = false;
    for (size_t i = 0; i < argv.size(); ++i) {
        const std::string &w = argv[i];
        if (only_positional || w.size() < 2 || w[0] != '-' || (w[1] >= '0' && w[1] <= '9')) {
            a.positional.push_back(w);
            continue;
        }
        if (w == "--") {
            only_positional = true;
            continue;
        }
        if (w == "--help" || w == "-h") {
            a.values["help"] = "";
            continue;
        }
        std::string name, value;
        bool inline_value = false;
        const OptionSpec *o;
        if (w[1] == '-') {
            const size_t eq = w.find('=');
            name = w.substr(2, eq == std::string::npos ? std::string::npos : eq - 2);
            if (eq != std::string::npos) value = w.substr(eq + 1), inline_value = true;
            o = find_option(spec, name, 0);
        } else {
            if (w.size() != 2)
                throw CliError(kExitUsage, "unknown option '" + w + "' (try zevud " + spec.name + " --help)");
            o = find_option(spec, "", w[1]);
        }
        if (!o) throw CliError(kExitUsage, "unknown option '" + w + "' (try zevud " + spec.name + " --help)");
        if (o->value && !inline_value) {
            if (i + 1 >= argv.size())
                throw CliError(kExitUsage, "option --" + std::string(o->name) + " needs a value");
            value = argv[++i];
        } else if (!o->value && inline_value) {
            throw CliError(kExitUsage, "option --" + std::string(o->name) + " takes no value");
        }
        a.values[o->name] = value;
    }
    if (a.has("help")) return a;
    if (a.positional.size() < spec.min_positional || a.positional.size() > spec.max_positional)
        throw CliError(kExitUsage,
                       std::string("usage: zevud ") + spec.name + " " + spec.usage + " (try --help)");
    return a;
}

std::string help_text(const CommandSpec &spec) {
    std::string s =
        std::string("usage: zevud ") + spec.name + " " + spec.usage + "\n\n" + spec.summary + "\n";
    if (spec.details) s += std::string("\n") + spec.details + "\n";
    s += "\noptions:\n";
    std::vector<OptionSpec> all = spec.options;
    all.push_back({"help", 'h', nullptr, "show this help"});
    for (const OptionSpec &o : all) {
        std::string left = "  ";
        left += o.short_name ? std::string("-") + o.short_name + ", " : "    ";
        left += std::string("--") + o.name + (o.value ? std::string(" ") + o.value : "");
        if (left.size() < 30)
            left.resize(30, ' ');
        else
            left += "  ";
        s += left + o.help + "\n";
    }
    return s;
}

std::string Table::render() const {
    std::vector<size_t> w(headers_.size());
    for (size_t c = 0; c < w.size(); ++c) w[c] = headers_[c].size();
    for (const auto &r : rows_)
        for (size_t c = 0; c < r.size() && c < w.size(); ++c) w[c] = std::max(w[c], r[c].size());
    auto line = [&](const std::vector<std::string> &cells) {
        std::string s;
        for (size_t c = 0; c < w.size(); ++c) {
            std::string cell = c < cells.size() ? cells[c] : "";
            if (c + 1 < w.size()) cell.resize(w[c], ' ');
            s += cell + (c + 1 < w.size() ? "  " : "");
        }
        return s + "\n";
    };
    std::string out = line(headers_);
    std::vector<std::string> rule;
    for (size_t c : w) rule.push_back(std::string(c, '-'));
    out += line(rule);
    for (const auto &r : rows_) out += line(r);
    return out;
}

std::string json_escape(const std::string &s) {
    std::string o = "\"";
    for (unsigned char c : s) {
        if (c == '"' || c == '\\')
            o += '\\', o += char(c);
        else if (c == '\n')
            o += "\\n";
        else if (c == '\t')
            o += "\\t";
        else if (c < 0x20)
            o += fmt("\\u%04x", c);
        else
            o += char(c);
    }
    return o + "\"";
}

std::string json_number(double v) {
    if (!std::isfinite(v)) return "null";
    return fmt("%.9g", v);
}

std::string fmt(const char *format, ...) {
    va_list ap, ap2;
    va_start(ap, format);
    va_copy(ap2, ap);
    const int n = std::vsnprintf(nullptr, 0, format, ap);
    va_end(ap);
    std::string s(size_t(n > 0 ? n : 0), '\0');
    std::vsnprintf(s.data(), s.size() + 1, format, ap2);
    va_end(ap2);
    return s;
}

Progress::Progress(std::string label, uint64_t total)
    : label_(std::move(label)), total_(total), enabled_(isatty(STDERR_FILENO) == 1) {}

Progress::~Progress() { finish(); }

void Progress::update(uint64_t done) {
    if (!enabled_ || done_ || total_ == 0) return;
    const int pct = int(done * 100 / total_);
    if (pct == last_percent_) return;
    last_percent_ = pct;
    const int width = 30, fill = pct * width / 100;
    std::fprintf(stderr, "\r%s [%s%s] %3d%% (%llu/%llu)", label_.c_str(),
                 std::string(size_t(fill), '#').c_str(), std::string(size_t(width - fill), ' ').c_str(), pct,
                 (unsigned long long)done, (unsigned long long)total_);
    std::fflush(stderr);
}

void Progress::finish() {
    if (!enabled_ || done_) return;
    done_ = true;
    if (last_percent_ >= 0) std::fprintf(stderr, "\n");
}

struct Ticker::State {
    std::string label;
    std::mutex m;
    std::condition_variable cv;
    bool stop = false;
    std::thread t;
};

Ticker::Ticker(std::string label) {
    if (isatty(STDERR_FILENO) != 1) return;
    s_ = std::make_unique<State>();
    s_->label = std::move(label);
    State *st = s_.get();
    st->t = std::thread([st] {
        const auto t0 = std::chrono::steady_clock::now();
        std::unique_lock<std::mutex> lock(st->m);
        for (;;) {
            const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
            std::fprintf(stderr, "\r%s ... %.0fs", st->label.c_str(), secs);
            std::fflush(stderr);
            if (st->cv.wait_for(lock, std::chrono::milliseconds(500), [st] { return st->stop; })) break;
        }
        std::fprintf(stderr, "\n");
    });
}

Ticker::~Ticker() { finish(); }

void Ticker::finish() {
    if (!s_) return;
    {
        std::lock_guard<std::mutex> lock(s_->m);
        s_->stop = true;
    }
    s_->cv.notify_one();
    s_->t.join();
    s_.reset();
}

}  // namespace zcli
