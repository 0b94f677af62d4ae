// Free space of a volume, as the worker's disk check reads it before a model download.
//
// Thread-safe; never throws.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>

namespace platform::sys {

// Bytes an unprivileged process may still write on the volume holding `path`
// (statvfs: f_bavail × f_frsize, clamped to the range of uint64). When `path` does not exist
// yet, the volume of its nearest existing ancestor is read (a relative path is taken against
// the current folder first), so a folder still to be created is measured where it will live.
// Absent when no ancestor can be examined (permission, I/O error, empty path).
std::optional<std::uint64_t> volumeAvailableCapacity(const std::filesystem::path& path);

// The existing path whose volume volumeAvailableCapacity reads for `path`: `path` itself when
// it exists, else its nearest existing ancestor ("/" at worst). Absent for an empty path or
// when the current folder cannot be read for a relative one.
std::optional<std::filesystem::path> nearestExistingAncestor(const std::filesystem::path& path);

}  // namespace platform::sys
