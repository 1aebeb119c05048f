// Schema parser, then every lookup on every class and field of the result:
// names by position (with and without units) well past the stored fields and
// into several repeating groups, built both as a new string and appended to
// one, the position of each produced name, field definitions over the same
// range, and each class by its key.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_common.h"
#include "core/document/document.h"
#include "core/schema/schema.h"
#include "core/validation/validate.h"

using namespace tarvix;

namespace {

// append_field_name agrees with get_field_name: it appends the same name
// after what the string holds already, or, for a position in a repeating
// group of no fields (which has no group number), appends nothing and says
// so, get_field_name giving the empty name.
void check_appended(const ClassDef& cls, int64_t idx, bool add_units, const std::string& name) {
    static constexpr std::string_view kBefore = "held before: ";
    std::string out(kBefore);
    const bool appended = append_field_name(out, &cls, idx, add_units);
    const ExtensibleDef& ext = cls.extensible;
    const bool no_group_number = ext.is_extensible && ext.begin_index >= 0 && ext.size == 0 && idx >= ext.begin_index &&
                                 idx <= INT32_MAX;
    FUZZ_CHECK(appended == !no_group_number);
    FUZZ_CHECK(out.starts_with(kBefore));
    FUZZ_CHECK(out.substr(kBefore.size()) == name);
}

void check_class(const c_IDD& idd, const ClassDef& cls) {
    const ClassDef* found = find_class(idd, tarvix::to_upper(std::string(cls.name)));
    // A later class of the same name takes over the key.
    FUZZ_CHECK(found && tarvix::equal_fold(found->name, cls.name));

    const ExtensibleDef& ext = cls.extensible;
    FUZZ_CHECK(ext.patterns.size() <= static_cast<size_t>(std::max(ext.size, 0)));
    FUZZ_CHECK(ext.begin_index <= static_cast<int64_t>(cls.fields.size()));

    // A huge group size would make the range below huge; a few groups are
    // enough to reach every branch of the lookups.
    const int64_t size = std::clamp<int64_t>(ext.size, 0, 64);
    const int64_t last = static_cast<int64_t>(cls.fields.size()) + 3 * size + 2;
    for (int64_t i = 0; i <= last; ++i) {
        const auto idx = static_cast<int32_t>(i);
        const std::string name = get_field_name(&cls, idx, false);
        const std::string with_units = get_field_name(&cls, idx, true);
        FUZZ_CHECK(with_units.starts_with(name));
        check_appended(cls, i, false, name);
        check_appended(cls, i, true, with_units);
        const FieldDef* def = get_field_def(&cls, static_cast<size_t>(i));
        FUZZ_CHECK(!def || (def >= cls.fields.data() && def < cls.fields.data() + cls.fields.size()));
        if (name.empty()) continue;  // no such field, or a field without a name
        // The name may lead to another position (a base name shadows a
        // group name, two patterns coincide), but always to one whose name
        // is the same up to case.
        const int32_t back = find_field_index(&cls, name);
        FUZZ_CHECK(back >= 0);
        FUZZ_CHECK(tarvix::equal_fold(get_field_name(&cls, back, false), name));
        FUZZ_CHECK(find_field_index(&cls, tarvix::to_upper(name)) == back);
        // A near miss is either not found or found at a field that exists.
        const int32_t near = find_field_index(&cls, name + "0");
        FUZZ_CHECK(near < 0 || !get_field_name(&cls, near, false).empty());
    }
    // Positions at the ends of the index types must not overflow.
    for (const int32_t idx : {-1, INT32_MIN, INT32_MAX - 1, INT32_MAX}) {
        check_appended(cls, idx, true, get_field_name(&cls, idx, true));
        get_field_def(&cls, static_cast<size_t>(static_cast<uint32_t>(idx)));
    }
    // Beyond a 32-bit position there is no field: nothing is appended.
    for (const int64_t idx : {int64_t{INT32_MAX} + 1, INT64_MAX, INT64_MIN}) check_appended(cls, idx, true, {});
    get_field_def(&cls, SIZE_MAX);
    FUZZ_CHECK(find_field_index(&cls, std::string()) == -1);
}

// Every text the schema keeps can be read in full (the views must stay
// inside the parsed text or the schema's own storage).
size_t touch(std::string_view text) {
    size_t sum = text.size();
    for (const char c : text) sum += static_cast<unsigned char>(c);
    return sum;
}

void check_kept_texts(const c_IDD& idd) {
    size_t sum = touch(idd.version) + touch(idd.idd_version);
    for (const ClassDef& cls : idd.ordered_classes) {
        sum += touch(cls.name) + touch(cls.group) + touch(cls.format) + touch(cls.obsolete);
        for (const std::string_view line : cls.memo) sum += touch(line);
        for (const FieldDef& field : cls.fields) {
            sum += touch(field.name) + touch(field.units) + touch(field.default_val) + touch(field.ip_units) +
                   touch(field.units_based_on_field);
            for (size_t k = 0; k < kFieldLists; ++k)
                for (const std::string_view item : field.list(static_cast<FieldList>(k))) sum += touch(item);
            FUZZ_CHECK(!field.has_minimum || !std::isnan(field.minimum));
            FUZZ_CHECK(field.kind == 'A' || field.kind == 'N');
        }
    }
    FUZZ_CHECK(sum != SIZE_MAX);
}

// The checker over a document holding one object of some classes, with
// values the schema itself suggests (defaults, choices, names): whatever
// the schema says, it finishes and describes what it finds.
void check_validation(const c_IDD& idd) {
    tarvix::Document doc(&idd);
    const size_t classes = std::min<size_t>(idd.ordered_classes.size(), 32);
    for (size_t k = 0; k < classes; ++k) {
        const ClassDef& cls = idd.ordered_classes[k];
        const size_t slot = doc.add_object(static_cast<uint32_t>(k));
        for (size_t i = 0; i < std::min<size_t>(cls.fields.size(), 16); ++i) {
            const FieldDef& field = cls.fields[i];
            std::string_view value = field.default_val;
            if (value.empty() && !field.choices().empty()) value = field.choices().back();
            if (value.empty() && i % 2) value = field.name;
            doc.set_value(slot, i, value);
        }
    }
    std::vector<tarvix::Problem> problems;
    tarvix::validate(doc, idd, doc.targets(), tarvix::kAllCodes, problems);
    for (const tarvix::Problem& problem : problems) {
        FUZZ_CHECK(!problem.message.empty());
        FUZZ_CHECK(problem.obj_idx == SIZE_MAX || problem.obj_idx < doc.slot_count());
        FUZZ_CHECK(problem.field_index < 0 || problem.obj_idx != SIZE_MAX);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    tarvix::Tokenizer tokenizer;
    tokenizer.init(fuzz::as_text(data, size), true);
    c_IDD idd;
    ParseError error;
    if (!parse_schema(tokenizer, idd, error)) {
        FUZZ_CHECK(error.line_num >= 1);
        if (error.kind == ParseErrorKind::min_fields_too_large) FUZZ_CHECK(error.number > error.limit);
        return 0;
    }
    for (const auto& [key, idx] : idd.class_map) FUZZ_CHECK(idx < idd.ordered_classes.size());
    // Every class's min-fields is within the limit (it may pass the class's fields).
    for (const ClassDef& cls : idd.ordered_classes)
        FUZZ_CHECK(cls.min_fields >= 0 && static_cast<size_t>(cls.min_fields) <= kMaxMinFields);
    for (const ClassDef& cls : idd.ordered_classes) check_class(idd, cls);
    check_kept_texts(idd);
    check_validation(idd);
    return 0;
}
