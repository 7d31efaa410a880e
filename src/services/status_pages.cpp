// Web status pages: request handling, templates, generated parts.
#include "services/status_pages.h"

#include <sys/socket.h>
#include <sys/time.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <sstream>

#include "base/sjis.h"
#include "config/settings.h"
#include "irc/protocol.h"
#include "net/tcp.h"

namespace zelkord::services {
namespace {

// How early a timed-out read may report, against the request's deadline.
constexpr int kStallSlackMs = 2;

constexpr std::string_view kHeaderLines[] = {
    "HTTP/1.0 200 Document follows",
    "MIME-Version: 1.0",
};
// In place of the first header line and the page when its template cannot
// be read; the path stays in the console line, not on the public page.
constexpr std::string_view kMissingTemplateStatus = "HTTP/1.0 500 Template missing";
constexpr std::string_view kMissingTemplateBody =
    "<HTML><BODY>This page's template is missing or cannot be read.</BODY></HTML>\r\n";

struct ChannelRow {
  std::string name;
  int members = 0;
  std::string topic;
};

// The channel list as it is at one moment, read under the protocol lock.
std::vector<ChannelRow> ChannelRows(irc::ProtocolState& protocol) {
  std::vector<ChannelRow> rows;
  irc::ProtocolLock lock(protocol);
  const irc::ChannelTable& table = *protocol.channels;
  for (int index = 0; index < table.Count(); ++index) {
    if (table.Entry(index).modes.Has('s')) continue;  // a secret channel is not listed
    const std::string name = table.ChannelName(index);
    rows.push_back({name, table.MemberCount(index), table.GetTopic(name)});
  }
  return rows;
}

// The view of "#" + document, or nothing when there is no such channel or
// it is secret.
bool ChannelView(irc::ProtocolState& protocol, const std::string& name,
                 std::vector<std::string>& view) {
  irc::ProtocolLock lock(protocol);
  const int index = protocol.channels->FindChannel(name);
  if (index < 0 || protocol.channels->Entry(index).modes.Has('s')) return false;
  view = protocol.channels->Entry(index).view.Copy();
  return true;
}

std::string IndexPart(const std::vector<ChannelRow>& rows) {
  std::string part = "<TABLE BORDER=\"2\">\r\n<TR>";
  part.append(kIndexHeaderRow).append("</TR>\r\n");
  for (const ChannelRow& row : rows) {
    const std::string link =
        EscapeHtml(std::string_view(row.name).substr(row.name.empty() ? 0 : 1));
    part.append("<TR><TD><A HREF=\"").append(link).append("\">").append(EscapeHtml(row.name));
    part.append("</A></TD><TD>").append(std::to_string(row.members)).append("</TD><TD>");
    part.append(EscapeHtml(row.topic)).append("</TD></TR>\r\n");
  }
  part.append("</TABLE>\r\n");
  return part;
}

std::string LogPart(const std::vector<std::string>& view) {
  std::string part;
  for (const std::string& line : view) part.append(EscapeLogLine(line)).append("\r\n");
  return part;
}

// Sends the header block and the template with its markers replaced, or a
// short error page when the template cannot be read.
void ServePage(irc::ProtocolState& protocol, int socket, const std::string& templatePath,
               std::string_view marker, const std::string& generated) {
  std::ifstream file;
  if (config::UnreadableFile(templatePath).empty()) file.open(templatePath, std::ios::binary);
  const bool readable = file.is_open();
  std::string response(readable ? kHeaderLines[0] : kMissingTemplateStatus);
  response.append("\r\n").append(kHeaderLines[1]).append("\r\n");
  response.append("Server: Zelkord/").append(protocol.settings.programVersion).append("\r\n");
  response.append("Connection: Keep-Alive\r\n\r\n");
  if (!readable) {
    response.append(kMissingTemplateBody);
  } else {
    std::stringstream content;
    content << file.rdbuf();
    for (const std::string& piece : TemplatePieces(content.str())) {
      if (piece.compare(0, marker.size(), marker) == 0) {
        response.append(generated);
      } else {
        response.append(piece).append("\r\n");
      }
    }
  }
  // A client that stops reading is given up on by the send timeout.
  (void)net::TcpSend(socket, response);
}

void ServeMetrics(irc::ProtocolState& protocol, int socket, const std::string& text) {
  std::string response = "HTTP/1.0 200 OK\r\n";
  response.append("Content-Type: text/plain; version=0.0.4; charset=utf-8\r\n");
  response.append("Content-Length: ").append(std::to_string(text.size())).append("\r\n");
  response.append("Server: Zelkord/").append(protocol.settings.programVersion).append("\r\n\r\n");
  response.append(text);
  (void)net::TcpSend(socket, response);  // as for a page
}

// Reads, logs and answers one request. The socket's thread only.
void HandleRequest(irc::ProtocolState& protocol, WebRequestView& requests, int socket,
                   const std::string& address, const std::function<std::string()>& metrics) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(kWebRequestTimeoutMs);
  auto leftMs = [&] {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
  };
  net::LineReader reader(socket, kRequestLineLimit);
  std::string line;
  if (reader.ReceiveLine(line, kRequestLineLimit, leftMs()) < 0) return;
  requests.Append(address, line);
  // Copied once: a reload may replace them meanwhile.
  std::string passWord, indexForm, logForm, metricsAddress;
  bool metricsOn = false;
  {
    irc::ProtocolLock lock(protocol);
    passWord = protocol.live.webPassWord;
    indexForm = protocol.live.webIndexForm;
    logForm = protocol.live.webLogForm;
    metricsOn = protocol.live.metrics;
    metricsAddress = protocol.live.metricsAddress;
  }
  std::string document;
  if (!DocumentName(line, RequestPrefix(passWord), document)) return;

  // Metrics limited to one local address answer elsewhere as if they were
  // served only there: nothing.
  const bool metricsPage = metricsOn && document == kMetricsDocument;
  if (metricsPage && !metricsAddress.empty() && net::LocalAddressText(socket) != metricsAddress) {
    return;
  }
  const bool index =
      !metricsPage && (document.empty() || base::EqualsFolded(document, "INDEX.HTML"));
  std::vector<std::string> view;
  if (!metricsPage && !index && !ChannelView(protocol, "#" + document, view)) {
    return;  // no such page: silence
  }

  // The rest of the request, up to its empty line. A client that stalls
  // before it is dropped unanswered; one that closes early is answered.
  for (;;) {
    const int length = reader.ReceiveLine(line, kRequestLineLimit, leftMs());
    if (length < 0) {
      // The reader's clock rounds down like leftMs, so a stall can end up to
      // two milliseconds before this deadline: it is still a stall.
      if (leftMs() <= kStallSlackMs) return;
      break;
    }
    requests.Append(address, line);
    if (length == 0) break;
  }
  if (metricsPage) {
    ServeMetrics(protocol, socket, metrics());
  } else if (index) {
    ServePage(protocol, socket, indexForm, kListMarker, IndexPart(ChannelRows(protocol)));
  } else {
    // Read again at sending time: the page shows the view as it is now.
    if (!ChannelView(protocol, "#" + document, view)) view.clear();
    ServePage(protocol, socket, logForm, kLogMarker, LogPart(view));
  }
}

}  // namespace

void ServeWebRequest(irc::ProtocolState& protocol, WebRequestView& requests, int socket,
                     const std::string& address, const std::function<std::string()>& metrics) {
  timeval sendTimeout{kWebRequestTimeoutMs / 1000, 0};
  (void)setsockopt(socket, SOL_SOCKET, SO_SNDTIMEO, &sendTimeout, sizeof sendTimeout);
  HandleRequest(protocol, requests, socket, address, metrics);
}

void WebRequestView::Append(std::string_view address, std::string_view line) {
  std::string entry;
  entry.reserve(address.size() + line.size() + 2);
  entry.append("[").append(address).append("]").append(line);
  {
    base::MutexLock lock(mutex_);
    lines_.Append(entry);
  }
  desk_.WebRequestLogged(entry);
}

std::vector<std::string> WebRequestView::Snapshot() {
  base::MutexLock lock(mutex_);
  return lines_.Copy();
}

std::string RequestPrefix(std::string_view password) {
  if (password.empty()) return "GET /";
  return "GET /" + base::UpperCase(password) + "/";
}

bool DocumentName(std::string_view line, std::string_view prefix, std::string& document) {
  if (line.size() < prefix.size()) return false;
  if (base::UpperCase(line.substr(0, prefix.size())) != prefix) return false;
  const std::string_view rest = line.substr(prefix.size());
  document.assign(rest.substr(0, rest.find(' ')));
  return true;
}

std::string EscapeHtml(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&':
        out.append("&amp;");
        break;
      case '<':
        out.append("&lt;");
        break;
      case '>':
        out.append("&gt;");
        break;
      case '"':
        out.append("&quot;");
        break;
      case '\'':
        out.append("&#39;");
        break;
      default:
        out.push_back(c);
    }
  }
  return out;
}

std::string EscapeLogLine(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    if (c == '<') {
      out.append("&lt");
    } else if (c == '>') {
      out.append("&gt");
    } else {
      out.push_back(c);
    }
  }
  return out;
}

std::vector<std::string> TemplatePieces(std::string_view content) {
  std::vector<std::string> pieces;
  while (!content.empty()) {
    // Like a line read into a 512-byte buffer: up to and including a line
    // break, at most 511 bytes.
    std::size_t take = content.find('\n');
    take = take == std::string_view::npos ? content.size() : take + 1;
    if (take > kTemplatePieceBytes) take = kTemplatePieceBytes;
    std::string piece(content.substr(0, take));
    content.remove_prefix(take);
    if (!piece.empty() && piece.back() == '\n') {
      piece.pop_back();
      if (!piece.empty() && piece.back() == '\r') piece.pop_back();
    }
    pieces.push_back(std::move(piece));
  }
  return pieces;
}

}  // namespace zelkord::services
