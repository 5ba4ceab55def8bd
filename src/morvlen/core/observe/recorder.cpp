// Reading what a tree recorded: changes from the ring, counters per node.
#include "morvlen/core/observe/recorder.h"

#include <algorithm>
#include <bit>
#include <stdexcept>
#include <string>

namespace morvlen::bt::observe {

std::int64_t steady_now_ns() noexcept {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

double unix_seconds(std::int64_t steady_ns) noexcept {
    // The offset between the two clocks, taken once: changes of the wall clock
    // afterwards do not reorder recorded times.
    static const std::int64_t offset_ns =
        std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now().time_since_epoch()).count() -
        steady_now_ns();
    return static_cast<double>(steady_ns + offset_ns) / 1e9;
}

TreeRecorder::TreeRecorder(std::size_t node_count, std::size_t capacity)
    : node_count_(node_count),
      probes_(std::make_unique<NodeProbe[]>(node_count)),
      ring_(std::bit_ceil(std::max<std::size_t>(capacity, 16))),
      tick_times_(ring_.size()),
      mask_(ring_.size() - 1),
      start_ns_(steady_now_ns()) {
    // No tick has a time yet: a tick number that no tick stamp can match.
    for (auto& stamp : tick_times_) stamp.store(~std::uint64_t{0}, std::memory_order_relaxed);
    for (std::uint32_t node = 0; node < node_count; ++node) {
        probes_[node].recorder = this;
        probes_[node].node_bits = std::uint64_t{node} << 8;
    }
}

std::int64_t TreeRecorder::time_of_tick(std::uint32_t tick) const noexcept {
    const std::uint64_t stamp = tick_times_[tick & mask_].load(std::memory_order_relaxed);
    if (stamp >> 40 != (tick & kTickMask)) return -1;
    return start_ns_ + static_cast<std::int64_t>(stamp & kMicrosMask) * 1000;
}

void TreeRecorder::end_running(NodeCounters& c) noexcept {
    const std::int64_t since = c.running_since_ns.load(std::memory_order_relaxed);
    if (since < 0) return;
    const std::int64_t spent = steady_now_ns() - since;
    c.running_last_ns.store(spent, std::memory_order_relaxed);
    bump(c.running_total_ns, spent);
}

std::vector<Transition> TreeRecorder::read_from(std::uint64_t& from) const {
    const std::uint64_t size = ring_.size();
    const std::uint64_t head = head_.load(std::memory_order_acquire);
    std::uint64_t first = std::max(from, head > size ? head - size : 0);
    std::vector<Transition> copied;
    copied.reserve(head - first);
    for (std::uint64_t i = first; i < head; ++i) {
        const std::uint64_t packed = ring_[i & mask_].load(std::memory_order_relaxed);
        const auto tick = static_cast<std::uint32_t>(packed >> 32);
        copied.push_back({time_of_tick(tick), tick, static_cast<std::uint32_t>(packed >> 8 & 0xFFFFFF),
                          static_cast<NodeStatus>(packed >> 4 & 0xF), static_cast<NodeStatus>(packed & 0xF)});
    }
    // Slots the writer reached while they were copied may hold newer changes.
    std::atomic_thread_fence(std::memory_order_acquire);
    const std::uint64_t now = head_.load(std::memory_order_relaxed);
    const std::uint64_t intact = now > size ? now - size : 0;
    if (intact > first) {
        const auto torn = static_cast<std::ptrdiff_t>(std::min(intact, head) - first);
        copied.erase(copied.begin(), copied.begin() + torn);
    }
    from = head;
    return copied;
}

std::vector<Transition> TreeRecorder::entries() const {
    std::lock_guard lock(read_mutex_);
    std::uint64_t from = read_pos_;
    return read_from(from);
}

std::vector<Transition> TreeRecorder::drain() {
    std::lock_guard lock(read_mutex_);
    const std::uint64_t from = read_pos_;
    auto copied = read_from(read_pos_);
    dropped_ += (read_pos_ - from) - copied.size();
    return copied;
}

std::uint64_t TreeRecorder::dropped() const {
    std::lock_guard lock(read_mutex_);
    const std::uint64_t head = head_.load(std::memory_order_acquire);
    const std::uint64_t oldest = head > ring_.size() ? head - ring_.size() : 0;
    return dropped_ + (oldest > read_pos_ ? oldest - read_pos_ : 0);
}

NodeStatistics TreeRecorder::statistics(std::uint32_t node) const {
    if (node >= node_count_) throw std::out_of_range("no node " + std::to_string(node) + " in this recorder");
    const NodeCounters& c = probes_[node].counters;
    constexpr auto relaxed = std::memory_order_relaxed;
    const auto ends = [&](NodeStatus status) { return c.ends[static_cast<std::size_t>(status)].load(relaxed); };
    const std::int64_t successes = ends(NodeStatus::SUCCESS), failures = ends(NodeStatus::FAILURE),
                       skips = ends(NodeStatus::SKIPPED);
    return {ends(NodeStatus::RUNNING) + successes + failures + skips,
            successes,
            failures,
            skips,
            ends(NodeStatus::IDLE),
            c.running_total_ns.load(relaxed),
            c.running_last_ns.load(relaxed),
            c.last_result.load(relaxed)};
}

}  // namespace morvlen::bt::observe
