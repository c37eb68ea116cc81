#include "platform/linux/processes.h"

#include <signal.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <string_view>

namespace caretsafe::linux_desktop {

std::optional<std::string> processApplicationId(Pid pid) {
  if (pid <= 0) return std::nullopt;
  const std::string link = "/proc/" + std::to_string(pid) + "/exe";
  std::array<char, 4096> buffer{};
  const ssize_t length = ::readlink(link.c_str(), buffer.data(), buffer.size());
  if (length <= 0 || static_cast<std::size_t>(length) >= buffer.size()) return std::nullopt;
  std::string_view path(buffer.data(), static_cast<std::size_t>(length));
  constexpr std::string_view kDeleted = " (deleted)";
  if (path.size() > kDeleted.size() && path.substr(path.size() - kDeleted.size()) == kDeleted) {
    path.remove_suffix(kDeleted.size());
  }
  const std::size_t slash = path.rfind('/');
  const std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
  if (name.empty()) return std::nullopt;
  return std::string(name);
}

bool processExists(Pid pid) {
  if (pid <= 0) return false;
  return ::kill(pid, 0) == 0 || errno == EPERM;
}

}  // namespace caretsafe::linux_desktop
