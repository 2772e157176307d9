// File names as the engine sees them: "/" and "\" both separate folders, folder paths
// end with "/", and a name that does not exist exactly is matched without regard to
// letter case in its folder, as the file systems the tables come from do.
#pragma once

#include <string>
#include <string_view>

namespace quorvane::files {

// Turns every "\" into "/" and makes a non-empty folder path end with "/".
std::string NormalizeDirectory(std::string_view directory);
// Turns every "\" into "/".
std::string NormalizeSeparators(std::string_view path);
// The path itself when it exists; otherwise the one entry of its folder whose name
// equals the last component ignoring ASCII letter case; otherwise the path unchanged.
std::string ResolveCaseInsensitive(std::string_view path);
// The folder itself when it exists; otherwise, component by component, the entries
// that match without regard to ASCII letter case. Ends with "/" when non-empty.
std::string ResolveDirectoryCaseInsensitive(std::string_view directory);
// The one name of a folder however it is reached: symbolic links, "." and ".."
// resolved (realpath), with a trailing "/". The folder as given (normalised) when it
// cannot be resolved. On a case-sensitive file system two folders whose names differ
// only in letter case stay different folders.
std::string CanonicalDirectory(std::string_view directory);
// The process's current directory with a trailing "/".
std::string CurrentDirectory();

}  // namespace quorvane::files
