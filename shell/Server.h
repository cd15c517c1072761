#pragma once

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
  virtual void stop() = 0;
};

// The product's server: the one ServerController of the process.
std::shared_ptr<Server> makeControllerServer(std::shared_ptr<ServerController> controller);

}  // namespace zormak
