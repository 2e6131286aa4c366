#pragma once

// The build without a TLS library (Windows). These declarations stand in for the calls the
// transport makes on sessions; NoTls.cpp defines every one of them as a failure. None can
// succeed, since no context exists to make a session from: TlsContext refuses to create a
// server context ("TLS is not available in this build") and hands out an empty client one,
// and a connection negotiates TLS only with a context.

struct ssl_st;
struct ssl_ctx_st;
typedef struct ssl_st SSL;
typedef struct ssl_ctx_st SSL_CTX;

#define SSL_ERROR_SSL 1
#define SSL_ERROR_WANT_READ 2
#define SSL_ERROR_WANT_WRITE 3
#define SSL_ERROR_SYSCALL 5
#define SSL_ERROR_ZERO_RETURN 6

SSL* SSL_new(SSL_CTX* context);
void SSL_free(SSL* ssl);
int SSL_set_fd(SSL* ssl, int socket);
int SSL_accept(SSL* ssl);
int SSL_connect(SSL* ssl);
int SSL_read(SSL* ssl, void* buffer, int count);
int SSL_peek(SSL* ssl, void* buffer, int count);
int SSL_write(SSL* ssl, const void* buffer, int count);
int SSL_get_error(const SSL* ssl, int result);
int SSL_has_pending(const SSL* ssl);
int SSL_CTX_up_ref(SSL_CTX* context);
void SSL_CTX_free(SSL_CTX* context);
