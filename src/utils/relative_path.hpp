// File names relative to the process's working directory.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace sarn {

// `file` with the directory `cwd` and the separator after it removed, when
// `file` lies under `cwd` by whole path components ("/a/bc/x.py" is not
// under "/a/b"); otherwise `file` unchanged. Relative names such as "app.py"
// or "<string>" are never under an absolute directory and stay as they are.
std::string relative_to(std::string_view file, std::string_view cwd);

// The current working directory, or nothing when it cannot be read (for
// example because it was removed).
std::optional<std::string> current_directory();

}  // namespace sarn
