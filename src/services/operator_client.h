// The operator client: the desk's own IRC client, logged in over loopback at
// start-up, through which the person at the desk talks. Its buttons and
// input lines become IRC command lines on that connection. It has no
// parser: what the operator sees comes from the server's own views, so its
// reader only drains the socket.
#pragma once

#include <atomic>
#include <string_view>
#include <thread>

#include "config/settings.h"

namespace zelkord::services {

class OperatorClient {
 public:
  OperatorClient() = default;
  ~OperatorClient();  // Stop
  OperatorClient(const OperatorClient&) = delete;
  OperatorClient& operator=(const OperatorClient&) = delete;

  // Connects to 127.0.0.1 at port and logs in with the settings' password
  // (when the server has one), Client.Nick and Client.Real. Its own local
  // port goes to ownPort before it connects, so the server can tell its
  // connection (which speaks ISO-2022-JP) from others. Nothing happens on a
  // failed connect: the desk then simply cannot talk. Main thread, once.
  void Start(int port, const config::Settings& settings, std::atomic<int>& ownPort);
  // Shuts the connection down and closes it. Later calls do nothing. Main thread.
  void Stop();

  // Sends one line, converted to the wire; a failure goes unnoticed, as the
  // client shows nothing it receives. Main thread.
  void Send(std::string_view line);
  // "join %s" with the channel name as given (possibly empty). Main thread.
  void Join(std::string_view channel);
  // "part %s". Main thread.
  void Part(std::string_view channel);
  // Enter in a channel page's input line: nothing for an empty line; a line
  // starting with "/" is sent raw without the "/"; anything else as
  // "privmsg <channel> :<text>". true when a line was sent (the caller then
  // empties the input). Main thread.
  bool Input(std::string_view channel, std::string_view input);

 private:
  int socket_ = -1;
  std::thread reader_;  // drains the socket
};

}  // namespace zelkord::services
