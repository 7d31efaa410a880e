// The status pages from the outside: raw HTTP requests read until the
// server closes, and a test server with the pages on.
#pragma once

#include <memory>
#include <string>

#include "support/test_server.h"

namespace zelkord::testing {

// The header block every served page starts with.
extern const std::string kPageHeader;
// Small templates: the channel list and the log, each between fixed lines.
extern const std::string kIndexTemplate;
extern const std::string kLogTemplate;

// Everything the client receives until the server closes, as CR LF lines
// and then any tail without one (a body of LF lines).
[[nodiscard]] std::string ReadToClose(TestClient& client, int timeoutMs = kReadTimeoutMs);
// Sends the request bytes as given on a new connection to host and reads
// to the close.
[[nodiscard]] std::string Fetch(int port, const std::string& request,
                                int timeoutMs = kReadTimeoutMs,
                                const std::string& host = "127.0.0.1");
// A plain HTTP/1.0 GET of path.
[[nodiscard]] std::string Get(int port, const std::string& path);

// A test server with the status pages on, from the two small templates.
struct WebServer {
  TempDir files;
  std::unique_ptr<TestServer> server;
  explicit WebServer(SettingsMap extra = {});
  [[nodiscard]] int Port() const { return server->Server().WebPort(); }
};

}  // namespace zelkord::testing
