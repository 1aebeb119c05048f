// IDD parser: one pass over the tokens builds classes, fields and all their
// properties (kept as views into the text); a finishing pass per class works
// out where the repeating group starts and builds the lookup indices; then
// the version is taken.
#include <algorithm>
#include <charconv>
#include <cstring>
#include <iterator>
#include <new>

#include "core/schema/schema.h"

namespace tarvix {
namespace {

enum ParseState { STATE_LOOKING_FOR_CLASS = 0, STATE_IN_CLASS = 1 };

// Keyword literals of the class properties every schema reader relies on.
constexpr std::string_view kGroup = "\\group";
constexpr std::string_view kExtensible = "\\extensible";
constexpr std::string_view kMinFields = "\\min-fields";

constexpr bool is_space(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

std::string_view trim_view(std::string_view text) {
    size_t first = 0, last = text.size();
    while (first < last && is_space(text[first])) ++first;
    while (last > first && is_space(text[last - 1])) --last;
    return text.substr(first, last - first);
}

// The text after a keyword, trimmed: what a property line sets.
std::string_view rest_after(std::string_view text, std::string_view prefix) {
    return trim_view(text.substr(prefix.size()));
}

// True when `text` is the keyword alone or the keyword, a blank and a value.
bool keyword_line(std::string_view text, std::string_view keyword) {
    return text.starts_with(keyword) && (text.size() == keyword.size() || is_space(text[keyword.size()]));
}

// Value of the first digit run in `text`, or -1 when there is none or it
// does not fit a signed 32-bit int.
int64_t first_number(std::string_view text) {
    const DigitRange run = get_continuous_digits_indices(text);
    if (run.first < 0) return -1;
    return parse_digits_int32(text.substr(static_cast<size_t>(run.first), static_cast<size_t>(run.second - run.first)));
}

// A bound such as "0", "-0.5", "1.0E+07" or "+5"; false when the whole text
// is not one number.
bool read_bound(std::string_view text, double& out) {
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    if (text.empty()) return false;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
    return ec == std::errc() && end == text.data() + text.size();
}

// The "!IDD_Version" line among the comment lines the text starts with.
std::string_view header_version(std::string_view text) {
    constexpr std::string_view kTag = "!IDD_Version";
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        if (end == std::string_view::npos) end = text.size();
        const std::string_view line = trim_view(text.substr(at, end - at));
        if (line.starts_with(kTag) && (line.size() == kTag.size() || is_space(line[kTag.size()])))
            return rest_after(line, kTag);
        if (!line.empty() && line.front() != '!') break;
        at = end + 1;
    }
    return {};
}

DeclaredType declared_type_of(std::string_view text) {
    static constexpr std::pair<std::string_view, DeclaredType> kTypes[] = {
        {"integer", DeclaredType::integer},
        {"real", DeclaredType::real},
        {"alpha", DeclaredType::alpha},
        {"choice", DeclaredType::choice},
        {"object-list", DeclaredType::object_list},
        {"external-list", DeclaredType::external_list},
        {"node", DeclaredType::node},
    };
    for (const auto& [keyword, type] : kTypes)
        if (equal_fold(text, keyword)) return type;
    return DeclaredType::none;
}

FieldType field_type_of(DeclaredType type) {
    switch (type) {
        case DeclaredType::integer: return FIELDTYPE_INTEGER;
        case DeclaredType::real: return FIELDTYPE_REAL;
        case DeclaredType::alpha: return FIELDTYPE_ALPHA;
        case DeclaredType::choice: return FIELDTYPE_CHOICE;
        case DeclaredType::object_list: return FIELDTYPE_OBJLIST;
        case DeclaredType::node: return FIELDTYPE_NODE;
        default: return FIELDTYPE_DEFAULT;
    }
}

struct Parser {
    Parser(Tokenizer& tokens_, c_IDD& idd_, ParseError& error_) : tokens(tokens_), idd(idd_), error(error_) {}

    Tokenizer& tokens;
    c_IDD& idd;
    ParseError& error;

    ParseState state = STATE_LOOKING_FOR_CLASS;
    std::string_view current_group;
    std::string_view last_text;  // views the text being parsed
    int32_t current_class_idx = -1;
    int32_t current_field_idx = -1;

    // The lists of the field being read and the memo of the class being
    // read, gathered here and stored in the arena, back to back, once the
    // field or class is complete.
    std::vector<std::string_view> lists[kFieldLists];
    std::vector<std::string_view> memo;
    std::vector<std::string_view> joined;
    FieldDef* open_field = nullptr;
    ClassDef* open_class = nullptr;

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

    // A token's text as the schema keeps it: a view into the parsed text,
    // or a copy when the token came from somewhere else (a queued token).
    std::string_view keep(std::string_view text) {
        const char* base = idd.text.data();
        if (text.empty() || (text.data() >= base && text.data() + text.size() <= base + idd.text.size())) return text;
        return idd.arena.copy(text);
    }

    bool run() {
        idd.clear();
        idd.text = tokens.content;
        idd.idd_version = header_version(idd.text);
        for (;;) {
            const TokenView tok = tokens.next();
            switch (tok.type) {
                case TOKEN_TEXT:
                    if (!tok.value.empty() && tok.value[0] == '\\') {
                        if (!property_line(tok.value)) return false;
                    } else {
                        last_text = tok.value;
                    }
                    break;
                case TOKEN_COMMA:
                    if (state == STATE_LOOKING_FOR_CLASS) {
                        if (last_text.empty()) return fail(ParseErrorKind::empty_class_name);
                        add_new_class();
                        state = STATE_IN_CLASS;
                    } else {
                        add_new_field();
                    }
                    last_text = {};
                    break;
                case TOKEN_SEMICOLON:
                    if (state == STATE_IN_CLASS) add_new_field();
                    last_text = {};
                    state = STATE_LOOKING_FOR_CLASS;
                    break;
                case TOKEN_EOF:
                    if (state != STATE_LOOKING_FOR_CLASS || !last_text.empty())
                        return fail(ParseErrorKind::unexpected_eof);
                    close_field();
                    close_class();
                    return finish();
                case TOKEN_ERROR: return fail(ParseErrorKind::token_error, tok.value);
                default: break;
            }
        }
    }

    bool property_line(std::string_view value) {
        if (value.starts_with(kGroup)) {
            try {
                current_group = keep(rest_after(value, kGroup));
            } catch (const std::bad_alloc&) {
                report_internal_failure(FailureSite::parse_idd);
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

    // Stores the gathered lists of the field being read.
    void close_field() {
        FieldDef* field = open_field;
        open_field = nullptr;
        if (!field) return;
        try {
            joined.clear();
            for (size_t k = 0; k < kFieldLists; ++k) {
                joined.insert(joined.end(), lists[k].begin(), lists[k].end());
                field->list_ends[k] = static_cast<uint32_t>(joined.size());
            }
            field->lists = idd.arena.copy(joined.data(), joined.size());
            number_tags(*field);
        } catch (const std::bad_alloc&) {
            std::fill(std::begin(field->list_ends), std::end(field->list_ends), 0u);
            field->lists = nullptr;
            report_internal_failure(FailureSite::parse_field_property);
        }
        for (auto& list : lists) list.clear();
    }

    // Gives each tag a number the first time the schema names it, so that a
    // document registers values under numbers, not names.
    void number_tags(FieldDef& field) {
        const Views references = field.references();
        const Views object_lists = field.object_lists();
        const size_t count = references.size() + object_lists.size();
        if (count == 0) return;
        auto* ids = static_cast<uint32_t*>(idd.arena.allocate(count * sizeof(uint32_t)));
        for (size_t k = 0; k < count; ++k) {
            const std::string_view tag = k < references.size() ? references[k] : object_lists[k - references.size()];
            ids[k] = idd.tag_ids.emplace(tag, static_cast<uint32_t>(idd.tag_ids.size())).first->second;
        }
        field.tag_ids = ids;
    }

    void close_class() {
        ClassDef* cls = open_class;
        open_class = nullptr;
        if (!cls) return;
        try {
            cls->memo = Views(idd.arena.copy(memo.data(), memo.size()), memo.size());
        } catch (const std::bad_alloc&) {
            report_internal_failure(FailureSite::parse_class_property);
        }
        memo.clear();
    }

    void add_new_class() {
        close_field();
        close_class();
        try {
            ClassDef cls;
            cls.name = keep(last_text);
            cls.group = current_group;
            idd.ordered_classes.push_back(std::move(cls));
            current_class_idx = static_cast<int32_t>(idd.ordered_classes.size() - 1);
            open_class = &idd.ordered_classes.back();
            idd.class_map.insert_or_assign(class_key_copy(open_class->name), static_cast<uint32_t>(current_class_idx));
        } catch (const std::bad_alloc&) {
            report_internal_failure(FailureSite::add_new_class);
        }
        current_field_idx = -1;
    }

    void add_new_field() {
        close_field();
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
            field.name = keep(last_text);
            const std::string_view id = trim_view(last_text);
            if (!id.empty() && (id.front() == 'N' || id.front() == 'n')) field.kind = 'N';
            cls.fields.push_back(field);
            current_field_idx = static_cast<int32_t>(cls.fields.size() - 1);
            open_field = &cls.fields.back();
        } catch (const std::bad_alloc&) {
            report_internal_failure(FailureSite::add_new_field);
            current_field_idx = -1;
        }
    }

    void parse_class_property(ClassDef& cls, std::string_view value) {
        try {
            if (value.starts_with(kExtensible)) {
                cls.extensible.is_extensible = true;
                cls.extensible.begin_index = -1;
                cls.extensible.size = -1;
                const int64_t size = first_number(value.substr(kExtensible.size()));
                if (size >= 0) cls.extensible.size = static_cast<int32_t>(size);
                return;
            }
            if (value.starts_with(kMinFields)) {
                const int64_t min_fields = first_number(value.substr(kMinFields.size()));
                if (min_fields >= 0) cls.min_fields = static_cast<int32_t>(min_fields);
                return;
            }
            // The descriptive properties belong to the class only before its
            // first field (lines after a field that is not stored do not).
            if (!cls.fields.empty()) return;
            const std::string_view trimmed = trim_view(value);
            if (keyword_line(value, "\\memo")) {
                memo.push_back(keep(rest_after(value, "\\memo")));
            } else if (trimmed == "\\unique-object") {
                cls.unique_object = true;
            } else if (trimmed == "\\required-object") {
                cls.required_object = true;
            } else if (keyword_line(value, "\\obsolete")) {
                cls.is_obsolete = true;
                cls.obsolete = keep(rest_after(value, "\\obsolete"));
            } else if (keyword_line(value, "\\format")) {
                cls.format = keep(rest_after(value, "\\format"));
            }
        } catch (const std::bad_alloc&) {
            report_internal_failure(FailureSite::parse_class_property);
        }
    }

    void add_to(FieldList which, std::string_view text) { lists[static_cast<size_t>(which)].push_back(keep(text)); }

    void parse_field_property(ClassDef& cls, FieldDef& field, std::string_view value) {
        if (value.size() < 2) return;
        try {
            const auto last_field = static_cast<uint32_t>(cls.fields.size() - 1);
            switch (value[1]) {
                case 'f':
                    if (value.starts_with("\\field ")) field.name = keep(rest_after(value, "\\field "));
                    break;
                case 'r': {
                    const std::string_view trimmed = trim_view(value);
                    if (trimmed == "\\required-field") {
                        field.required = true;
                    } else if (value.starts_with("\\reference ")) {
                        add_to(FieldList::references, rest_after(value, "\\reference "));
                    } else if (value.starts_with("\\reference-class-name ")) {
                        add_to(FieldList::reference_class_names, rest_after(value, "\\reference-class-name "));
                    } else if (trimmed == "\\retaincase") {
                        field.retain_case = true;
                    }
                    break;
                }
                case 'b':
                    if (trim_view(value) == "\\begin-extensible" && cls.extensible.is_extensible)
                        cls.extensible.begin_index = static_cast<int32_t>(last_field);
                    break;
                case 'u':
                    if (value.starts_with("\\units ")) {
                        field.units = keep(rest_after(value, "\\units "));
                    } else if (value.starts_with("\\unitsBasedOnField ")) {
                        field.units_based_on_field = keep(rest_after(value, "\\unitsBasedOnField "));
                    }
                    break;
                case 'd':
                    if (value.starts_with("\\default ")) {
                        field.default_val = keep(rest_after(value, "\\default "));
                        if (!field.default_val.empty()) cls.field_idx_with_default.push_back(last_field);
                    } else if (trim_view(value) == "\\deprecated") {
                        field.deprecated = true;
                    }
                    break;
                case 'a': {
                    const std::string_view trimmed = trim_view(value);
                    if (trimmed == "\\autosizable")
                        field.autosizable = true;
                    else if (trimmed == "\\autocalculatable")
                        field.autocalculatable = true;
                    break;
                }
                case 't':
                    if (value.starts_with("\\type ")) {
                        field.declared_type = declared_type_of(rest_after(value, "\\type "));
                        field.field_type = field_type_of(field.declared_type);
                    }
                    break;
                case 'k':
                    if (value.starts_with("\\key ")) add_to(FieldList::choices, rest_after(value, "\\key "));
                    break;
                case 'o':
                    if (value.starts_with("\\object-list "))
                        add_to(FieldList::object_lists, rest_after(value, "\\object-list "));
                    break;
                case 'e':
                    if (value.starts_with("\\external-list "))
                        add_to(FieldList::external_lists, rest_after(value, "\\external-list "));
                    break;
                case 'i':
                    if (value.starts_with("\\ip-units ")) field.ip_units = keep(rest_after(value, "\\ip-units "));
                    break;
                case 'n':
                    if (keyword_line(value, "\\note")) add_to(FieldList::notes, rest_after(value, "\\note"));
                    break;
                case 'm': bound_property(field, value); break;
                default: break;
            }
        } catch (const std::bad_alloc&) {
            report_internal_failure(FailureSite::parse_field_property);
        }
    }

    // \minimum, \minimum>, \maximum and \maximum<.
    static void bound_property(FieldDef& field, std::string_view value) {
        const bool minimum = value.starts_with("\\minimum");
        if (!minimum && !value.starts_with("\\maximum")) return;
        std::string_view rest = value.substr(8);
        const bool exclusive = !rest.empty() && rest.front() == (minimum ? '>' : '<');
        if (exclusive)
            rest.remove_prefix(1);
        else if (rest.empty() || !is_space(rest.front()))
            return;
        double bound = 0.0;
        if (!read_bound(trim_view(rest), bound)) return;
        if (minimum) {
            field.has_minimum = true;
            field.minimum = bound;
            field.minimum_exclusive = exclusive;
        } else {
            field.has_maximum = true;
            field.maximum = bound;
            field.maximum_exclusive = exclusive;
        }
    }

    // The class key of a name, in the arena (the name itself when it is its
    // own key).
    std::string_view class_key_copy(std::string_view name) {
        bool lower = false;
        for (char c : name) lower |= ascii_upper(c) != c;
        if (!lower) return name;
        char* out = static_cast<char*>(idd.arena.allocate(name.size()));
        write_class_key(name, out);
        return {out, name.size()};
    }

    std::string_view lower_copy(std::string_view text) {
        bool upper = false;
        for (char c : text) upper |= (c >= 'A' && c <= 'Z');
        if (!upper) return text;
        char* out = static_cast<char*>(idd.arena.allocate(text.size()));
        for (size_t i = 0; i < text.size(); ++i) out[i] = ascii_lower(text[i]);
        return {out, text.size()};
    }

    ExtPattern extract_prefix_suffix(std::string_view name) {
        ExtPattern pattern;
        try {
            const DigitRange run = get_continuous_digits_indices(name);
            if (run.first < 0) {
                char* joined_name = static_cast<char*>(idd.arena.allocate(name.size() + 1));
                if (!name.empty()) std::memcpy(joined_name, name.data(), name.size());
                joined_name[name.size()] = ' ';
                pattern.prefix = std::string_view(joined_name, name.size() + 1);
            } else {
                pattern.prefix = name.substr(0, static_cast<size_t>(run.first));
                pattern.suffix = name.substr(static_cast<size_t>(run.second));
            }
            pattern.search_prefix = lower_copy(pattern.prefix);
            pattern.search_suffix = lower_copy(pattern.suffix);
        } catch (const std::bad_alloc&) {
            report_internal_failure(FailureSite::extract_prefix_suffix);
        }
        return pattern;
    }

    static bool starts_with_fold(std::string_view text, std::string_view lowered) {
        return text.size() >= lowered.size() && equal_fold(text.substr(0, lowered.size()), lowered);
    }
    static bool ends_with_fold(std::string_view text, std::string_view lowered) {
        return text.size() >= lowered.size() && equal_fold(text.substr(text.size() - lowered.size()), lowered);
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
            for (size_t k = 0; k < size; ++k)
                last_group.push_back(extract_prefix_suffix(cls.fields[n - size + k].name));
            size_t begin = 0;
            for (size_t i = n; i-- > 0;) {
                const ExtPattern& pattern = last_group[size - 1 - ((n - 1 - i) % size)];
                const std::string_view name = cls.fields[i].name;
                if (!starts_with_fold(name, pattern.search_prefix) || !ends_with_fold(name, pattern.search_suffix)) {
                    begin = i + 1;
                    break;
                }
            }
            if (begin <= static_cast<size_t>(INT32_MAX)) ext.begin_index = static_cast<int32_t>(begin);
        } catch (const std::bad_alloc&) {
            report_internal_failure(FailureSite::fix_missing_begin_index);
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
                cls.base_field_index_map.insert_or_assign(lower_copy(cls.fields[i].name), static_cast<int32_t>(i));
            if (ext.is_extensible && limit < n) {
                cls.extensible.patterns.clear();
                if (ext.size > 0)
                    for (size_t i = limit; i < limit + static_cast<size_t>(ext.size) && i < n; ++i)
                        cls.extensible.patterns.push_back(extract_prefix_suffix(cls.fields[i].name));
            }
        } catch (const std::bad_alloc&) {
            report_internal_failure(FailureSite::build_indices);
        }
    }

    // A class's min-fields says how many values every new object starts
    // with and every written object shows. Released schemas ask for more
    // than a class has fields (the objects are padded past them), so only a
    // number that asks for gigabytes is refused.
    bool check_min_fields(const ClassDef& cls) {
        if (static_cast<size_t>(std::max(cls.min_fields, 0)) <= kMaxMinFields) return true;
        fail(ParseErrorKind::min_fields_too_large, cls.name);
        error.number = cls.min_fields;
        error.limit = static_cast<int64_t>(kMaxMinFields);
        return false;
    }

    bool finish() {
        for (ClassDef& cls : idd.ordered_classes) {
            fix_missing_begin_index(cls);
            build_indices(cls);
            if (!check_min_fields(cls)) return false;
        }
        if (const ClassDef* version = find_class(idd, "VERSION"); version && !version->fields.empty())
            idd.version = version->fields.front().default_val;
        return true;
    }
};

}  // namespace

bool parse_schema(Tokenizer& tokens, c_IDD& idd, ParseError& error) noexcept {
    Parser parser{tokens, idd, error};
    try {
        return parser.run();
    } catch (const std::bad_alloc&) {
        // Only the token stream's own bookkeeping can get here.
        report_internal_failure(FailureSite::parse_idd);
        return parser.fail(ParseErrorKind::token_error, "out of memory");
    }
}

std::string_view schema_version(const c_IDD& idd) noexcept {
    return idd.idd_version.empty() ? idd.version : idd.idd_version;
}

void assign_class_key(std::string& key, std::string_view name) {
    key.resize(name.size());
    write_class_key(name, key.data());
}

std::string class_key(std::string_view name) {
    std::string key;
    assign_class_key(key, name);
    return key;
}

std::optional<uint32_t> find_class_index(const c_IDD& idd, std::string_view name) noexcept {
    try {
        const ClassKey key(name);
        const auto found = idd.class_map.find(key.view());
        if (found == idd.class_map.end() || found->second >= idd.ordered_classes.size()) return std::nullopt;
        return found->second;
    } catch (const std::bad_alloc&) {
        // No room for a long name's key: the same rule, class by class. The
        // last class of a key is the one class_map holds.
        for (size_t i = idd.ordered_classes.size(); i-- > 0;)
            if (equal_fold(idd.ordered_classes[i].name, name)) return static_cast<uint32_t>(i);
        return std::nullopt;
    }
}

const ClassDef* find_class(const c_IDD& idd, std::string_view name) noexcept {
    const std::optional<uint32_t> index = find_class_index(idd, name);
    return index ? &idd.ordered_classes[*index] : nullptr;
}

}  // namespace tarvix
