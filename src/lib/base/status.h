// The outcome of an operation, handed up as a value: the code of the layer that gave it
// (its own enum's value, 0 for success), and why it failed in words people can act on:
// one reason code from a fixed table and a short text with the specifics (interface,
// device, parameter, file, byte offset).
//
// The layer that sees a failure builds its status; the layers above pass it up and may
// change the code into their own, but keep the words: the lowest layer knows most, and
// the layers above must not replace them with vaguer ones (Explain only words a status
// that has none). A status whose code is 0 may still carry words: an operation that went
// through may know why it found nothing, or what went wrong on the way.
#ifndef KIVO_STATUS_H
#define KIVO_STATUS_H

#include <cstdint>
#include <iosfwd>
#include <string>
#include <type_traits>

#include "kivo_protocol.h"

namespace kivo {

// Codes and names front-ends see, from the protocol header.
using Reason = protocol::Reason;
using protocol::ReasonName;

// The layers' codes are plain C enums (a scoped enum, such as Reason, is not one).
template <typename E>
concept LayerCode = std::is_enum_v<E> && std::is_convertible_v<E, int32_t>;

struct Status {
    int32_t code = 0;
    Reason reason = Reason::kNone;
    std::string text;

    Status() = default;
    // A layer's own code, without words.
    template <LayerCode E>
    Status(E layerCode) : code(static_cast<int32_t>(layerCode)) {}  // NOLINT: implicit on purpose
    Status(Reason why, std::string words) : reason(why), text(std::move(words)) {}

    bool ok() const { return code == 0; }
    // Whether the status carries words (a reason other than none).
    bool explained() const { return reason != Reason::kNone; }
    template <LayerCode E>
    E as() const {
        return static_cast<E>(code);
    }

    // Words the status unless it has some already. printf-style text.
    Status& Explain(Reason why, const char* format, ...) __attribute__((format(printf, 3, 4)));
    // Takes the words of a later status unless this one has some already.
    Status& Explain(const Status& later);
    // Puts the words of an earlier status first: they replace this one's, if it has any.
    Status& Follows(const Status& earlier);
    // The same words under another code (a layer above speaking its own codes).
    template <LayerCode E>
    Status& Recode(E layerCode) {
        code = static_cast<int32_t>(layerCode);
        return *this;
    }

    // Callers compare a status with their layer's codes as they compared the codes.
    template <LayerCode E>
    friend bool operator==(const Status& s, E layerCode) {
        return s.code == static_cast<int32_t>(layerCode);
    }
    friend bool operator==(const Status& s, int32_t layerCode) { return s.code == layerCode; }
};

// Words for a failure: a status with a reason and a printf-style text (code 0: the
// caller's reply or code says that it failed).
Status Because(Reason why, const char* format, ...) __attribute__((format(printf, 2, 3)));

// "code -20 (no answer: device ... did not answer ...)", for logs and test failures.
std::ostream& operator<<(std::ostream& out, const Status& status);

}  // namespace kivo

#endif
