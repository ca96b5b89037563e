#pragma once
// An HTTPS server on 127.0.0.1 for one request, with a throw-away certificate for "127.0.0.1" that
// a client trusts through certificateFile(). It answers whatever it is asked with the given reply.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <thread>

#include "LoopbackListener.h"
#include "TestSupport.h"

namespace testsupport {

class OneShotTlsServer {
 public:
  explicit OneShotTlsServer(std::string reply) : reply_(std::move(reply)) {
    key_ = EVP_EC_gen("P-256");
    certificate_ = selfSigned(key_);
    FILE* file = std::fopen(certificateFile().c_str(), "w");
    PEM_write_X509(file, certificate_);
    std::fclose(file);
    listener_ = listenOnLoopback(1, port_);
    thread_ = std::thread([this] { serveOne(); });
  }

  ~OneShotTlsServer() {
    ::shutdown(listener_, SHUT_RDWR);
    thread_.join();
    ::close(listener_);
    X509_free(certificate_);
    EVP_PKEY_free(key_);
  }

  std::string url(const std::string& path) const { return "https://127.0.0.1:" + std::to_string(port_) + path; }
  std::string certificateFile() const { return directory_.path() + "/certificate.pem"; }

 private:
  static X509* selfSigned(EVP_PKEY* key) {
    X509* certificate = X509_new();
    X509_set_version(certificate, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(certificate), 1);
    X509_gmtime_adj(X509_getm_notBefore(certificate), -3600);
    X509_gmtime_adj(X509_getm_notAfter(certificate), 3600);
    X509_set_pubkey(certificate, key);
    X509_NAME* name = X509_get_subject_name(certificate);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("127.0.0.1"), -1, -1, 0);
    X509_set_issuer_name(certificate, name);
    X509V3_CTX context;
    X509V3_set_ctx(&context, certificate, certificate, nullptr, nullptr, 0);
    const std::pair<int, const char*> extensions[] = {{NID_subject_alt_name, "IP:127.0.0.1"},
                                                       {NID_basic_constraints, "critical,CA:TRUE"}};
    for (const auto& [nid, value] : extensions) {
      X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value);
      X509_add_ext(certificate, extension, -1);
      X509_EXTENSION_free(extension);
    }
    X509_sign(certificate, key, EVP_sha256());
    return certificate;
  }

  // Accepts one connection (or gives up after 30 seconds), reads the request head, replies.
  void serveOne() {
    pollfd waiting{listener_, POLLIN, 0};
    if (::poll(&waiting, 1, 30000) != 1 || !(waiting.revents & POLLIN)) return;
    int connection = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (connection < 0) return;
    SSL_CTX* context = SSL_CTX_new(TLS_server_method());
    SSL_CTX_use_certificate(context, certificate_);
    SSL_CTX_use_PrivateKey(context, key_);
    SSL* session = SSL_new(context);
    SSL_set_fd(session, connection);
    if (SSL_accept(session) == 1) {
      std::string head;
      char buffer[1024];
      int n = 0;
      while (head.find("\r\n\r\n") == std::string::npos && (n = SSL_read(session, buffer, sizeof buffer)) > 0) {
        head.append(buffer, static_cast<size_t>(n));
      }
      SSL_write(session, reply_.data(), static_cast<int>(reply_.size()));
      SSL_shutdown(session);
    }
    SSL_free(session);
    SSL_CTX_free(context);
    ::close(connection);
  }

  std::string reply_;
  TempDir directory_;
  EVP_PKEY* key_ = nullptr;
  X509* certificate_ = nullptr;
  int listener_ = -1;
  int port_ = 0;
  std::thread thread_;
};

}  // namespace testsupport
