#pragma once
// The server end of a TLS session on an accepted socket, for tests that play a TLS server.
#include <gnutls/gnutls.h>

namespace kntest {

// Runs the handshake to its end; the caller checks the session's state and deinits it.
inline gnutls_session_t acceptTls(int fd, gnutls_certificate_credentials_t credentials, int* result = nullptr) {
    gnutls_session_t s;
    gnutls_init(&s, GNUTLS_SERVER | GNUTLS_NO_SIGNAL);
    gnutls_set_default_priority(s);
    gnutls_credentials_set(s, GNUTLS_CRD_CERTIFICATE, credentials);
    gnutls_transport_set_int(s, fd);
    int r = GNUTLS_E_AGAIN;
    while (r < 0 && !gnutls_error_is_fatal(r)) r = gnutls_handshake(s);
    if (result) *result = r;
    return s;
}

}  // namespace kntest
