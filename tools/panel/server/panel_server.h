// The panel's HTTP and WebSocket server (civetweb): the page's files, the JSON state and
// control requests, and /ws, where every client receives the binary frames and status messages
// of the client hub. Every request passes the access policy first.
#pragma once

#include <memory>
#include <string>

#include "server/access_policy.h"

struct mg_context;
struct mg_connection;

namespace vexdaq_panel {

class Acquisition;
class ClientHub;

struct ServerOptions {
  std::string address = "127.0.0.1";
  int port = 8765;     // 0: any free port
  std::string assets;  // folder of index.html
  // >= 0: a virtual instrument, whose trace /api/test/trace hands out and whose keys
  // /api/test/sim_set changes (a step on its inputs, for latency measurements)
  int32_t sim_id = -1;
};

class PanelServer {
 public:
  PanelServer(Acquisition &acquisition, ClientHub &hub, ServerOptions options);
  ~PanelServer();
  PanelServer(const PanelServer &) = delete;
  PanelServer &operator=(const PanelServer &) = delete;

  // Listens; throws vexdaq_cli::CliError when the address cannot be bound. Returns the URL to
  // open (with the token when one is needed).
  std::string start();
  // Closes every connection and waits for civetweb's threads.
  void stop();

  // Used by the C callbacks.
  int on_request(mg_connection *connection);
  int on_websocket_connect(const mg_connection *connection);
  void on_websocket_ready(mg_connection *connection);
  void on_websocket_close(const mg_connection *connection);
  void on_websocket_text(mg_connection *connection, const char *data, size_t size);
  int handle_state(mg_connection *connection);
  int handle_control(mg_connection *connection);
  int handle_trace(mg_connection *connection);
  int handle_sim_set(mg_connection *connection);

 private:
  Acquisition &acquisition_;
  ClientHub &hub_;
  ServerOptions options_;
  AccessPolicy policy_;
  mg_context *context_ = nullptr;
};

}  // namespace vexdaq_panel
