#include <unistd.h>

#include "ServerController.h"

namespace zormak {

void ServerController::stop() {
  ::unlink(locations_.pidFileURL().c_str());
}

}  // namespace zormak
