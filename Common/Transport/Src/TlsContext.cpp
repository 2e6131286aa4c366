#include "TlsContext.h"

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>

#include <mutex>

#include "LogCall.h"
#include "TcpSocket.h"

namespace brondal {

namespace {

// OpenSSL 3 initialises itself and locks internally; what remains worth doing once is
// loading the error strings, so that logged failures read as text.
void InitializeLibraryOnce() {
    static std::once_flag once;
    std::call_once(once, [] {
        // The library writes to our sockets with write(): a peer that resets mid-record must
        // fail that write, not end the process.
        platform::TcpIgnoreBrokenPipes();
        OPENSSL_init_ssl(OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS, nullptr);
    });
}

struct BioDeleter {
    void operator()(BIO* bio) const { BIO_free(bio); }
};
using BioPtr = std::unique_ptr<BIO, BioDeleter>;

BioPtr MemoryBio(const std::string& text) {
    return BioPtr(BIO_new_mem_buf(text.data(), static_cast<int>(text.size())));
}

}  // namespace

TlsContext::~TlsContext() { SSL_CTX_free(context_); }

Result TlsContext::Create(bool server, std::unique_ptr<TlsContext>* context) {
    InitializeLibraryOnce();
    SSL_CTX* created = SSL_CTX_new(server ? TLS_server_method() : TLS_client_method());
    if (created == nullptr || SSL_CTX_set_min_proto_version(created, TLS1_2_VERSION) != 1 ||
        SSL_CTX_set_max_proto_version(created, TLS1_2_VERSION) != 1) {
        SSL_CTX_free(created);
        return LOG_REPORT_ERROR(ResultFail, "Unable to create SSL context");
    }
    // Writers resume a write the socket could not take at once with the rest of the frame,
    // from wherever their buffer lives by then.
    SSL_CTX_set_mode(created, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    context->reset(new TlsContext(created));
    return ResultOk;
}

Result TlsContext::CreateClient(std::unique_ptr<TlsContext>* context) {
    return Create(false, context);
}

Result TlsContext::CreateServer(const TlsSettings& settings, std::unique_ptr<TlsContext>* context) {
    std::unique_ptr<TlsContext> created;
    Result result = Create(true, &created);
    if (Failed(result)) return result;
    SSL_CTX* ctx = created->Get();
    if (!settings.cipherList.empty() &&
        SSL_CTX_set_cipher_list(ctx, settings.cipherList.c_str()) != 1) {
        return LOG_REPORT_ERROR(ResultFail, "Failed to set cipher list");
    }
    BioPtr certificateBio = MemoryBio(settings.certificate);
    X509* certificate = certificateBio
                            ? PEM_read_bio_X509(certificateBio.get(), nullptr, nullptr, nullptr)
                            : nullptr;
    const bool certificateInstalled =
        certificate != nullptr && SSL_CTX_use_certificate(ctx, certificate) == 1;
    X509_free(certificate);
    if (!certificateInstalled) return LOG_REPORT_ERROR(ResultFail, "Unable to load cert");

    BioPtr keyBio = MemoryBio(settings.privateKey);
    EVP_PKEY* key =
        keyBio ? PEM_read_bio_PrivateKey(keyBio.get(), nullptr, nullptr, nullptr) : nullptr;
    if (key == nullptr) return LOG_REPORT_ERROR(ResultFail, "Unable to load pk");
    // Installing checks the key against the certificate.
    const bool keyInstalled = SSL_CTX_use_PrivateKey(ctx, key) == 1;
    EVP_PKEY_free(key);
    if (!keyInstalled) return LOG_REPORT_ERROR(ResultFail, "Unable to load cert");
    *context = std::move(created);
    return ResultOk;
}

}  // namespace brondal
