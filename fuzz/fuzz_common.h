// Helpers shared by the fuzz targets: a check that aborts with a message, so
// a broken invariant is a crash libFuzzer keeps (and fails a replay run), a
// fixed schema parsed once, documents loaded the way the extension loads
// them, and the values of an object as the writer puts them down.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "core/document/document.h"
#include "core/schema/schema.h"
#include "core/text/text.h"
#include "core/text/tokenizer.h"

#define FUZZ_CHECK(cond)                                                                  \
    do {                                                                                  \
        if (!(cond)) {                                                                    \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
            std::abort();                                                                 \
        }                                                                                 \
    } while (0)

namespace fuzz {

inline std::string_view as_text(const uint8_t* data, size_t size) {
    return {reinterpret_cast<const char*>(data), size};
}

// A schema built into a target; it must parse.
inline tarvix::c_IDD parse_fixed_schema(std::string_view text) {
    tarvix::Tokenizer tokenizer;
    tokenizer.init(text, true);
    tarvix::c_IDD idd;
    tarvix::ParseError error;
    FUZZ_CHECK(tarvix::parse_schema(tokenizer, idd, error));
    return idd;
}

// Loads a text into a document as the extension does: a copy of the text
// becomes the document's store, checked as UTF-8 while it is read, and the
// unused memory is given back afterwards.
inline bool load_document(tarvix::Document& doc, std::string_view text, tarvix::DocumentError& error) {
    if (!doc.load(tarvix::make_text_store(std::string(text)), false, error)) return false;
    doc.finish_load();
    return true;
}

// An object's values as the writer puts them down, and so as they read
// back: trailing empty values dropped, then empty values up to the class's
// min-fields. `Values` is anything with size() and operator[] giving text.
template <class Values>
std::vector<std::string_view> written_values(const tarvix::ClassDef* cls, const Values& values) {
    std::vector<std::string_view> out;
    for (size_t i = 0; i < values.size(); ++i) out.push_back(values[i]);
    while (!out.empty() && out.back().empty()) out.pop_back();
    if (cls && out.size() < static_cast<size_t>(cls->min_fields)) out.resize(static_cast<size_t>(cls->min_fields));
    return out;
}

// The slots in the order the writer puts them in schema order: classes as
// the schema lists them (objects of a class whose key a later class took
// over appear at that later place only), and within a class key its live
// slots ascending, as the index keeps loaded and added objects.
template <class IsLive, class KeyOf>
std::vector<size_t> schema_order(const tarvix::c_IDD& idd, size_t slot_count, IsLive is_live, KeyOf key_of) {
    std::vector<size_t> order;
    for (size_t class_idx = 0; class_idx < idd.ordered_classes.size(); ++class_idx) {
        const std::string key = tarvix::to_upper(std::string(idd.ordered_classes[class_idx].name));
        const auto owner = idd.class_map.find(key);
        if (owner == idd.class_map.end() || owner->second != class_idx) continue;
        for (size_t slot = 0; slot < slot_count; ++slot)
            if (is_live(slot) && key_of(slot) == key) order.push_back(slot);
    }
    return order;
}

inline bool same_values(tarvix::ValuesView values, const std::vector<std::string_view>& expected) {
    if (values.size() != expected.size()) return false;
    for (size_t i = 0; i < expected.size(); ++i)
        if (values[i] != expected[i]) return false;
    return true;
}

}  // namespace fuzz
