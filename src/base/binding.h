// The frame every entry point runs in: argument binding against a static
// parameter table, conversions, receiver borrows (base/borrow.h), and the
// noexcept boundary that turns a Result into a Python return value or a
// raised exception.
#pragma once

#include "base/borrow.h"
#include "base/result.h"
#include "base/runtime.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <new>
#include <optional>
#include <string>
#include <vector>

namespace quendle {

// ---------------------------------------------------------------- binding

constexpr size_t kMaxParams = 5;

struct ArgSpec {
    const char* func_name;
    const char* cls_name;  // nullptr for the module function
    std::array<const char*, kMaxParams> positional_names;
    size_t positional_count;
    size_t required_count;
    bool varkwargs;
};

struct BoundArgs {
    std::array<Ref, kMaxParams> slots;
    Ref surplus;  // dict of surplus keywords, when the callable collects them

    [[nodiscard]] PyObject* get(size_t i) const noexcept { return slots[i].get(); }
};

// Sorts a call's arguments into the callable's parameters (no conversion).
Result<BoundArgs> bind_arguments(const ArgSpec& spec, PyObject* args, PyObject* kwargs);

// ------------------------------------------------------------ conversions

// The failure "this object is not of the expected type", as a TypeError.
Error cast_error(PyObject* from, PyObject* classinfo);

Result<std::string> to_text(PyObject* obj);
Result<bool> to_bool(PyObject* obj);
// Checks that obj is a dict (subclasses accepted); returns a new reference.
Result<Ref> to_dict(PyObject* obj);
Result<std::vector<Ref>> to_object_sequence(PyObject* obj);
Result<std::vector<std::string>> to_text_sequence(PyObject* obj);

// Attaches the note "while processing '<name>'" to the error's exception.
Error note_argument(Error error, const char* name);
// What a note becomes where exceptions carry none (before 3.11).
enum class WithoutNotes : bool {
    Dropped,   // the error goes on as it is
    Reworded,  // an exception of the same type says both, caused by the original
};
// Adds `text` as a note to the error's exception. An internal failure
// (a panic) takes no notes.
Error with_note(Error error, std::string_view text, WithoutNotes fallback = WithoutNotes::Dropped);

// Runs a conversion and notes a failure with the parameter's name.
template <class T>
Result<T> noted(Result<T> r, const char* name) {
    if (r.ok()) {
        return r;
    }
    return note_argument(r.take_error(), name);
}

// --------------------------------------------------------------- boundary

void set_error_from_current_cxx_exception() noexcept;

// Runs an operation at an entry point: a Result<Ref> becomes a new reference
// or NULL with the exception set; no C++ exception escapes.
template <class F>
PyObject* entry_object(F&& f) noexcept {
    try {
        Result<Ref> r = f();
        if (r.ok()) {
            return r.take().release();
        }
        r.take_error().restore();
        return nullptr;
    } catch (...) {
        set_error_from_current_cxx_exception();
        return nullptr;
    }
}

// The same for slots returning 0 / -1.
template <class F>
int entry_status(F&& f) noexcept {
    try {
        Status r = f();
        if (r.ok()) {
            return 0;
        }
        r.take_error().restore();
        return -1;
    } catch (...) {
        set_error_from_current_cxx_exception();
        return -1;
    }
}

inline Result<Ref> none_result() { return Ref::borrow(Py_None); }
inline Result<Ref> bool_result(bool b) { return Ref::borrow(b ? Py_True : Py_False); }

}  // namespace quendle
