#include "ServerController.h"

namespace zormak {

void ServerController::reapStaleServer() {}

std::optional<std::string> ServerController::commandLine(pid_t) {
  return std::nullopt;
}

}  // namespace zormak
