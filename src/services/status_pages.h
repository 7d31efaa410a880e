// The web status pages: with publishing switched on, a second listener
// answers HTTP/1.0 GET requests with a channel list page and one log page
// per channel, built from two HTML templates. Also the web request view:
// every received request line, bounded to 201 lines. The threads that
// accept the requests are the server's.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "base/bounded_lines.h"
#include "base/mutex.h"
#include "irc/desk.h"
#include "irc/protocol.h"

namespace zelkord::services {

inline constexpr std::size_t kRequestLineLimit = 1024;  // with its CR LF
inline constexpr std::size_t kTemplatePieceBytes = 511;
inline constexpr int kWebRequestTimeoutMs = 10000;  // for the whole request
inline constexpr int kMaxWebRequests = 64;          // served at once
inline constexpr std::string_view kListMarker = "<ZELKORD-LIST>";
inline constexpr std::string_view kLogMarker = "<ZELKORD-LOG>";
// The document a metrics collector asks for, when metrics are on.
inline constexpr std::string_view kMetricsDocument = "metrics";
// The index page's header cells, channel name, user count and topic, in
// Shift_JIS: "<TD>チャンネル名</TD><TD>ユーザ数</TD><TD>トピック</TD>"
inline constexpr std::string_view kIndexHeaderRow =
    "<TD>\x83`\x83\x83\x83\x93\x83l\x83\x8B\x96\xBC</TD><TD>\x83\x86\x81[\x83U\x90\x94</"
    "TD><TD>\x83g\x83s\x83"
    "b\x83N</TD>";

// The web request view, appended by web threads; own lock.
class WebRequestView {
 public:
  explicit WebRequestView(irc::Desk& desk) : desk_(desk) {}
  // Appends "[" + address + "]" + line. Any thread.
  void Append(std::string_view address, std::string_view line);
  // A copy of the lines. Any thread.
  [[nodiscard]] std::vector<std::string> Snapshot();

 private:
  irc::Desk& desk_;
  base::Mutex mutex_;
  base::BoundedLines lines_ GUARDED_BY(mutex_){200};
};

// "GET /" without a password, else "GET /" + the password upper-cased + "/".
[[nodiscard]] std::string RequestPrefix(std::string_view password);

// Writes to document what the request line names after the prefix (as
// received, not upper-cased), up to the first space. false when the line
// does not start with the prefix in any letter case. Any thread.
[[nodiscard]] bool DocumentName(std::string_view line, std::string_view prefix,
                                std::string& document);

// Escapes & < > " ' for HTML text and attribute values. Any thread.
[[nodiscard]] std::string EscapeHtml(std::string_view text);
// The log page's own replacement: "<" to "&lt", ">" to "&gt", nothing else.
[[nodiscard]] std::string EscapeLogLine(std::string_view text);

// Splits a template into the pieces it is sent in: lines of at most 511
// bytes, line ends (LF or CR LF) removed. Any thread.
[[nodiscard]] std::vector<std::string> TemplatePieces(std::string_view content);

// Reads, logs (in requests) and answers one request on socket (which the caller closes):
// the channel list page, one channel's log page, or, with metrics on, the
// text metrics() makes; silence for a request that names no page, stalls,
// does not start with the prefix, or asks for metrics at another local
// address than the one they are limited to. Takes the protocol lock only to
// copy what a page shows. The request's thread.
void ServeWebRequest(irc::ProtocolState& protocol, WebRequestView& requests, int socket,
                     const std::string& address, const std::function<std::string()>& metrics);

}  // namespace zelkord::services
