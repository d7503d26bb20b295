// A failure a caller may act on: its kind, to branch on, and why, in words a person can act on.
#pragma once

#include <cstdint>
#include <string>

namespace zudorhost {

struct Failure {
    enum class Kind : uint8_t {
        None,
        Busy,     // another run holds it (a catalogue being updated): wait, or come back later
        ReadOnly, // it cannot be written: a read-only file, folder or mount
        Refused,  // not what was asked for: not a catalogue, a newer or corrupt one, other options
        Io,       // reading or writing it failed: a full disk, an I/O error
        Resources // the system would not give what the run needs: threads, memory
    };
    Kind kind = Kind::None;
    std::string message;

    Failure() = default;
    Failure(Kind k, std::string why) : kind(k), message(std::move(why)) {}
    explicit operator bool() const { return kind != Kind::None; }
};

} // namespace zudorhost
