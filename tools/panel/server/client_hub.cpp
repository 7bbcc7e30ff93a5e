#include "server/client_hub.h"

#include <civetweb.h>

#include <algorithm>
#include <string_view>

namespace vexdaq_panel {

ClientStream::ClientStream(mg_connection *connection)
    : connection_(connection), sender_([this] { run(); }) {}

ClientStream::~ClientStream() {
  stop();
}

void ClientStream::offer(MessageKind kind, std::shared_ptr<const Message> message) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_) return;
    auto &slot = pending_[static_cast<int>(kind)];
    if (slot) ++skipped_;
    slot = std::move(message);
  }
  wake_.notify_one();
}

void ClientStream::stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
    for (auto &slot : pending_) slot.reset();
  }
  wake_.notify_one();
  // The close handler and the panel's shutdown may both stop a client: one joins, the other
  // waits until it has.
  std::call_once(joined_, [this] {
    if (sender_.joinable() && sender_.get_id() != std::this_thread::get_id()) sender_.join();
  });
}

uint64_t ClientStream::skipped() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return skipped_;
}

void ClientStream::on_text(const char *data, size_t size) {
  const std::string_view text(data, size);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (text == "credit") {
      paced_ = true;
      credit_ = 2;  // one frame being drawn, one on its way
    } else if (text == "ready" && paced_) {
      credit_ = std::min(credit_ + 1, 2);
    } else {
      return;
    }
  }
  wake_.notify_one();
}

void ClientStream::run() {
  for (;;) {
    std::shared_ptr<const Message> message;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      const auto sendable = [this](int kind) {
        return pending_[kind] != nullptr &&
               (kind == static_cast<int>(MessageKind::kStatus) || !paced_ || credit_ > 0);
      };
      wake_.wait(lock, [&] { return stopping_ || sendable(0) || sendable(1) || sendable(2); });
      if (stopping_) return;
      // Status first: it is small and carries the loss counters.
      for (int k = kMessageKinds - 1; k >= 0 && !message; --k) {
        if (!sendable(k)) continue;
        message = std::move(pending_[k]);
        if (paced_ && k != static_cast<int>(MessageKind::kStatus)) --credit_;
      }
    }
    // May block while the client does not read; civetweb gives up after its write time-out and
    // the connection closes. Only this client's display frames wait meanwhile.
    const int opcode = message->binary ? MG_WEBSOCKET_OPCODE_BINARY : MG_WEBSOCKET_OPCODE_TEXT;
    if (mg_websocket_write(connection_, opcode,
                           reinterpret_cast<const char *>(message->bytes.data()),
                           message->bytes.size()) <= 0) {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
      return;
    }
  }
}

void ClientHub::add(const mg_connection *connection, std::shared_ptr<ClientStream> client) {
  std::lock_guard<std::mutex> lock(mutex_);
  clients_.emplace_back(connection, std::move(client));
}

std::shared_ptr<ClientStream> ClientHub::remove(const mg_connection *connection) {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto it = std::find_if(clients_.begin(), clients_.end(),
                               [connection](const auto &c) { return c.first == connection; });
  if (it == clients_.end()) return nullptr;
  auto client = std::move(it->second);
  clients_.erase(it);
  skipped_by_gone_ += client->skipped();
  return client;
}

std::shared_ptr<ClientStream> ClientHub::find(const mg_connection *connection) const {
  std::lock_guard<std::mutex> lock(mutex_);
  for (const auto &c : clients_)
    if (c.first == connection) return c.second;
  return nullptr;
}

void ClientHub::publish(MessageKind kind, std::shared_ptr<const Message> message) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto &c : clients_) c.second->offer(kind, message);
}

size_t ClientHub::count() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return clients_.size();
}

uint64_t ClientHub::skipped() const {
  std::lock_guard<std::mutex> lock(mutex_);
  uint64_t total = skipped_by_gone_;
  for (const auto &c : clients_) total += c.second->skipped();
  return total;
}

void ClientHub::stop_all() {
  std::vector<std::shared_ptr<ClientStream>> all;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto &c : clients_) all.push_back(c.second);
  }
  for (auto &c : all) c->stop();
}

}  // namespace vexdaq_panel
