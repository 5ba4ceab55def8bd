// Blackboard entries and their forwarding to parent blackboards.
//
// Lock order: the GIL first, then an entry table's mutex, and never the GIL while a
// mutex is held. Values replaced or removed are released after the mutex is
// dropped (still under the GIL), since releasing one may run arbitrary Python code.
#include "morvlen/core/blackboard.h"

#include "morvlen/core/exclusive_holders.h"

#include <utility>

namespace nb = nanobind;

namespace morvlen::bt {

Blackboard::Blackboard(Key, Ptr parent) : parent_(std::move(parent)) {}

Blackboard::Ptr Blackboard::create(Ptr parent) { return std::make_shared<Blackboard>(Key{}, std::move(parent)); }

Blackboard::~Blackboard() {
    if (entries_.empty()) return;
    if (!nanobind::is_alive()) {
        // The interpreter is gone or going: its objects can no longer be released.
        for (auto& entry : entries_) entry.second.object.release();
        return;
    }
    nb::gil_scoped_acquire gil;
    entries_.clear();
}

Blackboard& Blackboard::root() noexcept {
    Blackboard* board = this;
    while (board->parent_) board = board->parent_.get();
    return *board;
}

std::pair<Blackboard*, std::string> Blackboard::resolve(std::string_view key) {
    const auto [board, resolved] = std::as_const(*this).resolve(key);
    return {const_cast<Blackboard*>(board), resolved};
}

std::pair<const Blackboard*, std::string> Blackboard::resolve(std::string_view key) const {
    if (key.starts_with('@')) {
        const Blackboard* board = this;
        while (board->parent_) board = board->parent_.get();
        return {board, std::string(key.substr(1))};
    }
    if (!forwards_.load(std::memory_order_acquire)) return {this, std::string(key)};
    std::optional<std::string> parent_key;
    bool forward = false;
    {
        std::lock_guard lock(mutex_);
        if (const auto found = remapping_.find(key); found != remapping_.end()) {
            parent_key = found->second;
        } else {
            // Private keys ("_x") and keys set by set_local stay local even with autoremap.
            forward = autoremap_ && parent_ && !key.starts_with('_') && !local_keys_.contains(key);
        }
    }
    if (parent_key && parent_) return std::as_const(*parent_).resolve(*parent_key);
    if (forward) return std::as_const(*parent_).resolve(key);
    return {this, std::string(key)};
}

std::optional<nb::object> Blackboard::get(std::string_view key) const {
    nb::gil_scoped_acquire gil;
    return get_holding_gil(key);
}

template <class T> std::optional<T> Blackboard::read_entry(std::string_view key, T Entry::*field) const {
    const auto [board, local_key] = resolve(key);
    std::lock_guard lock(board->mutex_);
    const auto found = board->entries_.find(local_key);
    if (found == board->entries_.end()) return std::nullopt;
    return found->second.*field;
}

std::optional<nb::object> Blackboard::get_holding_gil(std::string_view key) const {
    return read_entry(key, &Entry::object);
}

std::optional<scripting::Value> Blackboard::get_scalar(std::string_view key) const {
    return read_entry(key, &Entry::scalar).value_or(std::nullopt);
}

Blackboard::Entry Blackboard::make_entry(nb::object value) {
    auto scalar = scripting::immutable_value(value);
    return {std::move(value), std::move(scalar)};
}

void Blackboard::set(std::string_view key, nb::object value) {
    nb::gil_scoped_acquire gil;
    // Taken over here: the caller's parameter may outlive this call's GIL.
    Entry replaced = make_entry(std::move(value));
    const auto [board, local_key] = resolve(key);
    {
        std::lock_guard lock(board->mutex_);
        std::swap(board->entries_[local_key], replaced);
    }
    // `replaced` holds the old object, released here outside the mutex.
}

bool Blackboard::unset(std::string_view key) {
    nb::gil_scoped_acquire gil;
    const auto [board, local_key] = resolve(key);
    Entry removed;
    {
        std::lock_guard lock(board->mutex_);
        const auto found = board->entries_.find(local_key);
        if (found == board->entries_.end()) return false;
        removed = std::move(found->second);
        board->entries_.erase(found);
    }
    return true;
}

void Blackboard::add_remapping(std::string key, std::string parent_key) {
    std::lock_guard lock(mutex_);
    remapping_.insert_or_assign(std::move(key), std::move(parent_key));
    forwards_.store(true, std::memory_order_release);
}

void Blackboard::set_local(std::string key, nb::object value) {
    nb::gil_scoped_acquire gil;
    Entry replaced = make_entry(std::move(value));
    {
        std::lock_guard lock(mutex_);
        std::swap(entries_[key], replaced);
        local_keys_.insert(std::move(key));
    }
}

void Blackboard::enable_autoremap(bool on) {
    std::lock_guard lock(mutex_);
    autoremap_ = on;
    if (on) forwards_.store(true, std::memory_order_release);
}

int Blackboard::visit_entries(visitproc visit, void* arg) const {
    std::lock_guard lock(mutex_);
    for (const auto& entry : entries_) Py_VISIT(entry.second.object.ptr());
    return 0;
}

void Blackboard::clear_entries() {
    decltype(entries_) dropped;
    {
        std::lock_guard lock(mutex_);
        dropped.swap(entries_);
    }
    // `dropped` is released here outside the mutex.
}

namespace {

ExclusiveHolders held_by_wrapper(Blackboard& board) {
    ExclusiveHolders holders;
    holders.add_board(board, board.weak_from_this().use_count());
    return holders;
}

}  // namespace

int Blackboard::traverse(visitproc visit, void* arg) { return held_by_wrapper(*this).traverse(visit, arg); }

void Blackboard::clear() { held_by_wrapper(*this).clear_boards(); }

std::vector<std::pair<std::string, nb::object>> Blackboard::local_entries() const {
    nb::gil_scoped_acquire gil;
    std::lock_guard lock(mutex_);
    std::vector<std::pair<std::string, nb::object>> entries;
    entries.reserve(entries_.size());
    for (const auto& [key, entry] : entries_) entries.emplace_back(key, entry.object);
    return entries;
}

}  // namespace morvlen::bt
