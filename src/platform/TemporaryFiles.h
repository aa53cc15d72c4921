#pragma once
// The process-wide list of temporary files that are open right now (written to, not yet renamed
// into place), and of private scratch folders. On SIGINT or SIGTERM, and when the process exits,
// the files are removed, then the folders (when empty), so an interrupted run leaves no hidden
// partial files or scratch folders behind. Paths are copied into fixed storage when they are
// registered (before the file is made), so the removal only reads memory and calls unlink().
//
// The signal handler itself only wakes a thread of ours. That thread refuses new set renames,
// waits for the ones under way, stops every other thread of the process (so none creates or
// renames a file any more, a library writing to a registered name included), removes the files
// and ends the process by the signal.
#include <filesystem>

#include "platform/Error.h"

namespace lw {

class TemporaryFiles {
public:
    // Registers `path` for removal on interruption; the first registration installs the signal
    // handlers. Unregistered when the object goes away (after the file was renamed or removed).
    class Registration {
    public:
        enum class Kind { file, folder };
        Registration() = default;
        explicit Registration(const std::filesystem::path& path, Kind kind = Kind::file);
        ~Registration();
        Registration(Registration&& other) noexcept;
        Registration& operator=(Registration&& other) noexcept;
        Registration(const Registration&) = delete;
        Registration& operator=(const Registration&) = delete;
        void release() noexcept;

    private:
        int slot_ = -1;
    };

    // Thrown when a set rename begins after an interruption began.
    class Interrupted : public Error {
    public:
        using Error::Error;
    };

    // Held while a set of files is renamed into place (or put back after a failed rename): an
    // interruption waits for it to end before removing anything, so a set is never left half in
    // place. Throws Interrupted when an interruption has begun.
    class SetRename {
    public:
        SetRename();
        ~SetRename();
        SetRename(const SetRename&) = delete;
        SetRename& operator=(const SetRename&) = delete;
    };

    // Removes every registered file, then every registered folder left empty, now (async-signal-safe). Only for the end of the process or
    // of a cancelled run whose writers have all stopped.
    static void removeAll() noexcept;

    // SIGINT and SIGTERM remove every registered file, then the previous disposition runs (the
    // default one ends the process by the signal). Signals the process ignores stay ignored.
    // Idempotent; called by the first registration.
    static void installSignalHandlers();

    // Registered files right now (for tests).
    static int count() noexcept;
};

}  // namespace lw
