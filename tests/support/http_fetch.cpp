// HTTP requests over real sockets.
#include "support/http_fetch.h"

#include "base/version.h"

namespace zelkord::testing {

const std::string kPageHeader =
    "HTTP/1.0 200 Document follows\r\nMIME-Version: 1.0\r\nServer: Zelkord/" +
    std::string(base::kVersion) + "\r\nConnection: Keep-Alive\r\n\r\n";
const std::string kIndexTemplate = "<html>\r\n<ZELKORD-LIST>\r\n</html>\r\n";
// LF line ends and no final one: the server sends every line with CR LF.
const std::string kLogTemplate = "<pre>\n<ZELKORD-LOG>\n</pre>";

std::string ReadToClose(TestClient& client, int timeoutMs) {
  std::string all;
  for (std::string line = client.ReadLine(timeoutMs); line != "<closed>" && line != "<timeout>";
       line = client.ReadLine(timeoutMs)) {
    all += line + "\r\n";
  }
  return all + client.TakeRest();
}

std::string Fetch(int port, const std::string& request, int timeoutMs, const std::string& host) {
  TestClient client(port, host);
  client.SendRaw(request);
  return ReadToClose(client, timeoutMs);
}

std::string Get(int port, const std::string& path) {
  return Fetch(port, "GET " + path + " HTTP/1.0\r\nHost: x\r\n\r\n");
}

WebServer::WebServer(SettingsMap extra) {
  extra.emplace("Web.Send", "Enable");
  extra.emplace("Web.Port", "0");
  extra.emplace("Web.IndexForm", files.Write("index.html", kIndexTemplate));
  extra.emplace("Web.LogForm", files.Write("log.html", kLogTemplate));
  server = std::make_unique<TestServer>(extra);
}

}  // namespace zelkord::testing
