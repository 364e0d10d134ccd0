#pragma once

#include <condition_variable>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <system_error>
#include <variant>

#include "Cancellation.h"

namespace plumo {

// Blocks one waiting thread until a completion handler, run on any thread,
// has delivered a value or an error. Only the first delivery counts. A
// handler that is destroyed without ever being called delivers the error given
// at construction, so that a provider that drops its handler cannot hang the
// waiter; a stop request ends the wait with the cancellation error.
template <class Value>
class OneShot {
  struct State;
  struct Guard;

 public:
  using Outcome = std::variant<Value, std::error_code>;

  // What the completion handler captures: copyable, callable any number of times.
  class Deliverer {
   public:
    void operator()(Outcome outcome) const { guard_->state->deliver(std::move(outcome)); }

   private:
    friend class OneShot;
    explicit Deliverer(std::shared_ptr<Guard> guard) : guard_(std::move(guard)) {}
    std::shared_ptr<Guard> guard_;
  };

  explicit OneShot(std::error_code ifAbandoned) : state_(std::make_shared<State>()), ifAbandoned_(ifAbandoned) {}

  Deliverer deliverer() const { return Deliverer(std::make_shared<Guard>(state_, ifAbandoned_)); }

  // The delivered value; a delivered error is thrown as std::system_error.
  Value wait(const std::stop_token& stop) const {
    std::unique_lock lock(state_->mutex);
    state_->delivered.wait(lock, stop, [this] { return state_->outcome.has_value(); });
    if (!state_->outcome) throw std::system_error(cancellationError());
    if (auto* error = std::get_if<std::error_code>(&*state_->outcome)) throw std::system_error(*error);
    return std::move(std::get<Value>(*state_->outcome));
  }

 private:
  struct State {
    void deliver(Outcome value) {
      {
        std::lock_guard lock(mutex);
        if (outcome) return;
        outcome = std::move(value);
      }
      delivered.notify_all();
    }
    std::mutex mutex;
    std::condition_variable_any delivered;
    std::optional<Outcome> outcome;
  };

  struct Guard {
    Guard(std::shared_ptr<State> sharedState, std::error_code abandoned)
        : state(std::move(sharedState)), ifAbandoned(abandoned) {}
    Guard(const Guard&) = delete;
    Guard& operator=(const Guard&) = delete;
    ~Guard() { state->deliver(ifAbandoned); }
    std::shared_ptr<State> state;
    std::error_code ifAbandoned;
  };

  std::shared_ptr<State> state_;
  std::error_code ifAbandoned_;
};

}  // namespace plumo
