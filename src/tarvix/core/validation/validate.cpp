// One pass over the slots in document order checks each object and each of
// its values; names seen so far catch duplicates and repeated unique
// objects; the classes never seen give the missing required objects at the
// end.
#include "core/validation/validate.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <memory>
#include <unordered_map>

#include "core/base/hash.h"
#include "core/base/index_table.h"
#include "core/text/number.h"
#include "core/text/text.h"
#include "core/text/version.h"
#include "core/schedules/schedules.h"

namespace tarvix {
namespace {

constexpr std::string_view kCodeNames[kProblemCodes] = {
    "unknown-reference", "required-field",      "required-object",   "unique-object",          "duplicate-name",
    "not-a-number",      "not-an-integer",      "below-minimum",     "above-maximum",          "not-a-choice",
    "too-many-fields",   "schedule-incomplete", "schedule-bad-time", "schedule-out-of-limits", "schedule-bad-date",
    "too-few-fields",    "version-mismatch",    "obsolete-class",    "deprecated-field",       "schedule-day-uncovered",
};

constexpr BuiltinName kBuiltin[] = {
    // fluids: the engine's own steam tables and glycols
    {"FluidNames", "Steam"},
    {"FluidAndGlycolNames", "Water"},
    {"FluidAndGlycolNames", "EthyleneGlycol"},
    {"FluidAndGlycolNames", "PropyleneGlycol"},
    // schedules of a constant 0 and 1
    {"ScheduleNames", "Constant-0.0"},
    {"ScheduleNames", "Constant-1.0"},
};

// Classes whose objects add to another object, named in their first field,
// and that the engine leaves unused when no object has that name: an
// unknown name there is a warning.
constexpr std::string_view kAttachments[] = {
    "AirflowNetwork:Distribution:DuctViewFactors",
    "AirflowNetwork:MultiZone:Surface",
    "DaylightingDevice:LightWell",
    "FanPerformance:NightVentilation",
    "MaterialProperty:HeatAndMoistureTransfer:Diffusion",
    "MaterialProperty:HeatAndMoistureTransfer:Redistribution",
    "MaterialProperty:HeatAndMoistureTransfer:Settings",
    "MaterialProperty:HeatAndMoistureTransfer:SorptionIsotherm",
    "MaterialProperty:HeatAndMoistureTransfer:Suction",
    "MaterialProperty:HeatAndMoistureTransfer:ThermalConductivity",
    "MaterialProperty:MoisturePenetrationDepth:Settings",
    "MaterialProperty:PhaseChange",
    "MaterialProperty:VariableThermalConductivity",
    "RoomAirSettings:CrossVentilation",
    "RoomAirSettings:OneNodeDisplacementVentilation",
    "RoomAirSettings:ThreeNodeDisplacementVentilation",
    "RoomAirSettings:UnderFloorAirDistributionExterior",
    "RoomAirSettings:UnderFloorAirDistributionInterior",
    "ShadingProperty:Reflectance",
    "Sizing:Plant",
    "Sizing:System",
    "SolarCollector:UnglazedTranspired:Multisystem",
    "SpaceHVAC:EquipmentConnections",
    "SurfaceProperties:VaporCoefficients",
    "WaterHeater:Sizing",
};

// Lists whose missing member the engine only warns of, and what it does
// instead: a schedule whose limits are not there is run unchecked.
struct Tolerated {
    std::string_view object_list, consequence;
};
constexpr Tolerated kTolerated[] = {
    {"ScheduleTypeLimitsNames", "; the engine runs the schedule without checking it against limits"},
};

// What the engine does instead when a reference of `field` names nothing, or
// empty when it refuses the document.
std::string_view tolerated(const FieldDef& field) {
    const auto lists = field.object_lists();
    if (lists.size() != 1) return {};
    for (const Tolerated& t : kTolerated)
        if (equal_fold(t.object_list, *lists.begin())) return t.consequence;
    return {};
}

bool is_attachment(std::string_view class_name) {
    for (const std::string_view name : kAttachments)
        if (equal_fold(name, class_name)) return true;
    return false;
}

std::string format_number(double value) {
    char digits[32];
    const auto [end, ec] = std::to_chars(digits, digits + sizeof digits, value);
    return ec == std::errc() ? std::string(digits, end) : std::string();
}

// The names seen so far per class, compared ignoring ASCII case. Keys view
// the document's values, which do not change while a check runs.
struct NameKey {
    uint32_t class_idx;
    std::string_view name;
};

// The names met so far, found through the house's table by the hash of
// the class and the folded name; the hash is keyed per process, so no
// document can make the probes pile up.
class NameSet {
public:
    // Room for `count` names. Throws std::bad_alloc.
    void reserve(size_t count) {
        names_.reserve(count);
        table_.reserve(count);
    }

    // False when the class already has the name (ignoring ASCII case).
    // Throws std::bad_alloc when it must grow past the room reserved.
    bool insert(const NameKey& k) {
        const auto hash = static_cast<uint32_t>(siphash13_folded(key_, k.class_idx, k.name.data(), k.name.size()));
        const uint32_t found = table_.find(hash, [&](uint32_t index) {
            return names_[index].class_idx == k.class_idx && equal_fold(names_[index].name, k.name);
        });
        if (found != IndexTable::kNone) return false;
        table_.reserve(names_.size() + 1);
        names_.push_back(k);
        table_.insert(hash, static_cast<uint32_t>(names_.size() - 1));
        return true;
    }

private:
    HashKey key_ = process_hash_key();
    std::vector<NameKey> names_;
    IndexTable table_;
};

// What checking one field of a class takes, worked out once per class from
// its definition and the checks asked for, so that each value costs a
// switch rather than a walk through the field's definition.
struct FieldPlan {
    enum Action : uint8_t { none, number, choice, reference };
    const FieldDef* field = nullptr;
    Action action = none;
    bool needs_value = false;  // a number whose value matters: an integer, a minimum or a maximum to check
    bool deprecated = false;   // a value there is a problem
    bool required = false;     // an empty value there is a problem (no default fills it)
};

struct ClassPlan {
    bool built = false;
    std::vector<FieldPlan> fields;  // as cls->fields
};

class Checker {
public:
    Checker(const SlotSource& slots, const c_IDD& schema, const RefMap& targets, uint32_t codes,
            std::vector<Problem>& out, std::string_view folder)
        : slots_(slots),
          schema_(schema),
          targets_(targets),
          codes_(codes),
          out_(out),
          first_(out.size()),
          folder_(folder) {}

    void run() {
        const size_t classes = schema_.ordered_classes.size();
        present_.assign(classes, 0);
        if (wants(ProblemCode::version_mismatch)) {
            schema_version_ = schema_version(schema_);
            version_class_ = find_class(schema_, "VERSION");
        }
        if (wants(ProblemCode::unknown_reference)) collect_tags();
        plans_.resize(classes);
        const size_t count = slots_.slot_count();
        if (wants(ProblemCode::duplicate_name)) names_.reserve(count);
        for (size_t slot = 0; slot < count; ++slot) {
            ObjectView object;
            if (slots_.view(slot, object) != SlotState::object || !object.cls) continue;
            check_object(slot, object);
        }
        if (wants(ProblemCode::required_object)) {
            for (size_t k = 0; k < classes; ++k) {
                const ClassDef& cls = schema_.ordered_classes[k];
                if (!cls.required_object || present_[k]) continue;
                Problem& problem = add(ProblemCode::required_object, &cls, SIZE_MAX, {});
                problem.message = "The document has no " + std::string(cls.name) + " object; the schema requires one.";
            }
        }
        check_schedules();
    }

private:
    bool wants(ProblemCode code) const { return (codes_ & code_bit(code)) != 0; }

    // What the engine would report of the schedules, found by the evaluator
    // itself, each problem among those of its object.
    void check_schedules() {
        static constexpr ProblemCode kinds[] = {ProblemCode::schedule_incomplete, ProblemCode::schedule_bad_time,
                                                ProblemCode::schedule_out_of_limits,
                                                ProblemCode::schedule_day_uncovered, ProblemCode::schedule_bad_date};
        if (!std::any_of(std::begin(kinds), std::end(kinds), [&](ProblemCode c) { return wants(c); })) return;
        schedules::Model model;
        schedules::read_model(slots_, schema_, model, {.folder = {}, .own_folder = folder_, .as_named = false});
        const size_t before = out_.size();
        for (const schedules::Model::Finding& finding : model.findings) {
            const ProblemCode code = kinds[static_cast<size_t>(finding.kind)];
            if (!wants(code)) continue;
            ObjectView object;
            if (slots_.view(finding.slot, object) != SlotState::object) continue;
            Problem& problem = finding.field >= 0
                                   ? add_field(code, object.cls, finding.slot, object.values,
                                               static_cast<size_t>(finding.field),
                                               object.values.at_or_empty(static_cast<size_t>(finding.field)))
                                   : add(code, object.cls, finding.slot, object.values);
            problem.message = subject(problem) + ": " + finding.message;
        }
        if (out_.size() == before) return;
        // Document order: by object, the problems of the document as a whole last.
        std::stable_sort(out_.begin() + static_cast<std::ptrdiff_t>(first_), out_.end(),
                         [](const Problem& a, const Problem& b) { return a.obj_idx < b.obj_idx; });
    }

    uint32_t index_of(const ClassDef* cls) const { return static_cast<uint32_t>(cls - schema_.ordered_classes.data()); }

    bool in_schema(const ClassDef* cls) const {
        const auto& classes = schema_.ordered_classes;
        return !classes.empty() && cls >= classes.data() && cls < classes.data() + classes.size();
    }

    // The tags some field enters names under, and those under which class
    // names are valid values, with the classes that give them: "tag\0CLASS
    // NAME"; all upper-cased.
    void collect_tags() {
        for (const ClassDef& cls : schema_.ordered_classes)
            for (const FieldDef& field : cls.fields) {
                for (const std::string_view tag : field.references()) entered_tags_.emplace(tag_key(tag, {}), 0);
                for (const std::string_view tag : field.reference_class_names()) {
                    entered_tags_.emplace(tag_key(tag, {}), 0);
                    class_name_tags_.emplace(tag_key(tag, cls.name), 0);
                }
            }
    }

    static std::string tag_key(std::string_view tag, std::string_view name) {
        std::string key;
        key.reserve(tag.size() + 1 + name.size());
        for (char c : tag) key.push_back(ascii_upper(c));
        key.push_back('\0');
        for (char c : name) key.push_back(ascii_upper(c));
        return key;
    }

    // `text` for a message: whole up to kQuoted bytes, else cut there at a
    // character boundary and ended with an ellipsis.
    static std::string& append_quoted(std::string& out, std::string_view text) {
        if (text.size() <= kQuoted) return out.append(text);
        size_t end = kQuoted;
        while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
        return out.append(text.substr(0, end)).append("\u2026");
    }

    static std::string quote(std::string_view text) {
        std::string out;
        append_quoted(out, text);
        return out;
    }

    Problem& add(ProblemCode code, const ClassDef* cls, size_t slot, ValuesView values) {
        Problem& problem = out_.emplace_back();
        problem.code = code;
        problem.error = is_error(code);
        problem.cls = cls;
        if (cls) problem.class_name = cls->name;
        problem.obj_idx = slot;
        if (slot != SIZE_MAX) problem.object_name = object_name(cls, values);
        return problem;
    }

    Problem& add_field(ProblemCode code, const ClassDef* cls, size_t slot, ValuesView values, size_t field_idx,
                       std::string_view value) {
        Problem& problem = add(code, cls, slot, values);
        problem.field_index = static_cast<int64_t>(field_idx);
        append_field_name(problem.field_name, cls, problem.field_index, false);
        problem.value = value;
        problem.has_value = true;
        return problem;
    }

    // "a, b, c<last>d", naming at most kListed items: a schema may give a
    // field thousands of choices, and every problem carries its message.
    static void append_list(std::string& out, Views items, std::string_view last) {
        constexpr size_t kListed = 12;
        const size_t shown = std::min(items.size(), kListed);
        for (size_t k = 0; k < shown; ++k) {
            if (k) out.append(k + 1 == items.size() ? last : ", ");
            out.append(items[k]);
        }
        if (shown < items.size()) out.append(" and ").append(std::to_string(items.size() - shown)).append(" more");
    }

    // "Zone 'Core'" or "Version object 0", then the field when there is one.
    static std::string subject(const Problem& problem) {
        std::string text(problem.class_name);
        if (!problem.object_name.empty()) {
            append_quoted(text.append(" '"), problem.object_name).append("'");
        } else if (problem.obj_idx != SIZE_MAX) {
            text.append(" object ").append(std::to_string(problem.obj_idx));
        }
        if (problem.field_index >= 0) {
            text.append(", field '");
            if (problem.field_name.empty())
                text.append(std::to_string(problem.field_index));
            else
                append_quoted(text, problem.field_name);
            text.append("'");
        }
        return text;
    }

    void check_object(size_t slot, const ObjectView& object) {
        const ClassDef* cls = object.cls;
        const ValuesView values = object.values;
        if (in_schema(cls)) {
            const uint32_t k = index_of(cls);
            if (present_[k]++ && cls->unique_object && wants(ProblemCode::unique_object)) {
                Problem& problem = add(ProblemCode::unique_object, cls, slot, values);
                problem.message = subject(problem) + ": a document may hold only one " + std::string(cls->name) +
                                  " object, and this is number " + std::to_string(present_[k]) + ".";
            }
            if (wants(ProblemCode::duplicate_name) && !cls->fields.empty() && !cls->fields[0].references().empty() &&
                !values.empty() && !values[0].empty() && !names_.insert(NameKey{k, values[0]})) {
                Problem& problem = add_field(ProblemCode::duplicate_name, cls, slot, values, 0, values[0]);
                problem.message = subject(problem) + ": another " + std::string(cls->name) +
                                  " object is already named '" + quote(problem.value) + "'.";
            }
            if (cls == version_class_ && !values.empty() && !values[0].empty() && !schema_version_.empty() &&
                !same_major_minor(values[0], schema_version_)) {
                Problem& problem = add_field(ProblemCode::version_mismatch, cls, slot, values, 0, values[0]);
                problem.message = subject(problem) + ": the document is version " + quote(problem.value) +
                                  " but the schema is version " + std::string(schema_version_) + ".";
            }
        }
        if (cls->is_obsolete && wants(ProblemCode::obsolete_class)) {
            Problem& problem = add(ProblemCode::obsolete_class, cls, slot, values);
            problem.message = subject(problem) + ": the class " + std::string(cls->name) + " is obsolete";
            if (!cls->obsolete.empty()) problem.message.append(" (").append(cls->obsolete).append(")");
            problem.message.append(".");
        }
        // Padding past the last field of a class (released schemas ask for
        // it) is the writer's to add, not something a document lacks.
        const size_t fewest = std::min(static_cast<size_t>(std::max(cls->min_fields, 0)),
                                       cls->extensible.is_extensible ? SIZE_MAX : cls->fields.size());
        if (values.size() < fewest && wants(ProblemCode::too_few_fields)) {
            Problem& problem = add(ProblemCode::too_few_fields, cls, slot, values);
            problem.message = subject(problem) + ": " + std::to_string(values.size()) + " fields, fewer than the " +
                              std::to_string(cls->min_fields) +
                              " the schema asks for; they are written padded with empty fields.";
        }
        const size_t used = values.used();
        const ExtensibleDef& ext = cls->extensible;
        const bool repeating = ext.is_extensible;
        if (!repeating && used > cls->fields.size() && wants(ProblemCode::too_many_fields)) {
            const size_t extra = cls->fields.size();
            Problem& problem = add_field(ProblemCode::too_many_fields, cls, slot, values, extra, values[extra]);
            problem.message = subject(problem) + ": " + std::to_string(used) + " fields, more than the " +
                              std::to_string(cls->fields.size()) + " the class " + std::string(cls->name) + " has.";
        }
        // Fields of the repeating group are required only in the groups
        // that are there; base fields always.
        size_t base = cls->fields.size();
        if (repeating && ext.begin_index >= 0) base = std::min(base, static_cast<size_t>(ext.begin_index));
        const size_t last = std::max(values.size(), base);
        if (in_schema(cls)) {
            check_values(plan_of(index_of(cls)), cls, slot, values, base, last);
            return;
        }
        for (size_t i = 0; i < last; ++i) {
            const FieldDef* field = get_field_def(cls, i);
            if (!field) {
                if (i >= cls->fields.size() && !repeating) break;
                continue;
            }
            const std::string_view value = values.at_or_empty(i);
            if (value.empty()) {
                // A default fills an empty required field.
                if (field->required && field->default_val.empty() && wants(ProblemCode::required_field) &&
                    (i < base || i < values.size())) {
                    Problem& problem = add_field(ProblemCode::required_field, cls, slot, values, i, value);
                    problem.has_value = false;
                    problem.message = subject(problem) + ": a value is required.";
                }
                continue;
            }
            check_value(cls, slot, values, i, *field, value);
        }
    }

    // The values of an object of a schema class, each by its field's plan.
    void check_values(const ClassPlan& plan, const ClassDef* cls, size_t slot, ValuesView values, size_t base,
                      size_t last) {
        const ExtensibleDef& ext = cls->extensible;
        const size_t count = plan.fields.size();
        const size_t stored = values.size();
        // Fields past the first group take the definitions of the first
        // group again; j is the definition of field i.
        const bool wraps = ext.is_extensible && ext.begin_index >= 0 && ext.size > 0;
        const size_t wrap_end = wraps ? static_cast<size_t>(ext.begin_index) + static_cast<size_t>(ext.size) : SIZE_MAX;
        const size_t wrap_to = wraps ? static_cast<size_t>(ext.begin_index) : 0;
        for (size_t i = 0, j = 0; i < last; ++i, j = j + 1 == wrap_end ? wrap_to : j + 1) {
            if (j >= count) {
                if (!ext.is_extensible) break;
                continue;
            }
            const FieldPlan& field = plan.fields[j];
            const std::string_view value = i < stored ? values[i] : std::string_view();
            if (value.empty()) {
                if (field.required && (i < base || i < stored)) {
                    Problem& problem = add_field(ProblemCode::required_field, cls, slot, values, i, value);
                    problem.has_value = false;
                    problem.message = subject(problem) + ": a value is required.";
                }
                continue;
            }
            if (field.deprecated) {
                Problem& problem = add_field(ProblemCode::deprecated_field, cls, slot, values, i, value);
                problem.message = subject(problem) + ": the field is deprecated, yet holds '" + quote(problem.value) +
                                  "'.";
            }
            switch (field.action) {
                case FieldPlan::none: break;
                case FieldPlan::number:
                    if (field.needs_value || !is_short_decimal(value))
                        check_number(cls, slot, values, i, *field.field, value);
                    break;
                case FieldPlan::choice: check_choice(cls, slot, values, i, *field.field, value); break;
                case FieldPlan::reference: check_reference(cls, slot, values, i, *field.field, value); break;
            }
        }
    }

    void check_choice(const ClassDef* cls, size_t slot, ValuesView values, size_t i, const FieldDef& field,
                      std::string_view value) {
        const Views choices = field.choices();
        for (const std::string_view choice : choices)
            if (choice.size() == value.size() && equal_fold(choice, value)) return;
        Problem& problem = add_field(ProblemCode::not_a_choice, cls, slot, values, i, value);
        problem.message = subject(problem) + ": '" + quote(problem.value) + "' is not one of its choices (";
        append_list(problem.message, choices, ", ");
        problem.message.append(").");
    }

    void check_reference(const ClassDef* cls, size_t slot, ValuesView values, size_t i, const FieldDef& field,
                         std::string_view value) {
        if (defined(field, value)) return;
        Problem& problem = add_field(ProblemCode::unknown_reference, cls, slot, values, i, value);
        problem.message = subject(problem) + ": no object in ";
        append_list(problem.message, field.object_lists(), " or ");
        append_quoted(problem.message.append(" is named '"), problem.value).append("'");
        if (i == 0 && is_attachment(cls->name)) {
            problem.error = false;
            problem.message.append("; the engine leaves the object unused");
        } else if (const std::string_view consequence = tolerated(field); !consequence.empty()) {
            problem.error = false;
            problem.message.append(consequence);
        }
        problem.message.append(".");
    }

    void check_value(const ClassDef* cls, size_t slot, ValuesView values, size_t i, const FieldDef& field,
                     std::string_view value) {
        if (field.deprecated && wants(ProblemCode::deprecated_field)) {
            Problem& problem = add_field(ProblemCode::deprecated_field, cls, slot, values, i, value);
            problem.message = subject(problem) + ": the field is deprecated, yet holds '" + quote(problem.value) + "'.";
        }
        const bool numeric = field.numeric() || (field.declared_type == DeclaredType::none && field.kind == 'N');
        if (numeric) {
            check_number(cls, slot, values, i, field, value);
            return;
        }
        if (field.field_type == FIELDTYPE_CHOICE) {
            if (!field.choices().empty() && wants(ProblemCode::not_a_choice))
                check_choice(cls, slot, values, i, field, value);
            return;
        }
        if (field.object_lists().empty() || !wants(ProblemCode::unknown_reference)) return;
        if (checkable(field)) check_reference(cls, slot, values, i, field, value);
    }

    // Whether some field of the schema enters names under one of the
    // field's object-lists. Lists no field enters names under are filled
    // elsewhere: by the engine as it runs (the output variables and meters
    // older schemas give as autoRDDvariable, autoRDDmeter and
    // autoRDDvariableMeter), or by files of their own.
    bool checkable(const FieldDef& field) {
        const auto [known, added] = checkable_.try_emplace(&field, false);
        if (added)
            for (const std::string_view tag : field.object_lists())
                if (entered_tags_.find(tag_key(tag, {})) != entered_tags_.end()) known->second = true;
        return known->second;
    }

    const ClassPlan& plan_of(uint32_t k) {
        ClassPlan& plan = plans_[k];
        if (plan.built) return plan;
        const ClassDef& cls = schema_.ordered_classes[k];
        plan.fields.resize(cls.fields.size());
        const bool numbers = wants(ProblemCode::not_a_number) || wants(ProblemCode::not_an_integer) ||
                             wants(ProblemCode::below_minimum) || wants(ProblemCode::above_maximum);
        for (size_t i = 0; i < cls.fields.size(); ++i) {
            const FieldDef& field = cls.fields[i];
            FieldPlan& out = plan.fields[i];
            out.field = &field;
            out.deprecated = field.deprecated && wants(ProblemCode::deprecated_field);
            out.required = field.required && field.default_val.empty() && wants(ProblemCode::required_field);
            if (field.numeric() || (field.declared_type == DeclaredType::none && field.kind == 'N')) {
                if (numbers) out.action = FieldPlan::number;
                out.needs_value = field.field_type == FIELDTYPE_INTEGER || field.has_minimum || field.has_maximum;
            } else if (field.field_type == FIELDTYPE_CHOICE) {
                if (!field.choices().empty() && wants(ProblemCode::not_a_choice)) out.action = FieldPlan::choice;
            } else if (!field.object_lists().empty() && wants(ProblemCode::unknown_reference) && checkable(field)) {
                out.action = FieldPlan::reference;
            }
        }
        plan.built = true;
        return plan;
    }

    // Whether some object, some class name, or a name the engine knows
    // defines `value` under one of the field's object-lists.
    bool defined(const FieldDef& field, std::string_view value) {
        for (const std::string_view tag : field.object_lists()) {
            const LocRange locs = targets_.find(tag, value);
            if (locs.empty()) continue;
            for (const FieldLoc loc : locs) {
                ObjectView target;
                if (loc.obj_idx < slots_.slot_count() && slots_.view(loc.obj_idx, target) == SlotState::object)
                    return true;
            }
        }
        for (const std::string_view tag : field.object_lists())
            for (const BuiltinName& builtin : kBuiltin)
                if (equal_fold(builtin.object_list, tag) && equal_fold(builtin.name, value)) return true;
        if (class_name_tags_.empty()) return false;
        for (const std::string_view tag : field.object_lists())
            if (class_name_tags_.find(tag_key(tag, value)) != class_name_tags_.end()) return true;
        return false;
    }

    void check_number(const ClassDef* cls, size_t slot, ValuesView values, size_t i, const FieldDef& field,
                      std::string_view value) {
        // The engine reads either word in a field that takes one of them.
        if ((field.autosizable || field.autocalculatable) &&
            (equal_fold(value, "autosize") || equal_fold(value, "autocalculate")))
            return;
        double v = 0.0;
        if (const std::optional<double> read = read_decimal(value)) {
            v = *read;
        } else {
            if (!wants(ProblemCode::not_a_number)) return;
            Problem& problem = add_field(ProblemCode::not_a_number, cls, slot, values, i, value);
            problem.message = subject(problem) + ": '" + quote(problem.value) + "' is not a number";
            if (field.autosizable || field.autocalculatable) problem.message.append(", Autosize or Autocalculate");
            problem.message.append(".");
            return;
        }
        if (field.field_type == FIELDTYPE_INTEGER && v != std::trunc(v) && wants(ProblemCode::not_an_integer)) {
            Problem& problem = add_field(ProblemCode::not_an_integer, cls, slot, values, i, value);
            problem.message = subject(problem) + ": '" + quote(problem.value) + "' is not a whole number.";
        }
        if (field.has_minimum && (field.minimum_exclusive ? v <= field.minimum : v < field.minimum) &&
            wants(ProblemCode::below_minimum)) {
            Problem& problem = add_field(ProblemCode::below_minimum, cls, slot, values, i, value);
            problem.message = subject(problem) + ": " + quote(problem.value) +
                              (field.minimum_exclusive ? " is not above the minimum of "
                                                       : " is below the minimum of ") +
                              format_number(field.minimum) + ".";
        }
        if (field.has_maximum && (field.maximum_exclusive ? v >= field.maximum : v > field.maximum) &&
            wants(ProblemCode::above_maximum)) {
            Problem& problem = add_field(ProblemCode::above_maximum, cls, slot, values, i, value);
            problem.message = subject(problem) + ": " + quote(problem.value) +
                              (field.maximum_exclusive ? " is not below the maximum of "
                                                       : " is above the maximum of ") +
                              format_number(field.maximum) + ".";
        }
    }

    const SlotSource& slots_;
    const c_IDD& schema_;
    const RefMap& targets_;
    const uint32_t codes_;
    std::vector<Problem>& out_;
    size_t first_;  // the problems this check appends start here
    std::string_view folder_;  // the document's own folder, for Schedule:File

    std::vector<uint32_t> present_;  // live objects seen so far, per class
    std::vector<ClassPlan> plans_;   // per class, made when its first object comes
    NameSet names_;
    StringMap<char> entered_tags_;  // a set: the values say nothing
    std::unordered_map<const FieldDef*, bool> checkable_;
    StringMap<char> class_name_tags_;
    std::string_view schema_version_;
    const ClassDef* version_class_ = nullptr;
};

}  // namespace

std::string_view code_name(ProblemCode code) noexcept { return kCodeNames[static_cast<size_t>(code)]; }

std::optional<ProblemCode> code_from_name(std::string_view name) noexcept {
    for (size_t k = 0; k < kProblemCodes; ++k)
        if (kCodeNames[k] == name) return static_cast<ProblemCode>(k);
    return std::nullopt;
}

std::span<const BuiltinName> builtin_names() noexcept { return kBuiltin; }

bool is_error(ProblemCode code) noexcept { return code <= ProblemCode::schedule_bad_date; }

std::string_view object_name(const ClassDef* cls, ValuesView values) noexcept {
    if (!cls || cls->fields.empty() || values.empty() || values[0].empty()) return {};
    const FieldDef& first = cls->fields[0];
    if (first.kind != 'A') return {};
    const std::string_view name = first.name;
    const bool named = name.size() >= 4 && equal_fold(name.substr(name.size() - 4), "name");
    return named || !first.references().empty() ? values[0] : std::string_view();
}

std::optional<std::string_view> document_version(const SlotSource& slots, const c_IDD& schema) noexcept {
    const ClassDef* version = find_class(schema, "VERSION");
    if (!version) return std::nullopt;
    for (size_t slot = 0; slot < slots.slot_count(); ++slot) {
        ObjectView object;
        if (slots.view(slot, object) != SlotState::object || object.cls != version) continue;
        return object.values.at_or_empty(0);
    }
    return std::nullopt;
}

void validate(const SlotSource& slots, const c_IDD& schema, const RefMap& targets, uint32_t codes,
              std::vector<Problem>& out, std::string_view folder) {
    Checker(slots, schema, targets, codes, out, folder).run();
}

}  // namespace tarvix
