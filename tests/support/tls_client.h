// TLS for tests: certificates made at test time, and clients that connect
// over TLS (with or without a certificate of their own) and are then used
// like any TestClient.
#pragma once

#include <memory>
#include <string>

#include "support/test_client.h"
#include "support/test_server.h"

namespace zelkord::testing {

// A self-signed certificate and its key, as PEM.
struct TestCertificate {
  std::string certificatePem;
  std::string keyPem;
  std::string fingerprint;  // SHA-256 of the certificate, lowercase hex
};

// A new P-256 key and a certificate for it, valid from now for a day.
[[nodiscard]] TestCertificate MakeCertificate(long serial, const std::string& commonName);

// What a TLS client saw of the server.
struct TlsPeer {
  long serial = -1;     // the server certificate's serial number
  std::string version;  // "TLSv1.3", ...
};

// Connects to 127.0.0.1:port and completes a TLS handshake, offering
// clientCertificate when given and at most maxVersion (0: any). nullptr
// when the handshake fails. peer, when given, receives what was seen.
[[nodiscard]] std::unique_ptr<TestClient> ConnectTls(
    int port, const TestCertificate* clientCertificate = nullptr, TlsPeer* peer = nullptr,
    int maxVersion = 0);

// Connects over TLS and registers (reading the welcome burst); nullptr when
// either fails.
[[nodiscard]] std::unique_ptr<TestClient> RegisteredTls(
    int port, const std::string& nick, const TestCertificate* certificate = nullptr);

// The settings of a TLS port chosen by the kernel, with a new pair written
// into keys (absolute paths: a test server's own folder exists only once
// it runs).
[[nodiscard]] SettingsMap TlsPortSettings(const TempDir& keys);

}  // namespace zelkord::testing
