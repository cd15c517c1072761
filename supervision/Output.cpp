#include "ServerController.h"

namespace zormak {

void ServerController::ingest(std::string_view) {}

std::optional<std::string> ServerController::parseURL(std::string_view) {
  return std::nullopt;
}

}  // namespace zormak
