// The session calls of the build without a TLS library, each failing; see openssl/ssl.h
// here for why none of them is ever reached with a real session.
#include <openssl/err.h>
#include <openssl/ssl.h>

SSL* SSL_new(SSL_CTX*) { return nullptr; }
void SSL_free(SSL*) {}
int SSL_set_fd(SSL*, int) { return 0; }
int SSL_accept(SSL*) { return -1; }
int SSL_connect(SSL*) { return -1; }
int SSL_read(SSL*, void*, int) { return -1; }
int SSL_peek(SSL*, void*, int) { return -1; }
int SSL_write(SSL*, const void*, int) { return -1; }
int SSL_get_error(const SSL*, int) { return SSL_ERROR_SSL; }
int SSL_has_pending(const SSL*) { return 0; }
int SSL_CTX_up_ref(SSL_CTX*) { return 0; }
void SSL_CTX_free(SSL_CTX*) {}

unsigned long ERR_get_error() { return 0; }
void ERR_clear_error() {}
char* ERR_error_string(unsigned long, char* buffer) {
    static char none[] = "TLS is not available in this build";
    return buffer ? buffer : none;
}
const char* ERR_lib_error_string(unsigned long) { return ""; }
const char* ERR_reason_error_string(unsigned long) { return ""; }
