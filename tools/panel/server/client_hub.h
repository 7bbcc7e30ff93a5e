// The panel's WebSocket clients and what is waiting to be sent to each. The acquisition thread
// publishes without ever waiting for a client: each client keeps only the newest message of
// each kind (scope frame, spectrum frame, status), so a slow or stalled browser skips display
// frames while its memory stays bounded (three messages), and the samples never wait.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct mg_connection;

namespace vexdaq_panel {

enum class MessageKind { kScope = 0, kSpectrum = 1, kStatus = 2 };
constexpr int kMessageKinds = 3;

struct Message {
  bool binary = true;
  std::vector<uint8_t> bytes;
};

// Display frames may also be paced by the client: one that sends the text "credit" from then on
// receives a scope or spectrum frame only for each "ready" it sends (a page sends it after
// drawing), so frames never pile up in a browser that draws slower than they come.
//
// One connected client and its sender thread. Contract: the sender thread alone writes to the
// connection; stop() (from the connection's close handler) wakes it, waits for it and drops
// what was still queued.
class ClientStream {
 public:
  explicit ClientStream(mg_connection *connection);
  ~ClientStream();
  ClientStream(const ClientStream &) = delete;
  ClientStream &operator=(const ClientStream &) = delete;

  // Never blocks for the network: replaces an unsent message of the same kind (counted).
  void offer(MessageKind kind, std::shared_ptr<const Message> message);
  void stop();
  uint64_t skipped() const;
  // A text message from the client: "credit" or "ready"; anything else is ignored.
  void on_text(const char *data, size_t size);

 private:
  void run();

  mg_connection *connection_;
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::shared_ptr<const Message> pending_[kMessageKinds];
  bool stopping_ = false;
  bool paced_ = false;  // sends display frames only against credit
  int credit_ = 0;      // display frames this paced client may still get, at most 2
  uint64_t skipped_ = 0;
  std::once_flag joined_;
  std::thread sender_;
};

class ClientHub {
 public:
  void add(const mg_connection *connection, std::shared_ptr<ClientStream> client);
  // Returns the client so that its close handler can stop it outside the hub's lock.
  std::shared_ptr<ClientStream> remove(const mg_connection *connection);
  std::shared_ptr<ClientStream> find(const mg_connection *connection) const;
  void publish(MessageKind kind, std::shared_ptr<const Message> message);
  size_t count() const;
  uint64_t skipped() const;  // display messages skipped for slow clients, all clients so far
  void stop_all();

 private:
  mutable std::mutex mutex_;
  std::vector<std::pair<const mg_connection *, std::shared_ptr<ClientStream>>> clients_;
  uint64_t skipped_by_gone_ = 0;
};

}  // namespace vexdaq_panel
