// Certificates and TLS clients for tests, over OpenSSL.
#include "support/tls_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <functional>
#include <thread>

#include "net/tls.h"

namespace zelkord::testing {
namespace {

std::string Pem(const std::function<int(BIO*)>& write) {
  BIO* bio = BIO_new(BIO_s_mem());
  std::string text;
  if (write(bio) == 1) {
    char* data = nullptr;
    const long length = BIO_get_mem_data(bio, &data);
    text.assign(data, static_cast<std::size_t>(length));
  }
  BIO_free(bio);
  return text;
}

template <typename T>
T* FromPem(const std::string& pem, T* (*read)(BIO*, T**, pem_password_cb*, void*)) {
  BIO* bio = BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()));
  T* object = read(bio, nullptr, nullptr, nullptr);
  BIO_free(bio);
  return object;
}

}  // namespace

TestCertificate MakeCertificate(long serial, const std::string& commonName) {
  EVP_PKEY* key = EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256");
  X509* certificate = X509_new();
  (void)X509_set_version(certificate, 2);
  (void)ASN1_INTEGER_set(X509_get_serialNumber(certificate), serial);
  (void)X509_gmtime_adj(X509_getm_notBefore(certificate), -60);
  (void)X509_gmtime_adj(X509_getm_notAfter(certificate), 24 * 60 * 60);
  X509_NAME* name = X509_get_subject_name(certificate);
  (void)X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                                   reinterpret_cast<const unsigned char*>(commonName.c_str()), -1,
                                   -1, 0);
  (void)X509_set_issuer_name(certificate, name);
  (void)X509_set_pubkey(certificate, key);
  (void)X509_sign(certificate, key, EVP_sha256());
  TestCertificate made;
  made.certificatePem = Pem([&](BIO* bio) { return PEM_write_bio_X509(bio, certificate); });
  made.keyPem = Pem([&](BIO* bio) {
    return PEM_write_bio_PrivateKey(bio, key, nullptr, nullptr, 0, nullptr, nullptr);
  });
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  (void)X509_digest(certificate, EVP_sha256(), digest, &length);
  for (unsigned int i = 0; i < length; ++i) {
    constexpr char kDigits[] = "0123456789abcdef";
    made.fingerprint.push_back(kDigits[digest[i] >> 4]);
    made.fingerprint.push_back(kDigits[digest[i] & 15]);
  }
  X509_free(certificate);
  EVP_PKEY_free(key);
  return made;
}

std::unique_ptr<TestClient> ConnectTls(int port, const TestCertificate* clientCertificate,
                                       TlsPeer* peer, int maxVersion) {
  // The library writes with write(): a server that closes first must not
  // kill a test process that never started a server of its own.
  signal(SIGPIPE, SIG_IGN);
  const int socket = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const timeval deadline{kReadTimeoutMs / 1000, 0};
  (void)setsockopt(socket, SOL_SOCKET, SO_RCVTIMEO, &deadline, sizeof deadline);
  SSL_CTX* context = SSL_CTX_new(TLS_client_method());
  if (maxVersion != 0) (void)SSL_CTX_set_max_proto_version(context, maxVersion);
  if (clientCertificate != nullptr) {
    X509* certificate = FromPem(clientCertificate->certificatePem, PEM_read_bio_X509);
    EVP_PKEY* key = FromPem(clientCertificate->keyPem, PEM_read_bio_PrivateKey);
    (void)SSL_CTX_use_certificate(context, certificate);
    (void)SSL_CTX_use_PrivateKey(context, key);
    X509_free(certificate);
    EVP_PKEY_free(key);
  }
  SSL* session = SSL_new(context);
  SSL_CTX_free(context);  // the session holds it
  const bool shaken = socket >= 0 &&
                      connect(socket, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
                      SSL_set_fd(session, socket) == 1 && SSL_connect(session) == 1;
  int pair[2];
  if (!shaken || !MakeSocketPair(pair)) {
    SSL_free(session);
    if (socket >= 0) close(socket);
    return nullptr;
  }
  if (peer != nullptr) {
    X509* certificate = SSL_get1_peer_certificate(session);
    peer->serial =
        certificate != nullptr ? ASN1_INTEGER_get(X509_get_serialNumber(certificate)) : -1;
    X509_free(certificate);
    peer->version = SSL_get_version(session);
  }
  std::thread relay([session, socket, plain = pair[1]] {
    (void)net::RelayTls(session, socket, plain);
    SSL_free(session);
    close(socket);
    close(plain);
  });
  return std::make_unique<TestClient>(pair[0], std::move(relay));
}

std::unique_ptr<TestClient> RegisteredTls(int port, const std::string& nick,
                                          const TestCertificate* certificate) {
  auto client = ConnectTls(port, certificate);
  if (client == nullptr || !client->Register(nick)) return nullptr;
  return client;
}

SettingsMap TlsPortSettings(const TempDir& keys) {
  const TestCertificate pair = MakeCertificate(1, "zelkord test");
  return {{"Server.TlsPort", "0"},
          {"Server.TlsCertificate", keys.Write("server.crt", pair.certificatePem)},
          {"Server.TlsKey", keys.Write("server.key", pair.keyPem)}};
}

}  // namespace zelkord::testing
