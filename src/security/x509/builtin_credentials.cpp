#include "security/x509/builtin_credentials.h"

// A 512-bit RSA key pair and a self-signed certificate for it (common name
// "zelkit server"), used when no server credentials are configured.
namespace zelkit::detail {

const char* const kBuiltinPrivateKeyBody =
    "MIIBOgIBAAJBANUrQ5XMiZ9o4NgOIeK0/KQvVoNuAjrlEU55oMOM76WHj1Xy+IKs\n"
    "szq0PltcLItXCEOe6a1fMsROrVBRSq2MA58CAwEAAQJAUQUxmeT0xdbp5pRwgqdB\n"
    "gvHPEwMj69iWnFoUJV8S0rmiI1m+1Ff5jdSawG0mjgRVwn6BqIbH98uD0zFIcfr+\n"
    "wQIhAP5cmspM0pMcQqju3zpxLFzw+tW+CY/Vw/dnC17rHGq/AiEA1oq9e6uXkew0\n"
    "wYi7PL7NOBLd6uWY6ER/Q/VT0djy/yECIEU3mf+3DA5wQEuMRT64EWRxRzDm998m\n"
    "Qp+OcO+xdxgtAiACDXPAoiSiFcNvcpJwA1dNSQjsfWPYHQemq8swf8XbYQIhAOc3\n"
    "R6vI4XTQ15s5MhenAutZrtYkKikhReCSsIyjXohJ\n";

const char* const kBuiltinCertificateBody =
    "MIIBhzCCATGgAwIBAgIUFUAfxe0Z3qMoalkLpWUFmcljsAcwDQYJKoZIhvcNAQEL\n"
    "BQAwGDEWMBQGA1UEAwwNemVsa2l0IHNlcnZlcjAeFw0yNjEyMTAwOTQ3MDNaFw00\n"
    "ODExMDQwOTQ3MDNaMBgxFjAUBgNVBAMMDXplbGtpdCBzZXJ2ZXIwXDANBgkqhkiG\n"
    "9w0BAQEFAANLADBIAkEA1StDlcyJn2jg2A4h4rT8pC9Wg24COuURTnmgw4zvpYeP\n"
    "VfL4gqyzOrQ+W1wsi1cIQ57prV8yxE6tUFFKrYwDnwIDAQABo1MwUTAdBgNVHQ4E\n"
    "FgQUoNZA7F4OCT1aEwardPot3NuoHiUwHwYDVR0jBBgwFoAUoNZA7F4OCT1aEwar\n"
    "dPot3NuoHiUwDwYDVR0TAQH/BAUwAwEB/zANBgkqhkiG9w0BAQsFAANBACmE2HHs\n"
    "xtgea3HhbUHbIDOevGuS2les+/gYy37Jvs78MTmrwZ3JtzCoyRygUIcweMDg9fdu\n"
    "iszi28lfOoAPPtE=\n";

}  // namespace zelkit::detail
