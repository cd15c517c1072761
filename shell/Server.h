#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <string>

namespace zormak {

class ServerController;

// What the delegate uses of the server controller.
class Server {
 public:
  using ReadyCallback = std::function<void(const std::string& url)>;
  using FailedCallback = std::function<void(const std::string& message)>;

  virtual ~Server() = default;
  // Each replaces, and so releases, the callback held before.
  virtual void setOnReady(ReadyCallback callback) = 0;
  virtual void setOnFailed(FailedCallback callback) = 0;
  virtual void start() = 0;
  // Ends a server that still runs and starts a new one with the same
  // callbacks, on the same port when it is free.
  virtual void restart() = 0;
  virtual void stop() = 0;
  // The ZORMAK folder, where the shell keeps its own small files too.
  virtual std::filesystem::path supportDir() const = 0;
  // The service log, named on the error pages.
  virtual std::filesystem::path logPath() const = 0;
  // The current launch's secret, which the server requires of every caller
  // in the cookie "zormak_session"; empty before the first launch.
  virtual std::string launchSecret() const = 0;
  // Appends a line of the shell's own to the service log.
  virtual void log(const std::string& message) = 0;
};

// The product's server: the one ServerController of the process.
std::shared_ptr<Server> makeControllerServer(std::shared_ptr<ServerController> controller);

}  // namespace zormak
