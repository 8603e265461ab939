#include "utils/relative_path.hpp"

#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace sarn {

std::string relative_to(std::string_view file, std::string_view cwd) {
    if (cwd.empty()) return std::string(file);
    // A trailing separator does not change the directory; the root "/"
    // becomes "", under which every absolute name lies.
    while (!cwd.empty() && cwd.back() == '/') cwd.remove_suffix(1);

    if (file.size() <= cwd.size() || !file.starts_with(cwd) || file[cwd.size()] != '/')
        return std::string(file);

    std::string_view rest = file.substr(cwd.size());
    while (!rest.empty() && rest.front() == '/') rest.remove_prefix(1);
    if (rest.empty()) return std::string(file);  // the directory itself
    return std::string(rest);
}

std::optional<std::string> current_directory() {
    std::string buffer(256, '\0');
    while (true) {
        if (getcwd(buffer.data(), buffer.size()) != nullptr) {
            buffer.resize(std::strlen(buffer.c_str()));
            return buffer;
        }
        if (errno != ERANGE) return std::nullopt;
        buffer.resize(buffer.size() * 2);
    }
}

}  // namespace sarn
