// A small blocking JSON-RPC client for the line transports (TCP or a Unix
// socket): one request per line, one answer per line. Notifications the
// server sends between answers (vexon.event of a subscription) are kept, in
// order, for NextNotification.
#pragma once

#include <deque>
#include <nlohmann/json.hpp>
#include <optional>
#include <stdexcept>
#include <string>

namespace vexon {

class TRpcClient {
 public:
  ~TRpcClient();
  // "HOST:PORT" for TCP, or a path (containing '/') for a Unix socket.
  // Throws std::runtime_error when the server cannot be reached.
  void Connect(const std::string& where);
  void Close();
  // Sends a request and returns the whole answer object.
  nlohmann::json Request(const std::string& method, const nlohmann::json& params);
  // The result of a call; throws std::runtime_error with the error message.
  nlohmann::json Call(const std::string& method, const nlohmann::json& params = nlohmann::json::object());
  // The next notification: a kept one, else one read within `timeoutMs`
  // (negative: no limit). Empty on time-out; throws when the connection
  // ends.
  std::optional<nlohmann::json> NextNotification(int timeoutMs);
  // Raw line exchange (for tests of malformed input).
  void SendLine(const std::string& line);
  void Send(const std::string& bytes);
  std::string ReadLine();
  // Everything until the server closes the connection.
  std::string ReadToEnd();

 private:
  int fd_ = -1;
  int64_t nextId_ = 1;
  std::string buffer_;
  size_t start_ = 0;  // where the unread part of buffer_ begins
  std::deque<nlohmann::json> notifications_;
  // A whole line from the buffer, or a read of at most `timeoutMs`.
  std::optional<std::string> ReadLineWithin(int timeoutMs);
};

}  // namespace vexon
