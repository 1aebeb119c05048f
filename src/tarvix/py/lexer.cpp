// tarvix.lexer: the Lexer class (a tokenizer over one UTF-8 text) that the
// schema and document parsers drive through its native method table, and
// debug_tokenize for looking at the token stream from Python.
#include "py/lexer.h"

#include <new>
#include <vector>

#include "core/text/outline.h"
#include "core/text/text.h"

namespace tarvix::lexer {
namespace {

using py::Ref;

// ---------------------------------------------------------------------------
// Native methods

int lexer_c_init(LexerObject* self, PyObject* content, int is_idd) {
    if (!PyBytes_Check(content)) {
        py::raise_expected("bytes", content);
        return -1;
    }
    Py_XSETREF(self->content_owner, Py_NewRef(content));
    self->tokenizer.init(py::bytes_view(content), is_idd != 0);
    return 0;
}

bool lexer_scan_next_line(LexerObject* self, std::string_view& line) { return self->tokenizer.scan_next_line(line); }
Token lexer_next_token(LexerObject* self) { return self->tokenizer.next_token(); }
void lexer_tokenize_line(LexerObject* self, std::string_view line) { self->tokenizer.tokenize_line(line); }
bool lexer_push_text_token(LexerObject* self, std::string_view text) { return self->tokenizer.push_text_token(text); }

const LexerMethods lexer_methods = {
    lexer_c_init, lexer_scan_next_line, lexer_next_token, lexer_tokenize_line, lexer_push_text_token,
};

// ---------------------------------------------------------------------------
// Type

PyObject* lexer_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    if (PyTuple_GET_SIZE(args) != 0 || (kwargs && PyDict_GET_SIZE(kwargs) != 0)) {
        PyErr_SetString(PyExc_TypeError, "Lexer() takes no arguments");
        return nullptr;
    }
    auto* self = reinterpret_cast<LexerObject*>(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    self->methods = &lexer_methods;
    new (&self->tokenizer) Tokenizer();
    self->content_owner = nullptr;
    return reinterpret_cast<PyObject*>(self);
}

void lexer_dealloc(PyObject* obj) {
    auto* self = reinterpret_cast<LexerObject*>(obj);
    self->tokenizer.~Tokenizer();
    Py_CLEAR(self->content_owner);
    Py_TYPE(obj)->tp_free(obj);
}

PyTypeObject LexerType = [] {
    PyTypeObject type = py::new_static_type();
    type.tp_name = "tarvix.lexer.Lexer";
    type.tp_basicsize = sizeof(LexerObject);
    type.tp_dealloc = lexer_dealloc;
    type.tp_flags = Py_TPFLAGS_DEFAULT;
    type.tp_doc = "Tokenizer over one UTF-8 schema or document text, driven natively by the parsers.";
    type.tp_new = lexer_new;
    return type;
}();

// ---------------------------------------------------------------------------
// Module functions

PyObject* debug_tokenize(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const py::Params params{"debug_tokenize", {"content", "is_idd"}, 2};
    PyObject* given[2] = {};
    if (!params.parse(args, nargs, kwnames, given)) return nullptr;
    if (!PyBytes_Check(given[0])) {
        py::raise_arg_type("content", "bytes", given[0]);
        return nullptr;
    }
    const int is_idd = PyObject_IsTrue(given[1]);
    if (is_idd < 0) return nullptr;

    struct Entry {
        Token token;
        int32_t line_num;
    };
    std::vector<Entry> entries;
    bool out_of_memory = false;
    Tokenizer tokenizer;
    tokenizer.init(py::bytes_view(given[0]), is_idd != 0);
    Py_BEGIN_ALLOW_THREADS try {
        for (;;) {
            Token token = tokenizer.next_token();
            const bool last = token.type == TOKEN_EOF || token.type == TOKEN_ERROR;
            entries.push_back(Entry{std::move(token), tokenizer.line_num});
            if (last) break;
        }
    } catch (const std::bad_alloc&) {
        out_of_memory = true;
    }
    Py_END_ALLOW_THREADS if (out_of_memory) return PyErr_NoMemory();

    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(entries.size())));
    if (!list) return nullptr;
    for (size_t i = 0; i < entries.size(); ++i) {
        const Entry& entry = entries[i];
        PyObject* item = Py_BuildValue("(iy#i)", static_cast<int>(entry.token.type), entry.token.value.data(),
                                       static_cast<Py_ssize_t>(entry.token.value.size()), entry.line_num);
        if (!item) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list.release();
}

template <class T>
PyObject* packed(const std::vector<T>& items) {
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(items.data()),
                                     static_cast<Py_ssize_t>(items.size() * sizeof(T)));
}

PyObject* outline(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const py::Params params{"outline", {"content"}, 1};
    PyObject* given[1] = {};
    if (!params.parse(args, nargs, kwnames, given)) return nullptr;
    if (!PyBytes_Check(given[0])) {
        py::raise_arg_type("content", "bytes", given[0]);
        return nullptr;
    }
    const std::string_view text = py::bytes_view(given[0]);
    if (text.size() > kMaxOutlineText) {
        PyErr_SetString(PyExc_ValueError, "content is too large to outline (4 GiB at most)");
        return nullptr;
    }
    Outline result;
    bool out_of_memory = false;
    Py_BEGIN_ALLOW_THREADS try { outline_document(text, result); } catch (const std::bad_alloc&) {
        out_of_memory = true;
    }
    Py_END_ALLOW_THREADS if (out_of_memory) return PyErr_NoMemory();
    Ref lines = Ref::steal(packed(result.line_starts));
    Ref objects = lines ? Ref::steal(packed(result.objects)) : Ref();
    Ref fields = objects ? Ref::steal(packed(result.fields)) : Ref();
    Ref comments = fields ? Ref::steal(packed(result.comments)) : Ref();
    if (!comments) return nullptr;
    return PyTuple_Pack(4, lines.get(), objects.get(), fields.get(), comments.get());
}

PyMethodDef module_functions[] = {
    {"outline", py::fastcall(outline), METH_FASTCALL | METH_KEYWORDS,
     "outline(content)\n--\n\n"
     "Where the lines, objects, values and comments of the UTF-8 document text `content` lie, read\n"
     "past any fault: four bytes objects of native unsigned 32-bit integers (line starts; objects as\n"
     "class begin, class end, end, first value, value count, status; values as begin, end,\n"
     "delimiter; comment starts)."},
    {"debug_tokenize", py::fastcall(debug_tokenize), METH_FASTCALL | METH_KEYWORDS,
     "debug_tokenize(content, is_idd)\n--\n\n"
     "Tokenize UTF-8 `content` (schema mode when `is_idd` is true) and return a list of\n"
     "(type, value, line_num) tuples, up to and including the final TOKEN_EOF or TOKEN_ERROR."},
    {nullptr, nullptr, 0, nullptr},
};

// ---------------------------------------------------------------------------
// Module definition

int execute(PyObject* module) {
    if (py::prepare_type(module, &LexerType, "Lexer", &lexer_methods) < 0) return -1;
    static constexpr std::pair<const char*, long> constants[] = {
        {"TOKEN_TEXT", TOKEN_TEXT},
        {"TOKEN_COMMA", TOKEN_COMMA},
        {"TOKEN_SEMICOLON", TOKEN_SEMICOLON},
        {"TOKEN_EOF", TOKEN_EOF},
        {"TOKEN_ERROR", TOKEN_ERROR},
        {"OUTLINE_OK", OUTLINE_OK},
        {"OUTLINE_UNTERMINATED", OUTLINE_UNTERMINATED},
        {"OUTLINE_MISSING_DELIMITER", OUTLINE_MISSING_DELIMITER},
        {"OUTLINE_BAD_TEXT", OUTLINE_BAD_TEXT},
    };
    for (const auto& [name, value] : constants)
        if (PyModule_AddIntConstant(module, name, value) < 0) return -1;
    if (PyModule_AddFunctions(module, module_functions) < 0) return -1;

    return 0;
}

constexpr py::ModuleSpec module_spec{"lexer", "tarvix.lexer", "Tokenizer for schema (IDD) and document (IDF) texts.",
                                     execute};

}  // namespace
}  // namespace tarvix::lexer

PyMODINIT_FUNC PyInit_lexer() { return tarvix::py::Module<tarvix::lexer::module_spec>::init(); }
