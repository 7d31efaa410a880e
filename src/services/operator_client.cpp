// The operator client's connection and actions.
#include "services/operator_client.h"

#include <sys/socket.h>

#include <string>

#include "irc/send.h"
#include "net/tcp.h"

namespace zelkord::services {

OperatorClient::~OperatorClient() {
  Stop();
}

void OperatorClient::Start(int port, const config::Settings& settings, std::atomic<int>& ownPort) {
  socket_ = net::TcpConnect("127.0.0.1", port, [&](int localPort) { ownPort = localPort; });
  const int socket = socket_;
  // The reader only drains: the server's sends to the operator must never
  // back up, whatever their length.
  reader_ = std::thread([socket] {
    char sink[4096];
    while (socket >= 0 && recv(socket, sink, sizeof sink, 0) > 0) {
    }
  });
  // With a server password the operator must give it too, or the desk
  // could never talk.
  if (!settings.serverPassWord.empty()) Send("pass " + settings.serverPassWord);
  Send("nick " + settings.clientNick);
  Send("user Administrator " + settings.serverName + " 127.0.0.1 :" + settings.clientReal);
}

void OperatorClient::Stop() {
  if (socket_ != net::kNoSocket) net::TcpShutdown(socket_);
  if (reader_.joinable()) reader_.join();
  socket_ = net::TcpClose(socket_);
}

void OperatorClient::Send(std::string_view line) {
  irc::SendClientLine(socket_, line);
}

void OperatorClient::Join(std::string_view channel) {
  Send("join " + std::string(channel));
}

void OperatorClient::Part(std::string_view channel) {
  Send("part " + std::string(channel));
}

bool OperatorClient::Input(std::string_view channel, std::string_view input) {
  if (input.empty()) return false;
  if (input.front() == '/') {
    Send(input.substr(1));
  } else {
    Send("privmsg " + std::string(channel) + " :" + std::string(input));
  }
  return true;
}

}  // namespace zelkord::services
