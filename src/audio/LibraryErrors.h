#pragma once
// Turns the exceptions of libraries and of the standard library (out of memory, file system,
// threads) into an operation's own error with a one-line reason, at the audio engine's
// boundaries:
//
//   return withLibraryErrorsAs([&] { return work(); },
//                              [&](const std::string& reason) { return StreamError::readFailed(url, reason); });
//
//   Result operation(...) try { ... } catch (...) { rethrowLibraryErrorsAs(makeError); }
//
// Our own errors and invalid arguments pass through unchanged; another library's text is cut to
// its first line.
#include <filesystem>
#include <new>
#include <stdexcept>
#include <string>
#include <system_error>

#include "platform/Error.h"

namespace lw {

// Only inside a catch handler.
template <class MakeError>
[[noreturn]] void rethrowLibraryErrorsAs(MakeError&& makeError) {
    try {
        throw;
    } catch (const std::bad_alloc&) {
        throw makeError("there is not enough memory");
    } catch (const std::length_error&) {
        throw makeError("there is not enough memory");
    } catch (const std::filesystem::filesystem_error& e) {
        throw makeError(e.code().message());
    } catch (const std::system_error& e) {
        throw makeError(e.code().message());
    } catch (const Error&) {
        throw;
    } catch (const std::logic_error&) {
        throw;  // a caller's mistake (an invalid argument), not a failure of the file or the machine
    } catch (const std::exception& e) {
        // Other libraries' texts can run over lines: the first one.
        const std::string text = e.what();
        throw makeError(text.substr(0, text.find('\n')));
    }
}

template <class Body, class MakeError>
auto withLibraryErrorsAs(Body&& body, MakeError&& makeError) -> decltype(body()) {
    try {
        return body();
    } catch (...) {
        rethrowLibraryErrorsAs(makeError);
    }
}

}  // namespace lw
