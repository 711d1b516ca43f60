// The keys of one instance, stored compactly. A key is the call
// `(method, ((name, value), ...))`; the store keeps, per key, the method name
// and the (name, value) pairs as owned references in one flat arena, and
// builds the key tuple only when a report, a query or an export asks for it.
// The tuple a report hands out as a label is built once and kept (only keys
// that were handed out pay for it), so every report labels a key with the
// very same object.
// Every key has that shape (the module builds the tuples it stores, and
// imported ones are checked first).
#pragma once

#include "base/result.h"
#include "keys/key_set.h"

#include <algorithm>
#include <cstdint>
#include <new>
#include <unordered_map>
#include <vector>

namespace quendle {

// Room for `extra` more items, growing geometrically.
template <class V>
void reserve_more(V& v, size_t extra) {
    if (v.capacity() - v.size() < extra) {
        v.reserve(std::max(v.size() + extra, v.capacity() * 2));
    }
}

class KeyStore {
public:
    KeyStore() = default;
    KeyStore(const KeyStore&) = delete;
    KeyStore& operator=(const KeyStore&) = delete;
    KeyStore(KeyStore&& other) noexcept
        : entries_(std::move(other.entries_)), arena_(std::move(other.arena_)), shared_(std::move(other.shared_)) {}
    KeyStore& operator=(KeyStore&& other) noexcept {
        release_all();
        entries_ = std::move(other.entries_);
        arena_ = std::move(other.arena_);
        shared_ = std::move(other.shared_);
        return *this;
    }
    ~KeyStore() { release_all(); }

    [[nodiscard]] size_t size() const noexcept { return entries_.size(); }
    [[nodiscard]] bool empty() const noexcept { return entries_.empty(); }

    // Appends a key from its parts (new references are taken). On a failed
    // allocation nothing changes (std::bad_alloc propagates).
    void push(PyObject* method, PyObject* const* names, PyObject* const* values, size_t count) {
        make_room(count);
        entries_.push_back(Entry{static_cast<std::uint32_t>(arena_.size()), static_cast<std::uint32_t>(count)});
        arena_.push_back(Py_NewRef(method));
        for (size_t i = 0; i < count; ++i) {
            arena_.push_back(Py_NewRef(names[i]));
            arena_.push_back(Py_NewRef(values[i]));
        }
    }
    // Appends a key from a key tuple of the stored shape.
    void push_tuple(PyObject* key) {
        PyObject* args = PyTuple_GetItem(key, 1);
        const auto count = static_cast<size_t>(PyTuple_Size(args));
        make_room(count);
        entries_.push_back(Entry{static_cast<std::uint32_t>(arena_.size()), static_cast<std::uint32_t>(count)});
        arena_.push_back(Py_NewRef(PyTuple_GetItem(key, 0)));
        for (size_t i = 0; i < count; ++i) {
            PyObject* pair = PyTuple_GetItem(args, static_cast<Py_ssize_t>(i));
            arena_.push_back(Py_NewRef(PyTuple_GetItem(pair, 0)));
            arena_.push_back(Py_NewRef(PyTuple_GetItem(pair, 1)));
        }
    }
    // Removes the last key (its references go to `out`, owned).
    template <class Sink>
    void pop_back(Sink&& out) noexcept {
        const Entry e = entries_.back();
        entries_.pop_back();
        if (auto it = shared_.find(entries_.size()); it != shared_.end()) {
            out(it->second.release());
            shared_.erase(it);
        }
        while (arena_.size() > e.offset) {
            out(arena_.back());
            arena_.pop_back();
        }
    }

    [[nodiscard]] PyObject* method(CacheKey k) const noexcept { return arena_[entries_[k].offset]; }
    [[nodiscard]] size_t count(CacheKey k) const noexcept { return entries_[k].count; }
    [[nodiscard]] PyObject* name(CacheKey k, size_t i) const noexcept { return arena_[entries_[k].offset + 1 + 2 * i]; }
    [[nodiscard]] PyObject* value(CacheKey k, size_t i) const noexcept {
        return arena_[entries_[k].offset + 2 + 2 * i];
    }

    // A new key tuple for k.
    [[nodiscard]] Result<Ref> tuple(CacheKey k) const {
        const size_t n = count(k);
        Q_ASSIGN(Ref pairs, checked(PyTuple_New(static_cast<Py_ssize_t>(n))));
        for (size_t i = 0; i < n; ++i) {
            Q_ASSIGN(Ref pair, checked(PyTuple_Pack(2, name(k, i), value(k, i))));
            PyTuple_SetItem(pairs.get(), static_cast<Py_ssize_t>(i), pair.release());
        }
        return checked(PyTuple_Pack(2, method(k), pairs.get()));
    }

    // The key tuple handed out for k: built on first use, then the same
    // object every time. Building it may run a collection, whose finalisers
    // may hand out the same key meanwhile: the first one kept stays.
    [[nodiscard]] Result<Ref> shared_tuple(CacheKey k) const {
        if (auto it = shared_.find(k); it != shared_.end()) {
            return it->second;
        }
        Q_ASSIGN(Ref fresh, tuple(k));
        try {
            return shared_.try_emplace(k, std::move(fresh)).first->second;
        } catch (const std::bad_alloc&) {
            PyErr_NoMemory();
            return Error::fetch();
        }
    }

    int traverse(visitproc visit, void* arg) const {
        for (PyObject* p : arena_) {
            Py_VISIT(p);
        }
        for (const auto& [k, t] : shared_) {
            Py_VISIT(t.get());
        }
        return 0;
    }

    // Hands every reference to `out` (owned) and empties the store.
    template <class Sink>
    void clear(Sink&& out) noexcept {
        std::vector<PyObject*> arena;
        arena.swap(arena_);
        std::unordered_map<CacheKey, Ref> shared;
        shared.swap(shared_);
        entries_.clear();
        entries_.shrink_to_fit();
        for (PyObject* p : arena) {
            out(p);
        }
        for (auto& [k, t] : shared) {
            out(t.release());
        }
    }

private:
    struct Entry {
        std::uint32_t offset;  // of the method name in the arena; the pairs follow
        std::uint32_t count;   // (name, value) pairs
    };
    void make_room(size_t count) {
        if (arena_.size() + 1 + 2 * count > 0xffffffffULL) {
            throw std::bad_alloc();
        }
        reserve_more(entries_, 1);
        reserve_more(arena_, 1 + 2 * count);
    }
    void release_all() noexcept {
        clear([](PyObject* p) { Py_DECREF(p); });
    }
    std::vector<Entry> entries_;
    std::vector<PyObject*> arena_;  // owned references
    mutable std::unordered_map<CacheKey, Ref> shared_;  // the key tuples handed out
};

}  // namespace quendle
