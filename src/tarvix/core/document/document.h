// A document in memory, free of the interpreter: one slot per object ever
// created (a removed object's slot stays, so no object index ever changes),
// the per-class index, the reference graph, and the operations that keep
// them in step: loading from text, adding, removing, setting a value, the
// reference queries and finding an object by name. The writer (layout.h)
// walks a document as a SlotSource.
//
// Loaded values stay in the text they were read from: the loader moves each
// value down over the comments, blanks and delimiters before it, so the text
// ends up holding the values back to back and is then cut to that length.
// Each object keeps the offsets of its values' ends. An object whose values
// change gets storage of its own (FieldValues).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/document/class_index.h"
#include "core/document/source_text.h"
#include "core/base/pod_vector.h"
#include "core/document/refgraph.h"
#include "core/document/slot_host.h"
#include "core/schema/schema.h"
#include "core/text/tokenizer.h"
#include "core/document/values.h"

namespace tarvix {

// ---------------------------------------------------------------------------
// Parsing

// One object as written: the class name and the value texts.
struct c_IDFObject {
    std::string class_name;
    FieldValues values;
};

enum class DocumentErrorKind {
    missing_delimiter,   // a text token while another text is pending
    unterminated,        // end of text inside an object
    token_error,         // the tokenizer's error token
    unrecognized_token,  // a token type the parser does not know
    unknown_class,       // a class name the schema does not know
    out_of_memory,
    too_long_to_keep,    // a layout to keep of a text past kMaxKeptText
};

struct DocumentError {
    DocumentErrorKind kind = DocumentErrorKind::token_error;
    int32_t line_num = 0;
    std::string value;       // the offending token's text, or the unknown class name
    int32_t token_type = 0;  // for unrecognized_token
};

// Appends every object of the token stream to `objects`, in file order.
// Returns false with `error` filled at the first syntax error.
bool parse_document(Tokenizer& tokens, std::vector<c_IDFObject>& objects, DocumentError& error) noexcept;

// The first field of the first Version object of document text, found by
// reading tokens only as far as that object: an empty view for a Version
// object without fields, nullopt when the text has none before its end or
// a syntax error. A UTF-8 byte-order mark is skipped; the bytes are not
// checked, so text in any encoding that keeps ASCII as it is will do.
std::optional<std::string_view> scan_version(std::string_view text) noexcept;

// ---------------------------------------------------------------------------
// Text storage

// The buffer a loaded document keeps its values in. The loader writes into
// it (values move down over what lies between them) and then cuts it.
class TextStore {
public:
    virtual ~TextStore() = default;
    virtual char* data() noexcept = 0;
    virtual size_t size() const noexcept = 0;
    // Keeps the first `size` bytes; the data may move.
    virtual void shrink(size_t size) noexcept = 0;
};

// A store that owns a copy of `text`.
std::unique_ptr<TextStore> make_text_store(std::string text);

// ---------------------------------------------------------------------------
// Document

class Document;

// Changes to a document's reference graph staged so that an edit happens
// whole or not at all. Additions are made as they are staged; removals and
// whole-entry moves wait. prepare() makes room for the moves; commit() then
// applies the rest and cannot fail. An edit not committed is taken back when
// the GraphEdit goes: its additions removed, the entries it made erased.
// Staging and prepare() throw std::bad_alloc; nothing they do is seen until
// commit().
class GraphEdit {
public:
    explicit GraphEdit(Document& doc) noexcept : doc_(doc) {}
    ~GraphEdit();
    GraphEdit(const GraphEdit&) = delete;
    GraphEdit& operator=(const GraphEdit&) = delete;

    // Registers `value` of a field at `loc` under the field's tags (on the
    // referring side, not under the `skipped` tags), or stages its removal.
    void add(const FieldDef& field, std::string_view value, FieldLoc loc, Views skipped = {});
    void remove(const FieldDef& field, std::string_view value, FieldLoc loc, Views skipped = {});
    // A field's value at `loc` goes from `old` to `value`: its registrations
    // move (or, for the same text in another case, go to the end of their
    // entries, as a removal and a new registration would leave them).
    void replace(const FieldDef& field, std::string_view old, std::string_view value, FieldLoc loc);
    // Every location registered under [tag][from] on the referring side goes
    // to [tag][to] in one step.
    void move_entry(std::string_view tag, std::string_view from, std::string_view to);
    // Every non-empty value of an object, under the definitions of `cls`.
    void add_all(const ClassDef& cls, ValuesView values, size_t slot);

    void prepare();
    void commit() noexcept;

private:
    enum class Kind : uint8_t { target, referencer, move, requeue_target, requeue_referencer };
    struct Change {
        Kind kind;
        uint32_t tag;  // the map's number of it
        uint32_t key;     // index into keys_
        uint32_t to_key;  // moves: the target's key
        FieldLoc loc;
        bool made = false;  // prepared moves: the target entry was made
    };
    uint32_t key_of(std::string_view value);
    RefMap& map(Kind kind) noexcept;
    void stage(std::vector<Change>& list, const FieldDef& field, std::string_view value, FieldLoc loc, Views skipped,
               bool apply);

    Document& doc_;
    std::vector<std::string> keys_;  // upper-cased values
    std::vector<Change> added_, removed_, pending_;  // pending: moves and requeues, prepared in order
    bool prepared_ = false;
    bool committed_ = false;
};

// The single write path for values an object owns: sets value `field_idx`
// (growing the values with empty ones when it lies beyond them; the text
// already there, or an empty value beyond them, changes nothing) and, with a
// `graph`, moves slot `slot`'s registrations there under the field
// definitions of `cls`. Throws std::bad_alloc / std::length_error with the
// value and the graph unchanged.
void write_value(FieldValues& values, size_t field_idx, std::string_view value, const ClassDef* cls, Document* graph,
                 size_t slot);

// The field that names an object of a class for others to refer to: its
// first field whose definition carries a reference tag; -1 when the class
// has none.
int32_t name_field_index(const ClassDef& cls) noexcept;

// Where the fields sit that refer to `name` under one of `field`'s reference
// tags, as `referencers` registers them: each location once, in ascending
// order, in `out` (replacing what it held). Takes time in proportion to the
// number of locations registered under the name. Throws std::bad_alloc.
void referring_fields(const RefMap& referencers, const FieldDef& field, std::string_view name,
                      std::vector<FieldLoc>& out);

// The Document is the host of its own slots; a caller whose objects keep
// values elsewhere (the binding's listed documents) gives its own SlotHost
// to the edits and queries that take one, and they run the same way.
class Document final : public SlotHost {
public:
    explicit Document(const c_IDD* schema = nullptr) noexcept : schema_(schema) {}
    ~Document() override;
    Document(const Document&) = delete;
    Document& operator=(const Document&) = delete;

    // The schema the slots' class indices refer to; null for none.
    const c_IDD* schema() const noexcept { return schema_; }

    // A number that changes whenever a slot, a value or the schema does, and
    // that no other document's state ever had: what is worked out from a
    // document (its geometry) can be kept while it stays the same.
    uint64_t generation() const noexcept { return generation_; }
    void set_schema(const c_IDD* schema) noexcept;

    // Loads the objects of a document text (UTF-8; `known_valid` as for the
    // tokenizer). Runs without the interpreter; the store is kept for the
    // values, and with `keep_layout` a copy of the text as it was, for
    // write_kept_layout(). On failure `error` says why and the document is
    // to be thrown away. finish_load() then gives back the unused memory.
    bool load(std::unique_ptr<TextStore> text, bool known_valid, DocumentError& error,
              bool keep_layout = false) noexcept;
    void finish_load() noexcept;

    // Adds raw objects as load does; false with `error` at an unknown class
    // (the objects before it stay).
    bool append(std::vector<c_IDFObject>& objects, DocumentError& error) noexcept;

    // The class of a name as written (ASCII letters matched in any case).
    std::optional<uint32_t> find_class(std::string_view class_name) const;

    // --- Slots
    size_t slot_count() const noexcept override { return slots_.size(); }
    bool live(size_t slot) const noexcept { return slot < slots_.size() && slots_[slot].live; }
    uint32_t class_idx(size_t slot) const noexcept { return slots_[slot].class_idx; }
    const ClassDef* class_def(size_t slot) const noexcept;
    ValuesView values(size_t slot) const noexcept;
    SlotState view(size_t slot, ObjectView& out) const noexcept override;
    bool unchanged(size_t slot) const noexcept override {
        return slot < lines_.size() && slots_[slot].live && !slots_[slot].owned;
    }
    // The 1-based line a loaded object's class name is on; 0 for an object
    // that was not loaded from text.
    uint32_t line_of(size_t slot) const noexcept { return slot < lines_.size() ? lines_[slot] : 0; }
    // The text the document was loaded from, when its layout was kept.
    const SourceText* source() const noexcept { return source_.get(); }
    SourceText* source() noexcept { return source_.get(); }
    void prepare(size_t slot, size_t extra, size_t count) override { prepare_value(slot, extra, count); }
    void write(size_t slot, size_t field_idx, std::string_view value) noexcept override {
        store_prepared(slot, field_idx, value);
    }
    void append(uint32_t class_idx, FieldValues values) override;
    void unappend() noexcept override;
    void vacate(size_t slot) noexcept override { release(slot); }

    // --- Edits; each keeps the index, the graph and the name indices current.

    // A new slot of a class with min_fields empty values, or with the values
    // given, registered in the graph when `registered`. Throws
    // std::bad_alloc with the document unchanged.
    size_t add_object(uint32_t class_idx);
    size_t add_object(uint32_t class_idx, FieldValues values, bool registered = false);
    // The same over the objects of `host`: the new object, of class `cls`
    // (null: none; `class_idx` in the schema of the objects), goes in the
    // host's next slot, and into the entry of its class, made when missing.
    size_t add_object(SlotHost& host, const ClassDef* cls, uint32_t class_idx, FieldValues values, bool registered);

    // The write path: sets value `field_idx` (growing the values with empty
    // ones when it lies beyond them; an empty value beyond them changes
    // nothing) and, with `update_graph`, moves the value's registrations in
    // the graph, under the field definitions of `cls` (null: the slot's own
    // class). Throws std::bad_alloc / std::length_error with the values
    // unchanged.
    void set_value(size_t slot, size_t field_idx, std::string_view value, const ClassDef* cls = nullptr,
                   bool update_graph = true);
    // set_value in two steps, the graph left alone: prepare_value makes room
    // in the slot's values for `extra` more bytes and `count` values (throws
    // as set_value does, the values unchanged); store_prepared then sets a
    // value within that room and cannot fail.
    void prepare_value(size_t slot, size_t extra, size_t count);
    void store_prepared(size_t slot, size_t field_idx, std::string_view value) noexcept;
    // Renames live slot `slot`: sets its value `name_idx` to `new_name`, and
    // with it every field of a live object that refers to the old value
    // under one of that field's reference tags (referring_fields) and still
    // holds it, ignoring ASCII case. Returns how many of those fields
    // changed (the name field itself not counted). Time goes with the number
    // of referring fields, not the size of the document. All or nothing:
    // throws std::bad_alloc / std::length_error with the document unchanged.
    size_t rename(size_t slot, size_t name_idx, std::string_view new_name) {
        return rename(*this, slot, name_idx, new_name);
    }
    // The same over the objects of `host` (the object renamed sits in
    // `slot`; a field counts only when an object sits in its slot).
    size_t rename(SlotHost& host, size_t slot, size_t name_idx, std::string_view new_name);
    // A rename through `host`: writes `new_name` into the name field at
    // `name_loc` (its definition `name_field`, or null for none) and into
    // each of `locs` (fields that hold `old`, ignoring ASCII case, and refer
    // to it under a reference tag of the name field), and moves their
    // registrations to it. With `whole` (nothing else is registered under
    // `old` for those tags, the name field aside) each of the name's entries
    // moves in one step. All or nothing, as rename.
    void rename_fields(FieldLoc name_loc, const FieldDef* name_field, std::string_view old, std::string_view new_name,
                       const std::vector<FieldLoc>& locs, bool whole, SlotHost& host);
    // Drops empty values from the end.
    void trim(size_t slot) noexcept;
    void reserve_values(size_t slot, size_t count);

    // Takes a live object out: its slot stays, empty; its values leave the
    // graph and the indices.
    void remove_object(size_t slot) noexcept;
    // The entry of the class of the object in an occupied slot of `host`,
    // found by its class name; null when there is none (or no object).
    // Throws std::bad_alloc.
    ClassEntry* entry_of_object(const SlotHost& host, size_t slot);
    // Takes the object in an occupied slot of `host` out of `entry` (null:
    // of no entry), the name index and the graph, then has the host vacate
    // the slot.
    void remove_object(SlotHost& host, size_t slot, ClassEntry* entry) noexcept;
    // Removes every object of a class; erases the class's entry unless it
    // was missing or empty (then 0).
    size_t remove_class(std::string_view class_key) noexcept;
    // The same over the objects of `host`: each object its slots in the
    // entry show leaves the graph and its slot.
    size_t remove_class(SlotHost& host, std::string_view class_key) noexcept;

    // Empties a slot without touching the index or the graph (a restored
    // document keeps those itself).
    void release(size_t slot) noexcept;

    // --- Queries

    // The first object of a class, in class order, whose first value equals
    // `name` ignoring ASCII case; SIZE_MAX when none.
    // With another host the objects of its slots are read (no name index).
    size_t find_by_name(std::string_view class_key, std::string_view name) noexcept;
    size_t find_by_name(const SlotHost& host, std::string_view class_key, std::string_view name) noexcept;
    // The first live object whose reference field defines `value` under a
    // tag of the field's object-lists; SIZE_MAX when none.
    size_t first_target(const FieldDef& field, std::string_view value) const noexcept {
        return first_target(*this, field, value);
    }
    size_t first_target(const SlotHost& host, const FieldDef& field, std::string_view value) const noexcept;
    // Live objects whose object-list fields name `value` under a tag of the
    // field's references, one per registration.
    void referencing(const FieldDef& field, std::string_view value, std::vector<size_t>& out) const {
        referencing(*this, field, value, out);
    }
    void referencing(const SlotHost& host, const FieldDef& field, std::string_view value,
                     std::vector<size_t>& out) const;
    // Where another object of `host` than the one in `slot` holds `name`
    // (ignoring ASCII case) in a field registered under one of `field`'s
    // reference tags: renaming onto it would make every reference name both.
    // Registrations the values no longer bear out are passed over.
    std::optional<FieldLoc> name_holder(const SlotHost& host, const FieldDef& field, std::string_view name,
                                        size_t slot) const noexcept;

    // --- The graph and the index, as pickling and restored states use them.
    void register_value(const FieldDef& field, std::string_view value, FieldLoc loc) noexcept;
    void unregister_value(const FieldDef& field, std::string_view value, FieldLoc loc) noexcept;
    void unregister_all(const ClassDef* cls, ValuesView values, size_t slot) noexcept;
    // Registers every non-empty value of a slot under the definitions of
    // `cls`: reporting a failure and going on (loading), or all or nothing,
    // throwing std::bad_alloc with nothing registered (edits).
    void register_all(const ClassDef& cls, ValuesView values, size_t slot) noexcept;
    void register_values(const ClassDef& cls, ValuesView values, size_t slot);
    ClassIndex& index() noexcept { return index_; }
    const ClassIndex& index() const noexcept { return index_; }
    RefMap& targets() noexcept { return targets_; }
    RefMap& referencers() noexcept { return referencers_; }
    const RefMap& targets() const noexcept { return targets_; }
    const RefMap& referencers() const noexcept { return referencers_; }
    // Forgets the name indices (they are rebuilt on the next search).
    void drop_name_indices() noexcept;

private:
    struct Slot {
        uint64_t text_begin;   // first byte of the loaded values in the text
        uint64_t ends_begin;   // first end offset in ends_
        uint32_t count;        // number of loaded values
        uint32_t class_idx : 31;
        uint32_t live : 1;
        FieldValues* owned;    // the values once changed or added, else null
    };

    class Loader;
    class GraphFeed;

    // Calls each(field, value, location) for every non-empty value of a
    // slot that a field of `cls` registers in the graph.
    // Whether a field's values are entered in the graph.
    static bool registers(const FieldDef& field) noexcept {
        return !field.references().empty() || !field.object_lists().empty();
    }
    template <class Each>
    static void each_registered(const ClassDef& cls, ValuesView values, size_t slot, Each&& each) {
        const size_t count = std::min(values.size(), static_cast<size_t>(INT32_MAX) + 1);
        for (size_t i = 0; i < count; ++i) {
            const std::string_view value = values[i];
            if (value.empty()) continue;
            const FieldDef* field = get_field_def(&cls, i);
            if (field && registers(*field)) each(*field, value, FieldLoc{slot, static_cast<int32_t>(i)});
        }
    }

    FieldValues& own_values(size_t slot);
    ClassEntry* entry_of(uint32_t class_idx, bool create);
    NameIndex* names_of(size_t slot) noexcept;

    void touch() noexcept { generation_ = next_generation(); }
    static uint64_t next_generation() noexcept;

    const c_IDD* schema_;
    uint64_t generation_ = next_generation();
    std::unique_ptr<TextStore> text_;
    const char* text_base_ = nullptr;
    size_t written_ = 0;  // bytes of the text that hold values
    PodVector<Slot> slots_;
    PodVector<uint32_t> ends_;
    PodVector<uint32_t> lines_;  // loaded slot -> its line
    std::unique_ptr<SourceText> source_;
    ClassIndex index_;
    RefMap targets_;
    RefMap referencers_;
    std::vector<ClassEntry*> entry_cache_;  // class index -> its entry, filled on use
    uint64_t entry_cache_generation_ = 0;   // the index's generation the cache belongs to
};

}  // namespace tarvix
