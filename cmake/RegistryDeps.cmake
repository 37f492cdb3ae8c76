# The registry's libraries, from Debian's -dev packages (scripts/deps), linked
# dynamically: a static libarchive drags in ICU.
find_package(SQLite3 REQUIRED)
find_package(PostgreSQL REQUIRED)  # libpq only
find_package(LibArchive REQUIRED)
find_package(OpenSSL REQUIRED COMPONENTS Crypto SSL)
find_package(Threads REQUIRED)
# serve: Debian's cpp-httplib is a shared library built with OpenSSL, zlib and
# brotli; its pkg-config flags say so and must match.
find_package(PkgConfig REQUIRED)
pkg_check_modules(HTTPLIB REQUIRED IMPORTED_TARGET cpp-httplib)
