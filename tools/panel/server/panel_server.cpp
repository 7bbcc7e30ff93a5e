#include "server/panel_server.h"

#include <civetweb.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include <cstring>
#include <filesystem>
#include <vector>

#include "acquisition/acquisition.h"
#include "cli/cli_error.h"
#include "server/client_hub.h"
#include "server/control_dispatch.h"
#include "vexdaq/vexdaq_sim.h"

namespace vexdaq_panel {

namespace {

using nlohmann::json;

PanelServer &server_of(const mg_connection *connection) {
  return *static_cast<PanelServer *>(mg_get_user_data(mg_get_context(connection)));
}

void send_json(mg_connection *connection, int status, const std::string &body) {
  mg_printf(connection,
            "HTTP/1.1 %d %s\r\nContent-Type: application/json\r\nContent-Length: %zu\r\n"
            "Cache-Control: no-store\r\nConnection: close\r\n\r\n",
            status, mg_get_response_code_text(connection, status), body.size());
  mg_write(connection, body.data(), body.size());
}

void refuse(mg_connection *connection, int status, const char *why) {
  send_json(connection, status, json{{"ok", false}, {"error", why}}.dump());
}

const char *why(Access verdict) {
  switch (verdict) {
    case Access::kBadHost:
      return "the Host header does not name this panel";
    case Access::kBadOrigin:
      return "requests from another origin are refused";
    case Access::kBadToken:
      return "the panel's token is missing or wrong";
    case Access::kAllowed:
      break;
  }
  return "";
}

extern "C" int begin_request(mg_connection *connection) {
  return server_of(connection).on_request(connection);
}
extern "C" int state_handler(mg_connection *connection, void *) {
  return server_of(connection).handle_state(connection);
}
extern "C" int control_handler(mg_connection *connection, void *) {
  return server_of(connection).handle_control(connection);
}
extern "C" int trace_handler(mg_connection *connection, void *) {
  return server_of(connection).handle_trace(connection);
}
extern "C" int sim_set_handler(mg_connection *connection, void *) {
  return server_of(connection).handle_sim_set(connection);
}
extern "C" int ws_connect(const mg_connection *connection, void *) {
  return server_of(connection).on_websocket_connect(connection);
}
extern "C" void ws_ready(mg_connection *connection, void *) {
  server_of(connection).on_websocket_ready(connection);
}
extern "C" int ws_data(mg_connection *connection, int bits, char *data, size_t size, void *) {
  // Controls go through HTTP; here a client only paces its display frames.
  if ((bits & 0x0F) == MG_WEBSOCKET_OPCODE_TEXT && size <= 16)
    server_of(connection).on_websocket_text(connection, data, size);
  return 1;
}
extern "C" void ws_close(const mg_connection *connection, void *) {
  server_of(connection).on_websocket_close(connection);
}

}  // namespace

PanelServer::PanelServer(Acquisition &acquisition, ClientHub &hub, ServerOptions options)
    : acquisition_(acquisition), hub_(hub), options_(std::move(options)) {}

PanelServer::~PanelServer() {
  stop();
}

std::string PanelServer::start() {
  mg_init_library(MG_FEATURES_WEBSOCKET);
  const bool v6 = options_.address.find(':') != std::string::npos;
  const std::string bind =
      (v6 ? "[" + options_.address + "]" : options_.address) + ":" + std::to_string(options_.port);
  std::error_code ec;
  const std::string root = std::filesystem::absolute(options_.assets, ec).string();
  // 24 workers: each WebSocket client holds one while it is connected.
  const char *config[] = {"listening_ports",
                          bind.c_str(),
                          "document_root",
                          root.c_str(),
                          "num_threads",
                          "24",
                          "enable_directory_listing",
                          "no",
                          "request_timeout_ms",
                          "10000",
                          "additional_header",
                          "X-Frame-Options: DENY\r\nX-Content-Type-Options: nosniff\r\n"
                          "Content-Security-Policy: default-src 'self'; style-src 'self' "
                          "'unsafe-inline'; frame-ancestors 'none'",
                          nullptr};
  mg_callbacks callbacks{};
  callbacks.begin_request = begin_request;
  callbacks.log_message = [](const mg_connection *, const char *) { return 1; };
  context_ = mg_start(&callbacks, this, config);
  if (context_ == nullptr) {
    throw vexdaq_cli::CliError(vexdaq_cli::kExitUsage,
                               "the panel cannot listen on " + bind + " (is the port in use?)");
  }
  mg_server_port ports[2] = {};
  const int count = mg_get_server_ports(context_, 2, ports);
  const int port = count > 0 ? ports[0].port : options_.port;
  if (is_loopback_address(options_.address)) {
    policy_.hosts = panel_hosts(options_.address, port);
  } else {
    policy_.hosts = panel_hosts(options_.address, port);
    policy_.token = random_token();
  }
  mg_set_request_handler(context_, "/api/state", state_handler, nullptr);
  mg_set_request_handler(context_, "/api/control", control_handler, nullptr);
  if (options_.sim_id >= 0) {
    mg_set_request_handler(context_, "/api/test/trace", trace_handler, nullptr);
    mg_set_request_handler(context_, "/api/test/sim_set", sim_set_handler, nullptr);
  }
  mg_set_websocket_handler(context_, "/ws", ws_connect, ws_ready, ws_data, ws_close, nullptr);
  std::string host = v6 ? "[" + options_.address + "]" : options_.address;
  if (policy_.hosts.empty()) {
    // Every address of the machine: the URL names the machine instead.
    char name[256] = {};
    host = gethostname(name, sizeof name - 1) == 0 && name[0] != '\0' ? name : "localhost";
  }
  std::string url = "http://" + host + ":" + std::to_string(port) + "/";
  if (!policy_.token.empty()) url += "?token=" + policy_.token;
  return url;
}

void PanelServer::stop() {
  if (context_ == nullptr) return;
  // Stop the senders first: a sender blocked on a client that does not read would hold up the
  // server's shutdown until its write time-out.
  hub_.stop_all();
  mg_stop(context_);
  context_ = nullptr;
  mg_exit_library();
}

int PanelServer::on_request(mg_connection *connection) {
  const mg_request_info *request = mg_get_request_info(connection);
  const bool post = std::strcmp(request->request_method, "POST") == 0;
  if (!post && std::strcmp(request->request_method, "GET") != 0 &&
      std::strcmp(request->request_method, "HEAD") != 0) {
    refuse(connection, 405, "only GET and POST are served");
    return 405;
  }
  const char *upgrade = mg_get_header(connection, "Upgrade");
  const bool websocket = upgrade != nullptr && mg_strcasecmp(upgrade, "websocket") == 0;
  const Access verdict =
      policy_.check(mg_get_header(connection, "Host"), mg_get_header(connection, "Origin"),
                    request->query_string, mg_get_header(connection, "Cookie"), post || websocket);
  if (verdict != Access::kAllowed) {
    refuse(connection, 403, why(verdict));
    return 403;
  }
  // A page opened with the token keeps it in a cookie of its own (its scripts, its socket) and
  // drops it from the address bar.
  const bool page = std::strncmp(request->local_uri, "/api/", 5) != 0;
  if (!policy_.token.empty() && request->query_string != nullptr &&
      !find_parameter(request->query_string, "token", '&').empty() && !post && !websocket && page) {
    mg_printf(connection,
              "HTTP/1.1 303 See Other\r\nLocation: %s\r\nSet-Cookie: %s=%s; Path=/; HttpOnly; "
              "SameSite=Strict\r\nContent-Length: 0\r\nConnection: close\r\n\r\n",
              request->local_uri, kTokenCookie, policy_.token.c_str());
    return 303;
  }
  return 0;
}

int PanelServer::on_websocket_connect(const mg_connection *connection) {
  const mg_request_info *request = mg_get_request_info(connection);
  const Access verdict =
      policy_.check(mg_get_header(connection, "Host"), mg_get_header(connection, "Origin"),
                    request->query_string, mg_get_header(connection, "Cookie"), true);
  return verdict == Access::kAllowed ? 0 : 1;  // non-zero refuses the handshake
}

void PanelServer::on_websocket_ready(mg_connection *connection) {
  hub_.add(connection, std::make_shared<ClientStream>(connection));
}

void PanelServer::on_websocket_text(mg_connection *connection, const char *data, size_t size) {
  if (auto client = hub_.find(connection)) client->on_text(data, size);
}

void PanelServer::on_websocket_close(const mg_connection *connection) {
  if (auto client = hub_.remove(connection)) client->stop();
}

int PanelServer::handle_state(mg_connection *connection) {
  const DeviceCard &card = acquisition_.card();
  json state{{"ok", true},
             {"device",
              {{"product", card.product},
               {"device_version", card.device_version},
               {"driver_version", card.driver_version},
               {"library_version", card.library_version},
               {"library_build", card.library_build},
               {"in_channels", card.in_channels},
               {"out_channels", card.out_channels},
               {"in_bits", card.in_bits},
               {"out_bits", card.out_bits},
               {"in_rates", card.in_rates},
               {"out_rates", card.out_rates},
               {"doctor", card.doctor},
               {"virtual", options_.sim_id >= 0}}},
             {"settings", json::parse(acquisition_.settings_json())}};
  send_json(connection, 200, state.dump());
  return 200;
}

int PanelServer::handle_control(mg_connection *connection) {
  const mg_request_info *request = mg_get_request_info(connection);
  if (std::strcmp(request->request_method, "POST") != 0) {
    refuse(connection, 405, "controls are POST requests");
    return 405;
  }
  if (request->content_length < 0 ||
      request->content_length > static_cast<long long>(kMaxControlBytes)) {
    refuse(connection, 413, "a control request needs a Content-Length of at most 64 KiB");
    return 413;
  }
  std::string body(static_cast<size_t>(request->content_length), '\0');
  size_t got = 0;
  while (got < body.size()) {
    const int n = mg_read(connection, body.data() + got, body.size() - got);
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  body.resize(got);
  const auto [status, reply] = dispatch_control(acquisition_, body);
  send_json(connection, status, reply);
  return status;
}

int PanelServer::handle_trace(mg_connection *connection) {
  // Test aid of the virtual instrument: the control requests it received since the last call.
  // New lines may arrive between asking for the length and copying: room for more, and retry.
  std::string text;
  for (int attempt = 0; attempt < 8; ++attempt) {
    const int32_t length = vexdaq_sim_trace(options_.sim_id, nullptr, 0);
    if (length < 0) break;
    text.assign(static_cast<size_t>(length) + 65536, '\0');
    const int32_t copied =
        vexdaq_sim_trace(options_.sim_id, text.data(), static_cast<int32_t>(text.size()));
    if (copied >= 0 && static_cast<size_t>(copied) < text.size()) {
      text.resize(static_cast<size_t>(copied));
      break;
    }
    text.clear();
  }
  mg_printf(connection,
            "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: %zu\r\n"
            "Cache-Control: no-store\r\nConnection: close\r\n\r\n",
            text.size());
  mg_write(connection, text.data(), text.size());
  return 200;
}

int PanelServer::handle_sim_set(mg_connection *connection) {
  // Test aid: "key=value;..." for vexdaq_sim_set, at most 256 bytes, as a POST body.
  const mg_request_info *request = mg_get_request_info(connection);
  if (std::strcmp(request->request_method, "POST") != 0 || request->content_length <= 0 ||
      request->content_length > 256) {
    refuse(connection, 400, "POST at most 256 bytes of key=value pairs");
    return 400;
  }
  std::string body(static_cast<size_t>(request->content_length), '\0');
  const int n = mg_read(connection, body.data(), body.size());
  body.resize(n > 0 ? static_cast<size_t>(n) : 0);
  if (vexdaq_sim_set(options_.sim_id, body.c_str()) != 0) {
    refuse(connection, 400, "the virtual instrument refused those keys");
    return 400;
  }
  send_json(connection, 200, json{{"ok", true}}.dump());
  return 200;
}

}  // namespace vexdaq_panel
