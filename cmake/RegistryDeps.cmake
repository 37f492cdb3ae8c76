# The registry's libraries, from Debian's -dev packages (scripts/deps), linked
# dynamically: a static libarchive drags in ICU.
find_package(SQLite3 REQUIRED)
find_package(PostgreSQL REQUIRED)  # libpq only
find_package(LibArchive REQUIRED)
# .tar.xz is unpacked by liblzma directly, under a memory limit.
find_package(LibLZMA REQUIRED)
find_package(OpenSSL REQUIRED COMPONENTS Crypto SSL)
find_package(Threads REQUIRED)
# serve: libmicrohttpd (event-driven; TLS through GnuTLS, linked by it).
find_package(PkgConfig REQUIRED)
pkg_check_modules(MICROHTTPD REQUIRED IMPORTED_TARGET libmicrohttpd)
# Mail: GMime reads messages (MIME, RFC 2047 and 2231 names, transfer encodings).
pkg_check_modules(GMIME REQUIRED IMPORTED_TARGET gmime-3.0)
# IMAP: libcurl (IMAPS with OpenSSL, fetch by UID).
find_package(CURL REQUIRED)
# Passwords: Argon2id (libargon2).
pkg_check_modules(ARGON2 REQUIRED IMPORTED_TARGET libargon2)
