// The listening socket and its chain of accepting threads.
#include "net/listener.h"

#include <utility>

namespace zelkord::net {

Listener::Listener(int waiting, std::function<void(int error)> report, StartThread start,
                   Serve serve)
    : waiting_(waiting),
      start_(std::move(start)),
      serve_(std::move(serve)),
      spell_(std::move(report)) {}

Listener::~Listener() {
  Close();
  for (const int socket : closed_) TcpClose(socket);
}

bool Listener::Open(int port) {
  const int socket = TcpListen(port);
  if (socket == kNoSocket) return false;
  port_ = TcpBoundPort(socket);
  socket_ = socket;
  return true;
}

bool Listener::StartThreads() {
  for (int i = 0; i < waiting_; ++i) {
    if (!StartOne()) return false;
  }
  return true;
}

void Listener::Close() {
  const int socket = socket_.exchange(kNoSocket);
  if (socket == kNoSocket) return;
  TcpShutdown(socket);  // fails the pending accepts: their threads end without successors
  closed_.push_back(socket);
}

bool Listener::StartOne() {
  return start_([this] { Run(); });
}

void Listener::Run() {
  for (;;) {
    std::string address;
    // Out of descriptors is passing: the accept waits and retries instead
    // of ending the chain.
    const int socket = TcpAcceptRetrying([this] { return socket_.load(); }, address, spell_);
    if (socket == kNoSocket) return;  // the listener is closed: the chain ends here
    // Successor first, so the listener always has a thread waiting and a
    // slow peer holds up only this one. If no thread can start now, this
    // one goes back to accepting afterwards.
    const bool hasSuccessor = StartOne();
    serve_(socket, address);
    if (hasSuccessor) return;
  }
}

}  // namespace zelkord::net
