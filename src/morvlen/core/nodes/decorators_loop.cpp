// LoopInt, LoopDouble, LoopString and LoopBool: tick the child once per queue item.
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include <nanobind/nanobind.h>

#include "morvlen/core/nodes/builtin_nodes.h"
#include "morvlen/core/port_values.h"

namespace nb = nanobind;

namespace morvlen::bt::nodes {
namespace {

// What each Loop* node turns a queue item into; items arrive as text (non-str
// items through str()), so every queue source converts the same way.
template <class T> struct ItemType;
template <> struct ItemType<std::int64_t> {
    static constexpr const char* name = "an integer";
    static std::optional<nb::object> parse(std::string_view text) {
        auto value = parse_int(text);
        return value ? std::optional<nb::object>(nb::int_(*value)) : std::nullopt;
    }
};
template <> struct ItemType<double> {
    static constexpr const char* name = "a number";
    static std::optional<nb::object> parse(std::string_view text) {
        auto value = parse_double(text);
        return value ? std::optional<nb::object>(nb::float_(*value)) : std::nullopt;
    }
};
template <> struct ItemType<bool> {
    static constexpr const char* name = "a boolean";
    static std::optional<nb::object> parse(std::string_view text) {
        auto value = parse_bool(text);
        return value ? std::optional<nb::object>(nb::bool_(*value)) : std::nullopt;
    }
};
template <> struct ItemType<std::string> {
    static constexpr const char* name = "a string";
    static std::optional<nb::object> parse(std::string_view text) { return nb::str(text.data(), text.size()); }
};

std::string join(std::vector<std::string>::const_iterator first, std::vector<std::string>::const_iterator last) {
    std::string text;
    for (auto it = first; it != last; ++it) {
        if (it != first) text += ';';
        text += *it;
    }
    return text;
}

// Where the items come from. A literal ("1;2;3") is copied when a run starts and
// consumed privately. A blackboard entry is consumed in place, so the entry always
// holds what is left: a list or deque is popped from the front, a tuple or a
// "a;b;c" string is replaced by its remainder.
class LoopQueue {
public:
    explicit LoopQueue(TreeNode& node) : node_(node) {}

    std::optional<std::string> pop() {
        if (node_.port_key("queue")) return pop_entry();
        if (!literal_) {
            const auto items = node_.get_input<std::vector<std::string>>("queue");
            literal_.emplace(items.begin(), items.end());
        }
        if (literal_->empty()) return std::nullopt;
        std::string item = std::move(literal_->front());
        literal_->pop_front();
        return item;
    }
    // The next run starts from the literal again.
    void restart() noexcept { literal_.reset(); }

private:
    std::optional<std::string> pop_entry() {
        nb::gil_scoped_acquire gil;
        const nb::object queue = node_.get_input<nb::object>("queue");
        if (nb::isinstance<nb::str>(queue)) {
            const auto items = node_.get_input<std::vector<std::string>>("queue");
            if (items.empty()) return std::nullopt;
            node_.set_output("queue", nb::str(join(items.begin() + 1, items.end()).c_str()));
            return items.front();
        }
        const bool is_list = nb::isinstance<nb::list>(queue);
        const bool is_tuple = nb::isinstance<nb::tuple>(queue);
        if (!is_list && !is_tuple && !nb::hasattr(queue, "popleft")) {
            throw PortError(error_prefix(node_) + "queue holds a " + nb::type_name(queue.type()).c_str() +
                            "; expected a list, tuple, deque or a \"a;b;c\" string");
        }
        if (nb::len(queue) == 0) return std::nullopt;
        nb::object item;
        if (is_tuple) {
            item = queue[0];
            node_.set_output("queue", queue[nb::slice(Py_ssize_t{1}, static_cast<Py_ssize_t>(nb::len(queue)))]);
        } else {
            item = is_list ? queue.attr("pop")(0) : queue.attr("popleft")();
        }
        return std::string(nb::str(item).c_str());
    }

    TreeNode& node_;
    std::optional<std::deque<std::string>> literal_;
};

template <class T> class Loop final : public DecoratorNode {
public:
    explicit Loop(NodeConfig config) : DecoratorNode(std::move(config)) {}

protected:
    NodeStatus tick() override {
        set_status(NodeStatus::RUNNING);
        if (child().status() != NodeStatus::RUNNING) {
            auto item = queue_.pop();
            if (!item) return finish(if_empty());
            publish(*item);
        }
        const NodeStatus status = child().execute_tick();
        if (status == NodeStatus::RUNNING) return status;
        halt_child();
        // The next item is taken on the next tick.
        return status == NodeStatus::FAILURE ? finish(status) : next_round_of(*this);
    }
    void halt() override {
        queue_.restart();
        halt_child();
    }

private:
    NodeStatus finish(NodeStatus result) {
        queue_.restart();
        return result;
    }
    NodeStatus if_empty() const {
        const auto status = get_input<NodeStatus>("if_empty");
        if (status != NodeStatus::SUCCESS && status != NodeStatus::FAILURE && status != NodeStatus::SKIPPED) {
            throw PortError(error_prefix(*this) + "if_empty=" + std::string(to_string(status)) +
                            " is not allowed (use SUCCESS, FAILURE or SKIPPED)");
        }
        return status;
    }
    void publish(const std::string& item) {
        nb::gil_scoped_acquire gil;
        auto value = ItemType<T>::parse(item);
        if (!value) {
            throw PortError(error_prefix(*this) + "queue item \"" + item + "\" is not " + ItemType<T>::name);
        }
        if (config().ports.contains("value")) set_output("value", std::move(*value));
    }

    LoopQueue queue_{*this};
};

template <class T> NodeManifest loop_manifest(const char* id, const char* item_kind) {
    return decorator_manifest(
        id,
        std::string("Ticks its child once for each item of queue, writing the item to value (as a Python ") + item_kind +
            ") before the child's first tick. queue is a literal such as \"1;2;3\" or a blackboard entry holding a "
            "list, deque, tuple or \"a;b;c\" string; an entry is consumed as the loop goes, so it always holds the "
            "items still to come (a list or deque is popped in place, a tuple or string replaced by its remainder). "
            "A child SUCCESS (or SKIPPED) returns RUNNING and the next item is taken on the next tick; a child FAILURE "
            "returns FAILURE. When the queue is empty, the node returns if_empty (SUCCESS, FAILURE or SKIPPED); a "
            "literal queue starts over on the next run.",
        {inout_port("queue", PortType::Queue, "the items: \"a;b;c\" or {key}"),
         input_port("if_empty", PortType::Status, "SUCCESS", "status returned once the queue is empty"),
         output_port("value", PortType::Object, "the current item")});
}

}  // namespace

void register_loop_nodes(NodeRegistry& registry) {
    registry.add<Loop<std::int64_t>>(loop_manifest<std::int64_t>("LoopInt", "int"));
    registry.add<Loop<double>>(loop_manifest<double>("LoopDouble", "float"));
    registry.add<Loop<std::string>>(loop_manifest<std::string>("LoopString", "str"));
    registry.add<Loop<bool>>(loop_manifest<bool>("LoopBool", "bool"));
}

}  // namespace morvlen::bt::nodes
