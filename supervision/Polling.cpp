#include "ServerController.h"

namespace zormak {

void ServerController::pollStatus(std::int64_t) {}

}  // namespace zormak
