// The window test fixture.
#include "window_fixture.h"

#include <chrono>
#include <fstream>
#include <sstream>
#include <vector>

namespace zelkord::testing {

WindowFixture::WindowFixture(const SettingsMap& settings, bool withOperator) {
  const std::string file = dir_.Write("zelkord.INI", TestInstanceIni(settings));
  window_ = std::make_unique<window::qt::MainWindow>();
  server_ = std::make_unique<server::Server>(*window_, config::PathsForConfig(file));
  server_->startOperatorClient = withOperator;
  server_->sweepInterval = std::chrono::milliseconds(0);
  window_->AttachServer(server_.get());
  started_ = window_->StartServer();
  window_->show();
}

WindowFixture::~WindowFixture() {
  (void)Close();
  server_.reset();
  window_->AttachServer(nullptr);
  window_.reset();
}

std::unique_ptr<TestClient> WindowFixture::Registered(const std::string& nick) {
  auto client = Connect();
  if (!client->Connected() || !client->Register(nick)) return nullptr;
  return client;
}

std::array<std::unique_ptr<TestClient>, 2> WindowFixture::AnnAndBobListed() {
  auto clients = RegisteredAll(*this, {"ann", "bob"});
  if (clients[0] && !WaitUserRows({"ann", "bob"})) return {};
  return clients;
}

bool WindowFixture::WaitUserRows(const std::vector<std::string>& rows) {
  return WaitFor([&] {
    return window_->UserRows() == rows &&
           window_->UserList()->count() == static_cast<int>(rows.size());
  });
}

window::qt::ChannelPage* WindowFixture::JoinedPage(TestClient& client, const std::string& channel) {
  client.Send("JOIN " + channel);
  return WaitChannelPage(channel);
}

window::qt::ChannelPage* WindowFixture::WaitChannelPage(const std::string& name) {
  window::qt::ChannelPage* page = nullptr;
  (void)WaitFor([&] { return (page = window_->FindChannelPage(name)) != nullptr; });
  return page;
}

bool WindowFixture::Close() {
  if (!window_->isVisible()) return true;
  window_->close();
  return WaitFor([&] {
    if (window_->isVisible()) window_->close();
    return !window_->isVisible();
  });
}

std::string IniValue(const std::string& file, const std::string& section, const std::string& key) {
  std::ifstream in(file, std::ios::binary);
  std::string line;
  std::string current;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.size() >= 2 && line.front() == '[' && line.back() == ']') {
      current = line.substr(1, line.size() - 2);
    } else if (current == section && line.rfind(key + "=", 0) == 0) {
      return line.substr(key.size() + 1);
    }
  }
  return "<missing>";
}

}  // namespace zelkord::testing
