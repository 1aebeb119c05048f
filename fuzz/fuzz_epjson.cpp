// epJSON: read JSON text against a small fixed schema and its JSON schema;
// what is accepted must load as a document. Writing that document as epJSON
// and reading it again must settle: the second round gives back the JSON of
// the first (the first may change spellings, trim blanks, refuse repeated
// names or text in a numeric field).
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_common.h"
#include "core/document/document.h"
#include "core/formats/epjson.h"
#include "core/schema/schema.h"

using namespace tarvix;

namespace {

constexpr std::string_view kSchema = R"(Zone,
  A1 , \field Name
  N1 , \field Multiplier
       \type integer
  N2 , \field Height
       \autocalculatable
  A2 ; \field Kind
       \type choice
       \key Office
       \key Lab
Output,
  A1 , \field Key
  A2 ; \field Frequency
Schedule,
  \extensible:2
  A1 , \field Name
  A2 , \field Time 1
  N1 ; \field Value 1
)";

constexpr std::string_view kJsonSchema = R"({"properties": {
  "Zone": {"name": {"type": "string"}, "legacy_idd": {"fields": ["name", "multiplier", "height", "kind"]},
    "patternProperties": {".*": {"properties": {"multiplier": {"type": "integer"},
      "height": {"anyOf": [{"type": "number"}, {"type": "string", "enum": ["", "Autocalculate"]}]},
      "kind": {"type": "string", "enum": ["", "Office", "Lab"]}}}}},
  "Output": {"legacy_idd": {"fields": ["key", "frequency"]},
    "patternProperties": {".*": {"properties": {"key": {"type": "string"}, "frequency": {"type": "string"}}}}},
  "Schedule": {"name": {"type": "string"},
    "legacy_idd": {"fields": ["name"], "extensibles": ["time", "value"], "extension": "data"},
    "patternProperties": {".*": {"properties": {"data": {"type": "array", "items": {"properties": {
      "time": {"anyOf": [{"type": "number"}, {"type": "string"}]}, "value": {"type": "number"}}}}}}}}}})";

const c_IDD& schema() {
    static const c_IDD idd = fuzz::parse_fixed_schema(kSchema);
    return idd;
}

const epjson::Schema& json_schema() {
    static const epjson::Schema* loaded = [] {
        auto* out = new epjson::Schema();
        std::string error;
        FUZZ_CHECK(out->load(kJsonSchema, error));
        return out;
    }();
    return *loaded;
}

// JSON -> document text -> document -> JSON; false where the JSON or the
// document is refused.
bool round(std::string_view json, std::string& out) {
    std::string text;
    epjson::Error error;
    if (!epjson::epjson_to_text(json, schema(), json_schema(), text, error)) {
        FUZZ_CHECK(error.kind == epjson::Error::invalid && !error.message.empty());
        return false;
    }
    Document doc(&schema());
    DocumentError load_error;
    FUZZ_CHECK(fuzz::load_document(doc, text, load_error));
    epjson::JsonText written;
    if (!epjson::write_epjson(doc, schema(), json_schema(), true, written, error)) {
        FUZZ_CHECK(error.kind == epjson::Error::invalid && !error.message.empty());
        return false;
    }
    out.assign(written.view());
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string first, second;
    if (!round(fuzz::as_text(data, size), first)) return 0;
    FUZZ_CHECK(round(first, second));
    FUZZ_CHECK(second == first);
    return 0;
}
