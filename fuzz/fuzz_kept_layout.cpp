// The kept layout. The input is a document text, then (after a zero byte)
// a run of edits, four bytes each. The text is loaded against a small
// schema with its layout kept; written back unedited it must be the text
// itself. After the edits (set a value, set one past the end, empty the
// last one and trim, remove an object, add one, rename one) the kept-layout
// text must load to exactly the document the edits made: per class, the
// objects in index order with their values (trailing empty ones aside), and
// the text of every object no edit touched must appear in it unchanged and
// in order.
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_common.h"
#include "core/document/document.h"
#include "core/formats/kept_layout.h"
#include "core/schema/schema.h"

using namespace tarvix;

namespace {

constexpr std::string_view kSchema = R"(\group Simulation
Version,
  A1 ; \field Version Identifier
\group Zones
Zone,
  \min-fields 3
  A1 , \field Name
       \reference ZoneNames
  N1 , \field Direction of Relative North
       \units deg
  N2 , \field Multiplier
  N3 ; \field Ceiling Height
       \units m
Surface,
  \extensible:3
  A1 , \field Name
  A2 , \field Zone Name
       \object-list ZoneNames
  N1 , \field Vertex 1 X-coordinate
       \begin-extensible
       \units m
  N2 , \field Vertex 1 Y-coordinate
       \units m
  N3 ; \field Vertex 1 Z-coordinate
       \units m
)";

const c_IDD& schema() {
    static const c_IDD idd = fuzz::parse_fixed_schema(kSchema);
    return idd;
}

constexpr std::string_view kValues[] = {"", "1", "Z1", "Zone Two", "a much longer value than the others", "2.5"};

std::vector<std::string> trimmed(ValuesView values) {
    std::vector<std::string> out;
    for (size_t i = 0; i < values.size(); ++i) out.emplace_back(values[i]);
    while (!out.empty() && out.back().empty()) out.pop_back();
    return out;
}

// Per class key, the values of its live objects in index order.
std::map<std::string, std::vector<std::vector<std::string>>> contents(const Document& doc) {
    std::map<std::string, std::vector<std::vector<std::string>>> out;
    for (const auto& [key, entry] : doc.index().entries())
        entry.for_each([&](size_t slot) {
            if (doc.live(slot)) out[std::string(key)].push_back(trimmed(doc.values(slot)));
        });
    for (auto it = out.begin(); it != out.end();) it = it->second.empty() ? out.erase(it) : std::next(it);
    return out;
}

std::string kept_text(const Document& doc) {
    std::string out;
    WriteResult result;
    write_kept_layout(out, *doc.source(), doc, result);
    FUZZ_CHECK(!result.out_of_memory && result.foreign_slot == SIZE_MAX);
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view input = fuzz::as_text(data, size);
    const size_t split = input.find('\0');
    const std::string_view text = input.substr(0, split);
    const std::string_view edits = split == std::string_view::npos ? std::string_view() : input.substr(split + 1);

    Document doc(&schema());
    DocumentError error;
    if (!doc.load(make_text_store(std::string(text)), false, error, true)) return 0;
    doc.finish_load();
    FUZZ_CHECK(doc.source() && doc.source()->loaded_count() == doc.slot_count());
    FUZZ_CHECK(kept_text(doc) == text);

    const size_t loaded = doc.slot_count();
    for (size_t i = 0; i + 4 <= edits.size(); i += 4) {
        const uint8_t op = static_cast<uint8_t>(edits[i]) % 6;
        const size_t a = static_cast<uint8_t>(edits[i + 1]);
        const size_t b = static_cast<uint8_t>(edits[i + 2]);
        const std::string_view value = kValues[static_cast<uint8_t>(edits[i + 3]) % std::size(kValues)];
        const size_t count = doc.slot_count();
        if (op == 4) {  // add an object
            const uint32_t class_idx = static_cast<uint32_t>(a % schema().ordered_classes.size());
            FieldValues values;
            for (size_t k = 0; k < b % 5; ++k) values.push_back(k ? value : std::string_view("New"));
            doc.add_object(class_idx, std::move(values), true);
            continue;
        }
        if (count == 0) continue;
        const size_t slot = a % count;
        if (!doc.live(slot)) continue;
        const size_t fields = doc.values(slot).size();
        switch (op) {
            case 0: doc.set_value(slot, b % (fields + 1), value); break;
            case 1: doc.set_value(slot, fields + b % 3, value.empty() ? std::string_view("x") : value); break;
            case 2:
                if (fields) doc.set_value(slot, fields - 1, "");
                doc.trim(slot);
                break;
            case 3: doc.remove_object(slot); break;
            case 5:
                if (doc.class_idx(slot) == 1 && !value.empty()) doc.rename(slot, 0, value);  // a zone
                break;
        }
    }

    const std::string out = kept_text(doc);
    Document again(&schema());
    FUZZ_CHECK(fuzz::load_document(again, out, error));
    FUZZ_CHECK(contents(again) == contents(doc));

    // The objects no edit touched, unchanged and in order.
    SourceObject object;
    size_t at = 0;
    for (size_t slot = 0; slot < loaded; ++slot) {
        if (!doc.unchanged(slot)) continue;
        FUZZ_CHECK(read_source_object(text, doc.source()->begins[slot], object));
        const std::string_view own = text.substr(object.class_begin, object.end() - object.class_begin);
        const size_t found = out.find(own, at);
        FUZZ_CHECK(found != std::string::npos);
        at = found + own.size();
    }
    return 0;
}
