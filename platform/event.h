#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <utility>
#include <vector>

namespace platform {

// An event of a component: handlers subscribe, the component raises it
// synchronously. A handler may subscribe or unsubscribe handlers (itself
// included) while the event is being raised; the change applies to the
// next raise. Handlers that must not outlive their subscriber capture a
// weak reference (see `bindWeak`).
template <typename... Args> class Event {
public:
    using Handler = std::function<void(Args...)>;
    using Token = std::size_t;

    Token subscribe(Handler handler) {
        auto list = std::make_shared<List>(*m_handlers);
        list->emplace_back(++m_lastToken, std::move(handler));
        m_handlers = std::move(list);
        return m_lastToken;
    }

    void unsubscribe(Token token) {
        auto list = std::make_shared<List>();
        for (auto& entry : *m_handlers)
            if (entry.first != token)
                list->push_back(entry);
        m_handlers = std::move(list);
    }

    void clear() { m_handlers = std::make_shared<List>(); }
    bool empty() const { return m_handlers->empty(); }

    // Raises the event to every handler subscribed when the raise began.
    // Arguments are passed by reference so a handler may write into the
    // by-reference arguments of an event (they are ignored by the raiser
    // unless it says otherwise).
    void raise(Args... args) const {
        auto snapshot = m_handlers; // keeps the list alive while handlers change it
        for (auto& entry : *snapshot)
            entry.second(args...);
    }

private:
    using List = std::vector<std::pair<Token, Handler>>;
    std::shared_ptr<List> m_handlers = std::make_shared<List>();
    Token m_lastToken = 0;
};

// Wraps a member-function handler so that it holds the subscriber alive for
// the length of one call and does nothing once the subscriber has ended.
template <typename T, typename... Args>
std::function<void(Args...)> bindWeak(const std::shared_ptr<T>& self, void (T::*method)(Args...)) {
    std::weak_ptr<T> weak = self;
    return [weak, method](Args... args) {
        if (auto strong = weak.lock())
            ((*strong).*method)(std::forward<Args>(args)...);
    };
}

} // namespace platform
