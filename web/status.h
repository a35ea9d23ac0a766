#pragma once

// The HTTP statuses that the API answers with, named once for every part of
// cubeweb that answers or refuses a request.

namespace ledcube::web::status {

inline constexpr int kOk = 200;
inline constexpr int kAccepted = 202;  // being made: ask again
// Every status from here on refuses what was asked.
inline constexpr int kFirstRefusal = 300;
inline constexpr int kBadRequest = 400;
inline constexpr int kUnauthorized = 401;
inline constexpr int kForbidden = 403;
inline constexpr int kNotFound = 404;
inline constexpr int kMethodNotAllowed = 405;
inline constexpr int kConflict = 409;
inline constexpr int kLengthRequired = 411;
inline constexpr int kTooLarge = 413;
inline constexpr int kUnsupportedType = 415;
inline constexpr int kServerError = 500;
inline constexpr int kUnavailable = 503;

}  // namespace ledcube::web::status
