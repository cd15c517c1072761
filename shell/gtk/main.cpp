#include <sys/stat.h>

#include <filesystem>
#include <optional>
#include <system_error>

#include "AppDelegate.h"
#include "GtkPlatform.h"
#include "ServerController.h"
#include "Trace.h"

namespace {

// The bundle's resources: <prefix>/share/zormak beside <prefix>/bin/zormak,
// found through the link to our own executable, so the installed program and
// the build tree both run in place. A macOS entry would answer the main
// bundle's resourcePath instead.
std::optional<std::filesystem::path> resourceDir() {
  std::error_code ec;
  std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec || exe.empty())
    return std::nullopt;
  return exe.parent_path().parent_path() / "share" / "zormak";
}

}  // namespace

int main(int argc, char** argv) {
  // What this program and its server create (the ZORMAK folder, the log, the
  // site data, the server's files) is the user's alone.
  ::umask(077);
  zormak::gtk::trace::mark("main");
  const auto resources = resourceDir();
  zormak::ServerController::installResourceDir(resources);
  zormak::gtk::GtkPlatform application(argc, argv, resources);
  return zormak::ZormakApp::main(application);
}
