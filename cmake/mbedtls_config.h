/* mbedTLS configuration for karvo's HTTPS exporter: a TLS 1.2 and 1.3 server
 * with X.509 certificates (RSA or ECDSA keys in PEM), optional client
 * certificates, and nothing else. No client side, no PSK, no session tickets,
 * no renegotiation, no file or network helpers (karvo reads the files and owns
 * the sockets). Used by scripts/mbedtls.sh for the static builds and by karvo's
 * sources that include mbedTLS headers (MBEDTLS_CONFIG_FILE). */
#ifndef KARVO_MBEDTLS_CONFIG_H
#define KARVO_MBEDTLS_CONFIG_H

/* Platform */
#define MBEDTLS_HAVE_ASM
#define MBEDTLS_HAVE_TIME
#define MBEDTLS_HAVE_TIME_DATE
#define MBEDTLS_PLATFORM_C

/* Symmetric ciphers and hashes of the TLS 1.2 and 1.3 suites kept */
#define MBEDTLS_AES_C
#define MBEDTLS_AES_ROM_TABLES
#define MBEDTLS_GCM_C
#define MBEDTLS_CHACHA20_C
#define MBEDTLS_POLY1305_C
#define MBEDTLS_CHACHAPOLY_C
#define MBEDTLS_CIPHER_C
#define MBEDTLS_MD_C
#define MBEDTLS_SHA224_C
#define MBEDTLS_SHA256_C
#define MBEDTLS_SHA384_C
#define MBEDTLS_SHA512_C
#define MBEDTLS_SHA1_C /* certificates still signed with SHA-1 by old CAs are rejected by the profile; parsing needs it */
#define MBEDTLS_HKDF_C

/* Public keys: RSA (PKCS#1 v1.5 and PSS) and ECDSA/ECDH on P-256, P-384, X25519 */
#define MBEDTLS_BIGNUM_C
#define MBEDTLS_RSA_C
#define MBEDTLS_PKCS1_V15
#define MBEDTLS_PKCS1_V21
#define MBEDTLS_ECP_C
#define MBEDTLS_ECDH_C
#define MBEDTLS_ECDSA_C
#define MBEDTLS_ECDSA_DETERMINISTIC
#define MBEDTLS_HMAC_DRBG_C
#define MBEDTLS_ECP_DP_SECP256R1_ENABLED
#define MBEDTLS_ECP_DP_SECP384R1_ENABLED
#define MBEDTLS_ECP_DP_CURVE25519_ENABLED
#define MBEDTLS_ECP_NIST_OPTIM
#define MBEDTLS_PK_C
#define MBEDTLS_PK_PARSE_C
#define MBEDTLS_PK_PARSE_EC_EXTENDED
#define MBEDTLS_PK_PARSE_EC_COMPRESSED
#define MBEDTLS_ASN1_PARSE_C
#define MBEDTLS_ASN1_WRITE_C
#define MBEDTLS_OID_C
#define MBEDTLS_BASE64_C
#define MBEDTLS_PEM_PARSE_C

/* Randomness: the OS source (getrandom or /dev/urandom; BCryptGenRandom on Windows) */
#define MBEDTLS_ENTROPY_C
#define MBEDTLS_CTR_DRBG_C

/* PSA crypto, which TLS 1.3 runs on */
#define MBEDTLS_PSA_CRYPTO_C
#define MBEDTLS_USE_PSA_CRYPTO

/* X.509 */
#define MBEDTLS_X509_USE_C
#define MBEDTLS_X509_CRT_PARSE_C
#define MBEDTLS_X509_RSASSA_PSS_SUPPORT

/* TLS: server side, 1.2 and 1.3, no renegotiation */
#define MBEDTLS_SSL_TLS_C
#define MBEDTLS_SSL_SRV_C
#define MBEDTLS_SSL_PROTO_TLS1_2
#define MBEDTLS_SSL_PROTO_TLS1_3
#define MBEDTLS_SSL_TLS1_3_COMPATIBILITY_MODE
#define MBEDTLS_SSL_TLS1_3_KEY_EXCHANGE_MODE_EPHEMERAL_ENABLED
#define MBEDTLS_KEY_EXCHANGE_ECDHE_ECDSA_ENABLED
#define MBEDTLS_KEY_EXCHANGE_ECDHE_RSA_ENABLED
#define MBEDTLS_SSL_KEEP_PEER_CERTIFICATE
#define MBEDTLS_SSL_SERVER_NAME_INDICATION
#define MBEDTLS_SSL_EXTENDED_MASTER_SECRET
#define MBEDTLS_SSL_ENCRYPT_THEN_MAC
#define MBEDTLS_SSL_ALL_ALERT_MESSAGES
#define MBEDTLS_SSL_MAX_FRAGMENT_LENGTH
/* Records: full size (16 KiB) both ways. Clients send records that large and
 * TLS 1.2 has no way to ask for less; and mbedTLS never splits a handshake
 * message over records, so the outgoing record must hold the whole
 * Certificate message: a chain as company CAs issue it (a leaf and two
 * RSA-4096 intermediates) is over 4 KiB. */
#define MBEDTLS_SSL_IN_CONTENT_LEN 16384
#define MBEDTLS_SSL_OUT_CONTENT_LEN 16384

#define MBEDTLS_ERROR_C

#endif
