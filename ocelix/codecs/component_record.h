// What the two encoder components share: their state object lives in the parameter record's
// `reserved` field, Encode reports through the record's output fields, Close frees the state.
#pragma once

#include <memory>

#include "basis/c_edge.h"

namespace ocelix {

template <class Session, class Param>
Session* SessionOf(const Param* param) {
    return param == nullptr ? nullptr : static_cast<Session*>(param->reserved);
}

// Runs encode(session) and describes the session's output in the record; 0 when not open or
// failed.
template <class Session, class Param, class EncodeFn>
int EncodeRecord(Param* param, EncodeFn encode) {
    Session* session = SessionOf<Session>(param);
    if (session == nullptr)
        return 0;
    const bool ok = basis::CallAtCEdge([session, &encode] { return encode(*session); }, false);
    param->output = session->Output();
    param->outputLength = ok ? session->OutputLength() : 0;
    return ok ? 1 : 0;
}

// The same with the session's own Encode.
template <class Session, class Param>
int EncodeRecord(Param* param) {
    return EncodeRecord<Session>(param, [](Session& session) { return session.Encode(); });
}

// Frees the session and clears the record's output fields; a record that is not open: no-op.
template <class Session, class Param>
int CloseRecord(Param* param, void (*clearOutputs)(Param*)) {
    if (param == nullptr || param->reserved == nullptr)
        return 1;
    std::unique_ptr<Session> session(SessionOf<Session>(param));
    clearOutputs(param);
    return 1;
}

}  // namespace ocelix
