// IDD parser: one pass over the tokens builds classes, fields and their
// properties; a finishing pass per class works out where the repeating group
// starts and builds the lookup indices; then the version is taken.
#include <algorithm>
#include <new>

#include "core/schema.h"

namespace tarvix::idd {
namespace {

using lexer::TokenView;

enum ParseState { STATE_LOOKING_FOR_CLASS = 0, STATE_IN_CLASS = 1 };

// Keyword literals of the properties the schema keeps.
constexpr std::string_view kGroup = "\\group";
constexpr std::string_view kExtensible = "\\extensible";
constexpr std::string_view kMinFields = "\\min-fields";

bool starts_with(std::string_view text, std::string_view prefix) { return text.starts_with(prefix); }

constexpr bool is_space(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

std::string_view trim_view(std::string_view text) {
    size_t first = 0, last = text.size();
    while (first < last && is_space(text[first])) ++first;
    while (last > first && is_space(text[last - 1])) --last;
    return text.substr(first, last - first);
}

// The text after a keyword, trimmed: what a property line sets.
std::string rest_after(std::string_view text, std::string_view prefix) {
    return std::string(trim_view(text.substr(prefix.size())));
}

// Value of the first digit run in `text`, or -1 when there is none or it
// does not fit a signed 32-bit int.
int64_t first_number(std::string_view text) {
    const DigitRange run = get_continuous_digits_indices(text);
    if (run.first < 0) return -1;
    return parse_digits_int32(std::string_view(text).substr(static_cast<size_t>(run.first),
                                                            static_cast<size_t>(run.second - run.first)));
}

struct Parser {
    Parser(lexer::Tokenizer& tokens_, c_IDD& idd_, ParseError& error_) : tokens(tokens_), idd(idd_), error(error_) {}

    lexer::Tokenizer& tokens;
    c_IDD& idd;
    ParseError& error;

    ParseState state = STATE_LOOKING_FOR_CLASS;
    std::string current_group;
    std::string_view last_text;  // views the text being parsed
    int32_t current_class_idx = -1;
    int32_t current_field_idx = -1;

    bool fail(ParseErrorKind kind, std::string_view value = {}) {
        error.kind = kind;
        error.line_num = tokens.line_num;
        try {
            error.value.assign(value);
        } catch (const std::bad_alloc&) {
            error.value.clear();
        }
        return false;
    }

    bool run() {
        idd.version.clear();
        idd.class_map.clear();
        idd.ordered_classes.clear();
        for (;;) {
            const TokenView tok = tokens.next();
            switch (tok.type) {
                case lexer::TOKEN_TEXT:
                    if (!tok.value.empty() && tok.value[0] == '\\') {
                        if (!property_line(tok.value)) return false;
                    } else {
                        last_text = tok.value;
                    }
                    break;
                case lexer::TOKEN_COMMA:
                    if (state == STATE_LOOKING_FOR_CLASS) {
                        if (last_text.empty()) return fail(ParseErrorKind::empty_class_name);
                        add_new_class();
                        state = STATE_IN_CLASS;
                    } else {
                        add_new_field();
                    }
                    last_text = {};
                    break;
                case lexer::TOKEN_SEMICOLON:
                    if (state == STATE_IN_CLASS) add_new_field();
                    last_text = {};
                    state = STATE_LOOKING_FOR_CLASS;
                    break;
                case lexer::TOKEN_EOF:
                    if (state != STATE_LOOKING_FOR_CLASS || !last_text.empty())
                        return fail(ParseErrorKind::unexpected_eof);
                    return finish();
                case lexer::TOKEN_ERROR:
                    return fail(ParseErrorKind::token_error, tok.value);
                default:
                    break;
            }
        }
    }

    bool property_line(std::string_view value) {
        if (starts_with(value, kGroup)) {
            try {
                current_group = rest_after(value, kGroup);
            } catch (const std::bad_alloc&) {
                report_internal_failure("tarvix.idd.parse_idd");
            }
            return true;
        }
        if (current_field_idx != -1) {
            if (current_class_idx == -1) return fail(ParseErrorKind::field_property_without_class, value);
            ClassDef& cls = idd.ordered_classes[static_cast<size_t>(current_class_idx)];
            parse_field_property(cls, cls.fields[static_cast<size_t>(current_field_idx)], value);
            return true;
        }
        if (current_class_idx != -1) {
            parse_class_property(idd.ordered_classes[static_cast<size_t>(current_class_idx)], value);
            return true;
        }
        return fail(ParseErrorKind::orphaned_property, value);
    }

    void add_new_class() {
        try {
            ClassDef cls;
            cls.name.assign(last_text);
            cls.group = current_group;
            idd.ordered_classes.push_back(std::move(cls));
            current_class_idx = static_cast<int32_t>(idd.ordered_classes.size() - 1);
            idd.class_map.insert_or_assign(to_upper(std::string(last_text)), static_cast<uint32_t>(current_class_idx));
        } catch (const std::bad_alloc&) {
            report_internal_failure("tarvix.idd.add_new_class");
        }
        current_field_idx = -1;
    }

    void add_new_field() {
        if (current_class_idx < 0) return;
        ClassDef& cls = idd.ordered_classes[static_cast<size_t>(current_class_idx)];
        const ExtensibleDef& ext = cls.extensible;
        const int64_t limit = int64_t{ext.begin_index} + ext.size;
        if (ext.is_extensible && ext.begin_index >= 0 && limit >= 0 &&
            static_cast<int64_t>(cls.fields.size()) >= limit) {
            // Only the first repeating group is stored once its start is known.
            current_field_idx = -1;
            return;
        }
        try {
            FieldDef field;
            field.name.assign(last_text);
            cls.fields.push_back(std::move(field));
            current_field_idx = static_cast<int32_t>(cls.fields.size() - 1);
        } catch (const std::bad_alloc&) {
            report_internal_failure("tarvix.idd.add_new_field");
            current_field_idx = -1;
        }
    }

    void parse_class_property(ClassDef& cls, std::string_view value) {
        try {
            if (starts_with(value, kExtensible)) {
                cls.extensible.is_extensible = true;
                cls.extensible.begin_index = -1;
                cls.extensible.size = -1;
                const int64_t size = first_number(value.substr(kExtensible.size()));
                if (size >= 0) cls.extensible.size = static_cast<int32_t>(size);
            } else if (starts_with(value, kMinFields)) {
                const int64_t min_fields = first_number(value.substr(kMinFields.size()));
                if (min_fields >= 0) cls.min_fields = static_cast<int32_t>(min_fields);
            }
        } catch (const std::bad_alloc&) {
            report_internal_failure("tarvix.idd.parse_class_property");
        }
    }

    static FieldType field_type_of(const std::string& text) {
        static constexpr std::pair<std::string_view, FieldType> kTypes[] = {
            {"integer", FIELDTYPE_INTEGER}, {"real", FIELDTYPE_REAL},          {"alpha", FIELDTYPE_ALPHA},
            {"choice", FIELDTYPE_CHOICE},   {"object-list", FIELDTYPE_OBJLIST}, {"node", FIELDTYPE_NODE},
        };
        for (const auto& [keyword, type] : kTypes)
            if (text == keyword) return type;
        return FIELDTYPE_DEFAULT;
    }

    void parse_field_property(ClassDef& cls, FieldDef& field, std::string_view value) {
        // Most property lines are notes and memos: only the keywords below
        // are kept, and they start with one of these letters.
        static constexpr std::string_view kFirstLetters = "abdfkortu";
        if (value.size() < 2 || kFirstLetters.find(value[1]) == std::string_view::npos) return;
        try {
            const std::string_view trimmed = trim_view(value);
            const auto last_field = static_cast<uint32_t>(cls.fields.size() - 1);
            if (starts_with(value, "\\field ")) {
                field.name = rest_after(value, "\\field ");
            } else if (trimmed == "\\required-field") {
                field.required = true;
            } else if (trimmed == "\\begin-extensible") {
                if (cls.extensible.is_extensible) cls.extensible.begin_index = static_cast<int32_t>(last_field);
            } else if (starts_with(value, "\\units ")) {
                field.units = rest_after(value, "\\units ");
            } else if (starts_with(value, "\\default ")) {
                field.default_val = rest_after(value, "\\default ");
                if (!field.default_val.empty()) cls.field_idx_with_default.push_back(last_field);
            } else if (trimmed == "\\autosizable") {
                field.autosizable = true;
            } else if (trimmed == "\\autocalculatable") {
                field.autocalculatable = true;
            } else if (starts_with(value, "\\type ")) {
                field.field_type = field_type_of(to_lower(rest_after(value, "\\type ")));
            } else if (starts_with(value, "\\key ")) {
                field.choices.push_back(rest_after(value, "\\key "));
            } else if (starts_with(value, "\\reference ")) {
                field.references.push_back(rest_after(value, "\\reference "));
            } else if (starts_with(value, "\\object-list ")) {
                field.object_lists.push_back(rest_after(value, "\\object-list "));
            }
        } catch (const std::bad_alloc&) {
            report_internal_failure("tarvix.idd.parse_field_property");
        }
    }

    ExtPattern extract_prefix_suffix(const std::string& name) {
        ExtPattern pattern;
        try {
            const DigitRange run = get_continuous_digits_indices(name);
            if (run.first < 0) {
                pattern.prefix = name + " ";
            } else {
                pattern.prefix = name.substr(0, static_cast<size_t>(run.first));
                pattern.suffix = name.substr(static_cast<size_t>(run.second));
            }
            pattern.search_prefix = to_lower(pattern.prefix);
            pattern.search_suffix = to_lower(pattern.suffix);
        } catch (const std::bad_alloc&) {
            report_internal_failure("tarvix.idd.extract_prefix_suffix");
        }
        return pattern;
    }

    // Without \begin-extensible, the group starts where the run of fields at
    // the end of the class that fit the last group's name patterns begins.
    void fix_missing_begin_index(ClassDef& cls) {
        ExtensibleDef& ext = cls.extensible;
        const size_t n = cls.fields.size();
        if (!ext.is_extensible || ext.begin_index != -1 || ext.size < 1 || n < static_cast<size_t>(ext.size)) return;
        try {
            const auto size = static_cast<size_t>(ext.size);
            std::vector<ExtPattern> last_group;
            last_group.reserve(size);
            for (size_t k = 0; k < size; ++k) last_group.push_back(extract_prefix_suffix(cls.fields[n - size + k].name));
            size_t begin = 0;
            for (size_t i = n; i-- > 0;) {
                const ExtPattern& pattern = last_group[size - 1 - ((n - 1 - i) % size)];
                const std::string name = to_lower(cls.fields[i].name);
                if (!has_prefix(name, pattern.search_prefix) || !has_suffix(name, pattern.search_suffix)) {
                    begin = i + 1;
                    break;
                }
            }
            if (begin <= static_cast<size_t>(INT32_MAX)) ext.begin_index = static_cast<int32_t>(begin);
        } catch (const std::bad_alloc&) {
            report_internal_failure("tarvix.idd.fix_missing_begin_index");
        }
    }

    void build_indices(ClassDef& cls) {
        const ExtensibleDef& ext = cls.extensible;
        const size_t n = cls.fields.size();
        size_t limit = n;
        if (ext.is_extensible && ext.begin_index >= 0 && static_cast<size_t>(ext.begin_index) < n)
            limit = static_cast<size_t>(ext.begin_index);
        try {
            cls.base_field_index_map.reserve(limit);
            for (size_t i = 0; i < limit; ++i)
                cls.base_field_index_map.insert_or_assign(to_lower(cls.fields[i].name), static_cast<int32_t>(i));
            if (ext.is_extensible && limit < n) {
                cls.extensible.patterns.clear();
                if (ext.size > 0)
                    for (size_t i = limit; i < limit + static_cast<size_t>(ext.size) && i < n; ++i)
                        cls.extensible.patterns.push_back(extract_prefix_suffix(cls.fields[i].name));
            }
        } catch (const std::bad_alloc&) {
            report_internal_failure("tarvix.idd.build_indices");
        }
    }

    // A class's min-fields says how many values every new object starts
    // with and every written object shows: it must be a number the class can
    // hold, not one that asks for gigabytes.
    bool check_min_fields(const ClassDef& cls) {
        const auto min_fields = static_cast<size_t>(std::max(cls.min_fields, 0));
        const size_t room = cls.extensible.is_extensible ? kMaxMinFields : cls.fields.size();
        if (min_fields <= std::min(room, kMaxMinFields)) return true;
        fail(ParseErrorKind::min_fields_too_large, cls.name);
        error.number = cls.min_fields;
        error.limit = static_cast<int64_t>(std::min(room, kMaxMinFields));
        error.limit_is_field_count = !cls.extensible.is_extensible && room < kMaxMinFields;
        return false;
    }

    bool finish() {
        for (ClassDef& cls : idd.ordered_classes) {
            fix_missing_begin_index(cls);
            build_indices(cls);
            if (!check_min_fields(cls)) return false;
        }
        if (const ClassDef* version = find_class(idd, "VERSION"); version && !version->fields.empty()) {
            try {
                idd.version = version->fields.front().default_val;
            } catch (const std::bad_alloc&) {
                report_internal_failure("tarvix.idd.parse_idd");
            }
        }
        return true;
    }
};

}  // namespace

bool parse_schema(lexer::Tokenizer& tokens, c_IDD& idd, ParseError& error) noexcept {
    Parser parser{tokens, idd, error};
    try {
        return parser.run();
    } catch (const std::bad_alloc&) {
        // Only the token stream's own bookkeeping can get here.
        report_internal_failure("tarvix.idd.parse_idd");
        return parser.fail(ParseErrorKind::token_error, "out of memory");
    }
}

const ClassDef* find_class(const c_IDD& idd, std::string_view upper_key) noexcept {
    const auto found = idd.class_map.find(upper_key);
    if (found == idd.class_map.end() || found->second >= idd.ordered_classes.size()) return nullptr;
    return &idd.ordered_classes[found->second];
}

}  // namespace tarvix::idd
