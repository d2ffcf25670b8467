// The component model the logic is written in: objects with an owner, a
// "being destroyed" state, and events as callables bound to an object.
#pragma once

#include <functional>
#include <string>

class TObject {
public:
    virtual ~TObject() = default;
};

class TComponent : public TObject {
public:
    explicit TComponent(TComponent* owner = nullptr) : owner_(owner) {}
    TComponent* Owner() const { return owner_; }
    // True once destruction has begun (handlers are then no longer called).
    bool Destroying() const { return destroying_; }

protected:
    void BeginDestroy() { destroying_ = true; }

private:
    TComponent* owner_;
    bool destroying_ = false;
};

// Event types. An unassigned event is an empty std::function.
using TNotifyEvent = std::function<void(TObject* Sender)>;
// A question: Handled is false on entry; the handler sets it to say it acted.
using THandlerEvent = std::function<void(bool& Handled)>;
