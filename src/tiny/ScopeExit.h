#pragma once
// Runs a function when the scope that holds it is left, whichever way: the
// undoing that must happen on every way out, written once beside the doing.
#include <utility>

namespace tavir::tiny {

template <class Undo> class ScopeExit {
public:
    explicit ScopeExit(Undo undo)
        : undo_(std::move(undo))
    {
    }
    ~ScopeExit() { undo_(); }
    ScopeExit(const ScopeExit&) = delete;
    ScopeExit& operator=(const ScopeExit&) = delete;

private:
    Undo undo_;
};

} // namespace tavir::tiny
