// How a failure becomes an answer: the HTTP status of each reason the service gives (the
// remedy is the client library's, the same in every front-end), and the one error shape
// of the API.
#include "errors.h"

#include "kivo_client.h"

namespace kivoweb {

using R = kivo::protocol::Reason;

void Fail(int status, std::string message, std::string hint) {
    throw ApiError{status, std::move(message), std::move(hint), std::nullopt};
}

int StatusForReason(uint16_t code) {
    switch (static_cast<R>(code)) {
        case R::kNoInterface:
        case R::kInterfaceDown:
        case R::kInvalidValue:
        case R::kRequestTooLarge:
        case R::kFileMissing:
        case R::kFileNotRegular:
        case R::kFileUnreadable:
        case R::kFileTooLarge:
        case R::kFileBadMagic:
        case R::kFileEmpty:
        case R::kMalformedRequest:
            return 400;
        case R::kNotAllowed:
            return 403;
        case R::kNoDevice:
            return 404;
        case R::kBusy:
        case R::kCancelled:
            return 409;
        case R::kNoPermission:
        case R::kInternal:
            return 503;
        default:
            return 502;
    }
}

ApiError ErrorFor(const std::string& what, const kc::Error& e, const std::optional<kc::Reason>& reason) {
    ApiError err;
    err.message = what + ": " + e.message + ".";
    switch (e.kind) {
        case kc::ErrorKind::kNoService:
        case kc::ErrorKind::kBadReply:
        case kc::ErrorKind::kUnsupported:
            err.status = e.kind == kc::ErrorKind::kNoService ? 503 : 502;
            err.hint = kc::ServiceRemedies(e, kc::Audience::kServer, "kivo-web").front();
            return err;
        case kc::ErrorKind::kInvalidArgument:
            err.status = 400;
            return err;
        case kc::ErrorKind::kSystem:
            err.status = 503;
            return err;
        case kc::ErrorKind::kRefused:
        case kc::ErrorKind::kFailed:
            break;
    }
    err.reason = reason;
    if (err.reason) {
        err.status = StatusForReason(err.reason->code);
        err.hint = kc::Explain(err.reason->code).remedy;
        err.message = what + ": " + err.reason->text + ".";
        // The service's text already ends in that advice: one sentence, said once.
        if (err.reason->code == static_cast<uint16_t>(R::kPasswordRejected) &&
            err.reason->text.find("password") != std::string::npos)
            err.hint.clear();
    } else if (e.kind == kc::ErrorKind::kRefused && e.request == kc::RequestCode::kFwStart) {
        err.status = 409;
        err.hint = kc::Explain(static_cast<uint16_t>(R::kBusy)).remedy;
    } else {
        err.status = 502;
    }
    return err;
}

ApiError ClientFailure(kc::Client& client, const std::string& what, const kc::Error& e) {
    const bool asks = e.kind == kc::ErrorKind::kRefused || e.kind == kc::ErrorKind::kFailed;
    return ErrorFor(what, e, asks ? kc::FailureReason(client, e) : std::nullopt);
}

json ApiError::Body() const {
    json e{{"message", message}, {"hint", hint}};
    if (reason)
        e["reason"] = {
            {"code", reason->code}, {"name", kc::ReasonName(reason->code)}, {"text", reason->text}};
    return json{{"error", e}};
}

std::string Dump(const json& j) {
    return j.dump(-1, ' ', false, json::error_handler_t::replace);
}

}  // namespace kivoweb
