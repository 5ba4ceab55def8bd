#pragma once
// A tree's blackboard: named entries holding Python objects (identity kept, never
// copied). Each tree and each SubTree instance has its own; a SubTree's blackboard
// forwards remapped keys (and, with _autoremap, every other non-private key) to its
// parent. "@key" names an entry of the root blackboard of the hierarchy.
//
// Thread safety: every method may be called from any thread, with or without the
// GIL; methods take the GIL themselves where they touch Python objects, and an
// internal mutex guards the entry table.
//
// Scripts read entries without the GIL: an entry holding an immutable scalar (int,
// float, bool, short str) keeps a C++ copy of its value, taken when it is written.
// Every write replaces the object, so the copy cannot go stale.

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include <nanobind/nanobind.h>

#include "morvlen/core/scripting/script_value.h"

namespace morvlen::bt {

class Blackboard : public std::enable_shared_from_this<Blackboard> {
    // Only create() builds blackboards; the key leaves the constructor public for
    // make_shared (one allocation for the blackboard and its reference counts).
    struct Key {
        explicit Key() = default;
    };

public:
    using Ptr = std::shared_ptr<Blackboard>;

    static Ptr create(Ptr parent = nullptr);
    Blackboard(Key, Ptr parent);

    // The entry's value, or nullopt when it was never written (or was unset).
    std::optional<nanobind::object> get(std::string_view key) const;
    // As get, for callers holding the GIL (scripts read several entries under one).
    std::optional<nanobind::object> get_holding_gil(std::string_view key) const;
    // The entry's copy of its scalar value, read without the GIL; nullopt when the
    // entry is missing or holds another object (read it with get_holding_gil then).
    std::optional<scripting::Value> get_scalar(std::string_view key) const;
    void set(std::string_view key, nanobind::object value);
    // Removes the entry; returns whether it existed.
    bool unset(std::string_view key);

    // Makes local `key` an alias of the parent's `parent_key`.
    void add_remapping(std::string key, std::string parent_key);
    // Stores `value` under `key` in this blackboard itself and keeps the key here
    // from then on, also under autoremap (a SubTree literal belongs to the subtree).
    void set_local(std::string key, nanobind::object value);
    void enable_autoremap(bool on);

    // Entries stored in this blackboard itself (not those forwarded to a parent).
    std::vector<std::pair<std::string, nanobind::object>> local_entries() const;

    // Visits the values stored in this blackboard (garbage collection). Needs the GIL.
    int visit_entries(visitproc visit, void* arg) const;
    // Drops every entry (garbage collection of a cycle). Needs the GIL.
    void clear_entries();
    // For the Python object wrapping this blackboard, which holds one shared_ptr to
    // it: its entries (and those of ancestors held only through it) while that
    // object is their only owner.
    int traverse(visitproc visit, void* arg);
    void clear();

    Blackboard* parent() const noexcept { return parent_.get(); }
    const Ptr& parent_ptr() const noexcept { return parent_; }
    Blackboard& root() noexcept;

    ~Blackboard();

private:
    // Where `key` lives: this blackboard and the key, or an ancestor and its key.
    std::pair<Blackboard*, std::string> resolve(std::string_view key);
    std::pair<const Blackboard*, std::string> resolve(std::string_view key) const;

    Ptr parent_;
    bool autoremap_ = false;
    // Set once a key may be forwarded (a remapping or autoremap): until then, keys
    // resolve here without taking the mutex.
    std::atomic<bool> forwards_ = false;
    std::map<std::string, std::string, std::less<>> remapping_;
    std::set<std::string, std::less<>> local_keys_;  // never forwarded, see set_local
    struct Entry {
        nanobind::object object;
        std::optional<scripting::Value> scalar;  // see get_scalar
    };
    // An entry for `value`, its scalar copy taken. Needs the GIL.
    static Entry make_entry(nanobind::object value);
    // A copy of `field` of the entry at `key`, read under its board's lock; nullopt
    // when there is no such entry.
    template <class T> std::optional<T> read_entry(std::string_view key, T Entry::*field) const;

    mutable std::mutex mutex_;
    std::map<std::string, Entry, std::less<>> entries_;
};

}  // namespace morvlen::bt
