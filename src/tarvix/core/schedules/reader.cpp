#include <algorithm>
#include <cmath>
#include <unordered_map>

#include "core/schedules/reader.h"

namespace tarvix::schedules::detail {

void Reader::read_days() {
    const int n = model_.timesteps;
    for (const Named& o : objects(Cls::day_hourly)) {
        std::vector<double> v(static_cast<size_t>(24 * n));
        for (int hr = 0; hr < 24; ++hr)
            for (int ts = 0; ts < n; ++ts) v[static_cast<size_t>(hr * n + ts)] = number_or(at(o.values, 2 + hr), 0.0);
        day_index_.emplace(upper(at(o.values, 0)), add_day(std::move(v)));
    }
    std::vector<double> minutes;
    for (const Named& o : objects(Cls::day_interval)) {
        const Interp interp = interp_of(at(o.values, 2));
        std::vector<std::pair<std::string_view, double>> pairs;
        for (size_t k = 3; k + 1 < o.values.size(); k += 2)
            pairs.emplace_back(at(o.values, static_cast<int32_t>(k)),
                               number_or(at(o.values, static_cast<int32_t>(k + 1)), 0.0));
        check_day(minutes_of(pairs, interp, minutes), o.slot, 3, 2, pairs);
        day_index_.emplace(upper(at(o.values, 0)), add_day(from_minutes(minutes, interp, n)));
    }
    for (const Named& o : objects(Cls::day_list)) {
        const Interp interp = interp_of(at(o.values, 2)) == Interp::average ? Interp::average : Interp::no;
        const int per = whole(number_or(at(o.values, 3), 60.0));
        minutes.assign(1440, 0.0);
        if (per > 0 && 60 % per == 0)
            for (int m = 0; m < 1440; ++m) minutes[static_cast<size_t>(m)] = number_or(at(o.values, 4 + m / per), 0.0);
        day_index_.emplace(upper(at(o.values, 0)), add_day(from_minutes(minutes, interp, n)));
    }
}

void Reader::read_weeks() {
    for (const Named& o : objects(Cls::week_daily)) {
        std::array<int32_t, kDayTypes + 1> week;
        week.fill(missing_day());
        for (int d = 1; d <= kDayTypes; ++d) {
            const int32_t day = day_named(at(o.values, d));
            if (day >= 0) week[static_cast<size_t>(d)] = day;
        }
        model_.weeks.push_back(week);
        week_index_.emplace(upper(at(o.values, 0)), static_cast<int32_t>(model_.weeks.size() - 1));
    }
    for (const Named& o : objects(Cls::week_compact)) {
        std::array<int32_t, kDayTypes + 1> week;
        week.fill(missing_day());
        std::array<bool, kDayTypes + 1> already{}, these{};
        for (size_t k = 1; k + 1 < o.values.size(); k += 2) {
            std::string_view days = at(o.values, static_cast<int32_t>(k));
            if (upper(days).starts_with("FOR")) days = days.substr(3);
            for_days(days, these, already);
            const int32_t day = day_named(at(o.values, static_cast<int32_t>(k + 1)));
            for (int d = 0; d <= kDayTypes; ++d)
                if (these[static_cast<size_t>(d)]) {
                    already[static_cast<size_t>(d)] = true;
                    if (day >= 0) week[static_cast<size_t>(d)] = day;
                }
        }
        check_week(already, o.slot, -1, "the week", true);
        model_.weeks.push_back(week);
        week_index_.emplace(upper(at(o.values, 0)), static_cast<int32_t>(model_.weeks.size() - 1));
    }
}

void Reader::read_years() {
    for (const Named& o : objects(Cls::year)) {
        std::vector<int32_t> weeks(367, -1);
        for (size_t k = 2; k + 4 < o.values.size() + 1; k += 5) {
            const int32_t week = week_named(at(o.values, static_cast<int32_t>(k)));
            if (week < 0) continue;
            const int start = ordinal_day(whole(number_or(at(o.values, static_cast<int32_t>(k + 1)), 1)),
                                          whole(number_or(at(o.values, static_cast<int32_t>(k + 2)), 1)), 1);
            const int end = ordinal_day(whole(number_or(at(o.values, static_cast<int32_t>(k + 3)), 12)),
                                        whole(number_or(at(o.values, static_cast<int32_t>(k + 4)), 31)), 1);
            if (start < 1 || end < 1 || start > 366 || end > 366) continue;
            if (start <= end) {
                for (int d = start; d <= end; ++d) weeks[static_cast<size_t>(d)] = week;
            } else {
                for (int d = start; d <= 366; ++d) weeks[static_cast<size_t>(d)] = week;
                for (int d = 1; d <= end; ++d) weeks[static_cast<size_t>(d)] = week;
            }
        }
        int missing = 0;
        for (int d = 1; d <= 366; ++d)
            if (weeks[static_cast<size_t>(d)] < 0 && d != 60) ++missing;
        if (missing)
            finding(Model::FindingKind::incomplete, o.slot, -1,
                    std::to_string(missing) + " days of the year have no week schedule; the engine stops at them.");
        add_schedule(o, std::move(weeks));
    }
}

// Each schedule against the limits of its ScheduleTypeLimits (both limits
// given), over every value it can take, the 0.0 of a day type it leaves
// without a day schedule included, as the engine checks it.
void Reader::check_limits() {
    struct Limits {
        double lower, upper;
    };
    StringMap<Limits> limits;
    for (const Named& o : objects(Cls::type_limits)) {
        const auto lower = number(at(o.values, 1)), upper_limit = number(at(o.values, 2));
        if (lower && upper_limit) limits.emplace(upper(at(o.values, 0)), Limits{*lower, *upper_limit});
    }
    if (limits.empty()) return;
    std::unordered_map<size_t, const Named*> by_slot;
    for (const Cls cls : {Cls::constant, Cls::compact, Cls::year, Cls::file})
        for (const Named& o : objects(cls)) by_slot.emplace(o.slot, &o);
    std::vector<char> seen_week(model_.weeks.size());
    for (size_t i = 0; i < model_.names.size(); ++i) {
        const auto object = by_slot.find(model_.slots[i]);
        if (object == by_slot.end()) continue;
        const auto found = limits.find(upper(at(object->second->values, 1)));
        if (found == limits.end()) continue;
        double low = HUGE_VAL, high = -HUGE_VAL;
        std::fill(seen_week.begin(), seen_week.end(), 0);
        for (size_t d = 1; d <= 366; ++d) {
            const auto w = static_cast<size_t>(model_.year_weeks[i][d]);
            if (seen_week[w]) continue;
            seen_week[w] = 1;
            for (int t = 1; t <= kDayTypes; ++t)
                for (double v : model_.days[static_cast<size_t>(model_.weeks[w][static_cast<size_t>(t)])]) {
                    low = std::min(low, v);
                    high = std::max(high, v);
                }
        }
        constexpr double kEpsilon = 1.1920929e-07;
        const Limits& l = found->second;
        if (l.lower - low <= kEpsilon && high - l.upper <= kEpsilon) continue;
        const auto text = [](double v) {
            std::string t = std::to_string(v);
            while (t.size() > 1 && t.back() == '0') t.pop_back();
            if (!t.empty() && t.back() == '.') t.pop_back();
            return t;
        };
        finding(Model::FindingKind::out_of_limits, model_.slots[i], 1,
                "its values run from " + text(low) + " to " + text(high) + ", outside the limits " + text(l.lower) +
                    " to " + text(l.upper) + " of '" + std::string(at(object->second->values, 1)) +
                    "' (a day type without a day schedule counts as 0.0).");
    }
}

void Reader::read_compact(const Named& o) {
    const int n = model_.timesteps;
    std::vector<int32_t> weeks(367, -1);
    size_t k = 2;
    int start = 1;
    std::vector<double> minutes;
    const size_t count = o.values.size();
    const auto field_of = [](size_t index) { return static_cast<int32_t>(index); };
    int32_t last_through = -1;
    while (k < count) {
        std::string through = upper(at(o.values, static_cast<int32_t>(k)));
        if (!through.starts_with("THROUGH")) {
            finding(Model::FindingKind::incomplete, o.slot, field_of(k),
                    "'" + std::string(at(o.values, field_of(k))) + "' stands where a \"Through:\" date belongs.");
            break;
        }
        last_through = field_of(k);
        through = through.substr(7);
        if (!through.empty() && through[0] == ':') through = through.substr(1);
        const auto date = parse_date(through);
        if (!date || date->form != 0) {
            finding(Model::FindingKind::bad_time, o.slot, field_of(k),
                    "'" + std::string(at(o.values, field_of(k))) + "' is not a date of the year (such as 12/31).");
            break;
        }
        const int end = ordinal_day(date->month, date->day, 1);
        std::array<int32_t, kDayTypes + 1> week;
        week.fill(missing_day());
        std::array<bool, kDayTypes + 1> already{}, these{};
        ++k;
        while (k < count) {
            std::string field = upper(at(o.values, static_cast<int32_t>(k)));
            if (field.starts_with("THROUGH")) break;
            if (!field.starts_with("FOR")) {
                finding(Model::FindingKind::incomplete, o.slot, field_of(k),
                        "'" + std::string(at(o.values, field_of(k))) + "' stands where a \"For:\" field belongs.");
                k = count;
                break;
            }
            for_days(std::string_view(field).substr(3), these, already);
            ++k;
            Interp interp = Interp::no;
            if (k < count) {
                const std::string next = upper(at(o.values, static_cast<int32_t>(k)));
                if (next.starts_with("INTERPOLATE") || !next.starts_with("UNTIL")) {
                    interp = interp_of(next.substr(std::min<size_t>(next.size(), 11)));
                    ++k;
                }
            }
            std::vector<std::pair<std::string_view, double>> pairs;
            const int32_t first_until = field_of(k);
            while (k < count) {
                const std::string_view until = at(o.values, static_cast<int32_t>(k));
                if (!upper(until).starts_with("UNTIL")) break;
                pairs.emplace_back(until, number_or(at(o.values, static_cast<int32_t>(k + 1)), 0.0));
                k += 2;
            }
            check_day(minutes_of(pairs, interp, minutes), o.slot, first_until, 2, pairs);
            const int32_t day = add_day(from_minutes(minutes, interp, n));
            for (int d = 0; d <= kDayTypes; ++d)
                if (these[static_cast<size_t>(d)]) {
                    already[static_cast<size_t>(d)] = true;
                    week[static_cast<size_t>(d)] = day;
                }
        }
        std::string where(1, '"');
        where.append(at(o.values, last_through)).push_back('"');
        check_week(already, o.slot, last_through, where, false);
        model_.weeks.push_back(week);
        const auto w = static_cast<int32_t>(model_.weeks.size() - 1);
        for (int d = start; d <= end && d <= 366; ++d) weeks[static_cast<size_t>(d)] = w;
        start = end + 1;
    }
    if (weeks[366] < 0 || std::count(weeks.begin() + 1, weeks.end(), -1) > (weeks[60] < 0 ? 1 : 0)) {
        int first = 1;
        while (first <= 366 && (weeks[static_cast<size_t>(first)] >= 0 || first == 60)) ++first;
        if (first <= 366)
            finding(Model::FindingKind::incomplete, o.slot, last_through,
                    "no \"Through:\" covers " + date_of(first) +
                        " and the days after it up to 12/31; the engine stops at days without a schedule.");
    }
    add_schedule(o, std::move(weeks));
}

void Reader::run() {
    std::vector<const ClassDef*> classes;
    for (std::string_view name : kClassNames) classes.push_back(find_class(schema_, name));
    const size_t count = slots_.slot_count();
    for (size_t slot = 0; slot < count; ++slot) {
        ObjectView object;
        if (slots_.view(slot, object) != SlotState::object || !object.cls) continue;
        for (size_t k = 0; k < classes.size(); ++k)
            if (classes[k] == object.cls) by_class_[k].push_back({slot, object.values, object.cls});
    }
    if (!objects(Cls::timestep).empty()) {
        const int n = whole(number_or(at(objects(Cls::timestep)[0].values, 0), 6));
        if (n >= 1 && n <= 60 && 60 % n == 0) model_.timesteps = n;
    }
    read_days();
    read_weeks();
    // Schedules in document order, whatever their class.
    std::vector<std::pair<size_t, std::pair<int, const Named*>>> order;
    for (const Named& o : objects(Cls::constant)) order.push_back({o.slot, {0, &o}});
    for (const Named& o : objects(Cls::compact)) order.push_back({o.slot, {1, &o}});
    for (const Named& o : objects(Cls::file)) order.push_back({o.slot, {2, &o}});
    std::sort(order.begin(), order.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    for (const auto& [slot, item] : order) {
        const Named& o = *item.second;
        if (item.first == 0) {
            std::array<int32_t, kDayTypes + 1> week;
            week.fill(add_day(
                std::vector<double>(static_cast<size_t>(24 * model_.timesteps), number_or(at(o.values, 2), 0.0))));
            model_.weeks.push_back(week);
            add_schedule(o, std::vector<int32_t>(367, static_cast<int32_t>(model_.weeks.size() - 1)));
        } else if (item.first == 1) {
            read_compact(o);
        } else {
            read_file(o);
        }
    }
    read_years();
    check_limits();
    read_environments();
    std::stable_sort(model_.findings.begin(), model_.findings.end(),
                     [](const Model::Finding& a, const Model::Finding& b) { return a.slot < b.slot; });
}

}  // namespace tarvix::schedules::detail

namespace tarvix::schedules {

void read_model(const SlotSource& slots, const c_IDD& schema, Model& model, const FileSearch& search) {
    model = Model();
    detail::Reader(slots, schema, model, search).run();
}

}  // namespace tarvix::schedules
