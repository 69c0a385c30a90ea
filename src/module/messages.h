// Every error text of the module, in one place. The texts are fixed: callers,
// tests and users match them to the letter.
#pragma once

namespace fw::msg {

// Module initialization.
inline constexpr const char kInterpreterChange[] =
    "Interpreter change detected - this module can only be loaded into one interpreter per process.";
inline constexpr const char kReinit[] =
    "Module 'fernwick' has already been imported. Re-initialisation is not supported.";
inline constexpr const char kVersionMismatch[] =
    "compiletime version %s of module '%.100s' does not match runtime version %s";
inline constexpr const char kInitFailed[] = "init fernwick";
inline constexpr const char kMetaclassConflict[] =
    "metaclass conflict: the metaclass of a derived class must be a (non-strict) subclass "
    "of the metaclasses of all its bases";

// Name lookup.
inline constexpr const char kNameError[] = "name '%U' is not defined";

// Argument binding.
inline constexpr const char kPositionalCount[] =
    "%.200s() takes %.8s %zd positional argument%.1s (%zd given)";
inline constexpr const char kKeywordsMustBeStrings[] = "%.200s() keywords must be strings";
inline constexpr const char kMultipleValues[] =
    "%s() got multiple values for keyword argument '%U'";
inline constexpr const char kUnexpectedKeyword[] = "%s() got an unexpected keyword argument '%U'";
inline constexpr const char kNoKeywords[] = "%.200s() takes no keyword arguments";
inline constexpr const char kNoArguments[] = "%.200s() takes no arguments (%zd given)";
inline constexpr const char kExactlyOne[] = "%.200s() takes exactly one argument (%zd given)";

// The listings.
inline constexpr const char kListingRefused[] =
    "listing reply for %R reports a failure or holds no list of items";
inline constexpr const char kTooManyPages[] =
    "listing reports %R items, more than the %S pages one walk reads";

// The prefix read.
inline constexpr const char kDownloadStatus[] = "download answered %S for %R";
inline constexpr const char kDownloadDeadline[] =
    "download of %R took longer than %S seconds for the first %S bytes";
inline constexpr const char kDownloadShort[] =
    "download of %R ended after %zd of %S announced bytes";

// A batch that the service refuses or that cannot succeed.
inline constexpr const char kCookieRejected[] =
    "the service answered 401 for %R: the cookie is no longer accepted";
inline constexpr const char kRefusedTooLong[] =
    "the service answered %ld for %R, refusing it for more than 15 minutes";
inline constexpr const char kRefusedAlone[] =
    "the service answered %ld for %R again, while it serves other requests";
inline constexpr const char kRefusedUnseen[] =
    "the service answered %ld for %R again, and has answered no other request of its kind";
inline constexpr const char kBatchStopped[] = "the batch stopped before this request was sent";

}  // namespace fw::msg
