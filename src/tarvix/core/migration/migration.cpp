// The migration engine: the rules text read into per-step tables once, the
// objects of a document taken through each step, and the result written.
//
// Objects are held as views: values that no rule touches stay in the
// source document's storage, and only the texts a rule makes are kept here
// (in a deque, so that views of them stay valid). An object no rule of any
// step touches is written from the source's own values.
#include "core/migration/migration.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <unordered_map>
#include <utility>

#include "core/base/hash.h"
#include "core/formats/kept_layout.h"
#include "core/text/version.h"
#include "core/text/text.h"

namespace tarvix::migration {
namespace {

extern const char kRulesText[];

// ---------------------------------------------------------------------------
// The rules

enum class OpKind : uint8_t { insert, erase, move, choice, fill, set, remove, code, each_insert, each_erase };

struct Op {
    OpKind kind;
    int32_t field = 0;   // 0-based
    int32_t count = 1;   // erase: how many; move: the 0-based place it goes to
    int32_t size = 0;    // each_*: the repeating group's size before the step
    std::string value;   // insert/fill/set/choice (the new key)/remove (the reason)/code (the routine)
    std::string match;   // choice: the old key, upper-cased
    std::string label;   // the field's name, for notes
};

struct ClassRules {
    std::string rename;  // the class's new name, empty when it keeps its own
    std::vector<Op> ops;
};

struct Step {
    std::string from, to;
    std::unordered_map<std::string, ClassRules, StringHash, std::equal_to<>> classes;    // upper-cased class name
    std::unordered_map<std::string, std::string, StringHash, std::equal_to<>> variables;  // upper-cased old name -> new
    std::unordered_map<std::string, std::string, StringHash, std::equal_to<>>
        types;  // classes renamed: upper-cased old name -> new
    std::vector<std::pair<std::string, std::string>> words;  // words of variable names: upper-cased old, new
    std::vector<std::pair<std::string, std::string>> prefixes;  // names beginning so: upper-cased old, new
};

struct Rules {
    std::vector<Step> steps;  // steps[i] goes from versions()[i] to versions()[i + 1]
    std::string error;  // a fault in the rules text (caught by the tests)
};

std::string_view trim(std::string_view s) noexcept {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
    return s;
}

// The next blank-separated word of `line`, taken off its front.
std::string_view word(std::string_view& line) noexcept {
    line = trim(line);
    size_t n = 0;
    while (n < line.size() && line[n] != ' ' && line[n] != '\t') ++n;
    const std::string_view w = line.substr(0, n);
    line = trim(line.substr(n));
    return w;
}

bool number(std::string_view w, int32_t& out) noexcept {
    if (w.empty() || w.size() > 6) return false;
    int32_t v = 0;
    for (const char c : w) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + (c - '0');
    }
    out = v;
    return true;
}

// "OLD => NEW", each side trimmed.
bool arrow(std::string_view rest, std::string_view& from, std::string_view& to) noexcept {
    const size_t at = rest.find("=>");
    if (at == std::string_view::npos) return false;
    from = trim(rest.substr(0, at));
    to = trim(rest.substr(at + 2));
    return !from.empty();
}

Rules read_rules() {
    Rules rules;
    const std::vector<std::string>& known = versions();
    std::string_view text = kRulesText;
    Step* step = nullptr;
    int line_no = 0;
    auto fail = [&](std::string_view why) {
        if (rules.error.empty()) rules.error = "rules line " + std::to_string(line_no) + ": " + std::string(why);
    };
    while (!text.empty()) {
        const size_t eol = text.find('\n');
        std::string_view line = text.substr(0, eol);
        text = eol == std::string_view::npos ? std::string_view() : text.substr(eol + 1);
        ++line_no;
        std::string label;
        const size_t bang = line.find('!');
        if (bang != std::string_view::npos) {
            label = std::string(trim(line.substr(bang + 1)));
            line = line.substr(0, bang);
        }
        line = trim(line);
        if (line.empty() || line.front() == '#') continue;
        if (line.front() == '[') {
            // [8.0 -> 8.1]
            std::string_view from, to;
            if (line.back() != ']' || !arrow(line.substr(1, line.size() - 2), from, to)) {
                fail("a step is [FROM => TO]");
                continue;
            }
            const size_t i = rules.steps.size();
            if (i + 1 >= known.size() || known[i] != from || known[i + 1] != to) {
                fail("steps go in version order");
                continue;
            }
            step = &rules.steps.emplace_back();
            step->from = std::string(from);
            step->to = std::string(to);
            continue;
        }
        if (!step) {
            fail("a rule before the first step");
            continue;
        }
        const std::string_view verb = word(line);
        if (verb == "variable-word") {
            std::string_view from, to;
            if (!arrow(line, from, to)) {
                fail("variable-word OLD => NEW");
                continue;
            }
            step->words.emplace_back(to_upper(std::string(from)), std::string(to));
            continue;
        }
        if (verb == "variable-gone") {
            // The engine no longer reports it: an empty new name.
            const std::string_view name = trim(line);
            if (name.empty()) {
                fail("variable-gone NAME");
                continue;
            }
            step->variables[to_upper(std::string(name))] = std::string();
            continue;
        }
        if (verb == "variable") {
            std::string_view from, to;
            if (!arrow(line, from, to)) {
                fail("variable OLD => NEW");
                continue;
            }
            if (from.ends_with('*')) {
                // A name that begins so keeps the rest (a unit's number).
                from.remove_suffix(1);
                step->prefixes.emplace_back(to_upper(std::string(trim(from))), std::string(trim(to)));
                continue;
            }
            step->variables[to_upper(std::string(from))] = std::string(to);
            continue;
        }
        const std::string_view cls = word(line);
        if (cls.empty()) {
            fail("a rule names its class");
            continue;
        }
        ClassRules& target = step->classes[to_upper(std::string(cls))];
        if (verb == "class") {
            const std::string_view name = word(line);
            if (name.empty() || !line.empty()) fail("class OLD NEW");
            target.rename = std::string(name);
            step->types[to_upper(std::string(cls))] = std::string(name);
            continue;
        }
        if (verb == "remove" || verb == "code") {
            if (line.empty()) fail("remove and code take a text");
            target.ops.push_back(
                Op{verb == "remove" ? OpKind::remove : OpKind::code, 0, 1, 0, std::string(line), {}, label});
            continue;
        }
        int32_t field = 0;
        if (!number(word(line), field) || field < 1) {
            fail("a field number (from 1)");
            continue;
        }
        Op op{OpKind::insert, field - 1, 1, 0, {}, {}, label};
        if (verb == "insert") {
            op.value = std::string(line);
        } else if (verb == "delete") {
            if (!line.empty() && (!number(word(line), op.count) || op.count < 1)) fail("delete CLASS N [COUNT]");
            op.kind = OpKind::erase;
        } else if (verb == "move") {
            int32_t to = 0;
            if (!number(word(line), to) || to < 1) fail("move CLASS FROM TO");
            op.kind = OpKind::move;
            op.count = to - 1;
        } else if (verb == "choice") {
            std::string_view from, to;
            if (!arrow(line, from, to)) fail("choice CLASS N OLD => NEW");
            op.kind = OpKind::choice;
            op.match = to_upper(std::string(from));
            op.value = std::string(to);
        } else if (verb == "fill" || verb == "set") {
            op.kind = verb == "fill" ? OpKind::fill : OpKind::set;
            op.value = std::string(line);
        } else if (verb == "each-insert" || verb == "each-delete") {
            // each-insert CLASS BEGIN SIZE AT [VALUE]: in every repeating group
            // of SIZE fields from field BEGIN, a value goes in at AT (1-based
            // in the group); each-delete takes the group's field AT out.
            int32_t size = 0, at = 0;
            if (!number(word(line), size) || !number(word(line), at) || size < 1 || at < 1 || at > size + 1)
                fail("each-insert/each-delete CLASS BEGIN SIZE AT");
            op.kind = verb == "each-insert" ? OpKind::each_insert : OpKind::each_erase;
            op.size = size;
            op.count = at - 1;
            op.value = std::string(line);
        } else {
            fail("unknown rule");
            continue;
        }
        target.ops.push_back(std::move(op));
    }
    if (rules.error.empty() && rules.steps.size() + 1 != known.size()) fail("every step has its section");
    return rules;
}

const Rules& rules() {
    static const Rules kRules = read_rules();
    return kRules;
}

// ---------------------------------------------------------------------------
// The objects on their way

struct Object {
    std::string_view class_name;  // as the current version names it
    std::string key;  // upper-cased
    std::vector<std::string_view> values;
    size_t origin = SIZE_MAX;  // the source slot; SIZE_MAX for an object a rule made
    bool changed = false;  // a value differs from the source's
    bool reshaped = false;  // fields moved, or the class renamed: written again whole
    bool removed = false;
};

// Output variable and meter names, by the classes that hold them: the
// first field that does and the stride to the next one (0: just one).
struct VariableField {
    const char* key;
    int32_t first;
    int32_t stride;
};
constexpr VariableField kVariableFields[] = {
    {"OUTPUT:VARIABLE", 1, 0},
    {"OUTPUT:METER", 0, 0},
    {"OUTPUT:METER:METERFILEONLY", 0, 0},
    {"OUTPUT:METER:CUMULATIVE", 0, 0},
    {"OUTPUT:METER:CUMULATIVE:METERFILEONLY", 0, 0},
    {"ENERGYMANAGEMENTSYSTEM:SENSOR", 2, 0},
    {"OUTPUT:TABLE:TIMEBINS", 1, 0},
    {"OUTPUT:TABLE:MONTHLY", 2, 2},
    {"OUTPUT:TABLE:ANNUAL", 3, 3},
    {"METER:CUSTOM", 3, 2},
    {"METER:CUSTOMDECREMENT", 4, 2},
    {"DEMANDMANAGERASSIGNMENTLIST", 1, 0},
    {"UTILITYCOST:TARIFF", 1, 0},
    {"ELECTRICLOADCENTER:DISTRIBUTION", 5, 6},
    {"ELECTRICLOADCENTER:TRANSFORMER", 18, 1},
    {"EXTERNALINTERFACE:FUNCTIONALMOCKUPUNITIMPORT:FROM:VARIABLE", 1, 0},
    {"EXTERNALINTERFACE:FUNCTIONALMOCKUPUNITEXPORT:FROM:VARIABLE", 1, 0},
};

class Migration {
public:
    Migration(const Options& options, Result& result) : options_(options), result_(result) {}

    bool run(const SlotSource& slots);

private:
    std::string_view keep(std::string text) { return texts_.emplace_back(std::move(text)); }
    // A new object of `cls` (text that outlives the migration), written whole.
    Object& made(std::string_view cls, std::vector<std::string_view> values) {
        Object& m = added_.emplace_back();
        m.class_name = cls;
        m.key = to_upper(std::string(cls));
        m.values = std::move(values);
        m.changed = m.reshaped = true;
        return m;
    }
    void note(const Object& obj, int32_t field, std::string message, bool loss) {
        result_.notes.push_back(Note{step_name_, std::string(obj.class_name),
                                     obj.values.empty() ? std::string() : std::string(obj.values[0]), field,
                                     std::move(message), loss});
    }
    // The name of the `nth` field an op names in its label ("A; B; C"), for
    // the value of field `field`.
    static std::string label_of(const Op& op, size_t nth, size_t field) {
        std::string_view names = op.label;
        for (; nth > 0 && !names.empty(); --nth) {
            const size_t next = names.find("; ");
            names = next == std::string_view::npos ? std::string_view() : names.substr(next + 2);
        }
        names = names.substr(0, names.find("; "));
        return names.empty() ? "field " + std::to_string(field + 1) : std::string(names);
    }
    void note_removed(const Object& obj, const Op& op, size_t nth, size_t field) {
        note(obj, static_cast<int32_t>(field),
             "removed " + label_of(op, nth, field) + " (was " + std::string(obj.values[field]) + ")", false);
    }
    void apply(Object& obj, const Op& op);
    void apply_code(Object& obj, const Op& op);
    void rename_variables(Object& obj, const Step& step);
    void rename_types(Object& obj, const Step& step);
    bool write(const SlotSource& slots);

    const Options& options_;
    Result& result_;
    std::vector<Object> objects_;
    std::deque<std::string> texts_;
    std::string step_name_;
    std::unordered_map<std::string, size_t, StringHash, std::equal_to<>>
        counters_;  // objects of a class a routine has seen, this step
    // What routines of this step leave for the other objects: equipment
    // (type and name, upper-cased) now listed as another, and nodes whose
    // feeding objects now name another.
    std::unordered_map<std::string, std::pair<std::string_view, std::string_view>, StringHash, std::equal_to<>>
        equipment_;
    std::unordered_map<std::string, std::string_view, StringHash, std::equal_to<>> nodes_;
    std::vector<Object> added_;
    std::string upper_;  // a value upper-cased for a look-up
    std::unordered_map<std::string, std::string_view, StringHash, std::equal_to<>> node_list_copies_;
    std::string_view node_list_copy(std::string_view name);
    void relink();
    void split_airflow_links();

    // Cycling inputs that move from a heat pump to its coils: what each
    // parent left for a coil (type and name, upper-cased), and the coils
    // that take them with the places they go to (1-based, 0: not taken).
    struct Cycling {
        std::string_view parent, max_cycling, time_constant, fan_delay;
    };
    struct CyclingCoil {
        size_t object;
        int curve, max_cycling, time_constant, fan_delay;
    };
    std::unordered_map<std::string, Cycling, StringHash, std::equal_to<>> cycling_;
    std::vector<CyclingCoil> cycling_coils_;
    std::unordered_map<std::string, std::string_view, StringHash, std::equal_to<>> curves_;  // by parent
    // Daylighting rebuilt from 8.6 on: zones whose controls got a name
    // (upper-cased zone -> the controls' name), DElight controls by name
    // (object and zone) and their reference points.
    std::unordered_map<std::string, std::string_view, StringHash, std::equal_to<>> daylit_zones_;
    std::unordered_map<std::string, std::pair<size_t, std::string_view>, StringHash, std::equal_to<>> delight_;
    std::vector<size_t> delight_points_;
    // Window shading controls before 9.0: the controls, and each window's
    // control (upper-cased), surface and name, in the document's order.
    std::vector<size_t> shading_controls_;
    struct ShadedWindow {
        std::string control;
        std::string_view surface, name;
        size_t object;
    };
    std::vector<ShadedWindow> shaded_windows_;
    void link_shading();
    void daylighting_controls(Object& obj);
    bool small_routine(Object& obj, std::string_view routine, std::string_view args);
    // Names of a class already in use, this step (upper-cased), for routines
    // that make names; surfaces that may lack a foundation perimeter; fields
    // that take the name of the first object of a class.
    std::unordered_map<std::string, std::unordered_map<std::string, bool, StringHash, std::equal_to<>>, StringHash,
                       std::equal_to<>>
        names_in_use_;
    std::vector<size_t> foundation_floors_;
    struct FirstName {
        size_t object, field;
        std::string of;
    };
    std::vector<FirstName> first_names_;
    bool fraction_limits_ = false;  // the schedule type limits of equipment fractions are made
    bool airflow_ratio_ = false;
    bool any_number_ = false;  // the "Any Number" schedule type limits are there or made
    // Objects of a class by upper-cased name, this step, for routines that
    // read another object.
    std::unordered_map<std::string, std::unordered_map<std::string, size_t, StringHash, std::equal_to<>>, StringHash,
                       std::equal_to<>>
        by_name_;
    const Object* object_named(const std::string& key,
                               std::string_view name);  // the heat exchangers' air flow ratio variable is made
    size_t diagnostics_ = SIZE_MAX;  // the first Output:Diagnostics of the step
    std::vector<std::pair<size_t, std::string_view>> vav_fans_;  // terminal units whose fan becomes a system model
    const std::unordered_map<std::string, bool, StringHash, std::equal_to<>>& names_of(const std::string& key);
    void link_small();
    struct TableAxis {
        std::string_view min, max, unit;
        std::vector<std::string_view> values;
    };
    void lookup_table(Object& obj, std::string_view interpolation, const std::vector<TableAxis>& axes,
                      std::vector<std::string_view> head, std::vector<std::string_view> outputs);
    void table_routine(Object& obj, std::string_view routine);
    void link_daylighting();
    std::string_view part_load_curve(std::string_view owner, std::string_view time_constant,
                                     std::string_view max_cycling);
    void link_cycling();
};

namespace {

// Blank-separated field numbers of a routine's arguments.
std::vector<int> field_numbers(std::string_view args) {
    std::vector<int> out;
    for (std::string_view w = word(args); !w.empty(); w = word(args)) {
        int n = 0;
        std::from_chars(w.data(), w.data() + w.size(), n);
        out.push_back(n);
    }
    return out;
}

double number_or(std::string_view text, double fallback) {
    text = trim(text);
    double x = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), x);
    return ec == std::errc() && end == text.data() + text.size() && std::isfinite(x) ? x : fallback;
}

}  // namespace

// The linear part-load curve that stands for a heat pump's cycling inputs:
// PLF = (1 - Cd) + Cd PLR, Cd = A (1 - exp(-1/A)), A = 4 tau Nmax / 3600,
// with tau 60 s and Nmax 2.5 an hour where they are blank. Coefficients are
// cut to five digits, as the engine's own programs write them.
std::string_view Migration::part_load_curve(std::string_view owner, std::string_view time_constant,
                                            std::string_view max_cycling) {
    std::string key = to_upper(std::string(owner));
    const auto found = curves_.find(key);
    if (found != curves_.end()) return found->second;
    const double a = 4.0 * number_or(time_constant, 60.0) * number_or(max_cycling, 2.5) / 3600.0;
    const double cd = a > 0 ? a * (1.0 - std::exp(-1.0 / a)) : 0.0;
    // Cut to five decimals, or below 0.1 to five decimals of the mantissa.
    const auto fixed5 = [this](double x) {
        char buf[32];
        if (x >= 0.1 || x <= 0) {
            std::snprintf(buf, sizeof buf, "%.5f", x > 0 ? std::floor(x * 1e5 + 1e-7) / 1e5 : 0.0);
        } else {
            const double scale = std::pow(10.0, std::floor(std::log10(x)));
            std::snprintf(buf, sizeof buf, "%.5e", std::floor(x / scale * 1e5 + 1e-7) / 1e5 * scale);
        }
        return keep(buf);
    };
    Object curve;
    curve.class_name = "Curve:Linear";
    curve.key = "CURVE:LINEAR";
    const std::string_view name = keep(std::string(owner) + "-AutogeneratedPLFCurve");
    curve.values = {name, fixed5(1.0 - cd), fixed5(cd), "0.0", "1.0", "0.0", "1.0", "Dimensionless", "Dimensionless"};
    curve.changed = curve.reshaped = true;
    added_.push_back(std::move(curve));
    curves_.emplace(std::move(key), name);
    return name;
}

namespace {

// The lighting control types that were numbers before 8.6.
std::string_view control_type(std::string_view old) {
    const double n = trim(old).empty() ? 1 : number_or(old, 0);
    return n == 1 ? "Continuous" : n == 2 ? "Stepped" : n == 3 ? "ContinuousOff" : old;
}

std::string_view zero_blank(std::string_view value) { return number_or(value, 1) == 0 ? std::string_view() : value; }

}  // namespace

// A zone's daylighting controls before 8.6 (its reference points inside)
// become named controls of the SplitFlux method and one or two
// Daylighting:ReferencePoint objects.
void Migration::daylighting_controls(Object& obj) {
    std::vector<std::string_view> o = obj.values;
    o.resize(20);
    const std::string_view zone = o[0];
    const std::string_view name = keep(std::string(zone) + "_DaylCtrl");
    const std::string_view first = keep(std::string(zone) + "_DaylRefPt1");
    const bool two = number_or(o[1], 1) == 2;
    obj.values = {name,
                  zone,
                  "SplitFlux",
                  o[19],
                  control_type(o[12]),
                  o[15],
                  o[16],
                  zero_blank(o[17]),
                  o[18],
                  first,
                  o[13],
                  o[14],
                  {},
                  first,
                  o[8],
                  o[10]};
    const auto point = [&](std::string_view point_name, size_t x) {
        made("Daylighting:ReferencePoint", {point_name, zone, o[x], o[x + 1], o[x + 2]});
    };
    point(first, 2);
    if (two) {
        const std::string_view second = keep(std::string(zone) + "_DaylRefPt2");
        obj.values.insert(obj.values.end(), {second, o[9], o[11]});
        point(second, 5);
    }
    obj.reshaped = obj.changed = true;
    daylit_zones_[to_upper(std::string(zone))] = name;
    note(obj, 0, "named " + std::string(name) + ", its reference points now Daylighting:ReferencePoint objects", false);
}

// DElight reference points join their controls as Daylighting:ReferencePoint
// objects and the controls' repeating groups; output variables keyed by a
// zone whose controls got a name are keyed by that name.
void Migration::link_daylighting() {
    for (const size_t index : delight_points_) {
        Object& point = objects_[index];
        std::vector<std::string_view> o = point.values;
        o.resize(7);
        const auto found = delight_.find(to_upper(std::string(o[1])));
        if (found == delight_.end()) {
            note(point, 1, "no Daylighting:DELight:Controls named " + std::string(o[1]) + ": removed", true);
            point.removed = true;
            continue;
        }
        Object& controls = objects_[found->second.first];
        controls.values.insert(controls.values.end(), {o[0], o[5], o[6]});
        point.class_name = "Daylighting:ReferencePoint";
        point.key = "DAYLIGHTING:REFERENCEPOINT";
        point.values = {o[0], found->second.second, o[2], o[3], o[4]};
        point.reshaped = point.changed = true;
    }
    if (!daylit_zones_.empty()) {
        for (Object& obj : objects_) {
            if (obj.removed || obj.key != "OUTPUT:VARIABLE" || obj.values.size() < 2) continue;
            upper_.assign(obj.values[1]);
            for (char& c : upper_) c = ascii_upper(c);
            if (upper_.rfind("DAYLIGHTING REFERENCE POINT", 0) != 0 &&
                upper_ != "DAYLIGHTING LIGHTING POWER MULTIPLIER")
                continue;
            const auto zone = daylit_zones_.find(to_upper(std::string(obj.values[0])));
            if (zone == daylit_zones_.end()) continue;
            obj.values[0] = zone->second;
            obj.changed = true;
        }
    }
    daylit_zones_.clear();
    delight_.clear();
    delight_points_.clear();
}

// Each window shading control becomes one WindowShadingControl for each
// zone whose windows it shaded (named after the control and the zone),
// naming those windows in their order and the zone's daylighting controls.
void Migration::link_shading() {
    // The zone of each surface a window can sit on, by the surface's name.
    std::unordered_map<std::string, std::string_view, StringHash, std::equal_to<>> zone_of;
    std::unordered_map<std::string, std::string_view, StringHash, std::equal_to<>> daylighting;
    for (const Object& obj : objects_) {
        if (obj.removed || obj.values.size() < 2) continue;
        if (obj.key == "DAYLIGHTING:CONTROLS") {
            daylighting.emplace(to_upper(std::string(obj.values[1])), obj.values[0]);
            continue;
        }
        size_t zone = 2;
        if (obj.key == "BUILDINGSURFACE:DETAILED") {
            zone = 3;
        } else if (!(obj.key.rfind("WALL:", 0) == 0 || obj.key.rfind("CEILING:", 0) == 0 ||
                     obj.key.rfind("FLOOR:", 0) == 0 || obj.key == "ROOF" || obj.key == "ROOFCEILING:DETAILED")) {
            continue;
        }
        if (obj.values.size() > zone) zone_of.emplace(to_upper(std::string(obj.values[0])), obj.values[zone]);
    }
    // Windows by control, then by zone in the order the zones come.
    struct Zone {
        std::string_view name;
        std::vector<std::string_view> windows;
    };
    struct Zones {
        std::vector<Zone> list;
        std::unordered_map<std::string, size_t, StringHash, std::equal_to<>> index;  // upper-cased zone
    };
    std::unordered_map<std::string, Zones, StringHash, std::equal_to<>> by_control;
    for (const ShadedWindow& w : shaded_windows_) {
        const auto surface = zone_of.find(to_upper(std::string(w.surface)));
        if (surface == zone_of.end()) {
            note(
                objects_[w.object], -1,
                "its shading control " + w.control + " is not carried over: no surface named " + std::string(w.surface),
                true);
            continue;
        }
        Zones& zones = by_control[w.control];
        const auto [at, added] = zones.index.emplace(to_upper(std::string(surface->second)), zones.list.size());
        if (added) zones.list.push_back(Zone{surface->second, {}});
        zones.list[at->second].windows.push_back(w.name);
    }
    for (const size_t index : shading_controls_) {
        Object& obj = objects_[index];
        std::vector<std::string_view> old = obj.values;
        old.resize(12);
        const auto found = by_control.find(to_upper(std::string(old[0])));
        if (found == by_control.end()) {
            note(obj, -1, "not carried over: no window uses it", false);
            obj.removed = true;
            continue;
        }
        for (size_t z = 0; z < found->second.list.size(); ++z) {
            const Zone& zone = found->second.list[z];
            const auto lit = daylighting.find(to_upper(std::string(zone.name)));
            std::vector<std::string_view> v = {keep(std::string(old[0]) + "-" + std::string(zone.name)), zone.name,
                                               "1"};
            v.insert(v.end(), old.begin() + 1, old.end());
            v.push_back(lit == daylighting.end() ? std::string_view() : lit->second);
            v.push_back("Sequential");
            v.insert(v.end(), zone.windows.begin(), zone.windows.end());
            if (z == 0) {
                obj.class_name = "WindowShadingControl";
                obj.key = "WINDOWSHADINGCONTROL";
                obj.values = std::move(v);
                obj.reshaped = obj.changed = true;
                note(obj, 0, "now WindowShadingControl " + std::string(obj.values[0]) + " for the windows of its zone",
                     false);
                continue;
            }
            Object made;
            made.class_name = "WindowShadingControl";
            made.key = "WINDOWSHADINGCONTROL";
            made.values = std::move(v);
            made.changed = made.reshaped = true;
            added_.push_back(std::move(made));
        }
    }
    shading_controls_.clear();
    shaded_windows_.clear();
}

// A table of 9.2 on: the object becomes the Table:Lookup of its outputs
// (`head`: normalization method and divisor, output limits and unit), with
// a Table:IndependentVariable for each axis and their list.
void Migration::lookup_table(Object& obj, std::string_view interpolation, const std::vector<TableAxis>& axes,
                             std::vector<std::string_view> head, std::vector<std::string_view> outputs) {
    const std::string name(obj.values.empty() ? std::string_view() : obj.values[0]);
    std::string_view method = "Cubic", extrapolation = "Constant";
    if (equal_fold(trim(interpolation), "LinearInterpolationOfTable")) {
        method = "Linear";
    } else if (equal_fold(trim(interpolation), "LagrangeInterpolationLinearExtrapolation")) {
        extrapolation = "Linear";
    }
    const std::string_view list = keep(name + "_IndependentVariableList");
    Object made_list;
    made_list.class_name = "Table:IndependentVariableList";
    made_list.key = "TABLE:INDEPENDENTVARIABLELIST";
    made_list.values.push_back(list);
    for (size_t k = 0; k < axes.size(); ++k) {
        Object axis;
        axis.class_name = "Table:IndependentVariable";
        axis.key = "TABLE:INDEPENDENTVARIABLE";
        const std::string_view axis_name = keep(name + "_IndependentVariable" + std::to_string(k + 1));
        axis.values = {axis_name, method, extrapolation, axes[k].min, axes[k].max, {}, axes[k].unit, {}, {}, {}};
        axis.values.insert(axis.values.end(), axes[k].values.begin(), axes[k].values.end());
        axis.changed = axis.reshaped = true;
        added_.push_back(std::move(axis));
        made_list.values.push_back(axis_name);
    }
    made_list.changed = made_list.reshaped = true;
    added_.push_back(std::move(made_list));
    std::vector<std::string_view> v = {obj.values.empty() ? std::string_view() : obj.values[0], list};
    v.insert(v.end(), head.begin(), head.end());
    v.insert(v.end(), {{}, {}, {}});
    v.insert(v.end(), outputs.begin(), outputs.end());
    note(obj, -1, "now Table:Lookup with " + std::to_string(axes.size()) + " Table:IndependentVariable objects", false);
    obj.class_name = "Table:Lookup";
    obj.key = "TABLE:LOOKUP";
    obj.values = std::move(v);
    obj.reshaped = obj.changed = true;
}

void Migration::table_routine(Object& obj, std::string_view routine) {
    std::vector<std::string_view> o = obj.values;
    const auto field = [&](size_t n) { return n <= o.size() ? o[n - 1] : std::string_view(); };
    const auto normalization = [](std::string_view divisor) {
        return trim(divisor).empty() ? std::string_view() : std::string_view("DivisorOnly");
    };
    if (routine == "table-one") {
        TableAxis x{field(4), field(5), field(8), {}};
        std::vector<std::string_view> outputs;
        for (size_t k = 10; k + 1 < o.size(); k += 2) {
            x.values.push_back(o[k]);
            outputs.push_back(o[k + 1]);
        }
        return lookup_table(obj, field(3), {x}, {normalization(field(10)), field(10), field(6), field(7), field(9)},
                            outputs);
    }
    if (routine == "table-two") {
        if (!trim(field(14)).empty())
            note(obj, 13, "its external file " + std::string(field(14)) + " is not read: convert it to the new form",
                 true);
        // Each axis's values sorted, once each; the outputs in the grid they
        // span, the second axis running fastest.
        std::vector<TableAxis> axes = {{field(4), field(5), field(10), {}}, {field(6), field(7), field(11), {}}};
        std::vector<std::pair<double, std::string_view>> points[2];
        for (size_t k = 14; k + 2 < o.size(); k += 3)
            for (size_t a = 0; a < 2; ++a) points[a].emplace_back(number_or(o[k + a], 0), o[k + a]);
        std::vector<double> unique[2];
        for (size_t a = 0; a < 2; ++a) {
            auto sorted = points[a];
            std::stable_sort(sorted.begin(), sorted.end(),
                             [](const auto& l, const auto& r) { return l.first < r.first; });
            for (const auto& [x, text] : sorted) {
                if (!unique[a].empty() && unique[a].back() == x) continue;
                unique[a].push_back(x);
                axes[a].values.push_back(text);
            }
        }
        std::vector<std::string_view> outputs(unique[0].size() * unique[1].size());
        for (size_t k = 14, n = 0; k + 2 < o.size(); k += 3, ++n) {
            const size_t i = static_cast<size_t>(
                std::lower_bound(unique[0].begin(), unique[0].end(), points[0][n].first) - unique[0].begin());
            const size_t j = static_cast<size_t>(
                std::lower_bound(unique[1].begin(), unique[1].end(), points[1][n].first) - unique[1].begin());
            outputs[i * unique[1].size() + j] = o[k + 2];
        }
        return lookup_table(obj, field(3), axes, {normalization(field(13)), field(13), field(8), field(9), field(12)},
                            outputs);
    }
    // table-multi: the multi-variable lookup's axes and its mini-tables,
    // the first axis running fastest in each (descending where its sort
    // order says so), become one grid with the last axis running fastest.
    if (!trim(field(6)).empty())
        note(obj, 5, "its external file " + std::string(field(6)) + " is not read: convert it to the new form", true);
    const double count = number_or(field(31), 0);
    const size_t n = count >= 1 && count <= 6 ? static_cast<size_t>(count) : 0;
    std::vector<size_t> sizes(n);
    size_t at = 31 + n, total = n ? 1 : 0;
    for (size_t k = 0; k < n; ++k) {
        const double size = number_or(field(32 + k), 0);
        sizes[k] = size >= 1 && size <= static_cast<double>(o.size()) ? static_cast<size_t>(size) : 0;
        total = sizes[k] && total <= (size_t{1} << 24) / sizes[k] ? total * sizes[k] : 0;
    }
    std::vector<TableAxis> axes(n);
    for (size_t k = 0; k < n; ++k) {
        axes[k] = {field(10 + 2 * k), field(11 + 2 * k), field(24 + k), {}};
        for (size_t m = 0; m < sizes[k]; ++m) axes[k].values.push_back(field(++at));
    }
    if (total == 0) {
        note(obj, 30, "its independent variables are not readable: not carried over", true);
        obj.removed = true;
        return;
    }
    std::vector<size_t> step(n, 1), index(n, 0);
    for (size_t k = n - 1; k > 0; --k) step[k - 1] = step[k] * sizes[k];
    const bool down[2] = {!equal_fold(trim(field(7)), "Ascending") && !trim(field(7)).empty(),
                          !equal_fold(trim(field(8)), "Ascending") && !trim(field(8)).empty()};
    for (size_t k = 0; k < n && k < 2; ++k) index[k] = down[k] ? sizes[k] - 1 : 0;
    const size_t mini = n > 1 ? sizes[0] * sizes[1] : sizes[0];
    std::vector<std::string_view> outputs(total);
    for (size_t table = 0; table < total / mini; ++table) {
        at += n > 2 ? n - 2 : 0;  // the values that name the mini-table
        for (size_t m = 0; m < mini; ++m) {
            size_t flat = 0;
            for (size_t k = 0; k < n; ++k) flat += index[k] * step[k];
            outputs[flat] = field(++at);
            // The next place: the first axis moves, carrying into the next.
            for (size_t k = 0; k < n; ++k) {
                const bool reverse = k < 2 && down[k];
                if (reverse ? index[k] > 0 : index[k] + 1 < sizes[k]) {
                    index[k] = reverse ? index[k] - 1 : index[k] + 1;
                    break;
                }
                index[k] = reverse ? sizes[k] - 1 : 0;
            }
        }
    }
    lookup_table(obj, field(2), axes, {normalization(field(9)), field(9), field(22), field(23), field(30)}, outputs);
}

const std::unordered_map<std::string, bool, StringHash, std::equal_to<>>& Migration::names_of(const std::string& key) {
    auto [found, added] = names_in_use_.try_emplace(key);
    if (added)
        for (const Object& o : objects_)
            if (!o.removed && o.key == key && !o.values.empty() && !trim(o.values[0]).empty())
                found->second.emplace(to_upper(std::string(trim(o.values[0]))), true);
    return found->second;
}

namespace {

// A number written the short way, without trailing zeros.
std::string short_number(double x) {
    char buf[40];
    std::snprintf(buf, sizeof buf, "%.10g", x);
    return buf;
}

// The weekday (0 Sunday) of a Gregorian date.
int weekday(int year, int month, int day) {
    static const int t[] = {0, 3, 2, 5, 0, 3, 5, 1, 4, 6, 2, 4};
    if (month < 3) year -= 1;
    return (year + year / 4 - year / 100 + year / 400 + t[(month - 1) % 12] + day) % 7;
}

bool leap(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

// A year in which the date falls on the weekday named (blank: Sunday), from
// the years the engine's own programs choose among; 0 when none does.
int year_for_weekday(int month, int day, std::string_view name) {
    static const char* const days[] = {"SU", "MO", "TU", "WE", "TH", "FR", "SA"};
    name = trim(name);
    int wanted = 0;
    if (!name.empty()) {
        wanted = -1;
        for (int d = 0; d < 7; ++d)
            if (name.size() >= 2 && ascii_upper(name[0]) == days[d][0] && ascii_upper(name[1]) == days[d][1])
                wanted = d;
        if (wanted < 0) return 0;
    }
    static const int common[] = {2007, 2010, 2011, 2013, 2014, 2015, 2017};
    static const int leaps[] = {1992, 1996, 2000, 2004, 2008, 2012, 2016};
    const bool feb29 = month == 2 && day == 29;
    for (const int year : feb29 ? leaps : common)
        if (month >= 1 && month <= 12 && day >= 1 && day <= 31 && weekday(year, month, day) == wanted) return year;
    return 0;
}

}  // namespace

const Object* Migration::object_named(const std::string& key, std::string_view name) {
    auto [found, added] = by_name_.try_emplace(key);
    if (added)
        for (size_t i = 0; i < objects_.size(); ++i)
            if (!objects_[i].removed && objects_[i].key == key && !objects_[i].values.empty())
                found->second.emplace(to_upper(std::string(trim(objects_[i].values[0]))), i);
    const auto at = found->second.find(to_upper(std::string(trim(name))));
    return at == found->second.end() ? nullptr : &objects_[at->second];
}

namespace {

// Saturation pressure of water vapour over water [Pa] at a temperature in
// degrees C (the ASHRAE Fundamentals 2005 fit).
double saturation_pressure(double celsius) {
    const double t = celsius + 273.15;
    return std::exp(-5.8002206e3 / t + 1.3914993 - 4.8640239e-2 * t + 4.1764768e-5 * t * t - 1.4452093e-8 * t * t * t +
                    6.5459673 * std::log(t));
}

}  // namespace

// Routines of one object each, by name; false when `routine` is none of them.
bool Migration::small_routine(Object& obj, std::string_view routine, std::string_view args) {
    std::vector<std::string_view>& v = obj.values;
    const auto changed = [&] { obj.changed = true; };
    if (routine == "duct-u-split") {
        // The duct's overall U-factor becomes the wall's, the outside film's
        // and the inside film's, by their shares of the resistance; written
        // as the engine's programs write them (six decimals, single
        // precision). A blank stays blank: the defaults apply.
        if (v.size() < 7 || trim(v[6]).empty()) return true;
        const float u = static_cast<float>(number_or(v[6], 0));
        const auto fixed6 = [this](float x) {
            char buf[40];
            std::snprintf(buf, sizeof buf, "%.6f", static_cast<double>(x));
            return keep(buf);
        };
        if (v.size() < 10) v.resize(10);
        v[6] = fixed6(u / 0.815384615f);
        v[8] = fixed6(u / 0.153846154f);
        v[9] = fixed6(u / 0.030769231f);
        changed();
        note(obj, 6, "U-factor split into the duct wall's and its two films'", false);
        return true;
    }
    if (routine == "slat-angle-90") {
        // Slat angles are measured from the other side from 8.8 on.
        if (v.size() < 6 || trim(v[5]).empty()) return true;
        const double angle = number_or(v[5], -1e300);
        if (angle == -1e300) return note(obj, 5, "slat angle " + std::string(v[5]) + " is not a number", true), true;
        if (angle >= 90) {
            v[5] = keep(short_number(90.0 - angle));
            changed();
        }
        return true;
    }
    if (routine == "foundation-perimeter") {
        foundation_floors_.push_back(static_cast<size_t>(&obj - objects_.data()));
        return true;
    }
    if (routine == "interpolate-average") {
        // Schedule:Compact's "Interpolate:Yes" is "Interpolate:Average".
        for (size_t k = 2; k < v.size(); ++k) {
            const std::string upper = to_upper(std::string(v[k]));
            if (upper.find("INTERPOLATE") == std::string::npos || upper.find("YES") == std::string::npos) continue;
            v[k] = "Interpolate:Average";
            changed();
        }
        return true;
    }
    if (routine == "drop-blanks") {
        const auto end = std::remove_if(v.begin(), v.end(), [](std::string_view x) { return trim(x).empty(); });
        if (end != v.end()) {
            v.erase(end, v.end());
            obj.reshaped = true;
            changed();
        }
        return true;
    }
    if (routine == "report-abbreviations") {
        static const std::pair<const char*, const char*> names[] = {
            {"ABUPS", "AnnualBuildingUtilityPerformanceSummary"},
            {"BEPS", "AnnualBuildingUtilityPerformanceSummary"},
            {"IVRS", "InputVerificationandResultsSummary"},
            {"CSS", "ComponentSizingSummary"},
            {"SHAD", "SurfaceShadowingSummary"},
            {"EIO", "InitializationSummary"}};
        for (std::string_view& x : v)
            for (const auto& [from, to] : names)
                if (equal_fold(trim(x), from)) {
                    x = to;
                    changed();
                }
        return true;
    }
    if (routine == "first-name-of") {
        // ARGS: CLASS FIELD. A new field FIELD takes the name of the first
        // object of CLASS in the document.
        const std::string_view cls = word(args);
        const std::vector<int> f = field_numbers(args);
        if (cls.empty() || f.size() != 1 || f[0] <= 0)
            return note(obj, -1, "first-name-of takes CLASS FIELD", true), true;
        const size_t at = static_cast<size_t>(f[0]) - 1;
        if (v.size() < at) v.resize(at);
        v.insert(v.begin() + static_cast<std::ptrdiff_t>(at), std::string_view());
        obj.reshaped = true;
        changed();
        first_names_.push_back({static_cast<size_t>(&obj - objects_.data()), at, to_upper(std::string(cls))});
        return true;
    }
    if (routine == "run-period-years") {
        // The years of a run period from 9.0 on, from the start year, or
        // from the repeats and the start day's weekday.
        std::vector<std::string_view> o = v;
        o.resize(14);
        const bool start_year = !trim(o[13]).empty();
        // Numbers the calendar can hold; anything else is as good as none.
        const auto whole = [](std::string_view text, double low, double high) {
            const double x = number_or(text, 0);
            return x >= low && x <= high ? static_cast<int>(x) : 0;
        };
        const int repeats = whole(o[11], 0, 1000);
        int begin = 0;
        if (start_year) {
            begin = whole(o[13], 1, 9999);
            if (begin == 0) note(obj, 13, "start year " + std::string(o[13]) + " is not a year: left out", true);
        } else if (repeats > 1) {
            begin = year_for_weekday(whole(o[1], 1, 12), whole(o[2], 1, 31), o[5]);
        }
        std::string_view end_day = o[4], begin_text, end_text, weekday_text = o[5];
        if (begin != 0) begin_text = keep(std::to_string(begin));
        if (repeats > 1 && begin != 0) {
            const int end = begin + repeats;
            end_text = keep(std::to_string(end));
            if (number_or(o[3], 0) == 2 && number_or(o[4], 0) == 29 && !leap(end)) end_day = "28";
        }
        if (start_year) {
            weekday_text = {};
        } else if (equal_fold(trim(o[5]), "UseWeatherFile")) {
            weekday_text = {};
            note(obj, 5, "UseWeatherFile is gone: the start date's weekday comes from its year", false);
        }
        if (equal_fold(trim(o[12]), "Yes"))
            note(obj, 12, "the weekday no longer moves on from one repeat to the next", true);
        v = {o[0], o[1], o[2], begin_text, o[3], end_day, end_text, weekday_text, o[6], o[7], o[8], o[9], o[10], {}};
        obj.reshaped = true;
        changed();
        return true;
    }
    if (routine == "fractions-to-schedules") {
        // Sequential fractions are schedules from 9.2 on: each number becomes
        // a Schedule:Constant of its own.
        static constexpr std::string_view limits = "ZoneEqList ScheduleTypeLimts";
        for (size_t k = 6, group = 1; k < v.size(); k += 6, ++group) {
            for (size_t side = 0; side < 2 && k + side < v.size(); ++side) {
                if (trim(v[k + side]).empty()) continue;
                const std::string_view name = keep(std::string(v[0]) + (side ? " HeatingFrac" : " CoolingFrac") +
                                                   std::to_string(group));
                made("Schedule:Constant", {name, limits, v[k + side]});
                v[k + side] = name;
                changed();
                if (!fraction_limits_) {
                    fraction_limits_ = true;
                    made("ScheduleTypeLimits", {limits, "0.0", "1.0", "Continuous"});
                }
            }
        }
        return true;
    }
    if (routine == "fan-mode-schedule") {
        // ARGS: FIELD. A fan mode keyword becomes a constant schedule of it.
        const std::vector<int> f = field_numbers(args);
        const size_t at = f.size() == 1 && f[0] > 0 ? static_cast<size_t>(f[0]) - 1 : SIZE_MAX;
        if (at >= v.size()) return true;
        const bool cycling = equal_fold(trim(v[at]), "Cycling");
        if (!cycling && !equal_fold(trim(v[at]), "Continuous")) return true;
        const std::string suffix = cycling ? "CyclingFanSchedule" : "ContinuousFanSchedule";
        std::string owner(obj.class_name), own_name(v.empty() ? std::string_view() : trim(v[0]));
        const size_t room = 99 > owner.size() + suffix.size() ? 99 - owner.size() - suffix.size() : 0;
        if (own_name.size() > room) own_name.resize(room);
        const std::string_view name = keep(owner + own_name + suffix);
        if (!any_number_) {
            any_number_ = true;
            if (object_named("SCHEDULETYPELIMITS", "Any Number") == nullptr) {
                made("ScheduleTypeLimits", {"Any Number"});
            }
        }
        made("Schedule:Constant", {name, "Any Number", cycling ? "0" : "1"});
        note(obj, static_cast<int32_t>(at), "named schedule " + std::string(name) + " (was " + std::string(v[at]) + ")",
             false);
        v[at] = name;
        changed();
        return true;
    }
    if (routine == "quotient") {
        // ARGS: TARGET NUMERATOR DENOMINATOR, written with five decimals.
        const std::vector<int> f = field_numbers(args);
        if (f.size() != 3 || f[0] <= 0 || f[1] <= 0 || f[2] <= 0)
            return note(obj, -1, "quotient takes 3 fields", true), true;
        const auto at = [&](int k) { return static_cast<size_t>(k) <= v.size() ? v[k - 1] : std::string_view(); };
        const double num = number_or(at(f[1]), -1e300), den = number_or(at(f[2]), -1e300);
        if (v.size() < static_cast<size_t>(f[0])) v.resize(static_cast<size_t>(f[0]));
        if (num == -1e300 || den == -1e300 || den <= 0) {
            if (!trim(at(f[1])).empty() || !trim(at(f[2])).empty())
                note(
                    obj, f[0] - 1,
                    "cannot compute it from " + std::string(at(f[1])) + " / " + std::string(at(f[2])) + ": the default",
                    false);
            v[static_cast<size_t>(f[0]) - 1] = {};
        } else {
            char buf[48];
            std::snprintf(buf, sizeof buf, "%.5f", num / den);
            v[static_cast<size_t>(f[0]) - 1] = keep(buf);
        }
        changed();
        return true;
    }
    if (routine == "set-if-filled") {
        // ARGS: FIELD VALUE IF: FIELD becomes VALUE where field IF is filled.
        const std::string_view field_text = word(args), value = word(args);
        const std::vector<int> at = field_numbers(field_text), when = field_numbers(args);
        if (at.size() != 1 || when.size() != 1 || at[0] <= 0 || when[0] <= 0 || value.empty())
            return note(obj, -1, "set-if-filled takes FIELD VALUE IF", true), true;
        if (static_cast<size_t>(when[0]) > v.size() || trim(v[static_cast<size_t>(when[0]) - 1]).empty()) return true;
        if (v.size() < static_cast<size_t>(at[0])) v.resize(static_cast<size_t>(at[0]));
        v[static_cast<size_t>(at[0]) - 1] = value;
        changed();
        return true;
    }
    if (routine == "infiltration-method") {
        // No balancing of infiltration unless zone mixing is adjusted.
        if (!v.empty() && equal_fold(trim(v[0]), "Yes")) return true;
        if (v.size() < 2) v.resize(2);
        v[1] = "None";
        changed();
        return true;
    }
    if (routine == "reverse-with-limits") {
        // Reverse acting dampers with flow limits are ReverseWithLimits
        // from 8.6 on; a blank keeps the old default, Normal, the new one
        // being another.
        if (v.size() < 16) v.resize(16);
        const bool limits = (v.size() > 16 && !trim(v[16]).empty()) || (v.size() > 17 && !trim(v[17]).empty());
        if (trim(v[15]).empty()) {
            v[15] = "Normal";
        } else if (equal_fold(trim(v[15]), "Reverse") && limits) {
            v[15] = "ReverseWithLimits";
        } else {
            return true;
        }
        changed();
        return true;
    }
    if (routine == "stratified-sensor-height") {
        // ARGS: FIELD. The heater a sensor sat at becomes its height in the
        // stratified tank.
        const std::vector<int> f = field_numbers(args);
        const size_t at = f.size() == 1 && f[0] > 0 ? static_cast<size_t>(f[0]) - 1 : SIZE_MAX;
        if (at >= v.size() || trim(v[at]).empty()) return true;
        const std::string_view old = v[at];
        std::string_view height;
        const bool one = equal_fold(trim(old), "Heater1"), two = equal_fold(trim(old), "Heater2");
        if ((one || two) && v.size() > 17 && equal_fold(trim(v[16]), "WaterHeater:Stratified")) {
            const Object* tank = object_named("WATERHEATER:STRATIFIED", v[17]);
            const size_t k = one ? 11 : 15;
            if (tank != nullptr && tank->values.size() > k) height = tank->values[k];
        }
        v[at] = height;
        note(obj, static_cast<int32_t>(at),
             "sensor height " + (height.empty() ? std::string("left to the default") : std::string(height)) + " (was " +
                 std::string(old) + ")",
             false);
        changed();
        return true;
    }
    if (routine == "kusuda-achenbach") {
        // ARGS: AT SOIL. The three Kusuda-Achenbach inputs from AT become a
        // ground temperature model object of their own, with the soil's
        // properties from SOIL (or from the Material named in field N, as
        // material:N).
        const std::string_view at_text = word(args), soil_text = trim(args);
        const std::vector<int> f = field_numbers(at_text);
        if (f.size() != 1 || f[0] <= 0) return note(obj, -1, "kusuda-achenbach takes AT SOIL", true), true;
        const size_t at = static_cast<size_t>(f[0]) - 1;
        if (v.size() < at + 3) v.resize(at + 3);
        std::string_view soil[3];
        if (soil_text.starts_with("material:")) {
            const std::vector<int> m = field_numbers(soil_text.substr(9));
            const size_t k = m.size() == 1 && m[0] > 0 ? static_cast<size_t>(m[0]) - 1 : SIZE_MAX;
            const Object* material = k < v.size() ? object_named("MATERIAL", v[k]) : nullptr;
            for (size_t j = 0; j < 3; ++j)
                soil[j] = material != nullptr && material->values.size() > 3 + j ? material->values[3 + j]
                                                                                 : std::string_view();
        } else {
            const std::vector<int> m = field_numbers(soil_text);
            const size_t k = m.size() == 1 && m[0] > 0 ? static_cast<size_t>(m[0]) - 1 : SIZE_MAX;
            for (size_t j = 0; j < 3; ++j) soil[j] = k + j < v.size() ? v[k + j] : std::string_view();
        }
        const auto& used = names_of("SITE:GROUNDTEMPERATURE:UNDISTURBED:KUSUDAACHENBACH");
        std::string name;
        do {
            const size_t n = ++counters_["KATEMP"];
            name = "KATemp" + std::string(n < 10 ? " " : "") + std::to_string(n);
        } while (used.count(to_upper(name)) != 0);
        Object model;
        model.class_name = "Site:GroundTemperature:Undisturbed:KusudaAchenbach";
        model.key = "SITE:GROUNDTEMPERATURE:UNDISTURBED:KUSUDAACHENBACH";
        model.values = {keep(std::move(name)), soil[0], soil[1], soil[2], v[at], v[at + 1], v[at + 2]};
        model.changed = model.reshaped = true;
        v.erase(v.begin() + static_cast<std::ptrdiff_t>(at), v.begin() + static_cast<std::ptrdiff_t>(at + 3));
        v.insert(v.begin() + static_cast<std::ptrdiff_t>(at), {model.class_name, model.values[0]});
        added_.push_back(std::move(model));
        obj.reshaped = true;
        changed();
        note(obj, static_cast<int32_t>(at), "its ground temperatures now in " + std::string(v[at + 1]), false);
        return true;
    }
    if (routine == "empd-resistance-factor") {
        // ARGS: FIELD. The water vapour diffusion resistance factor the old
        // moisture penetration depth stands for, with the density of the
        // material (at 24 C, 45 % and sea level, over a day).
        const std::vector<int> f = field_numbers(args);
        const size_t at = f.size() == 1 && f[0] > 0 ? static_cast<size_t>(f[0]) - 1 : SIZE_MAX;
        if (at == SIZE_MAX) return note(obj, -1, "empd-resistance-factor takes FIELD", true), true;
        std::vector<std::string_view> o = v;
        o.resize(6);
        const Object* material = object_named("MATERIAL", o[0]);
        const double depth = number_or(o[1], -1), a = number_or(o[2], -1e300), b = number_or(o[3], -1e300),
                     c = number_or(o[4], -1e300), d = number_or(o[5], -1e300);
        const double rho = material != nullptr && material->values.size() > 4 ? number_or(material->values[4], -1) : -1;
        const double rh = 0.45, slope = a * b * std::pow(rh, b - 1) + c * d * std::pow(rh, d - 1);
        const double diffusion = depth * depth * 3.14159265358979 * slope * rho / (86400.0 * saturation_pressure(24));
        const double air = 2.0e-7 * std::pow(24 + 273.15, 0.81) / 101325.0;
        std::string_view factor;
        if (depth > 0 && rho > 0 && a > -1e300 && b > -1e300 && c > -1e300 && d > -1e300 && diffusion > 0 &&
            std::isfinite(air / diffusion)) {
            char buf[40];
            std::snprintf(buf, sizeof buf, "%.7g", air / diffusion);
            factor = keep(buf);
        } else {
            note(obj, static_cast<int32_t>(at), "its water vapour diffusion resistance factor cannot be computed",
                 true);
        }
        if (v.size() < at) v.resize(at);
        v.insert(v.begin() + static_cast<std::ptrdiff_t>(at), factor);
        obj.reshaped = true;
        changed();
        return true;
    }
    if (routine == "ghe-system-split") {
        // A vertical ground heat exchanger of 8.8 becomes a system with its
        // properties, its ground temperatures and its response factors.
        std::vector<std::string_view> o = v;
        if (o.size() < 19) o.resize(19);
        const std::string name(trim(o[0]));
        const std::string_view properties = keep(name + " Properties"), temps = keep(name + " Ground Temps"),
                               factors = keep(name + " Response Factors");
        const auto number_text = [this](std::string_view x, double scale) {
            const double n = number_or(x, -1e300);
            return n == -1e300 ? std::string_view() : keep(short_number(n * scale));
        };
        made("GroundHeatExchanger:Vertical:Properties",
             {properties, "1", o[5], number_text(o[6], 2), o[10], "3.90E+06", o[11], "1.77E+06", o[12], o[14], o[13]});
        made("Site:GroundTemperature:Undisturbed:KusudaAchenbach",
             {temps, o[7], "920", number_text(o[8], 1.0 / 920), o[9], "3.2", "8"});
        std::vector<std::string_view> response = {factors, properties, o[4], o[16]};
        response.insert(response.end(), o.begin() + 18, o.end());
        while (response.size() > 4 && trim(response.back()).empty()) response.pop_back();
        made("GroundHeatExchanger:ResponseFactors", std::move(response));
        v = {o[0], o[1], o[2], o[3], "Site:GroundTemperature:Undisturbed:KusudaAchenbach", temps, o[7], o[8], factors};
        obj.class_name = "GroundHeatExchanger:System";
        obj.key = "GROUNDHEATEXCHANGER:SYSTEM";
        obj.reshaped = true;
        changed();
        note(obj, -1, "now GroundHeatExchanger:System with its properties, ground temperatures and response factors",
             false);
        return true;
    }
    if (routine == "yes-if-one") {
        // ARGS: fields whose numbers are flags: 1 is Yes, any other No.
        for (const int f : field_numbers(args)) {
            const size_t k = f > 0 ? static_cast<size_t>(f) - 1 : SIZE_MAX;
            if (k >= v.size() || trim(v[k]).empty() || equal_fold(trim(v[k]), "Yes") || equal_fold(trim(v[k]), "No"))
                continue;
            const double x = number_or(v[k], -1e300);
            if (x == -1e300) note(obj, static_cast<int32_t>(k), std::string(v[k]) + " is not a number: No", false);
            v[k] = x >= 1 && x < 2 ? "Yes" : "No";
            changed();
        }
        return true;
    }
    if (routine == "merge-unique") {
        // A class that became unique: the first object takes the values of
        // every other one, which go.
        const size_t self = static_cast<size_t>(&obj - objects_.data());
        if (diagnostics_ == SIZE_MAX) {
            diagnostics_ = self;
            return true;
        }
        Object& first = objects_[diagnostics_];
        for (const std::string_view x : v)
            if (!trim(x).empty()) first.values.push_back(x);
        first.changed = first.reshaped = true;
        note(obj, -1, "merged into the first " + std::string(obj.class_name), false);
        obj.removed = true;
        return true;
    }
    if (routine == "make-design") {
        // ARGS: DESIGN-CLASS FIELD... A new object of DESIGN-CLASS, named
        // after this one, takes these fields; its name goes in as field 2.
        const std::string_view design = word(args);
        const std::vector<int> f = field_numbers(args);
        if (design.empty() || f.empty()) return note(obj, -1, "make-design takes CLASS FIELD...", true), true;
        Object made;
        made.class_name = design;
        made.key = to_upper(std::string(design));
        const std::string_view name = keep(std::string(v.empty() ? std::string_view() : v[0]) + " Design Object");
        made.values.push_back(name);
        for (const int k : f) made.values.push_back(k > 0 && static_cast<size_t>(k) <= v.size() ? v[k - 1] : "");
        while (made.values.size() > 1 && trim(made.values.back()).empty()) made.values.pop_back();
        made.changed = made.reshaped = true;
        added_.push_back(std::move(made));
        if (v.empty()) v.resize(1);
        v.insert(v.begin() + 1, name);
        obj.reshaped = true;
        changed();
        note(obj, 1, "its design inputs now in " + std::string(design) + " " + std::string(name), false);
        return true;
    }
    if (routine == "type-rename") {
        // ARGS: FIRST STRIDE OLD NEW. Object types in the fields FIRST,
        // FIRST + STRIDE, ... that name OLD name NEW.
        const std::vector<int> f = field_numbers(args.substr(0, args.find(' ', args.find(' ') + 1)));
        std::string_view rest = args;
        word(rest), word(rest);
        const std::string_view from = word(rest), to = word(rest);
        if (f.size() != 2 || f[0] <= 0 || f[1] <= 0 || from.empty() || to.empty())
            return note(obj, -1, "type-rename takes FIRST STRIDE OLD NEW", true), true;
        for (size_t k = static_cast<size_t>(f[0]) - 1; k < v.size(); k += static_cast<size_t>(f[1]))
            if (equal_fold(trim(v[k]), from)) {
                v[k] = to;
                changed();
            }
        return true;
    }
    if (routine == "set-if-type") {
        // ARGS: FIELD VALUE F=TYPE...: FIELD becomes VALUE where a field F
        // names TYPE.
        const std::string_view field_text = word(args), value = word(args);
        const std::vector<int> at = field_numbers(field_text);
        if (at.size() != 1 || at[0] <= 0 || value.empty())
            return note(obj, -1, "set-if-type takes FIELD VALUE F=TYPE...", true), true;
        for (std::string_view test = word(args); !test.empty(); test = word(args)) {
            const size_t eq = test.find('=');
            if (eq == std::string_view::npos) continue;
            const std::vector<int> f = field_numbers(test.substr(0, eq));
            if (f.size() != 1 || f[0] <= 0 || static_cast<size_t>(f[0]) > v.size()) continue;
            if (!equal_fold(trim(v[static_cast<size_t>(f[0]) - 1]), test.substr(eq + 1))) continue;
            if (v.size() < static_cast<size_t>(at[0])) v.resize(static_cast<size_t>(at[0]));
            v[static_cast<size_t>(at[0]) - 1] = value;
            changed();
            break;
        }
        return true;
    }
    if (routine == "insert-copy") {
        // ARGS: AT FROM: a new field AT, a copy of field FROM.
        const std::vector<int> f = field_numbers(args);
        if (f.size() != 2 || f[0] <= 0 || f[1] <= 0) return note(obj, -1, "insert-copy takes AT FROM", true), true;
        const size_t at = static_cast<size_t>(f[0]) - 1, from = static_cast<size_t>(f[1]) - 1;
        if (v.size() <= from || v.size() < at) return true;
        const std::string_view copy = v[from];
        v.insert(v.begin() + static_cast<std::ptrdiff_t>(at), copy);
        obj.reshaped = true;
        changed();
        return true;
    }
    if (routine == "effectiveness-tables") {
        // The effectiveness at 75 % air flow becomes a table over the air flow
        // ratio, where it differs from the one at full flow.
        static const char* const defaults[] = {"0.0", "0.0", "0.0", "0.0"};  // the 23.2 defaults, when blank
        static const size_t full[] = {3, 4, 7, 8}, part[] = {5, 6, 9, 10};
        if (v.size() < 27) v.resize(27);
        bool made_any = false;
        for (size_t i = 0; i < 4; ++i) {
            const std::string_view e100 = trim(v[full[i]]).empty() ? std::string_view(defaults[i]) : v[full[i]];
            const std::string_view e75 = trim(v[part[i]]).empty() ? std::string_view(defaults[i]) : v[part[i]];
            if (number_or(e75, 0) == number_or(e100, 0)) continue;
            Object table;
            table.class_name = "Table:Lookup";
            table.key = "TABLE:LOOKUP";
            const std::string_view name = keep(std::string(v[0]) + "_" + std::to_string(i + 1));
            table.values = {name,
                            "effectiveness_IndependentVariableList",
                            "DivisorOnly",
                            e100,
                            "0.0",
                            "10.0",
                            "Dimensionless",
                            {},
                            {},
                            {},
                            e75,
                            e100};
            table.changed = table.reshaped = true;
            added_.push_back(std::move(table));
            v[23 + i] = name;
            made_any = true;
        }
        if (made_any) {
            changed();
            obj.reshaped = true;
            note(obj, -1, "its effectiveness at 75 % air flow now in tables named after it", false);
        }
        if (made_any && !airflow_ratio_) {
            airflow_ratio_ = true;
            Object list, variable;
            list.class_name = "Table:IndependentVariableList";
            list.key = "TABLE:INDEPENDENTVARIABLELIST";
            list.values = {"effectiveness_IndependentVariableList", "HxAirFlowRatio"};
            variable.class_name = "Table:IndependentVariable";
            variable.key = "TABLE:INDEPENDENTVARIABLE";
            variable.values = {"HxAirFlowRatio", "Linear", "Linear", "0.0", "10.0", {},
                               "Dimensionless",  {},       {},       {},    "0.75", "1.0"};
            list.changed = list.reshaped = variable.changed = variable.reshaped = true;
            added_.push_back(std::move(list));
            added_.push_back(std::move(variable));
        }
        return true;
    }
    if (routine == "vav-fan-to-system-model") {
        if (v.size() >= 15 && equal_fold(trim(v[13]), "Fan:VariableVolume")) {
            v[13] = "Fan:SystemModel";
            changed();
            vav_fans_.emplace_back(static_cast<size_t>(&obj - objects_.data()), v[14]);
        }
        return true;
    }
    if (routine == "ems-cpair-fn") {
        // @CpAirFnWTdb W T is @CpAirFnW W from 9.3 on.
        for (size_t k = 1; k < v.size(); ++k) {
            const std::string upper = to_upper(std::string(v[k]));
            if (upper.find("@CPAIRFNWTDB") == std::string::npos) continue;
            std::vector<std::string_view> words;
            for (std::string_view line = v[k], w = word(line); !w.empty(); w = word(line)) words.push_back(w);
            bool done = false;
            for (size_t w = 0; w + 2 < words.size(); ++w) {
                if (!equal_fold(words[w], "@CpAirFnWTdb")) continue;
                words[w] = "@CpAirFnW";
                words.erase(words.begin() + static_cast<std::ptrdiff_t>(w + 2));
                done = true;
            }
            if (!done) {
                note(obj, static_cast<int32_t>(k), "@CpAirFnWTdb with arguments it cannot read: left as it is", true);
                continue;
            }
            std::string line;
            for (const std::string_view w : words) line.append(line.empty() ? "" : " ").append(w);
            v[k] = keep(std::move(line));
            changed();
        }
        return true;
    }
    return false;
}

// What the small routines left for after the step's objects are seen:
// foundation floors without a perimeter, fields naming the first object
// of a class.
void Migration::link_small() {
    if (!foundation_floors_.empty()) {
        std::unordered_map<std::string, bool, StringHash, std::equal_to<>> have;
        for (const Object& o : objects_)
            if (!o.removed && o.key == "SURFACEPROPERTY:EXPOSEDFOUNDATIONPERIMETER" && !o.values.empty())
                have.emplace(to_upper(std::string(trim(o.values[0]))), true);
        for (const size_t index : foundation_floors_) {
            const Object& floor = objects_[index];
            const bool detailed = floor.key == "BUILDINGSURFACE:DETAILED";
            const size_t boundary = detailed ? 4 : 3;
            if (floor.removed || floor.values.size() <= boundary) continue;
            if (detailed && !equal_fold(trim(floor.values[1]), "Floor")) continue;
            if (!equal_fold(trim(floor.values[boundary]), "Foundation")) continue;
            if (!have.emplace(to_upper(std::string(trim(floor.values[0]))), true).second) continue;
            const size_t head = detailed ? 10 : 9;
            const size_t vertices = floor.values.size() > head ? (floor.values.size() - head) / 3 : 0;
            Object made;
            made.class_name = "SurfaceProperty:ExposedFoundationPerimeter";
            made.key = "SURFACEPROPERTY:EXPOSEDFOUNDATIONPERIMETER";
            made.values = {floor.values[0], "BySegment", {}, {}};
            made.values.insert(made.values.end(), vertices, "Yes");
            made.changed = made.reshaped = true;
            note(floor, -1,
                 "a SurfaceProperty:ExposedFoundationPerimeter with every segment exposed made for it: check it",
                 false);
            added_.push_back(std::move(made));
        }
        foundation_floors_.clear();
    }
    std::unordered_map<std::string, std::string_view, StringHash, std::equal_to<>> first_of;
    for (const FirstName& f : first_names_) first_of.emplace(f.of, std::string_view());
    for (const Object& o : objects_) {
        if (o.removed || o.values.empty()) continue;
        const auto found = first_of.find(o.key);
        if (found != first_of.end() && found->second.empty()) found->second = o.values[0];
    }
    for (const FirstName& f : first_names_) {
        objects_[f.object].values[f.field] = first_of[f.of];
        if (objects_[f.object].values[f.field].empty())
            note(objects_[f.object], static_cast<int32_t>(f.field), "no " + f.of + " to name", true);
    }
    first_names_.clear();
    // Variable volume fans of VRF terminal units become system model fans
    // with their power curve.
    if (!vav_fans_.empty()) {
        std::unordered_map<std::string, bool, StringHash, std::equal_to<>> wanted;
        for (const auto& [unit, fan] : vav_fans_) wanted.emplace(to_upper(std::string(trim(fan))), false);
        for (Object& fan : objects_) {
            if (fan.removed || fan.key != "FAN:VARIABLEVOLUME" || fan.values.empty()) continue;
            const auto found = wanted.find(to_upper(std::string(trim(fan.values[0]))));
            if (found == wanted.end() || found->second) continue;
            found->second = true;
            std::vector<std::string_view> o = fan.values;
            o.resize(18);
            std::string_view fraction = o[6];
            if (equal_fold(trim(o[5]), "FixedFlowRate")) {
                const double flow = number_or(o[4], 0);
                if (flow > 0) {
                    char buf[40];
                    std::snprintf(buf, sizeof buf, "%.5f", number_or(o[7], 0) / flow);
                    fraction = keep(buf);
                } else {
                    fraction = "0.0";
                    if (number_or(o[7], 0) != 0)
                        note(fan, 7, "its minimum flow fraction cannot come from an autosized flow rate: 0", true);
                }
            }
            const std::string_view curve = keep(std::string(o[0]) + "_curve");
            made("Curve:Quartic", {curve, o[10], o[11], o[12], o[13], o[14], "0.0", "1.0", "0.0", "5.0",
                                   "Dimensionless", "Dimensionless"});
            fan.class_name = "Fan:SystemModel";
            fan.key = "FAN:SYSTEMMODEL";
            fan.values = {o[0],     o[1], o[15], o[16], o[4],       "Continuous",
                          fraction, o[3], o[8],  o[9],  "autosize", "TotalEfficiencyAndPressure",
                          {},       {},   o[2],  curve, {},         {},
                          {},       {},   o[17]};
            fan.reshaped = fan.changed = true;
            note(fan, -1, "now Fan:SystemModel with its power curve " + std::string(curve), false);
        }
        vav_fans_.clear();
    }
}

// Each coil that takes cycling inputs gets its parent's (or, alone, the
// defaults' part-load curve).
void Migration::link_cycling() {
    for (const CyclingCoil& coil : cycling_coils_) {
        Object& obj = objects_[coil.object];
        if (obj.removed || obj.values.empty()) continue;
        std::vector<std::string_view>& v = obj.values;
        const std::string key = obj.key + "," + to_upper(std::string(v[0]));
        const auto found = cycling_.find(key);
        const Cycling parent = found != cycling_.end() ? found->second : Cycling{};
        const auto put = [&](int field, std::string_view value) {
            if (field <= 0 || value.empty()) return;
            if (v.size() < static_cast<size_t>(field)) v.resize(static_cast<size_t>(field));
            v[static_cast<size_t>(field) - 1] = value;
            obj.changed = true;
        };
        put(coil.max_cycling, parent.max_cycling);
        put(coil.time_constant, parent.time_constant);
        put(coil.fan_delay, parent.fan_delay);
        if (coil.curve > 0) {
            const std::string_view owner = found != cycling_.end() ? parent.parent : v[0];
            const std::string_view curve = part_load_curve(owner, parent.time_constant, parent.max_cycling);
            put(coil.curve, curve);
            note(obj, coil.curve - 1, "part-load curve " + std::string(curve) + " made from the cycling inputs", false);
        }
    }
    cycling_.clear();
    cycling_coils_.clear();
    curves_.clear();
}

// The equipment lists and the air paths after a routine moved equipment or
// nodes: list entries (type, name) and the outlets of splitters and supply
// plenums.
void Migration::relink() {
    for (Object& obj : objects_) {
        if (obj.removed) continue;
        std::vector<std::string_view>& v = obj.values;
        if (obj.key == "ZONEHVAC:EQUIPMENTLIST" && !equipment_.empty()) {
            for (size_t k = 2; k + 1 < v.size(); k += 6) {
                const auto found = equipment_.find(to_upper(std::string(v[k])) + "," + to_upper(std::string(v[k + 1])));
                if (found == equipment_.end()) continue;
                v[k] = found->second.first;
                v[k + 1] = found->second.second;
                obj.changed = true;
            }
        } else if ((obj.key == "AIRLOOPHVAC:ZONESPLITTER" || obj.key == "AIRLOOPHVAC:SUPPLYPLENUM" ||
                    obj.key == "AIRLOOPHVAC") &&
                   !nodes_.empty()) {
            // Outlets of splitters and supply plenums, a loop's demand side
            // inlets: a node, or a node list copied with the node replaced.
            const size_t first = obj.key == "AIRLOOPHVAC:ZONESPLITTER" ? 2 : obj.key == "AIRLOOPHVAC" ? 8 : 4;
            const size_t last = obj.key == "AIRLOOPHVAC" ? std::min<size_t>(v.size(), 9) : v.size();
            for (size_t k = first; k < last; ++k) {
                const auto found = nodes_.find(to_upper(std::string(v[k])));
                if (found != nodes_.end()) {
                    v[k] = found->second;
                    obj.changed = true;
                } else if (const std::string_view copy = node_list_copy(v[k]); !copy.empty()) {
                    v[k] = copy;
                    obj.changed = true;
                }
            }
        } else if (obj.key == "ROOMAIR:NODE:AIRFLOWNETWORK:HVACEQUIPMENT" && !equipment_.empty()) {
            for (size_t k = 1; k < v.size(); k += 4)
                if (equal_fold(trim(v[k]), "AirTerminal:SingleDuct:Uncontrolled")) {
                    v[k] = "AirTerminal:SingleDuct:ConstantVolume:NoReheat";
                    obj.changed = true;
                }
        }
    }
    if (!nodes_.empty()) split_airflow_links();
    equipment_.clear();
    nodes_.clear();
    node_list_copies_.clear();
}

// The airflow network around a terminal that now feeds from a node of its
// own: a network node for that node, and the link that reached the zone's
// supply node through a duct reaching it instead, with a nearly lossless
// short duct from it to the supply node.
void Migration::split_airflow_links() {
    std::unordered_map<std::string, std::string_view, StringHash, std::equal_to<>> moved;  // network node -> new one
    const size_t count = objects_.size();
    for (size_t n = 0; n < count; ++n) {
        const Object& node = objects_[n];
        if (node.removed || node.key != "AIRFLOWNETWORK:DISTRIBUTION:NODE" || node.values.size() < 2) continue;
        const auto inlet = nodes_.find(to_upper(std::string(trim(node.values[1]))));
        if (inlet == nodes_.end()) continue;
        std::vector<std::string_view> values = node.values;
        values[0] = keep(std::string(trim(node.values[0])) + " ATInlet");
        values[1] = inlet->second;
        moved.emplace(to_upper(std::string(trim(node.values[0]))), values[0]);
        made("AirflowNetwork:Distribution:Node", std::move(values));
    }
    if (moved.empty()) return;
    for (size_t n = 0; n < count; ++n) {
        Object& link = objects_[n];
        if (link.removed || link.key != "AIRFLOWNETWORK:DISTRIBUTION:LINKAGE" || link.values.size() < 3) continue;
        const auto to = moved.find(to_upper(std::string(trim(link.values[2]))));
        if (to == moved.end()) continue;
        std::vector<std::string_view> v = link.values;
        v.resize(5);
        const std::string_view name = keep(std::string(trim(v[0])) + " ATInlet");
        const Object* duct = object_named("AIRFLOWNETWORK:DISTRIBUTION:COMPONENT:DUCT", v[3]);
        if (duct == nullptr) {
            note(link, 2, "left as it is: its component is not a duct to split", false);
            continue;
        }
        std::vector<std::string_view> d = duct->values;
        d.resize(10);
        const std::string_view component = keep(std::string(name) + " Duct");
        made("AirflowNetwork:Distribution:Component:Duct",
             {component, "0.0001", d[2], d[3], d[4], "0.0", "0.0000001", "0.0000001", d[8], d[9]});
        made("AirflowNetwork:Distribution:Linkage", {name, to->second, v[2], component, v[4]});
        link.values[2] = to->second;
        link.changed = true;
    }
}

// A copy of the node list named `name`, named after it, with the first of
// its nodes a terminal now feeds from elsewhere replaced; its name, or empty
// when there is no such list or it names none of those nodes.
std::string_view Migration::node_list_copy(std::string_view name) {
    const std::string key = to_upper(std::string(trim(name)));
    if (key.empty()) return {};
    if (const auto done = node_list_copies_.find(key); done != node_list_copies_.end()) return done->second;
    std::string_view made;
    if (const Object* list = object_named("NODELIST", name); list != nullptr) {
        for (size_t k = 1; k < list->values.size(); ++k) {
            const auto node = nodes_.find(to_upper(std::string(trim(list->values[k]))));
            if (node == nodes_.end()) continue;
            Object copy;
            copy.class_name = "NodeList";
            copy.key = "NODELIST";
            copy.values = list->values;
            made = keep(std::string(trim(list->values[0])) + " ATInlet");
            copy.values[0] = made;
            copy.values[k] = node->second;
            copy.changed = copy.reshaped = true;
            added_.push_back(std::move(copy));
            break;
        }
    }
    node_list_copies_.emplace(key, made);
    return made;
}

void Migration::apply(Object& obj, const Op& op) {
    std::vector<std::string_view>& v = obj.values;
    const size_t at = static_cast<size_t>(op.field);
    switch (op.kind) {
        case OpKind::insert:
            if (at <= v.size()) {
                v.insert(v.begin() + static_cast<std::ptrdiff_t>(at), op.value);
                obj.reshaped = obj.changed = true;
            } else if (!op.value.empty()) {
                v.resize(at);
                v.push_back(op.value);
                obj.reshaped = obj.changed = true;
            }
            break;
        case OpKind::erase: {
            if (at >= v.size()) break;
            const size_t end = std::min(v.size(), at + static_cast<size_t>(op.count));
            for (size_t k = at; k < end; ++k)
                if (!v[k].empty()) note_removed(obj, op, k - at, k);
            v.erase(v.begin() + static_cast<std::ptrdiff_t>(at), v.begin() + static_cast<std::ptrdiff_t>(end));
            obj.reshaped = obj.changed = true;
            break;
        }
        case OpKind::move: {
            if (at >= v.size()) break;
            const std::string_view value = v[at];
            v.erase(v.begin() + static_cast<std::ptrdiff_t>(at));
            const size_t to = static_cast<size_t>(op.count);
            if (to > v.size()) v.resize(to);
            v.insert(v.begin() + static_cast<std::ptrdiff_t>(to), value);
            obj.reshaped = obj.changed = true;
            break;
        }
        case OpKind::choice:
            if (at < v.size() && v[at].size() == op.match.size() && equal_fold(v[at], op.match)) {
                v[at] = op.value;
                obj.changed = true;
            }
            break;
        case OpKind::fill:
            if (at < v.size() && !v[at].empty()) break;
            if (at >= v.size()) v.resize(at + 1);
            v[at] = op.value;
            obj.changed = true;
            break;
        case OpKind::set:
            if (at >= v.size()) {
                if (op.value.empty()) break;
                v.resize(at + 1);
            }
            if (v[at] == op.value) break;
            if (!v[at].empty() && !equal_fold(v[at], op.value))
                note(obj, op.field, label_of(op, 0, at) + " set to " + op.value + " (was " + std::string(v[at]) + ")",
                     false);
            v[at] = op.value;
            obj.changed = true;
            break;
        case OpKind::remove:
            note(obj, -1, "removed: " + op.value, true);
            obj.removed = true;
            break;
        case OpKind::code: apply_code(obj, op); break;
        case OpKind::each_insert:
        case OpKind::each_erase: {
            const size_t size = static_cast<size_t>(op.size);
            const size_t offset = static_cast<size_t>(op.count);
            std::vector<std::string_view> out(v.begin(),
                                              v.begin() + static_cast<std::ptrdiff_t>(std::min(at, v.size())));
            for (size_t g = at; g < v.size(); g += size) {
                const size_t end = std::min(v.size(), g + size);
                for (size_t k = g; k < end; ++k) {
                    if (op.kind == OpKind::each_erase && k - g == offset) {
                        if (!v[k].empty()) note_removed(obj, op, 0, k);
                        continue;
                    }
                    if (op.kind == OpKind::each_insert && k - g == offset) out.push_back(op.value);
                    out.push_back(v[k]);
                }
                if (op.kind == OpKind::each_insert && offset == size && end - g == size) out.push_back(op.value);
            }
            v = std::move(out);
            obj.reshaped = obj.changed = true;
            break;
        }
    }
}

void Migration::apply_code(Object& obj, const Op& op) {
    std::string_view args = op.value;
    const std::string_view routine = word(args);
    if (routine == "name-blank") {
        // A blank name becomes ARGS and the next number no object of the
        // class is named with.
        if (!obj.values.empty() && !trim(obj.values[0]).empty()) return;
        const auto& used = names_of(obj.key);
        std::string name;
        do {
            name = std::string(args) + " " + std::to_string(++counters_[obj.key]);
        } while (used.count(to_upper(name)) != 0);
        if (obj.values.empty()) obj.values.resize(1);
        obj.values[0] = keep(std::move(name));
        obj.changed = true;
        note(obj, 0, "named " + std::string(obj.values[0]), false);
        return;
    }
    if (small_routine(obj, routine, args)) return;
    if (routine == "terminal-with-unit") {
        // An air terminal that stood alone in the zone's equipment list:
        // it becomes the terminal of ARGS (name, schedule, inlet node, outlet
        // node, the rest as they were) inside a new air distribution unit,
        // fed from a node named after the zone's supply node.
        std::vector<std::string_view>& v = obj.values;
        if (v.size() < 3) v.resize(3);
        const std::string_view name = v[0];
        const std::string_view supply = v[2];
        const std::string_view inlet = keep(std::string(supply) + " ATInlet");
        v.insert(v.begin() + 2, inlet);
        const std::string_view old_class = obj.class_name;
        obj.class_name = keep(std::string(args));
        obj.key = to_upper(std::string(args));
        obj.reshaped = obj.changed = true;
        const std::string_view unit = keep(std::string(name) + " ADU");
        Object adu;
        adu.class_name = "ZoneHVAC:AirDistributionUnit";
        adu.key = "ZONEHVAC:AIRDISTRIBUTIONUNIT";
        adu.values = {unit, supply, obj.class_name, name};
        // The terminal's sizing object (its old field 7) is the unit's.
        if (v.size() > 7) {
            if (!trim(v[7]).empty()) adu.values.insert(adu.values.end(), {{}, {}, v[7]});
            v.resize(7);
        }
        adu.changed = adu.reshaped = true;
        equipment_[to_upper(std::string(old_class)) + "," + to_upper(std::string(name))] = {adu.class_name, unit};
        nodes_[to_upper(std::string(supply))] = inlet;
        note(obj, -1, "now " + std::string(args) + " inside ZoneHVAC:AirDistributionUnit " + std::string(unit), false);
        added_.push_back(std::move(adu));
        return;
    }
    if (routine == "cycling-to-coils") {
        // ARGS: the heating coil's type and name fields, the cooling coil's,
        // and the first of the four cycling inputs (maximum cycling rate, time
        // constant, on-cycle power fraction, fan delay), before they go.
        const std::vector<int> f = field_numbers(args);
        if (f.size() != 5) return note(obj, -1, "cycling-to-coils takes 5 fields", true);
        const auto at = [&](int field) {
            return field > 0 && static_cast<size_t>(field) <= obj.values.size()
                       ? obj.values[static_cast<size_t>(field) - 1]
                       : std::string_view();
        };
        const Cycling moved{obj.values.empty() ? std::string_view() : obj.values[0], at(f[4]), at(f[4] + 1),
                            at(f[4] + 3)};
        for (int k = 0; k < 4; k += 2) {
            if (at(f[k]).empty() || at(f[k + 1]).empty()) continue;
            cycling_[to_upper(std::string(at(f[k]))) + "," + to_upper(std::string(at(f[k + 1])))] = moved;
        }
        return;
    }
    if (routine == "cycling-from-parent") {
        // ARGS: where the part-load curve, the maximum cycling rate, the
        // time constant and the fan delay go (0: not in this coil).
        const std::vector<int> f = field_numbers(args);
        if (f.size() != 4) return note(obj, -1, "cycling-from-parent takes 4 fields", true);
        cycling_coils_.push_back({static_cast<size_t>(&obj - objects_.data()), f[0], f[1], f[2], f[3]});
        return;
    }
    if (routine == "daylighting-controls") return daylighting_controls(obj);
    if (routine == "table-one" || routine == "table-two" || routine == "table-multi")
        return table_routine(obj, routine);
    if (routine == "coefficients-to-curve") {
        // ARGS: FIELD COUNT CURVE-CLASS PREFIX. The COUNT coefficients from
        // FIELD become a curve of CURVE-CLASS (named PREFIX and its number in
        // this step; each variable from -100 to 100), and FIELD names it.
        const std::vector<int> f = field_numbers(args.substr(0, args.find(' ', args.find(' ') + 1)));
        std::string_view rest = args;
        word(rest), word(rest);
        const std::string_view curve_class = word(rest);
        const std::string_view prefix = trim(rest);
        if (f.size() != 2 || f[0] <= 0 || f[1] <= 1 || curve_class.empty() || prefix.empty())
            return note(obj, -1, "coefficients-to-curve takes FIELD COUNT CLASS PREFIX", true);
        const size_t at = static_cast<size_t>(f[0]) - 1, count = static_cast<size_t>(f[1]);
        std::vector<std::string_view>& v = obj.values;
        if (v.size() < at + count) v.resize(at + count);
        const std::string_view name = keep(std::string(prefix) + " " +
                                           std::to_string(++counters_[std::string(prefix)]));
        Object curve;
        curve.class_name = curve_class;
        curve.key = to_upper(std::string(curve_class));
        curve.values.push_back(name);
        curve.values.insert(curve.values.end(), v.begin() + static_cast<std::ptrdiff_t>(at),
                            v.begin() + static_cast<std::ptrdiff_t>(at + count));
        for (size_t k = 1; k < count; ++k) curve.values.insert(curve.values.end(), {"-100", "100"});
        curve.changed = curve.reshaped = true;
        added_.push_back(std::move(curve));
        v.erase(v.begin() + static_cast<std::ptrdiff_t>(at + 1), v.begin() + static_cast<std::ptrdiff_t>(at + count));
        v[at] = name;
        obj.reshaped = obj.changed = true;
        note(obj, static_cast<int32_t>(at), "coefficients now " + std::string(curve_class) + " " + std::string(name),
             false);
        return;
    }
    if (routine == "internal-source") {
        // The radiant construction becomes a plain Construction of its
        // layers and a ConstructionProperty:InternalHeatSource naming it.
        std::vector<std::string_view>& v = obj.values;
        if (v.size() < 6) v.resize(6);
        Object source;
        source.class_name = "ConstructionProperty:InternalHeatSource";
        source.key = "CONSTRUCTIONPROPERTY:INTERNALHEATSOURCE";
        source.values = {keep(std::string(v[0]) + " Heat Source"), v[0], v[1], v[2], v[3], v[4], v[5]};
        source.changed = source.reshaped = true;
        note(obj, -1, "now Construction with ConstructionProperty:InternalHeatSource " + std::string(source.values[0]),
             false);
        added_.push_back(std::move(source));
        v.erase(v.begin() + 1, v.begin() + 6);
        obj.class_name = "Construction";
        obj.key = "CONSTRUCTION";
        obj.reshaped = obj.changed = true;
        return;
    }
    if (routine == "shading-control") {
        shading_controls_.push_back(static_cast<size_t>(&obj - objects_.data()));
        return;
    }
    if (routine == "shading-window") {
        // ARGS: the window's field naming its shading control (before it goes).
        const std::vector<int> f = field_numbers(args);
        const size_t at = f.empty() || f[0] <= 0 ? 0 : static_cast<size_t>(f[0]);
        if (at == 0 || obj.values.size() < at || obj.values.size() < 3 || trim(obj.values[at - 1]).empty()) return;
        const size_t surface = obj.key == "FENESTRATIONSURFACE:DETAILED" ? 3 : 2;
        shaded_windows_.push_back({to_upper(std::string(trim(obj.values[at - 1]))), obj.values[surface], obj.values[0],
                                   static_cast<size_t>(&obj - objects_.data())});
        return;
    }
    if (routine == "delight-controls") {
        // The DElight method's controls become Daylighting:Controls; their
        // reference points join them after this step's objects are seen.
        std::vector<std::string_view> o = obj.values;
        o.resize(8);
        obj.class_name = "Daylighting:Controls";
        obj.key = "DAYLIGHTING:CONTROLS";
        obj.values = {o[0], o[1], "DElight", {},  control_type(o[2]), o[3], o[4], zero_blank(o[5]), o[6],
                      {},   "0",  {},        o[7]};
        obj.reshaped = obj.changed = true;
        delight_[to_upper(std::string(o[0]))] = {static_cast<size_t>(&obj - objects_.data()), o[1]};
        return;
    }
    if (routine == "delight-point") {
        delight_points_.push_back(static_cast<size_t>(&obj - objects_.data()));
        return;
    }
    // A routine the table lacks is a fault of the rules text, which the
    // tests catch.
    note(obj, -1, "no routine " + std::string(routine), true);
}

void Migration::rename_types(Object& obj, const Step& step) {
    for (std::string_view& value : obj.values) {
        if (value.size() < 3 || value.find(':') == std::string_view::npos) continue;
        upper_.assign(value);
        for (char& c : upper_) c = ascii_upper(c);
        const auto found = step.types.find(upper_);
        if (found == step.types.end()) continue;
        value = found->second;
        obj.changed = true;
    }
}

void Migration::rename_variables(Object& obj, const Step& step) {
    for (const VariableField& f : kVariableFields) {
        if (obj.key != f.key) continue;
        for (size_t k = static_cast<size_t>(f.first); k < obj.values.size();
             k += f.stride ? f.stride : obj.values.size()) {
            if (obj.values[k].empty()) continue;
            upper_.assign(obj.values[k]);
            for (char& c : upper_) c = ascii_upper(c);
            const auto found = step.variables.find(upper_);
            if (found != step.variables.end()) {
                if (found->second.empty()) {
                    // An output request of what is no longer reported goes;
                    // a name inside a table or a meter stays for its owner.
                    if (f.stride == 0 && obj.key != "ENERGYMANAGEMENTSYSTEM:SENSOR") {
                        note(obj, static_cast<int32_t>(k),
                             "removed: the engine no longer reports " + std::string(obj.values[k]), false);
                        obj.removed = true;
                        return;
                    }
                    note(obj, static_cast<int32_t>(k),
                         std::string(obj.values[k]) + " is no longer reported: left as it is", true);
                    continue;
                }
                obj.values[k] = found->second;
                obj.changed = true;
                continue;
            }
            const auto prefix = std::find_if(step.prefixes.begin(), step.prefixes.end(),
                                             [&](const auto& p) { return upper_.starts_with(p.first); });
            if (prefix != step.prefixes.end()) {
                obj.values[k] = keep(prefix->second + std::string(obj.values[k].substr(prefix->first.size())));
                obj.changed = true;
                continue;
            }
            if (step.words.empty()) continue;
            // Whole words, between blanks, colons and the ends.
            std::string text(obj.values[k]);
            bool renamed = false;
            for (const auto& [from, to] : step.words) {
                std::string folded = to_upper(text);
                size_t at = 0;
                while ((at = folded.find(from, at)) != std::string::npos) {
                    const size_t end = at + from.size();
                    const bool starts = at == 0 || folded[at - 1] == ' ' || folded[at - 1] == ':';
                    const bool ends = end == folded.size() || folded[end] == ' ' || folded[end] == ':';
                    // A fuel's word names the fuel in a meter (next to a
                    // colon) or in a rate or an energy at the name's end,
                    // not the equipment named after it ("Gas Equipment").
                    const std::string_view rest = std::string_view(folded).substr(end);
                    const bool fuel = (at > 0 && folded[at - 1] == ':') || rest.empty() || rest.front() == ':' ||
                                      rest == " RATE" || rest == " ENERGY";
                    if (!starts || !ends || !fuel) {
                        at = end;
                        continue;
                    }
                    text.replace(at, from.size(), to);
                    folded.replace(at, from.size(), to_upper(to));
                    at += to.size();
                    renamed = true;
                }
            }
            if (!renamed) continue;
            obj.values[k] = keep(std::move(text));
            obj.changed = true;
        }
        return;
    }
}

bool Migration::run(const SlotSource& slots) {
    const Rules& all = rules();
    if (!all.error.empty()) {
        result_.error = all.error;
        return false;
    }
    const int from = version_index(options_.from);
    const int to = version_index(options_.to);
    if (from < 0) {
        result_.error = "cannot migrate from version " + std::string(options_.from) + ": the versions known are " +
                        versions().front() + " to " + versions().back();
        return false;
    }
    if (to < 0) {
        result_.error = "cannot migrate to version " + std::string(options_.to) + ": the versions known are " +
                        versions().front() + " to " + versions().back();
        return false;
    }
    if (to < from) {
        result_.error = "cannot migrate from version " + versions()[static_cast<size_t>(from)] + " back to " +
                        versions()[static_cast<size_t>(to)];
        return false;
    }

    const size_t count = slots.slot_count();
    objects_.resize(count);
    ObjectView view;
    for (size_t slot = 0; slot < count; ++slot) {
        Object& obj = objects_[slot];
        obj.origin = slot;
        if (slots.view(slot, view) != SlotState::object) {
            obj.removed = true;
            continue;
        }
        obj.class_name = view.class_name;
        obj.key = to_upper(std::string(view.class_name));
        obj.values.resize(view.values.size());
        for (size_t k = 0; k < view.values.size(); ++k) obj.values[k] = view.values[k];
    }

    for (int i = from; i < to; ++i) {
        const Step& step = all.steps[static_cast<size_t>(i)];
        step_name_ = step.from + " -> " + step.to;
        const bool variables = !step.variables.empty() || !step.words.empty() || !step.prefixes.empty();
        const bool types = !step.types.empty();
        counters_.clear();
        by_name_.clear();
        names_in_use_.clear();
        for (size_t n = 0; n < objects_.size(); ++n) {
            Object* obj = &objects_[n];  // routines add objects to added_, so this stays valid
            if (obj->removed) continue;
            const auto found = step.classes.find(obj->key);
            if (found != step.classes.end()) {
                for (const Op& op : found->second.ops) {
                    apply(*obj, op);
                    if (obj->removed) break;
                }
                if (!obj->removed && !found->second.rename.empty()) {
                    obj->class_name = found->second.rename;
                    obj->key = to_upper(found->second.rename);
                    obj->reshaped = obj->changed = true;
                }
            }
            if (obj->removed) continue;
            if (variables) rename_variables(*obj, step);
            if (types) rename_types(*obj, step);
        }
        if (!cycling_coils_.empty()) link_cycling();
        if (!foundation_floors_.empty() || !first_names_.empty() || !vav_fans_.empty()) link_small();
        diagnostics_ = SIZE_MAX;

        if (!delight_points_.empty() || !daylit_zones_.empty()) link_daylighting();
        if (!shading_controls_.empty() || !shaded_windows_.empty()) link_shading();
        delight_.clear();
        cycling_.clear();
        if (!equipment_.empty() || !nodes_.empty()) relink();
        for (Object& made : added_) objects_.push_back(std::move(made));
        added_.clear();
        ++result_.steps;
    }

    // The version the document now states.
    const std::string& stated = versions()[static_cast<size_t>(to)];
    for (Object& obj : objects_) {
        if (obj.removed || obj.key != "VERSION") continue;
        if (obj.values.empty()) obj.values.resize(1);
        if (!same_major_minor(obj.values[0], stated)) {
            obj.values[0] = stated;
            obj.changed = true;
        }
    }
    return write(slots);
}

// The migrated objects as the writers walk them: slot for slot the
// source's, then the objects the rules made.
class MigratedSlots final : public SlotSource {
public:
    struct Entry {
        const ClassDef* cls = nullptr;
        std::string_view class_name;
        ValuesView values;
        bool reshaped = false;
        bool live = false;
        bool same = false;  // the source's object, untouched
    };
    std::vector<Entry> entries;

    size_t slot_count() const noexcept override { return entries.size(); }
    SlotState view(size_t slot, ObjectView& out) const noexcept override {
        const Entry& e = entries[slot];
        if (!e.live) return SlotState::empty;
        out = ObjectView{e.cls, e.class_name, e.values};
        return SlotState::object;
    }
    bool unchanged(size_t slot) const noexcept override { return entries[slot].same; }
    bool reshaped(size_t slot) const noexcept override { return entries[slot].reshaped; }
};

bool Migration::write(const SlotSource& slots) {
    const c_IDD& target = *options_.target;
    MigratedSlots out;
    std::vector<FieldValues> owned;
    owned.reserve(objects_.size());
    out.entries.resize(objects_.size());
    ObjectView view;
    for (size_t n = 0; n < objects_.size(); ++n) {
        Object& obj = objects_[n];
        MigratedSlots::Entry& e = out.entries[n];
        if (obj.removed) continue;
        e.cls = find_class(target, obj.class_name);
        if (!e.cls) {
            note(obj, -1,
                 "removed: version " + versions()[static_cast<size_t>(version_index(options_.to))] + " has no class " +
                     std::string(obj.class_name),
                 true);
            continue;
        }
        e.live = true;
        e.class_name = e.cls->name;
        e.reshaped = obj.reshaped;
        if (!obj.changed && obj.origin != SIZE_MAX && slots.view(obj.origin, view) == SlotState::object) {
            e.values = view.values;
            e.same = slots.unchanged(obj.origin) && view.class_name == e.class_name;
            continue;
        }
        FieldValues& values = owned.emplace_back();
        for (const std::string_view v : obj.values) values.push_back(v);
        e.values = values.view();
    }
    WriteResult written;
    if (options_.source) {
        write_kept_layout(result_.text, *options_.source, out, written);
    } else {
        FormatConfig config;
        config.compact = true;
        ClassIndex none;
        write_document(result_.text, config, true, &target, none, out, written);
    }
    if (written.out_of_memory) {
        result_.error = "out of memory";
        return false;
    }
    return true;
}

}  // namespace

const std::vector<std::string>& versions() noexcept {
    static const std::vector<std::string> kVersions = {
        "8.0", "8.1", "8.2", "8.3", "8.4",  "8.5",  "8.6",  "8.7",  "8.8",  "8.9",  "9.0",  "9.1", "9.2",
        "9.3", "9.4", "9.5", "9.6", "22.1", "22.2", "23.1", "23.2", "24.1", "24.2", "25.1", "25.2"};
    return kVersions;
}

int version_index(std::string_view version) noexcept {
    const std::vector<std::string>& known = versions();
    for (size_t i = 0; i < known.size(); ++i)
        if (same_major_minor(version, known[i])) return static_cast<int>(i);
    return -1;
}

bool migrate(const SlotSource& slots, const Options& options, Result& result) noexcept {
    try {
        Migration migration(options, result);
        return migration.run(slots);
    } catch (const std::bad_alloc&) {
        result.error = "out of memory";
    } catch (const std::length_error&) {
        result.error = "a value grew past 4 GiB";
    }
    result.text.clear();
    return false;
}

std::string_view rules_text() noexcept { return kRulesText; }

namespace {
const char kRulesText[] =
#include "core/migration/rules.inc"
    ;
}  // namespace

}  // namespace tarvix::migration
