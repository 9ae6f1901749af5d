// What a session object holds: its engine session while it lives, nothing once `finish`
// has taken it. Both session classes refuse a finished session alike.
#pragma once

#include <optional>
#include <utility>

#include "python/object.h"

namespace tarnwick::python {

template <class S>
class LiveSession {
public:
    LiveSession() = default;
    explicit LiveSession(S session) : session_(std::move(session)) {}

    // The session, for every method but `finish`. Methods take their object before they
    // convert an argument (python/declare.h says why), so a finished session is reported
    // only after every argument converted.
    S& live() {
        if (!session_) raise(PyExc_ValueError, "session is finished; create a new one");
        return *session_;
    }
    const S& live() const {
        if (!session_) raise(PyExc_ValueError, "session is finished; create a new one");
        return *session_;
    }

    // The session taken out for `finish`, which leaves the object finished.
    S take() {
        if (!session_) raise(PyExc_ValueError, "session is already finished");
        S session = std::move(*session_);
        session_.reset();
        return session;
    }

private:
    std::optional<S> session_;
};

}  // namespace tarnwick::python
