// TlsSession.cpp -- the TLS client: context from the settings, a socket BIO that never raises SIGPIPE, bounded handshake.
#include "TlsSession.h"

#include <arpa/inet.h>
#include <errno.h>
#include <string.h>
#include <poll.h>
#include <stdint.h>
#include <sys/socket.h>

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <mutex>

#include "RedisSettings.h"

namespace {

int SocketOf(BIO* bio) { return static_cast<int>(reinterpret_cast<intptr_t>(BIO_get_data(bio))); }

int BioWrite(BIO* bio, const char* data, int size) {
    BIO_clear_retry_flags(bio);
    ssize_t sent = send(SocketOf(bio), data, static_cast<size_t>(size), MSG_NOSIGNAL);
    if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) BIO_set_retry_write(bio);
    return static_cast<int>(sent);
}

int BioRead(BIO* bio, char* buffer, int size) {
    BIO_clear_retry_flags(bio);
    ssize_t got = recv(SocketOf(bio), buffer, static_cast<size_t>(size), 0);
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) BIO_set_retry_read(bio);
    return static_cast<int>(got);
}

long BioControl(BIO*, int command, long, void*) { return command == BIO_CTRL_FLUSH ? 1 : 0; }

int BioCreate(BIO* bio) {
    BIO_set_init(bio, 1);
    return 1;
}

BIO_METHOD* SocketMethod() {
    static std::once_flag made;
    static BIO_METHOD* method = nullptr;
    std::call_once(made, [] {
        method = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "kvevredis socket");
        if (!method) return;
        BIO_meth_set_write(method, BioWrite);
        BIO_meth_set_read(method, BioRead);
        BIO_meth_set_ctrl(method, BioControl);
        BIO_meth_set_create(method, BioCreate);
    });
    return method;
}

std::string OpenSslText(const char* what) {
    std::string text = what;
    unsigned long code = ERR_get_error();
    if (code) {
        char reason[256];
        ERR_error_string_n(code, reason, sizeof(reason));
        text += std::string(": ") + reason;
    }
    ERR_clear_error();
    return text;
}

bool WaitFor(int socket, bool write, ULONGLONG deadline) {
    const ULONGLONG now = GetTickCount64();
    if (now >= deadline) return false;
    pollfd p = {socket, static_cast<short>(write ? POLLOUT : POLLIN), 0};
    return poll(&p, 1, static_cast<int>(deadline - now)) > 0;
}

}  // namespace

std::unique_ptr<TlsSession> TlsSession::Start(int socket, const std::string& host, const RedisSettings& settings,
                                              ULONGLONG deadline, RedisError* error) {
    error->kind = Failure::kTls;
    ERR_clear_error();
    SSL_CTX* context = SSL_CTX_new(TLS_client_method());
    BIO_METHOD* method = SocketMethod();
    if (!context || !method) {
        if (context) SSL_CTX_free(context);
        error->text = OpenSslText("cannot set up TLS");
        return nullptr;
    }
    SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
    SSL_CTX_set_verify(context, SSL_VERIFY_PEER, nullptr);
    // A peer that closes without TLS's goodbye has closed all the same: Receive says 0.
    SSL_CTX_set_options(context, SSL_OP_IGNORE_UNEXPECTED_EOF);
    const bool authorities = settings.tlsCaFile.empty() ? SSL_CTX_set_default_verify_paths(context) == 1
                                                        : SSL_CTX_load_verify_locations(context, settings.tlsCaFile.c_str(), nullptr) == 1;
    std::string failed;
    if (!authorities) failed = OpenSslText(("cannot read the authorities of " + settings.tlsCaFile).c_str());
    if (failed.empty() && !settings.tlsCertFile.empty() &&
        SSL_CTX_use_certificate_chain_file(context, settings.tlsCertFile.c_str()) != 1)
        failed = OpenSslText(("cannot read the certificate " + settings.tlsCertFile).c_str());
    if (failed.empty() && !settings.tlsCertFile.empty() &&
        (SSL_CTX_use_PrivateKey_file(context, (settings.tlsKeyFile.empty() ? settings.tlsCertFile : settings.tlsKeyFile).c_str(),
                                     SSL_FILETYPE_PEM) != 1 ||
         SSL_CTX_check_private_key(context) != 1))
        failed = OpenSslText(("cannot use the key " + settings.tlsKeyFile).c_str());
    SSL* ssl = failed.empty() ? SSL_new(context) : nullptr;
    if (!ssl) {
        if (failed.empty()) failed = OpenSslText("cannot set up TLS");
        SSL_CTX_free(context);
        error->text = failed;
        return nullptr;
    }
    std::unique_ptr<TlsSession> session(new TlsSession(context, ssl));
    const std::string name = settings.tlsServerName.empty() ? host : settings.tlsServerName;
    BIO* bio = BIO_new(method);
    if (!bio) {
        error->text = OpenSslText("cannot set up TLS");
        return nullptr;
    }
    BIO_set_data(bio, reinterpret_cast<void*>(static_cast<intptr_t>(socket)));
    SSL_set_bio(ssl, bio, bio);
    SSL_set_mode(ssl, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    // An address is checked as an address, a name as a name (and sent for the server to choose
    // its certificate by).
    unsigned char raw[16];
    const bool isAddress = inet_pton(AF_INET, name.c_str(), raw) == 1 || inet_pton(AF_INET6, name.c_str(), raw) == 1;
    X509_VERIFY_PARAM* check = SSL_get0_param(ssl);
    if (isAddress ? X509_VERIFY_PARAM_set1_ip_asc(check, name.c_str()) != 1
                  : (SSL_set_tlsext_host_name(ssl, name.c_str()) != 1 || SSL_set1_host(ssl, name.c_str()) != 1)) {
        error->text = OpenSslText(("cannot check the name " + name).c_str());
        return nullptr;
    }
    for (;;) {
        ERR_clear_error();
        int result = SSL_connect(ssl);
        if (result == 1) return session;
        int reason = SSL_get_error(ssl, result);
        if ((reason == SSL_ERROR_WANT_READ || reason == SSL_ERROR_WANT_WRITE) &&
            WaitFor(socket, reason == SSL_ERROR_WANT_WRITE, deadline))
            continue;
        if (reason == SSL_ERROR_WANT_READ || reason == SSL_ERROR_WANT_WRITE) {
            error->kind = Failure::kTimeout;
            error->text = "no TLS handshake within the timeout";
            return nullptr;
        }
        long verified = SSL_get_verify_result(ssl);
        if (verified != X509_V_OK) {
            error->text = std::string("the server's certificate is not accepted: ") +
                          X509_verify_cert_error_string(verified) + " (expected name " + name + ")";
            ERR_clear_error();
        } else {
            error->text = OpenSslText("the TLS handshake failed");
        }
        return nullptr;
    }
}

void TlsSession::ReleaseThreadState() { OPENSSL_thread_stop(); }

TlsSession::~TlsSession() {
    SSL_free(mSsl);  // and the BIO, which leaves the socket to its owner
    SSL_CTX_free(mContext);
}

long TlsSession::Outcome(int result, bool* wantWrite, RedisError* error, const char* what) {
    if (result > 0) return result;
    int reason = SSL_get_error(mSsl, result);
    if (reason == SSL_ERROR_WANT_READ || reason == SSL_ERROR_WANT_WRITE) {
        *wantWrite = reason == SSL_ERROR_WANT_WRITE;
        errno = EAGAIN;
        return -1;
    }
    if (reason == SSL_ERROR_ZERO_RETURN) return 0;
    error->kind = Failure::kBroken;
    error->text = reason == SSL_ERROR_SYSCALL && errno ? std::string(what) + ": " + strerror(errno) : OpenSslText(what);
    ERR_clear_error();
    errno = EIO;
    return -1;
}

long TlsSession::Send(const char* data, size_t size, bool* wantWrite, RedisError* error) {
    ERR_clear_error();
    int chunk = size > (1u << 30) ? (1 << 30) : static_cast<int>(size);
    return Outcome(SSL_write(mSsl, data, chunk), wantWrite, error, "TLS write");
}

long TlsSession::Receive(char* buffer, size_t size, bool* wantWrite, RedisError* error) {
    ERR_clear_error();
    int chunk = size > (1u << 30) ? (1 << 30) : static_cast<int>(size);
    return Outcome(SSL_read(mSsl, buffer, chunk), wantWrite, error, "TLS read");
}
