// Runs one runtime preparation in a process of its own, so that a test can
// kill it part-way. Usage: prepare_runtime_main SUPPORT_DIR RESOURCE_DIR [FILE_SIZE_LIMIT]
// A file size limit makes writes past it fail, as a full disk would.
// With a fifth argument "launch" it starts the server too and then waits, as
// a shell would, until it is killed.
#include <sys/resource.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>

#include "ControllerAccess.h"
#include "ZormakError.h"

int main(int argc, char** argv) {
  if (argc < 3)
    return 2;
  if (argc > 3 && argv[3][0] != '\0') {
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit limit{};
    limit.rlim_cur = limit.rlim_max = std::strtoull(argv[3], nullptr, 10);
    setrlimit(RLIMIT_FSIZE, &limit);
  }
  auto loop = std::make_shared<zormak::testing::TestRunLoop>();
  auto c = zormak::ServerController::init(
      {zormak::ServerController::Locations{argv[1]}, std::filesystem::path(argv[2]), loop, {}});
  try {
    zormak::ServerControllerTestAccess::prepareRuntime(*c);
  } catch (const zormak::FileSystemError& e) {
    std::fprintf(stderr, "%s\n", e.description().c_str());
    return 1;
  }
  if (argc > 4 && std::string(argv[4]) == "launch") {
    c->start();
    for (;;)
      loop->runFor(std::chrono::seconds(1));
  }
  return 0;
}
