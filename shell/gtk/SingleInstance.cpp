#include "SingleInstance.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <system_error>

#include "ServerController.h"

namespace zormak::gtk::single_instance {

GDBusConnection* sessionBusOrNone() {
  const char* address = g_getenv("DBUS_SESSION_BUS_ADDRESS");
  if (!address || address[0] == '\0')
    return nullptr;
  GError* error = nullptr;
  GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &error);
  if (!bus) {
    g_clear_error(&error);
    g_unsetenv("DBUS_SESSION_BUS_ADDRESS");
  }
  return bus;
}

bool claimDataFolder() {
  const std::filesystem::path& dir = ServerController::appSupportDir();
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  // Close-on-exec so no server inherits the lock; left open for the life of
  // the process, which holds the lock as long.
  int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0)
    return true;  // nothing to guard; start() reports what is wrong with the folder
  if (::flock(fd, LOCK_EX | LOCK_NB) == 0)
    return true;
  const bool held = errno == EWOULDBLOCK;
  ::close(fd);
  return !held;
}

}  // namespace zormak::gtk::single_instance
