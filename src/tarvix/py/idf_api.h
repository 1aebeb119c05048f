// tarvix.idf as the modules that read its documents see it (tarvix._geometry,
// tarvix._schedules): the native functions the module publishes for them,
// with their signature texts, and the table a reading module imports them
// into at its execution.
//
// A reader never sees the layout of an IDF: it asks for what the document
// is now (document_state: the type check, whether its slots are its own and
// their generation, for a cache of what was read), has a core function run
// over its slots (read_document: without the interpreter lock for a native
// document, changes refused meanwhile; over a snapshot for a listed one),
// and asks for the object of a slot (object_at).
#pragma once

#include <cstdint>
#include <exception>
#include <string_view>
#include <type_traits>

#include "core/document/slot_host.h"
#include "core/schema/schema.h"
#include "py/binding.h"

namespace tarvix::idf {

// What reads a native document without the interpreter lock, as the
// refusal of a change names it (check_not_validating). Static: a document
// keeps a pointer to it while the read runs.
struct Reader {
    const char* doing;  // "validated"
    const char* call;   // "validate()"
};

// What a document is when a reader asks.
struct DocumentState {
    const void* identity = nullptr;  // the document, to compare with only (never read through)
    bool native = false;             // its slots are its own Document's, whose generation every change moves on
    uint64_t generation = 0;         // native: that generation now; else 0
    std::string_view folder;         // the folder of the file it was read from, else empty; the document's own
};

// Called once over the document's slots, without the interpreter lock for a
// native document: it must not touch Python objects, and may not throw.
using SlotReader = void(void* context, const SlotSource& slots, const c_IDD& schema) noexcept;

// Published in tarvix.idf's function table.
//
// The state of `doc`: 0, or -1 with TypeError ("<func_name>() argument 'doc'
// must be tarvix.idf.IDF, not ...") for anything that is not an IDF.
using DocumentStateFn = int(PyObject* doc, const char* func_name, DocumentState* state) noexcept;
// Runs `read(context, slots, schema)` over what the IDF `doc` holds, as
// `reader`: 0, or -1 with an exception set (RuntimeError for a document that
// was never loaded, MemoryError) and `read` not called.
using ReadDocumentFn = int(PyObject* doc, const Reader* reader, SlotReader* read, void* context) noexcept;
// A new reference to the IDFObject in slot `slot` of the IDF `doc` (made on
// first use for a native document), None for a removed slot, a slot past
// the end or an item that is not an object; null with an exception set.
using ObjectAtFn = PyObject*(PyObject* doc, size_t slot) noexcept;

inline constexpr const char* kDocumentStateSignature =
    "int (PyObject *, char const *, tarvix::idf::DocumentState *) noexcept";
inline constexpr const char* kReadDocumentSignature =
    "int (PyObject *, tarvix::idf::Reader const *, tarvix::idf::SlotReader *, void *) noexcept";
inline constexpr const char* kObjectAtSignature = "PyObject *(PyObject *, size_t) noexcept";

// The functions a reading module imports, filled by import().
struct DocumentApi {
    DocumentStateFn* document_state = nullptr;
    ReadDocumentFn* read_document = nullptr;
    ObjectAtFn* object_at = nullptr;

    int import() {
        py::Ref module = py::Ref::steal(PyImport_ImportModule("tarvix.idf"));
        if (!module) return -1;
        if (py::import_function(module.get(), "document_state", document_state, kDocumentStateSignature) < 0 ||
            py::import_function(module.get(), "read_document", read_document, kReadDocumentSignature) < 0 ||
            py::import_function(module.get(), "object_at", object_at, kObjectAtSignature) < 0)
            return -1;
        return 0;
    }

    // read_document() with `read(slots, schema)`, which may throw: its
    // exception is held while the read is in the other module and thrown
    // here once it is back. False with an exception set when `read` was not
    // called.
    template <class Read>
    bool read(PyObject* doc, const Reader& reader, Read&& read) const {
        struct Call {
            std::remove_reference_t<Read>* read;
            std::exception_ptr failure;
        } call{&read, nullptr};
        SlotReader* trampoline = [](void* context, const SlotSource& slots, const c_IDD& schema) noexcept {
            auto* c = static_cast<Call*>(context);
            try {
                (*c->read)(slots, schema);
            } catch (...) {
                c->failure = std::current_exception();
            }
        };
        const int done = read_document(doc, &reader, trampoline, &call);
        if (call.failure) std::rethrow_exception(call.failure);
        return done == 0;
    }
};

}  // namespace tarvix::idf
