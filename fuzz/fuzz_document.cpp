// The document model. The input is read twice against a small schema built
// into the target: parsed into raw objects, and loaded into a Document; the
// two must agree. Then a run of edits drawn from the input (set a value,
// trim, add an object, append raw objects, remove an object or a whole
// class, forget the name indices) changes the document, and after each edit
// the document is checked against a plain model of its slots kept beside
// it: the slots' values, the per-class index, finding an object by name, the
// reference queries and the reference graph, each against a naive
// computation from the model's live slots and the schema's field
// definitions. At the end the edited document is written out and loaded
// again.
#include <algorithm>
#include <cstdint>
#include <iterator>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "fuzz_common.h"
#include "core/document/document.h"
#include "core/base/hash.h"
#include "core/formats/layout.h"
#include "core/text/number.h"
#include "core/text/text.h"
#include "core/schema/schema.h"

using namespace tarvix;

namespace {

// The classes the seed documents use, with names defined and referred to:
// a field with two reference tags, one with two object-list tags, one that
// lists the same tag twice (so each value is registered twice), one that
// both defines and refers to names of one tag, two classes defining names
// of one tag, object lists in a repeating group, min-fields, a repeating
// group of unknown size, and a class whose key a later class takes over
// (MARKER), so that objects of two class definitions share one index entry.
constexpr std::string_view kSchema = R"(\group Simulation
Version,
  A1 ; \field Version Identifier
Marker,
  \min-fields 2
  A1 , \field Name
       \reference MarkerNames
  A2 ; \field Points At
       \object-list MarkerNames
\group Notes
Other,
  A1 ; \field Name
Note,
  \extensible:1
  A1 ; \field Line 1
Notes,
  \extensible
  A1 ; \field Name
       \object-list ZoneNames
\group Zones
Zone,
  \min-fields 2
  A1 , \field Name
       \reference ZoneNames
       \reference ZoneAndZoneListNames
  N1 , \field Multiplier
  N2 , \field Ceiling Height
  A2 ; \field Floor Type
ZoneList,
  \extensible:1
  A1 , \field Name
       \reference ZoneAndZoneListNames
  A2 ; \field Zone 1 Name
       \begin-extensible
       \object-list ZoneNames
Thermostat,
  A1 , \field Name
  A2 ; \field Zone or ZoneList Name
       \object-list ZoneNames
       \object-list ZoneAndZoneListNames
\group Surfaces
Material,
  A1 , \field Name
       \reference MaterialNames
       \reference MaterialNames
  A2 , \field Roughness
  N1 ; \field Thickness
Construction,
  \min-fields 3
  A1 , \field Name
       \reference ConstructionNames
  A2 , \field Outside Layer
       \object-list MaterialNames
  A3 ; \field Layer 2
       \object-list MaterialNames
Surface,
  \extensible:3
  A1 , \field Name
       \reference SurfaceNames
  A2 , \field Construction Name
       \object-list ConstructionNames
  A3 , \field Zone Name
       \object-list ZoneNames
  A4 , \field Outside Boundary Condition Object
       \object-list SurfaceNames
       \object-list ZoneNames
  N1 , \field Vertex 1 X
       \begin-extensible
  N2 , \field Vertex 1 Y
  N3 ; \field Vertex 1 Z
BuildingSurface:Detailed,
  \extensible:3
  \min-fields 8
  A1 , \field Name
       \reference SurfaceNames
  A2 , \field Surface Type
  A3 , \field Construction Name
       \object-list ConstructionNames
  A4 , \field Zone Name
       \object-list ZoneNames
  N1 , \field Number of Vertices
  N2 , \field Vertex 1 X-coordinate
       \begin-extensible
  N3 , \field Vertex 1 Y-coordinate
  N4 ; \field Vertex 1 Z-coordinate
Link,
  A1 , \field Name
       \reference LinkNames
       \object-list LinkNames
  A2 ; \field Next
       \object-list LinkNames
MARKER,
  A1 ; \field Name
       \reference MarkerNames
)";

const c_IDD& schema() {
    static const c_IDD idd = fuzz::parse_fixed_schema(kSchema);
    return idd;
}

const ClassDef& class_at(uint32_t class_idx) { return schema().ordered_classes[class_idx]; }
std::string key_of(uint32_t class_idx) { return to_upper(std::string(class_at(class_idx).name)); }

// Integer text is real text too, out of range or not.
void check_number(std::string_view value) {
    bool out_of_range = false;
    if (read_integer(value, out_of_range)) FUZZ_CHECK(read_real(value).has_value());
}

// Choices drawn from the input: a generator seeded with a keyed hash of the
// whole input (under a fixed key, not the process's random one), so every
// input makes its own edits and replays the same way.
class Choices {
public:
    explicit Choices(std::string_view input) noexcept
        : state_(siphash13(HashKey{0x7461727669782d66, 0x757a7a2d65646974}, input.data(), input.size())) {}
    uint64_t next() noexcept {  // splitmix64
        uint64_t z = (state_ += 0x9E3779B97F4A7C15ULL);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
        return z ^ (z >> 31);
    }
    size_t below(size_t n) noexcept { return n ? static_cast<size_t>(next() % n) : 0; }
    bool one_in(size_t n) noexcept { return below(n) == 0; }

private:
    uint64_t state_;
};

// ---------------------------------------------------------------------------
// The model: what each slot of the document should hold.

struct ModelSlot {
    bool live = true;
    uint32_t class_idx = 0;
    std::vector<std::string> values;
};
using Model = std::vector<ModelSlot>;

std::vector<size_t> live_slots(const Model& model) {
    std::vector<size_t> live;
    for (size_t slot = 0; slot < model.size(); ++slot)
        if (model[slot].live) live.push_back(slot);
    return live;
}

ModelSlot model_of(const c_IDFObject& object) {
    const auto found = schema().class_map.find(to_upper(object.class_name));
    FUZZ_CHECK(found != schema().class_map.end());
    ModelSlot slot{true, found->second, {}};
    for (size_t i = 0; i < object.values.size(); ++i) slot.values.emplace_back(object.values[i]);
    return slot;
}

// ---------------------------------------------------------------------------
// Loading

// The input read both ways. The loader runs the same parser over the text
// while moving the values it has read down over what lay between them, so
// any disagreement means it overwrote text the tokenizer had still to read.
// The loader reports a class the schema lacks (the first one, as written)
// only once the whole text has parsed. True with `model` filled when the
// document loaded.
bool load_both(std::string_view text, Document& doc, std::vector<c_IDFObject>& objects, Model& model) {
    Tokenizer tokenizer;
    tokenizer.init(text, false);
    DocumentError parse_error;
    const bool parsed = parse_document(tokenizer, objects, parse_error);
    DocumentError load_error;
    const bool loaded = doc.load(make_text_store(std::string(text)), false, load_error);
    if (!parsed) {
        FUZZ_CHECK(parse_error.line_num >= 1);
        FUZZ_CHECK(parse_error.kind != DocumentErrorKind::unrecognized_token);
        FUZZ_CHECK(!loaded);
        FUZZ_CHECK(load_error.kind == parse_error.kind);
        FUZZ_CHECK(load_error.line_num == parse_error.line_num);
        FUZZ_CHECK(load_error.value == parse_error.value);
        return false;
    }
    // Each object ends at its own ";".
    FUZZ_CHECK(objects.size() <= static_cast<size_t>(std::count(text.begin(), text.end(), ';')));
    // The version read from the tokens alone is the first Version object's
    // first value (a byte-order mark, which the scan skips, is the file
    // reader's business before the parser sees the text).
    if (!text.starts_with("\xEF\xBB\xBF")) {
        const std::optional<std::string_view> version = scan_version(text);
        const auto first = std::find_if(objects.begin(), objects.end(), [](const c_IDFObject& object) {
            return equal_fold(object.class_name, "Version");
        });
        if (first == objects.end())
            FUZZ_CHECK(!version);
        else
            FUZZ_CHECK(version && *version == (first->values.empty() ? std::string_view() : first->values[0]));
    }
    for (const c_IDFObject& object : objects) {
        if (find_class(schema(), to_upper(object.class_name))) continue;
        FUZZ_CHECK(!loaded);
        FUZZ_CHECK(load_error.kind == DocumentErrorKind::unknown_class);
        FUZZ_CHECK(load_error.value == object.class_name);
        return false;
    }
    FUZZ_CHECK(loaded);
    for (const c_IDFObject& object : objects) model.push_back(model_of(object));
    return true;
}

// ---------------------------------------------------------------------------
// Checks of the whole document against the model

// Every slot: live or not as the model says; a live one with the model's
// class and values, and the writer's view of it.
void check_slots(const Document& doc, const Model& model) {
    FUZZ_CHECK(doc.slot_count() == model.size());
    for (size_t slot = 0; slot < model.size(); ++slot) {
        const ModelSlot& want = model[slot];
        FUZZ_CHECK(doc.live(slot) == want.live);
        ObjectView view;
        if (!want.live) {
            FUZZ_CHECK(doc.view(slot, view) == SlotState::empty);
            continue;
        }
        const ClassDef* cls = &class_at(want.class_idx);
        FUZZ_CHECK(doc.class_idx(slot) == want.class_idx);
        FUZZ_CHECK(doc.class_def(slot) == cls);
        const ValuesView values = doc.values(slot);
        FUZZ_CHECK(values.size() == want.values.size());
        for (size_t i = 0; i < values.size(); ++i) FUZZ_CHECK(values[i] == want.values[i]);
        FUZZ_CHECK(doc.view(slot, view) == SlotState::object);
        FUZZ_CHECK(view.cls == cls && view.class_name == cls->name && view.values.size() == values.size());
    }
}

// The per-class index: under each class key, the live slots of the classes
// with that key, ascending (objects are only loaded and added here); any
// other entry is empty.
void check_index(const Document& doc, const Model& model) {
    std::map<std::string, std::vector<size_t>> by_key;
    for (const size_t slot : live_slots(model)) by_key[key_of(model[slot].class_idx)].push_back(slot);
    size_t live = 0;
    for (const auto& [key, slots] : by_key) {
        const ClassEntry* entry = doc.index().find(key);
        FUZZ_CHECK(entry && entry->size() == slots.size() && entry->live() == slots);
        live += slots.size();
    }
    FUZZ_CHECK(doc.index().object_count() == live);
    for (const auto& [key, entry] : doc.index().entries()) {
        FUZZ_CHECK(entry.ascending());
        if (!by_key.count(key)) FUZZ_CHECK(entry.empty());
    }
}

// find_by_name, for every class key (and a key in the wrong case, and one of
// no class) and every first value the class's objects hold (asked in their
// own case and in lower case), the empty name and a missing one, against a
// scan of the class's live slots in entry order (slot order, as checked
// above) for the first whose first value matches up to ASCII case.
void check_find_by_name(Document& doc, const Model& model) {
    std::set<std::string> keys = {"Zone", "NO SUCH CLASS"};
    for (const ClassDef& cls : schema().ordered_classes) keys.insert(to_upper(std::string(cls.name)));
    for (const std::string& key : keys) {
        std::map<std::string, size_t> first_named;  // upper-cased name -> first slot holding it
        std::vector<std::string> names = {"", "No Such Name"};
        for (const size_t slot : live_slots(model)) {
            const ModelSlot& object = model[slot];
            if (key_of(object.class_idx) != key || object.values.empty()) continue;
            if (first_named.emplace(to_upper(object.values[0]), slot).second) names.push_back(object.values[0]);
        }
        for (size_t i = 0; i < names.size(); ++i) {
            const std::string name = i % 2 ? to_lower(names[i]) : names[i];
            const auto found = first_named.find(to_upper(name));
            const size_t want = found == first_named.end() ? SIZE_MAX : found->second;
            FUZZ_CHECK(doc.find_by_name(key, name) == want);
        }
    }
}

// (tag, upper-cased value) -> locations, sorted.
using Graph = std::map<std::pair<std::string, std::string>, std::vector<FieldLoc>>;

bool loc_less(const FieldLoc& a, const FieldLoc& b) {
    return a.obj_idx != b.obj_idx ? a.obj_idx < b.obj_idx : a.field_idx < b.field_idx;
}

// One side of the graph rebuilt from the live slots: each non-empty value
// under each tag its field's definition lists in `tags` (a tag listed twice
// counts twice), keyed by the value upper-cased. Built in slot and field
// order, so each list is sorted.
Graph rebuild(const Model& model, Views (FieldDef::*tags)() const noexcept) {
    Graph graph;
    for (const size_t slot : live_slots(model)) {
        const ModelSlot& object = model[slot];
        for (size_t i = 0; i < object.values.size(); ++i) {
            if (object.values[i].empty()) continue;
            const FieldDef* field = get_field_def(&class_at(object.class_idx), i);
            if (!field) continue;
            for (const std::string_view tag : (field->*tags)())
                graph[{std::string(tag), to_upper(object.values[i])}].push_back(
                    FieldLoc{slot, static_cast<int32_t>(i)});
        }
    }
    return graph;
}

// The document's side of the graph holds exactly the rebuilt locations
// (order aside), with no empty entries and one entry per value in any case. Freshly
// loaded, each entry is in file order, as the loader registers.
void check_graph(const RefMap& refs, const Graph& rebuilt, bool fresh) {
    Graph held;
    refs.for_each([&](std::string_view tag, std::string_view value, const LocRange& range) {
        FUZZ_CHECK(!range.empty());
        std::vector<FieldLoc>& locs = held[{std::string(tag), to_upper(std::string(value))}];
        FUZZ_CHECK(locs.empty());  // one entry per value, whatever its case
        for (const FieldLoc loc : range) locs.push_back(loc);
        if (fresh) FUZZ_CHECK(std::is_sorted(locs.begin(), locs.end(), loc_less));
        std::sort(locs.begin(), locs.end(), loc_less);
    });
    FUZZ_CHECK(held == rebuilt);
}

// first_target and referencing for every field with tags (and one without)
// and a spread of the values in the graph, asked in lower case, plus the
// empty value and a missing one.
//
// first_target: the first of the field's object-list tags under which
// anything defines the value decides, and the answer is one of the objects
// defining it there; none when no tag has the value. referencing: for each
// of the field's reference tags in turn, one entry per location that refers
// to the value under that tag. Which of several locations comes first
// follows the order of registration, which edits reshuffle; freshly loaded
// it is file order, and then the answers must follow it exactly.
void check_reference_queries(const Document& doc, const Graph& targets, const Graph& referencers, bool fresh) {
    std::vector<const FieldDef*> fields;
    for (const ClassDef& cls : schema().ordered_classes)
        for (const FieldDef& field : cls.fields)
            if (!field.references().empty() || !field.object_lists().empty()) fields.push_back(&field);
    fields.push_back(&schema().ordered_classes[0].fields[0]);  // Version Identifier: no tags

    std::set<std::string> in_graph;
    for (const Graph* graph : {&targets, &referencers})
        for (const auto& [key, locs] : *graph) in_graph.insert(key.second);
    std::vector<std::string> asked = {"", "no such name"};
    const size_t stride = in_graph.size() / 24 + 1;
    size_t n = 0;
    for (const std::string& value : in_graph)
        if (n++ % stride == 0) asked.push_back(to_lower(value));

    for (const FieldDef* field : fields) {
        for (const std::string& value : asked) {
            const std::string upper = to_upper(value);

            const std::vector<FieldLoc>* defining = nullptr;
            for (const std::string_view tag : field->object_lists()) {
                const auto found = targets.find({std::string(tag), upper});
                if (found != targets.end()) {
                    defining = &found->second;
                    break;
                }
            }
            const size_t target = doc.first_target(*field, value);
            if (!defining) {
                FUZZ_CHECK(target == SIZE_MAX);
            } else {
                FUZZ_CHECK(std::any_of(defining->begin(), defining->end(),
                                       [&](const FieldLoc& loc) { return loc.obj_idx == target; }));
                if (fresh) FUZZ_CHECK(target == defining->front().obj_idx);
            }

            std::vector<size_t> referring;
            doc.referencing(*field, value, referring);
            size_t at = 0;
            for (const std::string_view tag : field->references()) {
                std::vector<size_t> want;
                if (const auto found = referencers.find({std::string(tag), upper}); found != referencers.end())
                    for (const FieldLoc& loc : found->second) want.push_back(loc.obj_idx);
                FUZZ_CHECK(referring.size() - at >= want.size());
                std::vector<size_t> got(referring.begin() + static_cast<ptrdiff_t>(at),
                                        referring.begin() + static_cast<ptrdiff_t>(at + want.size()));
                if (!fresh) std::sort(got.begin(), got.end());
                FUZZ_CHECK(got == want);
                at += want.size();
            }
            FUZZ_CHECK(at == referring.size());
        }
    }
}

void check_document(Document& doc, const Model& model, bool fresh) {
    check_slots(doc, model);
    check_index(doc, model);
    check_find_by_name(doc, model);
    const Graph targets = rebuild(model, &FieldDef::references);
    const Graph referencers = rebuild(model, &FieldDef::object_lists);
    check_graph(doc.targets(), targets, fresh);
    check_graph(doc.referencers(), referencers, fresh);
    check_reference_queries(doc, targets, referencers, fresh);
}

// ---------------------------------------------------------------------------
// Edits, each applied to the document and to the model.

// A value to set: mostly one the document already holds (so that names
// meet), in its own case or another; else the empty value, a number, a
// short name, or a name long enough that upper-casing it takes the heap.
// None holds a delimiter, "!" or a line break, or starts or ends with a
// blank, so each one reads back from written text as it is.
std::string pick_value(const Model& model, Choices& pick) {
    static constexpr std::string_view kWords[] = {
        "Zone One",
        "ZONE ONE",
        "zone two",
        "West",
        "A",
        "a",
        "1",
        "-2.5",
        "1e3",
        "0x1p4",
        "inf",
        "nan",
        "99999999999999999999",
        "Nörth",
        "Été",
    };
    switch (pick.below(8)) {
        case 0:
        case 1:
        case 2: {
            const std::vector<size_t> live = live_slots(model);
            if (live.empty()) break;
            const ModelSlot& object = model[live[pick.below(live.size())]];
            if (object.values.empty()) break;
            std::string value = object.values[pick.below(object.values.size())];
            if (pick.one_in(2))
                for (char& c : value) c = pick.one_in(2) ? ascii_upper(c) : ascii_lower(c);
            return value;
        }
        case 3: return {};
        case 4: {
            std::string value;
            while (value.size() < 130) value += "Long Name ";
            return value + std::to_string(pick.below(3));
        }
        default: break;
    }
    return std::string(kWords[pick.below(std::size(kWords))]);
}

void set_value(Document& doc, Model& model, Choices& pick, size_t slot) {
    std::vector<std::string>& values = model[slot].values;
    // Mostly near the stored values; now and then far into a repeating group.
    const size_t field = pick.one_in(8) ? pick.below(40) : pick.below(values.size() + 3);
    const std::string value = pick_value(model, pick);
    check_number(value);
    doc.set_value(slot, field, value);
    if (field < values.size()) {
        values[field] = value;
    } else if (!value.empty()) {  // an empty value beyond the stored ones changes nothing
        values.resize(field + 1);
        values[field] = value;
    }
}

void trim(Document& doc, Model& model, size_t slot) {
    doc.trim(slot);
    std::vector<std::string>& values = model[slot].values;
    while (!values.empty() && values.back().empty()) values.pop_back();
}

void add_object(Document& doc, Model& model, Choices& pick) {
    const auto class_idx = static_cast<uint32_t>(pick.below(schema().ordered_classes.size()));
    const size_t slot = doc.add_object(class_idx);
    FUZZ_CHECK(slot == model.size());
    model.push_back({true, class_idx, std::vector<std::string>(static_cast<size_t>(class_at(class_idx).min_fields))});
}

// Mostly a live object; now and then any slot, a removed one or one past
// the end included (nothing happens then).
void remove_object(Document& doc, Model& model, Choices& pick, const std::vector<size_t>& live) {
    const size_t slot = live.empty() || pick.one_in(8) ? pick.below(model.size() + 1) : live[pick.below(live.size())];
    doc.remove_object(slot);
    if (slot < model.size() && model[slot].live) model[slot] = ModelSlot{false, model[slot].class_idx, {}};
}

// A class by its key; now and then by its name as written, which is a key
// only when it is all upper case already.
void remove_class(Document& doc, Model& model, Choices& pick) {
    const ClassDef& cls = schema().ordered_classes[pick.below(schema().ordered_classes.size())];
    const std::string key = pick.one_in(4) ? std::string(cls.name) : to_upper(std::string(cls.name));
    size_t expected = 0;
    for (ModelSlot& object : model) {
        if (!object.live || key_of(object.class_idx) != key) continue;
        object = ModelSlot{false, object.class_idx, {}};
        ++expected;
    }
    const size_t removed = doc.remove_class(key);
    FUZZ_CHECK(removed == expected);
    if (removed) FUZZ_CHECK(!doc.index().find(key));
}

// A run of the input's own objects added again as raw objects; now and then
// with an object of a class the schema lacks among them, at which append
// stops, keeping the objects before it.
void append(Document& doc, Model& model, Choices& pick, const std::vector<c_IDFObject>& objects) {
    const size_t first = pick.below(objects.size() + 1);
    const size_t last = std::min(objects.size(), first + pick.below(4));
    std::vector<c_IDFObject> batch(objects.begin() + static_cast<ptrdiff_t>(first),
                                   objects.begin() + static_cast<ptrdiff_t>(last));
    size_t kept = batch.size();
    if (pick.one_in(4)) {
        kept = pick.below(batch.size() + 1);
        batch.insert(batch.begin() + static_cast<ptrdiff_t>(kept), c_IDFObject{"No Such Class", {}});
    }
    for (size_t i = 0; i < kept; ++i) model.push_back(model_of(batch[i]));
    DocumentError error;
    const bool appended = doc.append(batch, error);
    FUZZ_CHECK(appended == (kept == batch.size()));
    if (!appended) FUZZ_CHECK(error.kind == DocumentErrorKind::unknown_class && error.value == "No Such Class");
}

void edit(Document& doc, Model& model, Choices& pick, const std::vector<c_IDFObject>& objects) {
    const std::vector<size_t> live = live_slots(model);
    size_t choice = pick.below(16);
    if (live.empty() && choice < 9) choice = 9 + choice % 7;  // nothing to change: make something
    if (choice < 7) {
        set_value(doc, model, pick, live[pick.below(live.size())]);
    } else if (choice < 9) {
        trim(doc, model, live[pick.below(live.size())]);
    } else if (choice < 11) {
        add_object(doc, model, pick);
    } else if (choice < 13) {
        remove_object(doc, model, pick, live);
    } else if (choice == 13) {
        remove_class(doc, model, pick);
    } else if (choice == 14) {
        append(doc, model, pick, objects);
    } else {
        doc.drop_name_indices();  // rebuilt by the next search
    }
}

// ---------------------------------------------------------------------------
// Writing the edited document

// The edited document written compactly in document order and in schema
// order, and loaded again: the live objects come back in slot order, or
// grouped by class in schema order, each under its class and with its values
// as the writer puts them down.
void check_written(const Document& doc, const Model& model) {
    for (const bool preserve_order : {true, false}) {
        std::string text;
        WriteResult result;
        write_document(text, FormatConfig{{}, {}, 0, true}, preserve_order, &schema(), doc.index(), doc, result);
        FUZZ_CHECK(!result.out_of_memory && result.foreign_slot == SIZE_MAX);
        const std::vector<size_t> order = preserve_order
                                              ? live_slots(model)
                                              : fuzz::schema_order(
                                                    schema(), model.size(),
                                                    [&](size_t slot) { return model[slot].live; },
                                                    [&](size_t slot) { return key_of(model[slot].class_idx); });
        Document again(&schema());
        DocumentError error;
        FUZZ_CHECK(fuzz::load_document(again, text, error));
        FUZZ_CHECK(again.slot_count() == order.size());
        for (size_t k = 0; k < order.size(); ++k) {
            const ModelSlot& object = model[order[k]];
            const ClassDef* cls = &class_at(object.class_idx);
            FUZZ_CHECK(to_upper(std::string(again.class_def(k)->name)) == key_of(object.class_idx));
            FUZZ_CHECK(fuzz::same_values(again.values(k), fuzz::written_values(cls, object.values)));
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text = fuzz::as_text(data, size);
    Document doc(&schema());
    std::vector<c_IDFObject> objects;
    Model model;
    if (!load_both(text, doc, objects, model)) return 0;
    check_slots(doc, model);
    doc.finish_load();  // the text is cut to the values and may move
    for (const ModelSlot& object : model)
        for (const std::string& value : object.values) check_number(value);
    check_document(doc, model, true);

    Choices pick(text);
    const size_t edits = 4 + pick.below(29);
    for (size_t n = 0; n < edits; ++n) {
        edit(doc, model, pick, objects);
        check_document(doc, model, false);
    }
    check_written(doc, model);
    return 0;
}
