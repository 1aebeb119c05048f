// Round trip: parse a document against a small fixed schema, write every
// object in each layout, parse the text again and compare. The writer drops
// trailing empty values and pads to the class's min-fields, so the values
// read back are the stored ones after that normalisation; writing them again
// must give the same text.
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_common.h"
#include "core/schema.h"
#include "core/document.h"

using namespace tarvix;

namespace {

// Min-fields, units, a repeating group with and without \begin-extensible,
// and a class without either.
constexpr std::string_view kSchema = R"(\group Simulation
Version,
  A1 ; \field Version Identifier
\group Zones
Zone,
  \min-fields 3
  A1 , \field Name
  N1 , \field Direction of Relative North
       \units deg
  N2 , \field Multiplier
  N3 ; \field Ceiling Height
       \units m
Surface,
  \min-fields 2
  \extensible:3
  A1 , \field Name
  A2 , \field Zone Name
  N1 , \field Vertex 1 X-coordinate
       \begin-extensible
       \units m
  N2 , \field Vertex 1 Y-coordinate
       \units m
  N3 ; \field Vertex 1 Z-coordinate
       \units m
ZoneList,
  \extensible:1
  A1 , \field Name
  A2 , \field Zone 1 Name
  A3 ; \field Zone 2 Name
)";

const idd::c_IDD& schema() {
    static const idd::c_IDD idd = [] {
        lexer::Tokenizer tokenizer;
        tokenizer.init(kSchema, true);
        idd::c_IDD parsed;
        idd::ParseError error;
        FUZZ_CHECK(idd::parse_schema(fuzz::source_of(tokenizer), parsed, error));
        return parsed;
    }();
    return idd;
}

bool parse(std::string_view text, std::vector<idf::c_IDFObject>& objects) {
    lexer::Tokenizer tokenizer;
    tokenizer.init(text, false);
    idf::DocumentError error;
    return idf::parse_document(fuzz::source_of(tokenizer), objects, error);
}

// Each object as the document writer lays it out: a line break, then its
// text, and a group header (a comment) where the group changes.
std::string write(const std::vector<idf::c_IDFObject>& objects, const idf::FormatConfig& config) {
    std::string out;
    std::string group;
    for (const idf::c_IDFObject& object : objects) {
        const idd::ClassDef* cls = idd::find_class(schema(), to_upper(object.class_name));
        if (cls && !config.compact && cls->group != group) {
            group = cls->group;
            idf::write_group_header(out, group);
        }
        out.push_back('\n');
        idf::write_object_text(out, config, object.class_name, object.values, cls, idd::get_field_name);
    }
    return out;
}

// The values as they come back: trailing empties dropped, then padded with
// empties to min-fields.
std::vector<std::string_view> expected_values(const idf::c_IDFObject& object) {
    std::vector<std::string_view> values;
    for (size_t i = 0; i < object.values.size(); ++i) values.push_back(object.values[i]);
    while (!values.empty() && values.back().empty()) values.pop_back();
    const idd::ClassDef* cls = idd::find_class(schema(), to_upper(object.class_name));
    if (cls && values.size() < static_cast<size_t>(cls->min_fields)) values.resize(static_cast<size_t>(cls->min_fields));
    return values;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<idf::c_IDFObject> objects;
    if (!parse(fuzz::as_text(data, size), objects)) return 0;

    const idf::FormatConfig layouts[] = {
        idf::generate_format_config(),
        idf::generate_format_config(0, 4, 0),
        idf::FormatConfig{{}, {}, 0, true},
    };
    for (const idf::FormatConfig& config : layouts) {
        const std::string text = write(objects, config);
        std::vector<idf::c_IDFObject> again;
        FUZZ_CHECK(parse(text, again));
        FUZZ_CHECK(again.size() == objects.size());
        for (size_t o = 0; o < objects.size(); ++o) {
            FUZZ_CHECK(again[o].class_name == objects[o].class_name);
            const std::vector<std::string_view> expected = expected_values(objects[o]);
            FUZZ_CHECK(again[o].values.size() == expected.size());
            for (size_t i = 0; i < expected.size(); ++i) FUZZ_CHECK(again[o].values[i] == expected[i]);
        }
        FUZZ_CHECK(write(again, config) == text);
    }
    return 0;
}
