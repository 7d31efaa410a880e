// In-process test servers in temporary instance folders.
#include "support/test_server.h"

#include "support/wait.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <utility>

namespace zelkord::testing {
namespace {

void RemoveTree(const std::string& path) {
  if (DIR* dir = opendir(path.c_str())) {
    while (dirent* entry = readdir(dir)) {
      const std::string name = entry->d_name;
      if (name == "." || name == "..") continue;
      const std::string child = path + "/" + name;
      struct stat info {};
      if (lstat(child.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
        RemoveTree(child);
      } else {
        unlink(child.c_str());
      }
    }
    closedir(dir);
  }
  rmdir(path.c_str());
}

}  // namespace

TempDir::TempDir() {
  char pattern[] = "/tmp/zelkord-test-XXXXXX";
  const char* made = mkdtemp(pattern);
  path_ = made != nullptr ? std::string(made) + "/" : "/tmp/";
}

TempDir::~TempDir() {
  if (path_ != "/tmp/") RemoveTree(path_.substr(0, path_.size() - 1));
}

std::string TempDir::Write(const std::string& name, const std::string& bytes) const {
  WriteFile(path_ + name, bytes);
  return path_ + name;
}

std::string TempDir::Read(const std::string& name) const {
  return ReadFile(path_ + name);
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream content;
  content << in.rdbuf();
  return content.str();
}

void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

void RecordingDesk::Record(std::string event) {
  std::lock_guard lock(mutex_);
  events_.push_back(std::move(event));
}

void RecordingDesk::UserListChanged(std::string_view what, std::string_view nick) {
  Record("user " + std::string(what) + " " + std::string(nick));
}

void RecordingDesk::ChannelAdded(std::string_view name) {
  Record("channel+ " + std::string(name));
}

void RecordingDesk::ChannelRemoved(std::string_view name) {
  Record("channel- " + std::string(name));
}

void RecordingDesk::EncodingChanged(int slot, std::string_view text) {
  Record("encoding " + std::to_string(slot) + " " + std::string(text));
}

void RecordingDesk::AwayChanged(std::string_view nick, std::string_view awayText) {
  Record("away " + std::string(nick) + " " + std::string(awayText));
}

void RecordingDesk::ShowError(std::string_view text) {
  std::lock_guard lock(mutex_);
  errors_.emplace_back(text);
}

void RecordingDesk::ShowWarning(std::string_view text) {
  std::lock_guard lock(mutex_);
  warnings_.emplace_back(text);
}

std::vector<std::string> RecordingDesk::Warnings() {
  std::lock_guard lock(mutex_);
  return warnings_;
}

std::vector<std::string> RecordingDesk::Events() {
  std::lock_guard lock(mutex_);
  return events_;
}

std::vector<std::string> RecordingDesk::Errors() {
  std::lock_guard lock(mutex_);
  return errors_;
}

bool JoinAll(const std::vector<TestClient*>& clients, const std::string& channel) {
  bool all = true;
  std::vector<TestClient*> joined;
  for (TestClient* client : clients) {
    all = client->Join(channel) && all;
    for (TestClient* earlier : joined) (void)earlier->ReadLine();  // the new member's JOIN
    joined.push_back(client);
  }
  return all;
}

std::string TestInstanceIni(const SettingsMap& settings) {
  SettingsMap all = settings;
  all.emplace("Server.Port", "0");
  std::map<std::string, std::vector<std::string>> sections;
  for (const auto& [name, value] : all) {
    const std::size_t dot = name.find('.');
    sections[name.substr(0, dot)].push_back(name.substr(dot + 1) + "=" + value);
  }
  std::vector<std::string> lines;
  for (const auto& [section, entries] : sections) {
    lines.push_back("[" + section + "]");
    lines.insert(lines.end(), entries.begin(), entries.end());
  }
  return IniText(lines);
}

std::string FirstStartIni(const std::string& settingsFile, const SettingsMap& given) {
  const config::Settings defaults = config::DefaultSettings(config::PathsForConfig(settingsFile));
  // The page's keys come first, then the two sections of their own, then
  // the keys set only in the file (the colours among them): those of a
  // section the file already holds go at its end, as the file is written.
  std::vector<std::pair<std::string, std::vector<std::string>>> sections;
  const auto add = [&](const std::string& name, std::string line) {
    auto at = std::find_if(sections.begin(), sections.end(),
                           [&](const auto& section) { return section.first == name; });
    if (at == sections.end()) at = sections.insert(sections.end(), {name, {}});
    at->second.push_back(std::move(line));
  };
  const auto keys = [&](bool onPage) {
    for (const config::SettingsKey& row : config::kSettingsTable) {
      if ((row.field.page != config::SettingsPageId::None) != onPage) continue;
      const auto value = given.find(config::KeyName(row));
      add(row.section, std::string(row.key) + "=" +
                           (value != given.end() ? value->second : defaults.*row.value));
    }
  };
  keys(true);
  add("BanList", "Count=0");
  for (const char* line : {"Top=100", "Left=100", "Height=386", "Width=546"}) add("Position", line);
  keys(false);
  std::vector<std::string> lines;
  for (const auto& [name, entries] : sections) {
    lines.push_back("[" + name + "]");
    lines.insert(lines.end(), entries.begin(), entries.end());
    lines.emplace_back();
  }
  return IniText(lines);
}

int EntriesIn(const std::string& folder) {
  int count = 0;
  if (DIR* dir = opendir(folder.c_str())) {
    while (dirent* entry = readdir(dir)) {
      const std::string name = entry->d_name;
      if (name != "." && name != "..") ++count;
    }
    closedir(dir);
  }
  return count;
}

std::string IniText(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) text.append(line).append("\r\n");
  return text;
}

TestServer::TestServer(const SettingsMap& settings, bool withOperator) {
  const std::string file = dir_.Write("zelkord.INI", TestInstanceIni(settings));
  // Parked after a short silence, so every test's pauses take connections
  // through the parking lot and back.
  server::ServerOptions options;
  options.parkAfter = std::chrono::milliseconds(20);
  server_ = std::make_unique<server::Server>(desk_, config::PathsForConfig(file), options);
  server_->startOperatorClient = withOperator;
  server_->sweepInterval = std::chrono::milliseconds(0);  // tests run sweeps themselves
  started_ = server_->Start();
}

TestServer::~TestServer() {
  Stop();
}

void TestServer::Stop() {
  if (!server_) return;
  server_->ShutDown();
  server_->WaitDrained();
  server_.reset();
}

std::vector<std::string> TestServer::View(const std::string& channel) {
  std::vector<std::string> lines;
  irc::ProtocolLock lock(server_->protocol);
  const int index = server_->protocol.channels->FindChannel(channel);
  if (index < 0) return lines;
  for (const std::string& line : server_->protocol.channels->Entry(index).view.Copy()) {
    const bool stamped = line.size() >= 6 && std::isdigit(static_cast<unsigned char>(line[0])) &&
                         std::isdigit(static_cast<unsigned char>(line[1])) && line[2] == ':' &&
                         std::isdigit(static_cast<unsigned char>(line[3])) &&
                         std::isdigit(static_cast<unsigned char>(line[4])) && line[5] == ' ';
    lines.push_back(stamped ? line.substr(6) : "<no stamp> " + line);
  }
  return lines;
}

bool TestServer::WaitRegistered(int count) {
  return WaitUntil([&] {
    irc::ProtocolLock lock(server_->protocol);
    return server_->protocol.users->RegisteredCount() == count;
  });
}

std::vector<std::string> TestServer::Channels() {
  std::vector<std::string> names;
  irc::ProtocolLock lock(server_->protocol);
  for (int i = 0; i < server_->protocol.channels->Count(); ++i)
    names.push_back(server_->protocol.channels->ChannelName(i));
  return names;
}

std::unique_ptr<TestClient> TestServer::RegisteredWith(const std::string& nick,
                                                       const std::string& capabilities) {
  auto client = Connect();
  client->Send("CAP REQ :" + capabilities);
  if (client->ReadLine().find(" ACK :") == std::string::npos) return nullptr;
  client->Send("CAP END");
  if (!client->Register(nick)) return nullptr;
  return client;
}

std::unique_ptr<TestClient> TestServer::Registered(const std::string& nick) {
  auto client = Connect();
  if (!client->Register(nick)) return nullptr;
  return client;
}

}  // namespace zelkord::testing
