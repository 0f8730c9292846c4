// How a failure becomes an answer: the HTTP status and the hint of each reason the
// service gives, and the one error shape of the API.
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

std::string HintForReason(uint16_t code) {
    switch (static_cast<R>(code)) {
        case R::kNoInterface:
            return "Choose an interface of this host (see the interface list).";
        case R::kInterfaceDown:
            return "Bring the interface up (ip link set NAME up) and try again.";
        case R::kNoPermission:
            return "kivohost needs CAP_NET_RAW: run it as the package installs it, or as root.";
        case R::kNoAnswer:
            return "Check the MAC address, the interface, the VLAN and the password (a wrong password looks "
                   "like a device that does not answer); legacy devices need the SCP protocol.";
        case R::kPasswordRejected:
            return "Check the device's password.";
        case R::kInvalidValue:
            return "Write the value as a read shows it.";
        case R::kNotAllowed:
            return "kivo-web's user must be allowed by kivohost (a member of the group kivo).";
        case R::kBusy:
            return "A firmware transfer is running: wait for its end or stop it.";
        case R::kNoDevice:
            return "Run a discovery and check that the device is powered and connected.";
        case R::kFileMissing:
        case R::kFileNotRegular:
        case R::kFileUnreadable:
            return "Give the absolute path of a file that kivo-web's user may read.";
        default:
            return {};
    }
}

ApiError ErrorFor(const std::string& what, const kc::Error& e, const std::optional<kc::Reason>& reason) {
    ApiError err;
    err.message = what + ": " + e.message + ".";
    switch (e.kind) {
        case kc::ErrorKind::kNoService:
            // kivo-web asks on the port it was given: the service is not there, so say how
            // to start it rather than which port to give.
            err.status = 503;
            err.hint =
                "Start kivohost: systemctl start kivohost.socket where the package is installed, or "
                "scripts/run.sh in the source tree.";
            return err;
        case kc::ErrorKind::kInvalidArgument:
            err.status = 400;
            return err;
        case kc::ErrorKind::kBadReply:
        case kc::ErrorKind::kUnsupported:
            err.status = 502;
            err.hint = "kivohost and kivo-web may not be of the same release.";
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
        err.hint = HintForReason(err.reason->code);
        err.message = what + ": " + err.reason->text + ".";
        // The service's text already ends in that advice: one sentence, said once.
        if (err.reason->code == static_cast<uint16_t>(R::kPasswordRejected) &&
            err.reason->text.find("password") != std::string::npos)
            err.hint.clear();
    } else if (e.kind == kc::ErrorKind::kRefused && e.request == kc::RequestCode::kFwStart) {
        err.status = 409;
        err.hint = HintForReason(static_cast<uint16_t>(R::kBusy));
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
