#pragma once
// What a tree records about itself while observed: every status change of its
// nodes in a bounded ring, and counters per node.
//
// One thread writes (the one ticking the tree), any number read, and neither waits
// for the other: the writer only stores to atomics (plain moves on common
// hardware), readers copy and then discard what the writer overwrote meanwhile.
// Clocks are read once per tick, never per change, so that recording stays cheap:
// a change carries the time its tick started.

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "morvlen/core/status.h"

namespace morvlen::bt::observe {

// Why a node's status changed.
enum class Change : std::uint8_t {
    Set,    // the node itself, while it works (RUNNING before ticking children)
    Tick,   // the result of a tick
    Halt,   // halted by its parent or the tree
    Reset,  // set back to IDLE without a halt
};

struct Transition {
    // Steady clock, the start of the tick that made the change (to the
    // microsecond); -1 when unknown (that tick's time was overwritten).
    std::int64_t time_ns = 0;
    std::uint32_t tick = 0;    // the tree's tick count then
    std::uint32_t node = 0;    // the node's index in the tree (depth first, parents first)
    NodeStatus from = NodeStatus::IDLE;
    NodeStatus to = NodeStatus::IDLE;
};

struct NodeStatistics {
    std::int64_t ticks = 0;
    std::int64_t successes = 0;
    std::int64_t failures = 0;
    std::int64_t skips = 0;
    std::int64_t halts = 0;           // halts while RUNNING
    std::int64_t running_total_ns = 0;
    std::int64_t running_last_ns = 0;  // the latest completed stretch of RUNNING
    NodeStatus last_result = NodeStatus::IDLE;  // the latest SUCCESS, FAILURE or SKIPPED
};

std::int64_t steady_now_ns() noexcept;
// Seconds since the Unix epoch of a steady-clock reading.
double unix_seconds(std::int64_t steady_ns) noexcept;

class TreeRecorder;

// One node's counters. Only the thread ticking the tree writes them.
struct NodeCounters {
    // Ticks by result, indexed by NodeStatus; IDLE's slot (never a result) counts
    // halts while RUNNING, so that every kind of end is one increment.
    std::array<std::atomic<std::int64_t>, 5> ends{};
    std::atomic<std::int64_t> running_total_ns{0}, running_last_ns{0};
    // The start of the tick the current stretch of RUNNING began in; -1: not known
    // (the node was RUNNING before the tree was observed).
    std::atomic<std::int64_t> running_since_ns{-1};
    std::atomic<NodeStatus> last_result{NodeStatus::IDLE};
};

// What one node of an observed tree records through: its recorder, its counters
// and its index already shifted into place in a ring entry. A node holds a
// pointer to its probe, so that a change reaches all of them with one load.
struct NodeProbe {
    TreeRecorder* recorder = nullptr;
    std::uint64_t node_bits = 0;
    NodeCounters counters;
};

class TreeRecorder {
public:
    static constexpr std::size_t kMaxNodes = std::size_t{1} << 24;

    // Room for `capacity` changes (rounded up to a power of two, at least 16).
    TreeRecorder(std::size_t node_count, std::size_t capacity);
    TreeRecorder(const TreeRecorder&) = delete;
    TreeRecorder& operator=(const TreeRecorder&) = delete;

    NodeProbe& probe(std::uint32_t node) noexcept { return probes_[node]; }

    // Writer side: the thread ticking the tree. The time and tick count the
    // changes that follow carry (read at the start of each tick and reset).
    void mark_time(std::int64_t tick) noexcept {
        // Strictly increasing, so that equal times mean the same tick (see record).
        const std::int64_t now = steady_now_ns();
        tick_time_ns_ = now > tick_time_ns_ ? now : tick_time_ns_ + 1;
        const auto low = static_cast<std::uint32_t>(tick);
        tick_bits_ = std::uint64_t{low} << 32;
        const auto micros = static_cast<std::uint64_t>((tick_time_ns_ - start_ns_) / 1000) & kMicrosMask;
        tick_times_[low & mask_].store((low & kTickMask) << 40 | micros, std::memory_order_relaxed);
    }
    // Inlined into every status change of an observed tree; the kind of change is
    // known where it happens, so each kind gets its own copy with no test on it.
    template <Change C>
    [[gnu::always_inline]] void record(NodeProbe& probe, NodeStatus from, NodeStatus to) noexcept {
        NodeCounters& c = probe.counters;
        if constexpr (C == Change::Tick) {
            bump(c.ends[static_cast<std::size_t>(to)]);
            if (to != NodeStatus::RUNNING) c.last_result.store(to, std::memory_order_relaxed);
        }
        if constexpr (C == Change::Halt) {
            if (from == NodeStatus::RUNNING) bump(c.ends[static_cast<std::size_t>(NodeStatus::IDLE)]);
        }
        if (from == to) return;
        append(probe.node_bits | static_cast<std::uint64_t>(from) << 4 | static_cast<std::uint64_t>(to));
        // Last, so that the rare call to the clock is a tail call and the common
        // paths save no registers.
        if (to == NodeStatus::RUNNING) {
            c.running_since_ns.store(tick_time_ns_, std::memory_order_relaxed);
        } else if (from == NodeStatus::RUNNING) {
            // A stretch within one tick counts as none: reading the clock on every
            // change would cost more than the tick.
            if (c.running_since_ns.load(std::memory_order_relaxed) == tick_time_ns_) {
                c.running_last_ns.store(0, std::memory_order_relaxed);
            } else {
                end_running(c);
            }
        }
    }

    // Reader side: any thread.
    std::size_t capacity() const noexcept { return ring_.size(); }
    std::size_t node_count() const noexcept { return node_count_; }
    // The changes not drained yet that are still held, oldest first.
    std::vector<Transition> entries() const;
    // As entries(), and marks them read.
    std::vector<Transition> drain();
    // Changes overwritten before they were drained.
    std::uint64_t dropped() const;
    std::uint64_t recorded() const noexcept { return head_.load(std::memory_order_acquire); }
    NodeStatistics statistics(std::uint32_t node) const;

private:
    // Only the writer changes a counter: a load and a store, no locked add.
    [[gnu::always_inline]] static void bump(std::atomic<std::int64_t>& counter, std::int64_t by = 1) noexcept {
        counter.store(counter.load(std::memory_order_relaxed) + by, std::memory_order_relaxed);
    }
    // Ends a stretch of RUNNING that began in an earlier tick, at the clock now.
    void end_running(NodeCounters& c) noexcept;
    // One word per change, so that a reader never sees half of one; the time is
    // found by the tick (tick_times_).
    [[gnu::always_inline]] void append(std::uint64_t node_change) noexcept {
        const std::uint64_t at = head_.load(std::memory_order_relaxed);
        ring_[at & mask_].store(tick_bits_ | node_change, std::memory_order_relaxed);
        head_.store(at + 1, std::memory_order_release);
    }
    std::int64_t time_of_tick(std::uint32_t tick) const noexcept;
    // The changes from `from` on that are intact, and the index after the last.
    std::vector<Transition> read_from(std::uint64_t& from) const;

    static constexpr std::uint64_t kTickMask = (std::uint64_t{1} << 24) - 1;
    static constexpr std::uint64_t kMicrosMask = (std::uint64_t{1} << 40) - 1;

    std::size_t node_count_;
    std::unique_ptr<NodeProbe[]> probes_;
    std::vector<std::atomic<std::uint64_t>> ring_;  // tick << 32 | node << 8 | from << 4 | to
    // Per tick (by its low bits): its low 24 bits << 40 | microseconds since start_ns_.
    std::vector<std::atomic<std::uint64_t>> tick_times_;
    std::uint64_t mask_;
    std::int64_t start_ns_;
    std::atomic<std::uint64_t> head_{0};
    std::int64_t tick_time_ns_ = 0;  // writer only
    std::uint64_t tick_bits_ = 0;    // writer only: the tick's low 32 bits << 32

    mutable std::mutex read_mutex_;  // drains, among readers only
    std::uint64_t read_pos_ = 0;
    std::uint64_t dropped_ = 0;
};

}  // namespace morvlen::bt::observe
