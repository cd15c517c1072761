#include "ServerController.h"

namespace zormak {

void ServerController::launchServer() {}

}  // namespace zormak
