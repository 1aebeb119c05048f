// Dates as the engine reads them, a day's times over its minutes, and the
// texts of messages.
#include <algorithm>
#include <cmath>

#include "core/schedules/reading.h"

namespace tarvix::schedules::detail {

// A date as the engine reads one: "12/31", "Dec 31", "31 December",
// "12/31/2020", "2nd Monday in October", "Last Sunday in March".
std::optional<Model::SpecialDay> parse_date(std::string_view text) {
    std::string s = upper(trimmed(text));
    for (char& c : s)
        if (c == '/' || c == ':' || c == '-') c = ' ';
    bool weekday_form = false;
    for (std::string_view suffix : {"ST ", "ND ", "RD ", "TH ", "OF ", "IN "}) {
        for (size_t at = s.find(suffix); at != std::string::npos; at = s.find(suffix, at + 1)) {
            s[at] = ' ';
            s[at + 1] = ' ';
            weekday_form = true;
        }
    }
    std::vector<std::string> tokens;
    for (size_t i = 0; i < s.size();) {
        while (i < s.size() && s[i] == ' ') ++i;
        size_t j = i;
        while (j < s.size() && s[j] != ' ') ++j;
        if (j > i) tokens.emplace_back(s.substr(i, j - i));
        i = j;
    }
    Model::SpecialDay date;
    const auto num = [](const std::string& t) { return number(t); };
    if (tokens.size() == 2) {
        const auto a = num(tokens[0]), b = num(tokens[1]);
        if (a && b) {
            date.month = whole(*a);
            date.day = whole(*b);
        } else if (!a && b) {
            date.month = month_named(tokens[0]);
            date.day = whole(*b);
        } else if (a && !b) {
            date.day = whole(*a);
            date.month = month_named(tokens[1]);
        } else {
            return std::nullopt;
        }
        if (date.month < 1 || date.month > 12 || date.day < 1 || date.day > kMonthDays[date.month - 1])
            return std::nullopt;
        return date;
    }
    if (tokens.size() == 3 && weekday_form) {
        const int weekday = weekday_named(tokens[1]) ? weekday_named(tokens[1]) : weekday_named(tokens[2]);
        const int month = month_named(tokens[2]) ? month_named(tokens[2]) : month_named(tokens[1]);
        if (!weekday || !month) return std::nullopt;
        date.weekday = weekday;
        date.month = month;
        if (tokens[0] == "LA") {
            date.form = 2;
        } else if (const auto n = num(tokens[0]); n && *n >= 0 && *n <= 5) {
            date.form = 1;
            date.nth = whole(*n);
        } else {
            return std::nullopt;
        }
        return date;
    }
    if (tokens.size() == 3) {
        const auto a = num(tokens[0]), b = num(tokens[1]), c = num(tokens[2]);
        if (!a || !b || !c) return std::nullopt;
        if (*c > 100) {
            date.month = whole(*a);
            date.day = whole(*b);
        } else if (*a > 100) {
            date.month = whole(*b);
            date.day = whole(*c);
        } else {
            return std::nullopt;
        }
        if (date.month < 1 || date.month > 12 || date.day < 1 || date.day > kMonthDays[date.month - 1])
            return std::nullopt;
        return date;
    }
    return std::nullopt;
}

Interp interp_of(std::string_view text) {
    const std::string s = upper(text);
    if (s.find("NO") != std::string::npos) return Interp::no;
    if (s.find("AVERAGE") != std::string::npos) return Interp::average;
    if (s.find("LINEAR") != std::string::npos) return Interp::linear;
    return Interp::no;
}

std::vector<double> from_minutes(const std::vector<double>& minutes, Interp interp, int n) {
    const int m = 60 / n;
    std::vector<double> out(static_cast<size_t>(24 * n));
    for (int hr = 0; hr < 24; ++hr) {
        for (int ts = 0; ts < n; ++ts) {
            const int first = hr * 60 + ts * m;
            double v = minutes[static_cast<size_t>(first + m - 1)];
            if (interp == Interp::average) {
                v = 0.0;
                for (int k = 0; k < m; ++k) v += minutes[static_cast<size_t>(first + k)];
                v /= m;
            }
            out[static_cast<size_t>(hr * n + ts)] = v;
        }
    }
    return out;
}

DayCover minutes_of(const std::vector<std::pair<std::string_view, double>>& pairs, Interp interp,
                    std::vector<double>& minutes) {
    DayCover cover;
    minutes.assign(1440, 0.0);
    std::vector<char> set(1440, 0);
    int beg_hr = 0, beg_min = 0, end_hr = 0, end_min = 0;
    double previous = 0.0;
    for (size_t k = 0; k < pairs.size(); ++k) {
        std::string text = upper(trimmed(pairs[k].first));
        if (text.starts_with("UNTIL")) text = text.substr(5);
        if (!text.empty() && text[0] == ':') text = text.substr(1);
        const size_t colon = text.find(':');
        const std::string hh = colon == std::string::npos ? std::string() : std::string(trimmed(text.substr(0, colon)));
        const auto h = hh.empty() ? std::optional<double>(0.0) : number(hh);
        const auto mm = colon == std::string::npos ? std::nullopt : number(text.substr(colon + 1));
        if (colon == std::string::npos || !h || !mm || *h < 0 || *h > 24 || *mm < 0 || *mm > 60) {
            if (cover.bad_time < 0) cover.bad_time = static_cast<int>(k);
            continue;
        }
        const int hours = whole(*h);
        int mins = whole(*mm);
        if (hours == 24 && mins > 0 && mins < 60) mins = 0;
        if (mins == 0) {
            end_hr = hours - 1;
            end_min = 59;
        } else if (mins < 60) {
            end_hr = hours;
            end_min = mins - 1;
        }
        const double value = pairs[k].second;
        double start = value, inc = 0.0;
        if (interp == Interp::linear) {
            int total = (end_hr - beg_hr) * 60 + (end_min - beg_min) + 1;
            if (total == 0) total = 1;
            start = k == 0 ? value : previous;
            inc = (value - start) / total;
            start += inc;
        }
        if (beg_hr <= end_hr) {
            for (int m = beg_hr * 60 + beg_min; m <= end_hr * 60 + end_min && m < 1440; ++m) {
                if (m < 0) continue;
                minutes[static_cast<size_t>(m)] = interp == Interp::linear ? start : value;
                if (interp == Interp::linear) start += inc;
                set[static_cast<size_t>(m)] = 1;
            }
            beg_hr = end_hr;
            beg_min = end_min + 1;
            if (beg_min >= 60) {
                beg_hr += 1;
                beg_min = 0;
            }
        }
        previous = value;
    }
    while (cover.last_minute < 1440 && set[static_cast<size_t>(cover.last_minute)]) ++cover.last_minute;
    return cover;
}

std::string clock(int minutes) {
    std::string text = std::to_string(minutes / 60) + ":";
    if (minutes % 60 < 10) text += "0";
    return text + std::to_string(minutes % 60);
}

std::string date_of(int day_of_year) {
    int month = 1;
    while (month < 12 && day_of_year > ordinal_day(month + 1, 0, 1)) ++month;
    return std::to_string(month) + "/" + std::to_string(day_of_year - ordinal_day(month, 0, 1));
}

// A text from a document or a file, for a message: at most 60 bytes of it.
std::string excerpt(std::string_view text, size_t kLongest) {
    if (text.size() <= kLongest) return std::string(text);
    size_t cut = kLongest;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;  // a whole character
    return std::string(text.substr(0, cut)) + "...";
}

}  // namespace tarvix::schedules::detail
